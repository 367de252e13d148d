// Windows: the shell's pictures folder (its wide form, in UTF-8), the
// maps' folder in it, made on the way and removed again when empty after a
// failed or stopped run, and "Open folder" through the shell's explorer.
#include "folder_opener.h"
#include "pictures_folder.h"

#include <allegro.h>
#include <winalleg.h>
#include <knownfolders.h>
#include <shellapi.h>
#include <shlobj.h>

#include <atomic>
#include <cstdlib>

#include "exit_signals.h"
#include "fatal_error.h"
#include "wide_text.h"

namespace {

const char MAPS_FOLDER[] = "Mapper";

// The folders make_world_folder made, for their removal by the clean-up
// that a console event or the exit runs: each name is complete before
// the count covers it.
const int MAX_MADE = 32;
const size_t MADE_CHARS = 4096;
wchar_t made_paths[MAX_MADE][MADE_CHARS];
std::atomic<int> made_count(0);
std::atomic<bool> keep_made(false);

// Empty folders only: RemoveDirectoryW leaves one that holds anything.
// The run's current folder is the world's, which Windows removes only
// once no process is in it: the run, which is ending, steps out first.
void remove_made_folders()
{
    if (keep_made || made_count == 0)
        return;
    wchar_t parent[MADE_CHARS];
    wcscpy(parent, made_paths[0]);
    if (wchar_t *last = wcsrchr(parent, L'\\'))
        *last = L'\0';
    SetCurrentDirectoryW(parent);
    for (int i = made_count - 1; i >= 0; --i)
        RemoveDirectoryW(made_paths[i]);
}

bool record_made(const std::wstring &path)
{
    const int n = made_count;
    if (n == MAX_MADE || path.size() >= MADE_CHARS)
        return false;
    wmemcpy(made_paths[n], path.c_str(), path.size() + 1);
    made_count = n + 1;
    return true;
}

bool is_folder(const std::wstring &path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Where the folders below the root start: after "C:\" or "\\server\share\".
size_t root_length(const std::wstring &path)
{
    size_t at = 0;
    int parts = path.size() > 1 && is_separator(path[0]) && is_separator(path[1]) ? 4 : 1;
    while (at < path.size() && parts > 0)
        parts -= is_separator(path[at++]);
    return at;
}

[[noreturn]] void folder_failed(const std::wstring &path, DWORD err)
{
    fatal_error("Error creating the maps folder!\n%s: %s\n", to_utf8(path.c_str()).c_str(),
                system_reason(err).c_str());
}

// Every missing folder on the way, with the permissions they inherit, each
// recorded for its removal before a stop can come between.
void make_folders(const std::string &path)
{
    const std::wstring wide = to_wide(path);
    for (size_t i = root_length(wide); i <= wide.size(); ++i) {
        if (i < wide.size() && !is_separator(wide[i]))
            continue;
        const std::wstring part = wide.substr(0, i);
        if (is_folder(part))
            continue;
        DWORD err = 0;
        {
            ExitSignalHold hold;
            if (!CreateDirectoryW(part.c_str(), nullptr))
                err = GetLastError();
            else if (!record_made(part))
                RemoveDirectoryW(part.c_str());
        }
        if (err != 0 && err != ERROR_ALREADY_EXISTS)
            folder_failed(part, err);
    }
    if (!is_folder(wide))
        folder_failed(wide, ERROR_DIRECTORY);
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
    static bool armed = false;
    if (!armed) {
        armed = true;
        add_exit_cleanup(remove_made_folders);
        std::atexit(remove_made_folders);
    }
    make_folders(folder);
    return folder;
}

namespace {
// The shell answers at once, so the status is known when open_folder returns.
std::string last_status;
unsigned status_changes = 0;
}  // namespace

void keep_world_folder() { keep_made = true; }

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
