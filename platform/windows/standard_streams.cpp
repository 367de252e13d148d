#include "standard_streams.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

const char NULL_DEVICE[] = "NUL";

namespace {

const int STANDARD_STREAMS = 3;
const DWORD STANDARD_HANDLES[STANDARD_STREAMS] = {
    STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};

bool is_console(DWORD standard_handle)
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(standard_handle), &mode) != 0;
}

}  // namespace

bool open_closed_streams()
{
    // The log's paths are UTF-8: the console shows them so.
    SetConsoleOutputCP(CP_UTF8);
    for (int fd = 0; fd < STANDARD_STREAMS; ++fd) {
        if (_get_osfhandle(fd) != -1)
            continue;
        const int opened = _open(NULL_DEVICE, fd == 0 ? _O_RDONLY : _O_WRONLY);
        if (opened != fd)
            return false;
    }
    return true;
}

bool discard_standard_output()
{
    const int null_fd = _open(NULL_DEVICE, _O_WRONLY);
    if (null_fd < 0 || _dup2(null_fd, 1) < 0)
        return false;
    _close(null_fd);
    return true;
}

bool leave_own_console()
{
    // Room for two: a second process on the console is a shell's.
    DWORD attached[2];
    if (GetConsoleProcessList(attached, 2) != 1 ||
        !is_console(STD_OUTPUT_HANDLE))
        return true;
    bool on_console[STANDARD_STREAMS];
    for (int fd = 0; fd < STANDARD_STREAMS; ++fd)
        on_console[fd] = is_console(STANDARD_HANDLES[fd]);
    FreeConsole();
    for (int fd = 0; fd < STANDARD_STREAMS; ++fd) {
        if (!on_console[fd])
            continue;
        const int null_fd = _open(NULL_DEVICE, fd == 0 ? _O_RDONLY : _O_WRONLY);
        if (null_fd < 0 || _dup2(null_fd, fd) < 0)
            return false;
        _close(null_fd);
    }
    return true;
}
