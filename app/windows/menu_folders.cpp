// Windows: the shell's pictures folder (its wide form, in UTF-8), the
// maps' folder in it, and "Open folder" through the shell's explorer.
#include "folder_opener.h"
#include "pictures_folder.h"

#include <allegro.h>
#include <winalleg.h>
#include <knownfolders.h>
#include <shellapi.h>
#include <shlobj.h>

#include "fatal_error.h"
#include "wide_text.h"

namespace {

const char MAPS_FOLDER[] = "Mapper";

// Every missing folder on the way, with the permissions they inherit.
void make_folders(const std::string &path)
{
    const std::wstring wide = to_wide(path);
    const int err = SHCreateDirectoryExW(nullptr, wide.c_str(), nullptr);
    if (err != ERROR_SUCCESS && err != ERROR_ALREADY_EXISTS)
        fatal_error("Error creating the maps folder!\n%s: %s\n", path.c_str(),
                    system_reason(static_cast<DWORD>(err)).c_str());
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        fatal_error("Error creating the maps folder!\n%s: %s\n", path.c_str(),
                    system_reason(ERROR_DIRECTORY).c_str());
}

}  // namespace

std::string pictures_folder()
{
    wchar_t *wide = nullptr;
    const HRESULT result = SHGetKnownFolderPath(FOLDERID_Pictures, 0, nullptr, &wide);
    const std::string folder = result == S_OK ? to_utf8(wide) : "";
    CoTaskMemFree(wide);
    if (folder.empty())
        fatal_error("Error finding the pictures folder!\n%s\n",
                    system_reason(static_cast<DWORD>(result)).c_str());
    return folder;
}

std::string make_world_folder(int world_number)
{
    const std::string folder = pictures_folder() + "\\" + MAPS_FOLDER +
                               "\\World" + std::to_string(world_number);
    make_folders(folder);
    return folder;
}

namespace {
// The shell answers at once, so the status is known when open_folder returns.
std::string last_status;
unsigned status_changes = 0;
}  // namespace

// The maps' folders made here stay: Windows users expect them.
void keep_world_folder() {}

std::string opening_status(unsigned *change)
{
    *change = status_changes;
    return last_status;
}

bool open_folder(const std::string &folder, std::string *why)
{
    // Values up to 32 are errors (the shell's own convention).
    const INT_PTR MAX_ERROR = 32;
    const INT_PTR result = reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, L"explore", to_wide(folder).c_str(), nullptr,
                      nullptr, SW_SHOWNORMAL));
    ++status_changes;
    if (result > MAX_ERROR) {
        last_status = "The folder was opened";
        return true;
    }
    *why = "explorer: " + system_reason(GetLastError());
    last_status = *why;
    return false;
}
