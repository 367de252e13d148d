// Windows: the output folder is entered, then a private folder is made
// and removed there, so that a folder the run cannot write into fails
// before any tile is read.
#include "output_folder.h"

#include <windows.h>

#include "exit_signals.h"
#include "fatal_error.h"
#include "random_name.h"
#include "wide_text.h"

namespace {

const char TRIAL_PREFIX[] = ".mapper-trial-";
const int NAME_ATTEMPTS = 8;

[[noreturn]] void folder_failed(const char *what, const std::string &folder,
                                DWORD err)
{
    fatal_error("Error %s the output folder!\n%s: %s\n", what, folder.c_str(),
                system_reason(err).c_str());
}

// Makes and removes a folder in the current one; 0 or the system's error.
DWORD try_private_folder()
{
    DWORD err = ERROR_ALREADY_EXISTS;
    for (int i = 0; i < NAME_ATTEMPTS && err == ERROR_ALREADY_EXISTS; ++i) {
        std::string name;
        if (!random_name(TRIAL_PREFIX, &name))
            return ERROR_GEN_FAILURE;
        const std::wstring wide = to_wide(name);
        ExitSignalHold hold;
        err = CreateDirectoryW(wide.c_str(), nullptr) ? 0 : GetLastError();
        if (err == 0 && !RemoveDirectoryW(wide.c_str()))
            err = GetLastError();
    }
    return err;
}

}  // namespace

void use_output_folder(const std::string &folder, bool)
{
    if (!SetCurrentDirectoryW(to_wide(folder).c_str()))
        folder_failed("entering", folder, GetLastError());
    if (DWORD err = try_private_folder())
        folder_failed("writing into", folder, err);
}
