// The roaming application-data folder from the shell, in its wide form:
// the narrow SHGetSpecialFolderPathA gives the folder in the ANSI code
// page, which garbles a user name such as "Łucja" on a Western system.
#include "shell_folder.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <cstring>
#include <string>

#include "wide_text.h"

bool app_data_folder(char *path)
{
    path[0] = '\0';
    wchar_t *wide = nullptr;
    if (SHGetKnownFolderPath(FOLDERID_RoamingAppData, KF_FLAG_DONT_VERIFY,
                             nullptr, &wide) != S_OK) {
        CoTaskMemFree(wide);
        return false;
    }
    const std::string folder = to_utf8(wide);
    CoTaskMemFree(wide);
    if (folder.empty() || folder.size() >= size_t(APP_DATA_PATH_BYTES))
        return false;
    std::memcpy(path, folder.c_str(), folder.size() + 1);
    return true;
}
