#include "file_io.h"

#include <windows.h>
#include <io.h>

#include <cerrno>

#include "wide_text.h"

bool write_all(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const int n = _write(fd, data, static_cast<unsigned>(size));
        if (n < 0)
            return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::string current_folder()
{
    wchar_t *path = _wgetcwd(nullptr, 0);
    const std::string folder = path ? to_utf8(path) : ".";
    free(path);
    return folder;
}

int duplicate_descriptor(int fd) { return _dup(fd); }
