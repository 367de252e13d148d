#include "folder_info.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

int folder_error(const std::string &path)
{
    // O_PATH needs no permission on the folder itself.
    const int fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    close(fd);
    return 0;
}

bool is_folder(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string canonical_folder(const std::string &path)
{
    char *real = realpath(path.c_str(), nullptr);
    if (!real)
        return "";
    const std::string canonical = real;
    std::free(real);
    return is_folder(canonical) ? canonical : "";
}

bool last_changed(const std::string &path, std::timespec *when)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    *when = st.st_mtim;
    return true;
}
