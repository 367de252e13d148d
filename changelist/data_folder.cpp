#include "data_folder.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "fatal_error.h"
#include "file_io.h"
#include "folder_info.h"
#include "tile_types.h"
#include "wine_prefixes.h"
#include "world_layout.h"

namespace {

// The folder use_data_folder took, absolute; empty: the usual search.
std::string named_folder;

// A copy of the world in a Wine or Proton prefix, and when its list last
// changed.
struct WorldCopy {
    std::string appdata;
    bool has_list;
    std::timespec changed;
};

[[noreturn]] void data_folder_failed(const std::string &path, const char *why)
{
    fatal_error("Error opening the data folder!\n%s: %s\n", path.c_str(), why);
}

bool later(const std::timespec &a, const std::timespec &b)
{
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// A copy with a list is preferred to one without, a later list to an
// earlier one.
bool newer(const WorldCopy &a, const WorldCopy &b)
{
    if (a.has_list != b.has_list)
        return a.has_list;
    return later(a.changed, b.changed);
}

std::vector<WorldCopy> copies_in_prefixes(int world_number)
{
    std::vector<WorldCopy> copies;
    for (const std::string &appdata : wine_appdata_folders()) {
        if (!is_folder(world_folder_path(appdata, world_number)))
            continue;
        WorldCopy copy{appdata, false, {0, 0}};
        copy.has_list = last_changed(change_list_path(appdata, world_number),
                                     &copy.changed);
        copies.push_back(copy);
    }
    return copies;
}

// The newest of copies, the first found of equals.
size_t newest(const std::vector<WorldCopy> &copies)
{
    size_t best = 0;
    for (size_t i = 1; i < copies.size(); ++i)
        if (newer(copies[i], copies[best]))
            best = i;
    return best;
}

const char *why_not_read(const WorldCopy &other, const WorldCopy &read)
{
    if (!other.has_list)
        return "it has no changed.txt";
    if (later(read.changed, other.changed))
        return "its changed.txt is older";
    return "its changed.txt changed at the same time";
}

void warn_other_copies(int world_number, const std::vector<WorldCopy> &copies,
                       size_t read)
{
    for (size_t i = 0; i < copies.size(); ++i)
        if (i != read)
            std::fprintf(stderr, "Warning: world %d is also in %s, not read: "
                         "%s\n", world_number,
                         world_folder_path(copies[i].appdata, world_number)
                             .c_str(),
                         why_not_read(copies[i], copies[read]));
}

void set_appdata_path(const std::string &folder)
{
    if (folder.size() >= MAX_PATH)
        fatal_error("Error finding the application data folder: %s is longer "
                    "than %d characters.\n", folder.c_str(), MAX_PATH - 1);
    std::memcpy(appdata_path, folder.c_str(), folder.size() + 1);
}

}  // namespace

void use_data_folder(const std::string &folder)
{
    named_folder.clear();
    if (folder.empty())
        return;
    if (int err = folder_error(folder))
        data_folder_failed(folder, std::strerror(err));
    if (int err = folder_error(game_folder_path(folder)))
        data_folder_failed(game_folder_path(folder), std::strerror(err));
    std::string absolute =
        folder[0] == '/' ? folder : canonical_folder(folder);
    if (absolute.empty())
        absolute = current_folder() + "/" + folder;
    while (absolute.size() > 1 && absolute.back() == '/')
        absolute.pop_back();
    if (absolute.size() >= MAX_PATH)
        data_folder_failed(folder, ("the path is longer than " +
                                    std::to_string(MAX_PATH - 1) +
                                    " characters").c_str());
    named_folder = absolute;
}

void choose_data_folder(int world_number)
{
    char usual[MAX_PATH];
    const bool have_usual =
        SHGetSpecialFolderPathA(NULL, usual, CSIDL_APPDATA, 0);
    if (!have_usual && named_folder.empty())
        fatal_error("Error finding the application data folder: set "
                    "XDG_DATA_HOME or HOME to a folder path of at most %d "
                    "characters.\n", MAX_PATH - 1);
    std::string chosen = named_folder.empty() ? usual : named_folder;
    std::vector<WorldCopy> copies;
    size_t read = 0;
    if (named_folder.empty() &&
        !is_folder(world_folder_path(chosen, world_number))) {
        copies = copies_in_prefixes(world_number);
        read = newest(copies);
        if (!copies.empty())
            chosen = copies[read].appdata;
    }
    set_appdata_path(chosen);
    if (!have_usual || chosen != usual)
        std::fprintf(stderr, "Reading world %d from %s\n", world_number,
                     world_folder_path(chosen, world_number).c_str());
    if (!copies.empty())
        warn_other_copies(world_number, copies, read);
}
