// The Windows side of the tests' helpers: scratch folders in the user's
// temporary folder (never $TMPDIR, which Wine passes on as a Unix path),
// streams and commands through the C runtime.
#include "test_support.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "random_name.h"
#include "wide_text.h"

namespace {

const int STDOUT_FD = 1, STDERR_FD = 2;

std::string temp_folder()
{
    wchar_t path[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, path);
    if (n == 0 || n > MAX_PATH)
        throw std::runtime_error("no temporary folder: " + system_reason(GetLastError()));
    return to_utf8(path);
}

}  // namespace

std::string make_temp_dir(const char *base)
{
    const std::string parent = base ? std::string(base) + "/" : temp_folder();
    std::string name;
    if (!random_name(parent + "mapper-test-", &name) ||
        !CreateDirectoryW(to_wide(name).c_str(), nullptr))
        throw std::runtime_error("cannot create a temporary folder in " + parent);
    return name;
}

void discard_stdout()
{
    std::fflush(stdout);
    const int null = _open("NUL", _O_WRONLY);
    if (null < 0 || _dup2(null, STDOUT_FD) < 0)
        std::abort();
    _close(null);
}

void remove_tree(const std::string &path)
{
    std::error_code error;
    std::filesystem::remove_all(std::filesystem::u8path(path), error);
    if (error)
        std::fprintf(stderr, "could not remove %s: %s\n", path.c_str(),
                     error.message().c_str());
}

bool file_exists(const std::string &path)
{
    return GetFileAttributesW(to_wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string run_command(const std::string &command, int *status)
{
    FILE *p = _wpopen(to_wide(command).c_str(), L"rb");
    if (!p)
        throw std::runtime_error("cannot run " + command);
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    const int rc = _pclose(p);
    if (status)
        *status = rc;
    return out;
}

void messages_to_stderr()
{
    std::fflush(stdout);
    _dup2(STDERR_FD, STDOUT_FD);
}
