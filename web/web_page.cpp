#include "web_page.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "file_io.h"
#include "page_text.h"
#include "private_output.h"
#include "web_map.h"

namespace {

// Leaflet's files as Debian installs them, and where the page finds them.
struct CopiedFile {
    const char *from;
    const char *to;
};
const CopiedFile LEAFLET_FILES[] = {
    {"leaflet.min.js", "leaflet.js"},
    {"leaflet.css", "leaflet.css"},
    {"images/layers.png", "images/layers.png"},
    {"images/layers-2x.png", "images/layers-2x.png"},
    {"images/marker-icon.png", "images/marker-icon.png"},
    {"images/marker-icon-2x.png", "images/marker-icon-2x.png"},
    {"images/marker-shadow.png", "images/marker-shadow.png"},
};
const char LEAFLET_IMAGES[] = "images";
const char VIEW_SCRIPT[] = "map.js";
const char FOLLOW_SCRIPT[] = "follow.js";

const mode_t NEW_FILE_MODE = 0666;
const mode_t NEW_FOLDER_MODE = 0777;

bool fail(const std::string &what, int err, std::string *why)
{
    *why = what + ": " + std::strerror(err);
    return false;
}

std::string leaflet_path(const CopiedFile &f)
{
    return std::string(LEAFLET_DIR) + "/" + f.from;
}

// A file of the unfinished folder as messages name it: the folder itself
// is gone by the time they are read.
std::string in_web_map(const PageFolder &folder, const std::string &name)
{
    return name + " of " + WEB_FOLDER_NAME + " in " + folder.out_path;
}

// Creates name in the folder, which must not exist, with data.
bool write_new_file(const PageFolder &folder, const std::string &name,
                    const std::string &data, std::string *why)
{
    const int fd = openat(folder.fd, name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          NEW_FILE_MODE);
    if (fd < 0)
        return fail("creating " + in_web_map(folder, name), errno, why);
    // Explicitly: libgsf sets the process umask to 0 for a moment while
    // it writes a tile. Fixed-mode file systems ignore it.
    fchmod(fd, user_file_mode());
    const bool ok = write_all(fd, data.data(), data.size());
    const int err = errno;
    if (close(fd) != 0 && ok)
        return fail("writing " + in_web_map(folder, name), errno, why);
    return ok || fail("writing " + in_web_map(folder, name), err, why);
}

}  // namespace

bool leaflet_at_hand(std::string *why)
{
    for (const CopiedFile &f : LEAFLET_FILES) {
        const std::string path = leaflet_path(f);
        if (access(path.c_str(), R_OK) != 0) {
            *why = "Leaflet's " + path + ": " + std::strerror(errno) +
                   " (Debian's libjs-leaflet installs it).";
            return false;
        }
    }
    return true;
}

bool write_leaflet(const PageFolder &folder, std::string *why)
{
    if (mkdirat(folder.fd, LEAFLET_IMAGES, NEW_FOLDER_MODE) != 0)
        return fail("creating " + in_web_map(folder, LEAFLET_IMAGES), errno, why);
    const int images = openat(folder.fd, LEAFLET_IMAGES,
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (images >= 0) {
        fchmod(images, user_folder_mode());
        close(images);
    }
    for (const CopiedFile &f : LEAFLET_FILES) {
        std::string data;
        if (!read_whole_file(leaflet_path(f), &data))
            return fail("reading " + leaflet_path(f), errno, why);
        if (!write_new_file(folder, f.to, data, why))
            return false;
    }
    return true;
}

bool write_page(const PageFolder &folder, const WebMapInfo &info,
                std::string *why)
{
    return write_new_file(folder, VIEW_SCRIPT, WEB_VIEW_SCRIPT, why) &&
           write_new_file(folder, FOLLOW_SCRIPT, WEB_FOLLOW_SCRIPT, why) &&
           write_new_file(folder, WEB_PAGE_NAME, WEB_PAGE_HTML, why) &&
           write_new_file(folder, WEB_LEVELS_SCRIPT, levels_script(info), why);
}

bool is_whole_web_map(int fd)
{
    struct stat st;
    return fstatat(fd, WEB_LEVELS_SCRIPT, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(st.st_mode);
}
