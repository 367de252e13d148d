#include "output_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "exit_signals.h"
#include "fatal_error.h"
#include "random_name.h"

namespace {

// The trial folder: a name nobody can guess, tried afresh should one
// exist already; readable by us alone, as the maps' private folders are.
const char TRIAL_PREFIX[] = ".mapper-trial-";
const mode_t TRIAL_MODE = S_IRWXU;

// Makes and removes a folder in the folder open at fd; 0 or the errno.
// A stop meanwhile waits until the folder is gone again.
int try_private_folder(int fd)
{
    std::string name;
    hold_exit_signals();
    int err = make_random_folder(fd, TRIAL_PREFIX, TRIAL_MODE, &name);
    if (err == 0 && unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0)
        err = errno;
    resume_exit_signals();
    return err;
}

[[noreturn]] void folder_failed(const char *what, const std::string &folder,
                                int err)
{
    fatal_error("Error %s the output folder!\n%s: %s\n", what, folder.c_str(),
                std::strerror(err));
}

}  // namespace

void use_output_folder(const std::string &folder)
{
    // O_PATH needs no read permission on the folder; the trial and the
    // change of folder then act on the very folder that was opened.
    const int fd = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        folder_failed("opening", folder, errno);
    if (int err = try_private_folder(fd))
        folder_failed("writing into", folder, err);
    if (fchdir(fd) != 0)
        folder_failed("entering", folder, errno);
    close(fd);
}
