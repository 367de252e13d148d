#include "file_io.h"

#include <allegro.h>
#include <winalleg.h>
#include <io.h>

#include <cerrno>
#include <cstring>

#include "wide_text.h"

bool fail_with_reason(std::string *why, const std::string &what, int err)
{
    if (why)
        *why = what + ": " + std::strerror(err);
    return false;
}

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

std::FILE *create_named_file(const char *name)
{
    return _wfopen(to_wide(name).c_str(), L"wb");
}

std::FILE *open_named_file(const char *name)
{
    return _wfopen(to_wide(name).c_str(), L"rb");
}

int64_t named_file_size(const char *name)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(to_wide(name).c_str(), GetFileExInfoStandard, &data))
        return -1;
    return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void remove_named_regular_file(const char *name)
{
    const std::wstring wide = to_wide(name);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                        FILE_ATTRIBUTE_DEVICE)))
        DeleteFileW(wide.c_str());
}

void use_system_file_names() { set_filename_encoding(U_UNICODE); }
