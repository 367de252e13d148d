#include "wine_prefixes.h"

#include <dirent.h>

#include <algorithm>
#include <cstdlib>

#include "folder_info.h"
#include "shell_folder.h"
#include "steam_libraries.h"

namespace {

const char WINE_DEFAULT_PREFIX[] = "/.wine";
// Proton makes one prefix for each game, named by the game's number.
const char PROTON_GAMES[] = "/steamapps/compatdata";
const char PROTON_PREFIX[] = "/pfx";
const char PREFIX_USERS[] = "/drive_c/users";
const char USER_APPDATA[] = "/AppData/Roaming";

// The names in folder, "." and ".." left out, in order; none when it
// cannot be read.
std::vector<std::string> names_in(const std::string &folder)
{
    std::vector<std::string> names;
    DIR *dir = opendir(folder.c_str());
    if (!dir)
        return names;
    while (const dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

void add_prefix(std::vector<std::string> *folders, const std::string &prefix)
{
    const std::string users = prefix + PREFIX_USERS;
    for (const std::string &user : names_in(users)) {
        const std::string appdata =
            canonical_folder(users + "/" + user + USER_APPDATA);
        if (!appdata.empty() &&
            std::find(folders->begin(), folders->end(), appdata) ==
                folders->end())
            folders->push_back(appdata);
    }
}

}  // namespace

std::vector<std::string> wine_appdata_folders()
{
    std::vector<std::string> folders;
    const std::string home = home_folder();
    // Wine itself takes only an absolute WINEPREFIX.
    const char *chosen = std::getenv("WINEPREFIX");
    if (chosen && chosen[0] == '/')
        add_prefix(&folders, chosen);
    if (home.empty())
        return folders;
    add_prefix(&folders, home + WINE_DEFAULT_PREFIX);
    for (const std::string &library : steam_libraries(home)) {
        const std::string games = library + PROTON_GAMES;
        for (const std::string &game : names_in(games))
            add_prefix(&folders, games + "/" + game + PROTON_PREFIX);
    }
    return folders;
}
