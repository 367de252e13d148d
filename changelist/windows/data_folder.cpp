// Windows: the world is read from the shell's application-data folder, or
// from the one --data names; the game runs natively here, so there are no
// Wine or Proton prefixes to search.
#include "data_folder.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "fatal_error.h"
#include "tile_types.h"
#include "wide_text.h"
#include "world_layout.h"

namespace {

// The folder use_data_folder took, absolute; empty: the usual one.
std::string named_folder;

[[noreturn]] void data_folder_failed(const std::string &path, DWORD err)
{
    fatal_error("Error opening the data folder!\n%s: %s\n", path.c_str(),
                system_reason(err).c_str());
}

// 0 when path names a folder, else the system's error.
DWORD folder_error(const std::string &path)
{
    const DWORD attributes = GetFileAttributesW(to_wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError();
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? 0 : ERROR_DIRECTORY;
}

}  // namespace

void use_data_folder(const std::string &folder)
{
    named_folder.clear();
    if (folder.empty())
        return;
    if (DWORD err = folder_error(folder))
        data_folder_failed(folder, err);
    if (DWORD err = folder_error(game_folder_path(folder)))
        data_folder_failed(game_folder_path(folder), err);
    wchar_t full[APP_DATA_PATH_BYTES];
    const DWORD n = GetFullPathNameW(to_wide(folder).c_str(), APP_DATA_PATH_BYTES,
                                     full, nullptr);
    if (n == 0 || n >= DWORD(APP_DATA_PATH_BYTES))
        data_folder_failed(folder, n == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE);
    named_folder = to_utf8(full);
    while (named_folder.size() > 3 && named_folder.back() == '\\')
        named_folder.pop_back();
    if (named_folder.size() >= size_t(APP_DATA_PATH_BYTES))
        data_folder_failed(folder, ERROR_FILENAME_EXCED_RANGE);
}

void choose_data_folder(int world_number)
{
    if (named_folder.empty()) {
        if (!app_data_folder(appdata_path))
            fatal_error("Error finding the application data folder: the "
                        "shell names none.\n");
        return;
    }
    std::memcpy(appdata_path, named_folder.c_str(), named_folder.size() + 1);
    std::fprintf(stderr, "Reading world %d from %s\n", world_number,
                 world_folder_path(named_folder, world_number).c_str());
}
