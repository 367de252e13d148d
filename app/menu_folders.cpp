// The system's side of the menu launch: the pictures folder, the maps'
// folder in it, and opening a folder in the desktop's file manager.
#include "menu_launch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fatal_error.h"

namespace {

const char PICTURES_QUERY[] = "xdg-user-dir PICTURES 2>/dev/null";
const char PICTURES_FALLBACK[] = "Pictures";
const char MAPS_FOLDER[] = "Mapper";
const char OPENER[] = "xdg-open";

std::string read_command(const char *command)
{
    std::string out;
    FILE *p = popen(command, "r");
    if (!p)
        return out;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

bool is_folder(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p: every missing folder on the way, as the umask allows.
void make_folders(const std::string &path)
{
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/')
            continue;
        const std::string part = path.substr(0, i);
        if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST)
            fatal_error("Error creating the maps folder!\n%s: %s\n",
                        part.c_str(), std::strerror(errno));
    }
    if (!is_folder(path))
        fatal_error("Error creating the maps folder!\n%s: %s\n", path.c_str(),
                    std::strerror(ENOTDIR));
}
}  // namespace

std::string pictures_folder()
{
    const char *home = std::getenv("HOME");
    if (!home || home[0] != '/')
        fatal_error("Error finding the pictures folder!\n"
                    "HOME does not name a folder\n");
    // xdg-user-dir prints the home folder for a folder it does not know.
    const std::string xdg = read_command(PICTURES_QUERY);
    if (!xdg.empty() && xdg[0] == '/' && xdg != home &&
        xdg != std::string(home) + "/")
        return xdg;
    return std::string(home) + "/" + PICTURES_FALLBACK;
}

std::string make_world_folder(int world_number)
{
    const std::string folder = pictures_folder() + "/" + MAPS_FOLDER +
                               "/World" + std::to_string(world_number);
    make_folders(folder);
    return folder;
}

bool open_folder(const std::string &folder, std::string *why)
{
    // The opener is started by a child that ends at once, so that nothing
    // waits for it and it leaves no zombie; a pipe that closes on exec
    // brings back its errno when it could not be started.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *why = std::string("Cannot open: ") + std::strerror(errno);
        return false;
    }
    const pid_t child = fork();
    if (child == 0) {
        if (fork() == 0) {
            execlp(OPENER, OPENER, folder.c_str(), static_cast<char *>(nullptr));
            const int err = errno;
            if (write(fds[1], &err, sizeof err) < 0)
                _exit(127);
            _exit(127);
        }
        _exit(0);
    }
    close(fds[1]);
    int err = child < 0 ? errno : 0;
    if (child > 0) {
        waitpid(child, nullptr, 0);
        if (read(fds[0], &err, sizeof err) != sizeof err)
            err = 0;
    }
    close(fds[0]);
    if (err != 0)
        *why = std::string(OPENER) + ": " + std::strerror(err);
    return err == 0;
}
