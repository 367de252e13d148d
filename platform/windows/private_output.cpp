// Windows: the private-output unit. A run's folder is made under an
// unpredictable name in the parent folder (open at parent_fd, a handle of
// the folder made a descriptor), with the permissions the parent passes
// on: Windows has no umask, and a profile's folders are closed to other
// users already. It is recorded for the clean-up that the console's
// control events run, and a file is published by the system's replacing
// move, written through to the disk. A folder open at its handle cannot
// be renamed or removed under us: that handle, which shares no deletion,
// is the run's lock. The system closes it when a run is killed
// (TerminateProcess, a crash), and the next run that makes a folder of
// the same stem removes the <stem>.part-* folders that it can open for
// deletion, which no live run lets it.
#include "private_output.h"

#include <windows.h>
#include <io.h>

#include <atomic>
#include <vector>

#include "exit_signals.h"
#include "folder_handle.h"
#include "private_names.h"
#include "random_name.h"
#include "wide_text.h"

namespace {

const int NAME_ATTEMPTS = 8;
const int RECORD_SLOTS = 4;
const size_t RECORD_CHARS = 1024;
const DWORD PATH_CHARS = 32768;
// A folder's listing is read in pieces of this size.
const size_t LISTING_BYTES = 64 * 1024;

// What the clean-up removes: each slot a folder's full path.
// Each slot a folder's full path and its open handle, which keeps others
// from renaming it and must be closed before the folder can go.
wchar_t record[RECORD_SLOTS][RECORD_CHARS];
std::atomic<HANDLE> record_handle[RECORD_SLOTS];
std::atomic<bool> record_used[RECORD_SLOTS];

// Removes the files in folder, then the folder; false if any stays.
bool remove_folder(const wchar_t *folder)
{
    std::wstring pattern = std::wstring(folder) + L"\\*";
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name != L"." && name != L"..")
                DeleteFileW((std::wstring(folder) + L"\\" + name).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return RemoveDirectoryW(folder) != 0;
}

void remove_recorded()
{
    for (int i = 0; i < RECORD_SLOTS; ++i) {
        if (!record_used[i].load())
            continue;
        if (HANDLE h = record_handle[i].exchange(nullptr))
            CloseHandle(h);
        remove_folder(record[i]);
    }
}

int record_folder(const std::wstring &path)
{
    for (int i = 0; i < RECORD_SLOTS; ++i) {
        if (record_used[i].load())
            continue;
        const size_t n = std::min(path.size(), RECORD_CHARS - 1);
        wmemcpy(record[i], path.c_str(), n);
        record[i][n] = L'\0';
        record_used[i].store(true);
        return i;
    }
    return -1;
}

// The full path of the folder open at fd; empty when unknown.
std::wstring folder_path(int fd)
{
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    std::vector<wchar_t> path(PATH_CHARS);
    const DWORD n = GetFinalPathNameByHandleW(h, path.data(), PATH_CHARS,
                                              FILE_NAME_NORMALIZED);
    if (n == 0 || n >= PATH_CHARS)
        return std::wstring();
    return std::wstring(path.data(), n);
}

int open_folder(const std::wstring &path)
{
    const HANDLE h = CreateFileW(path.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), 0);
    if (fd < 0)
        CloseHandle(h);
    return fd;
}

// A leftover folder, opened for its deletion; fails while a run holds it.
HANDLE open_leftover(const std::wstring &path)
{
    return CreateFileW(path.c_str(), DELETE | FILE_LIST_DIRECTORY,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                       nullptr);
}

