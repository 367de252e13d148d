#include "pictures_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "exit_signals.h"
#include "fatal_error.h"
#include "regular_file.h"

namespace {

const char SETTINGS_FOLDER[] = "/.config";
const char SETTINGS_FILE[] = "/user-dirs.dirs";
const char SETTING[] = "XDG_PICTURES_DIR";
const char HOME_VARIABLE[] = "$HOME";
const char PICTURES_FALLBACK[] = "/Pictures";
const char MAPS_FOLDER[] = "/Mapper";
// The settings file is a few lines; more is not read.
const size_t SETTINGS_LIMIT = 64 * 1024;

// The folders make_world_folder made, for their removal by an exit-signal
// clean-up: each name is complete before the count covers it.
const int MAX_MADE = 32;
char made_paths[MAX_MADE][PATH_MAX];
std::atomic<int> made_count(0);
std::atomic<bool> keep_made(false);

std::string home_folder()
{
    const char *home = std::getenv("HOME");
    if (!home || home[0] != '/')
        fatal_error("Error finding the pictures folder!\n"
                    "HOME does not name a folder\n");
    return home;
}

std::string settings_path(const std::string &home)
{
    const char *config = std::getenv("XDG_CONFIG_HOME");
    const std::string folder = config && config[0] == '/'
                                   ? std::string(config)
                                   : home + SETTINGS_FOLDER;
    return folder + SETTINGS_FILE;
}

// The file's text; empty when it is missing. Any other failure is said
// on standard error, and the default folder is used.
std::string read_settings(const std::string &path)
{
    std::string why;
    const int fd = open_regular_file(path.c_str(), &why);
    if (fd < 0) {
        if (why != std::strerror(ENOENT))
            std::fprintf(stderr, "Warning: %s not read: %s\n", path.c_str(),
                         why.c_str());
        return "";
    }
    std::string text(SETTINGS_LIMIT, '\0');
    size_t got = 0;
    ssize_t n;
    while (got < text.size() &&
           (n = read(fd, &text[got], text.size() - got)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    text.resize(got);
    return text;
}

size_t skip_blanks(const std::string &line, size_t i)
{
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
        ++i;
    return i;
}

// One line's folder, or empty when the line does not set it: blanks
// around the name and '=', the value between '"' and the line's last '"',
// "$HOME" at its start standing for home, one final '/' dropped.
std::string setting_value(const std::string &line, const std::string &home)
{
    size_t i = skip_blanks(line, 0);
    if (line.compare(i, sizeof SETTING - 1, SETTING) != 0)
        return "";
    i = skip_blanks(line, i + sizeof SETTING - 1);
    if (i >= line.size() || line[i] != '=')
        return "";
    i = skip_blanks(line, i + 1);
    if (i >= line.size() || line[i] != '"')
        return "";
    const size_t close = line.rfind('"');
    if (close == i)
        return "";
    std::string value = line.substr(i + 1, close - i - 1);
    const bool from_home =
        value.compare(0, sizeof HOME_VARIABLE - 1, HOME_VARIABLE) == 0;
    if (from_home)
        value.erase(0, sizeof HOME_VARIABLE - 1);
    else if (value.empty() || value[0] != '/')
        return "";
    if (!value.empty() && value.back() == '/')
        value.pop_back();
    if (!from_home)
        return value;
    if (value.empty())
        return home;
    return home + (value[0] == '/' ? "" : "/") + value;
}

bool is_folder(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void remove_made_folders()
{
    if (keep_made)
        return;
    for (int i = made_count - 1; i >= 0; --i)
        rmdir(made_paths[i]);
}

// Records a folder about to be made; false when there is no room.
bool record_made(const std::string &path)
{
    const int n = made_count;
    if (n == MAX_MADE || path.size() >= PATH_MAX)
        return false;
    std::memcpy(made_paths[n], path.c_str(), path.size() + 1);
    made_count = n + 1;
    return true;
}

// mkdir -p: every missing folder on the way, as the umask allows, each
// recorded for its removal before a stop can come between.
void make_folders(const std::string &path)
{
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/')
            continue;
        const std::string part = path.substr(0, i);
        bool made;
        int err;
        {
            ExitSignalHold hold;
            made = mkdir(part.c_str(), 0777) == 0;
            err = errno;
            if (made && !record_made(part))
                rmdir(part.c_str());
        }
        if (!made && err != EEXIST)
            fatal_error("Error creating the maps folder!\n%s: %s\n",
                        part.c_str(), std::strerror(err));
    }
    if (!is_folder(path))
        fatal_error("Error creating the maps folder!\n%s: %s\n", path.c_str(),
                    std::strerror(ENOTDIR));
}

}  // namespace

std::string pictures_folder()
{
    const std::string home = home_folder();
    const std::string text = read_settings(settings_path(home));
    std::string folder;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string value =
            setting_value(text.substr(start, end - start), home);
        if (!value.empty())
            folder = value;
        start = end + 1;
    }
    // A pictures folder set to the home folder is switched off.
    if (folder.empty() || folder == home || folder + "/" == home)
        return home + PICTURES_FALLBACK;
    return folder;
}

std::string make_world_folder(int world_number)
{
    const std::string folder = pictures_folder() + MAPS_FOLDER + "/World" +
                               std::to_string(world_number);
    static bool armed = false;
    if (!armed) {
        armed = true;
        add_exit_cleanup(remove_made_folders);
        std::atexit(remove_made_folders);
    }
    make_folders(folder);
    return folder;
}

void keep_world_folder() { keep_made = true; }
