#include "output_folder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fatal_error.h"
#include "private_output.h"

namespace {

// The trial folder: a private folder as the maps' and the web map's are,
// made and removed again.
const char TRIAL_STEM[] = ".mapper-trial";

[[noreturn]] void folder_failed(const char *what, const std::string &folder,
                                const std::string &why)
{
    fatal_error("Error %s the output folder!\n%s: %s\n", what, folder.c_str(),
                why.c_str());
}

// The reason alone, from "what: reason".
std::string reason_of(const std::string &why)
{
    const std::string::size_type at = why.rfind(": ");
    return at == std::string::npos ? why : why.substr(at + 2);
}

}  // namespace

void use_output_folder(const std::string &folder, bool listed)
{
    // O_PATH needs no read permission on the folder; the trial and the
    // change of folder then act on the very folder that was opened.
    const int fd = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        folder_failed("opening", folder, std::strerror(errno));
    PrivateFolder trial;
    std::string why;
    if (!make_private_folder(fd, TRIAL_STEM, &trial, &why))
        folder_failed("writing into", folder, reason_of(why));
    discard_private_folder(&trial);
    // The web map lists the folder (the leftovers of killed runs) and
    // flushes it: both need it open for reading.
    if (listed) {
        const int read_fd = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (read_fd < 0)
            folder_failed("reading", folder, std::strerror(errno));
        close(read_fd);
    }
    if (fchdir(fd) != 0)
        folder_failed("entering", folder, std::strerror(errno));
    close(fd);
}