// The files in the folder open at handle, from that handle: a listing by
// name (FindFirstFileW) would open it again, which its deletion access
// forbids.
std::vector<std::wstring> listed_files(HANDLE folder)
{
    std::vector<std::wstring> names;
    std::vector<unsigned char> buffer(LISTING_BYTES);
    FILE_INFO_BY_HANDLE_CLASS what = FileFullDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder, what, buffer.data(),
                                        static_cast<DWORD>(buffer.size()))) {
        what = FileFullDirectoryInfo;
        for (size_t at = 0;;) {
            const auto *e = reinterpret_cast<const FILE_FULL_DIR_INFO *>(&buffer[at]);
            if (!(e->FileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                names.emplace_back(e->FileName, e->FileNameLength / sizeof(wchar_t));
            if (e->NextEntryOffset == 0)
                break;
            at += e->NextEntryOffset;
        }
    }
    return names;
}

// Removes the leftover folder at path, the very one inspected: its files,
// then the folder by its open handle. A link is never followed, and a
// folder in it keeps it (a run makes none).
void sweep_one(const std::wstring &path)
{
    const HANDLE folder = open_leftover(path);
    if (folder == INVALID_HANDLE_VALUE)
        return;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(folder, &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        for (const std::wstring &name : listed_files(folder))
            DeleteFileW((path + L"\\" + name).c_str());
        FILE_DISPOSITION_INFO disposition = {TRUE};
        SetFileInformationByHandle(folder, FileDispositionInfo, &disposition,
                                   sizeof disposition);
    }
    CloseHandle(folder);
}

// The <stem>.part-* folders in parent that no run holds.
void sweep_leftovers(const std::wstring &parent, const std::string &stem)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((parent + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    std::vector<std::wstring> names;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            is_private_name(to_utf8(found.cFileName).c_str(), stem, PART_TAG))
            names.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    for (const std::wstring &name : names)
        sweep_one(parent + L"\\" + name);
}

bool fail(std::string *why, const std::string &what, DWORD err)
{
    if (why)
        *why = what + ": " + system_reason(err);
    return false;
}

}  // namespace

void read_user_umask() {}

mode_t user_file_mode() { return 0666; }

mode_t user_folder_mode() { return 0777; }

int open_current_folder() { return open_folder(L"."); }

bool make_private_folder(int parent_fd, const std::string &stem,
                         PrivateFolder *f, std::string *why,
                         bool (*)(int fd))
{
    add_exit_cleanup(remove_recorded);
    const std::wstring parent = folder_path(parent_fd);
    if (parent.empty())
        return fail(why, "finding the folder of " + stem, GetLastError());
    {
        ExitSignalHold hold;
        sweep_leftovers(parent, stem);
    }
    DWORD err = ERROR_ALREADY_EXISTS;
    for (int i = 0; i < NAME_ATTEMPTS && err == ERROR_ALREADY_EXISTS; ++i) {
        std::string name;
        if (!random_name(stem + PART_TAG, &name))
            return fail(why, "choosing a name for " + stem, ERROR_GEN_FAILURE);
        const std::wstring path = parent + L"\\" + to_wide(name);
        ExitSignalHold hold;
        if (!CreateDirectoryW(path.c_str(), nullptr)) {
            err = GetLastError();
            continue;
        }
        err = 0;
        f->parent_fd = parent_fd;
        f->name = name;
        f->slot = record_folder(path);
        f->fd = open_folder(path);
        const DWORD open_err = f->fd < 0 ? GetLastError() : ERROR_TOO_MANY_OPEN_FILES;
        if (f->slot >= 0 && f->fd >= 0)
            record_handle[f->slot].store(reinterpret_cast<HANDLE>(_get_osfhandle(f->fd)));
        if (f->slot < 0 || f->fd < 0) {
            discard_private_folder(f);
            // Another run's sweep took the new folder for a leftover
            // before we held it: it goes, and another name is tried.
            if (open_err == ERROR_SHARING_VIOLATION) {
                err = ERROR_ALREADY_EXISTS;
                continue;
            }
            return fail(why, "making " + name, open_err);
        }
    }
    return err == 0 || fail(why, "making a private folder for " + stem, err);
}

void hold_private_file(PrivateFolder *, int) {}

bool discard_private_folder(PrivateFolder *f, std::string *why)
{
    if (f->slot < 0 && f->fd < 0)
        return true;
    ExitSignalHold hold;
    if (f->slot >= 0)
        record_handle[f->slot].store(nullptr);
    if (f->fd >= 0)
        _close(f->fd);
    f->fd = -1;
    bool removed = true;
    if (f->slot >= 0) {
        removed = remove_folder(record[f->slot]);
        if (!removed)
            fail(why, "removing " + f->name, GetLastError());
        record_used[f->slot].store(false);
        f->slot = -1;
    }
    return removed;
}

bool publish_file(PrivateFolder *f, const char *file, const char *target,
                  std::string *why)
{
    const std::wstring folder = record[f->slot];
    const std::wstring parent = folder_path(f->parent_fd);
    if (!MoveFileExW((folder + L"\\" + to_wide(file)).c_str(),
                     (parent + L"\\" + to_wide(target)).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return fail(why, std::string("replacing ") + target, GetLastError());
    return true;
}

bool publish_folder(PrivateFolder *, const FolderPublication &p, std::string *why)
{
    return fail(why, std::string("publishing the ") + p.kind, ERROR_NOT_SUPPORTED);
}
