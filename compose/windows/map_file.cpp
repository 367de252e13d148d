// Windows: how a map reaches the disk. The library's savers open their
// file by name, so each map is written inside a folder of our own, made
// under an unpredictable name in the output folder (the current folder,
// where the profile's permissions keep others out), then checked to be
// whole, flushed with FlushFileBuffers and moved over the older map with
// MoveFileExW's replacing move. Ctrl+C or a closed console during the
// save waits until the saver has closed the file (the system cannot
// remove a file that is open), then removes the file and the folder: the
// older map stays.
#include "map_file.h"

#include <winalleg.h>
#include <fcntl.h>
#include <io.h>
#include <loadpng.h>

#include <cerrno>
#include <cstring>

#include "exit_signals.h"
#include "image_format.h"
#include "map_palette.h"
#include "random_name.h"
#include "wide_text.h"

namespace {

const char TEMP_FOLDER_TAG[] = ".part-";
const int NAME_ATTEMPTS = 8;
const size_t PENDING_PATH_CHARS = 1024;

// What the clean-up removes; set while the exit events are held.
wchar_t pending_folder[PENDING_PATH_CHARS];
wchar_t pending_file[PENDING_PATH_CHARS];

void remove_pending()
{
    if (pending_file[0])
        DeleteFileW(pending_file);
    if (pending_folder[0])
        RemoveDirectoryW(pending_folder);
    pending_file[0] = pending_folder[0] = L'\0';
}

void set_pending(wchar_t *slot, const std::wstring &path)
{
    const size_t n = std::min(path.size(), PENDING_PATH_CHARS - 1);
    wmemcpy(slot, path.c_str(), n);
    slot[n] = L'\0';
}

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

// Makes the private folder; its name in *folder.
bool make_folder(const std::string &map, std::string *folder, std::string *why)
{
    DWORD err = ERROR_ALREADY_EXISTS;
    for (int i = 0; i < NAME_ATTEMPTS && err == ERROR_ALREADY_EXISTS; ++i) {
        if (!random_name(map + TEMP_FOLDER_TAG, folder))
            return fail(why, "choosing a folder name", ERROR_GEN_FAILURE);
        hold_exit_signals();
        err = CreateDirectoryW(to_wide(*folder).c_str(), nullptr) ? 0 : GetLastError();
        if (err == 0)
            set_pending(pending_folder, to_wide(*folder));
        resume_exit_signals();
    }
    return err == 0 || fail(why, "making a private folder for " + map, err);
}

// Runs the registry's saver; a stop meanwhile waits until the file is
// closed, so that the clean-up can remove it.
bool write_map(const std::string &file, BITMAP *canvas, std::string *why)
{
    hold_exit_signals();
    set_pending(pending_file, to_wide(file));
    errno = 0;
    const int result = save_bitmap(file.c_str(), canvas, nullptr);
    const int save_errno = errno;
    resume_exit_signals();
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

bool replace_map(const std::string &file, const std::string &map, std::string *why)
{
    if (!MoveFileExW(to_wide(file).c_str(), to_wide(map).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return fail(why, "replacing " + map, GetLastError());
    hold_exit_signals();
    pending_file[0] = L'\0';
    resume_exit_signals();
    return true;
}

}  // namespace

void configure_png_codec()
{
    _png_screen_gamma = 0.0;
    _png_compression_level = PNG_MAP_COMPRESSION;
}

bool save_map(const std::string &name, BITMAP *canvas, std::string *why)
{
    catch_exit_signals();
    add_exit_cleanup(remove_pending);
    if (format_of_extension(map_extension(name).c_str()) == FORMAT_GIF)
        select_fitted_palette(canvas);
    std::string folder, reason;
    bool ok = make_folder(name, &folder, &reason);
    if (ok) {
        const std::string file = folder + "\\" + name;
        ok = write_map(file, canvas, &reason) && finish_file(file, name, &reason) &&
             replace_map(file, name, &reason);
    }
    hold_exit_signals();
    remove_pending();
    resume_exit_signals();
    release_exit_signals();
    if (!ok && why)
        *why = reason;
    return ok;
}
