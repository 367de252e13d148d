#include "shell_folder.h"

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char XDG_DEFAULT_SUFFIX[] = "/.local/share";

bool is_absolute(const char *p) { return p && p[0] == '/'; }

std::string appdata_folder()
{
    const char *xdg = std::getenv("XDG_DATA_HOME");
    if (is_absolute(xdg))
        return xdg;
    std::string home = home_folder();
    if (home.empty())
        return home;
    return home + XDG_DEFAULT_SUFFIX;
}

}  // namespace

std::string home_folder()
{
    const char *home = std::getenv("HOME");
    if (home && home[0] != '\0')
        return home;
    struct passwd *pw = getpwuid(getuid());
    if (pw && pw->pw_dir && pw->pw_dir[0] != '\0')
        return pw->pw_dir;
    return std::string();
}

int SHGetSpecialFolderPathA(void *, char *path, int csidl, int)
{
    path[0] = '\0';
    if (csidl != CSIDL_APPDATA)
        return 0;
    std::string folder = appdata_folder();
    if (folder.empty() || folder.size() >= MAX_PATH)
        return 0;
    std::memcpy(path, folder.c_str(), folder.size() + 1);
    return 1;
}
#endif
