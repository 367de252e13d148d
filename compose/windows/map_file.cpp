// Windows: how a map reaches the disk. The library's savers open their
// file by name, so each map is written inside a private folder of the run
// in the output folder (the current one; private_output.h), then checked
// to be whole, flushed with FlushFileBuffers and moved over the older map
// by the system's replacing move. Ctrl+C or a closed console during the
// save waits until the saver has closed the file (the system cannot
// remove a file that is open), then removes the folder: the older map
// stays.
#include "map_file.h"

#include <allegro.h>
#include <winalleg.h>
#include <fcntl.h>
#include <io.h>
#include <loadpng.h>

#include <cerrno>
#include <cstring>

#include "exit_signals.h"
#include "folder_handle.h"
#include "image_format.h"
#include "map_palette.h"
#include "private_output.h"
#include "wide_text.h"

namespace {

std::string map_extension(const std::string &map)
{
    const std::string::size_type dot = map.rfind('.');
    return dot == std::string::npos ? "" : map.substr(dot + 1);
}

bool fail(std::string *why, const std::string &what, DWORD err)
{
    *why = what + ": " + system_reason(err);
    return false;
}

// Runs the registry's saver.
bool write_map(const std::string &file, BITMAP *canvas, std::string *why)
{
    errno = 0;
    const int result = save_bitmap(file.c_str(), canvas, nullptr);
    const int save_errno = errno;
    if (result == 0)
        return true;
    *why = "writing " + file + ": " +
           (save_errno && save_errno != EFAULT
                ? std::strerror(save_errno)
                : "the image saver failed without giving a system reason");
    return false;
}

// Checks that the file is whole and flushes it to the disk.
bool finish_file(const std::string &file, const std::string &map, std::string *why)
{
    HANDLE h = CreateFileW(to_wide(file).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return fail(why, "opening " + file, GetLastError());
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return fail(why, "opening " + file, ERROR_TOO_MANY_OPEN_FILES);
    }
    bool ok = image_file_whole(fd, format_of_extension(map_extension(map).c_str()));
    if (!ok)
        *why = file + " is incomplete, though the image saver reported success";
    else if (!FlushFileBuffers(h))
        ok = fail(why, "flushing " + file + " to the disk", GetLastError());
    _close(fd);
    return ok;
}

}  // namespace

void configure_png_codec()
{
    _png_screen_gamma = 0.0;
    _png_compression_level = PNG_MAP_COMPRESSION;
}

bool save_map(const std::string &name, BITMAP *canvas, std::string *why)
{
    if (format_of_extension(map_extension(name).c_str()) == FORMAT_GIF)
        select_fitted_palette(canvas);
    std::string reason;
    const int parent_fd = open_current_folder();
    if (parent_fd < 0) {
        if (why)
            fail(why, "opening the output folder", GetLastError());
        return false;
    }
    PrivateFolder folder;
    // Named by the map's stem, as on Linux: a run sweeps what killed runs
    // left of any map of the world (map_zoom_12.part-… too).
    bool ok = make_private_folder(parent_fd, name.substr(0, name.rfind('.')), &folder,
                                  &reason);
    if (ok) {
        const std::string file = folder.name + "\\" + name;
        {
            // A stop waits until the file is closed again: then it can go.
            ExitSignalHold hold;
            ok = write_map(file, canvas, &reason) && finish_file(file, name, &reason);
        }
        ExitSignalHold hold;
        ok = ok && publish_file(&folder, name.c_str(), name.c_str(), &reason);
    }
    discard_private_folder(&folder);
    _close(parent_fd);
    if (!ok && why)
        *why = reason;
    return ok;
}
