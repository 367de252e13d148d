// Regular files opened so that nobody can change, replace or remove them
// while we hold them: the handle shares reading only. A folder, a device
// or a pipe is refused by its kind, and a link is not followed into
// another file's place: the reparse point itself is opened and refused.
#include "regular_file.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include "wide_text.h"

int open_regular_file(const char *path, std::string *why)
{
    HANDLE h = CreateFileW(to_wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                           nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *why = system_reason(GetLastError());
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION info;
    const DWORD type = GetFileType(h);
    const char *kind = nullptr;
    if (type == FILE_TYPE_PIPE)
        kind = "a pipe";
    else if (type == FILE_TYPE_CHAR)
        kind = "a character device";
    else if (type != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info))
        kind = "of an unknown kind";
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        kind = "a folder";
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        kind = "a link";
    if (kind) {
        *why = std::string("not a regular file (") + kind + ")";
        CloseHandle(h);
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        *why = "no descriptor left";
        CloseHandle(h);
    }
    return fd;
}
