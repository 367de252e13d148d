#include "watch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "change_list.h"
#include "exit_signals.h"
#include "fatal_error.h"
#include "file_io.h"
#include "live_web.h"
#include "watch_display.h"
#include "watch_state.h"
#include "web_map.h"
#include "world_layout.h"

namespace {

const char LIST_NAME[] = "changed.txt";
const uint32_t WORLD_EVENTS = IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO |
                              IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF |
                              IN_MOVE_SELF | IN_ATTRIB | IN_ONLYDIR;
const uint32_t FOLDER_GONE = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED;
const uint32_t OUTPUT_EVENTS = IN_DELETE_SELF | IN_MOVE_SELF | IN_ATTRIB | IN_ONLYDIR;
const int MS_A_SECOND = 1000;

struct Watch {
    int world = 0;
    int inotify_fd = -1, world_wd = -1, output_wd = -1;
    int signal_pipe[2] = {-1, -1};
    std::string world_folder;
    std::string output_folder;  // its path, for messages once it is gone
};
Watch w;

[[noreturn]] void world_gone(const std::string &why)
{
    save_changed_maps();
    fatal_error("Error watching world %d: its folder %s was removed or can no "
                "longer be read.\n%s\nThe maps saved so far are kept.\n", w.world,
                w.world_folder.c_str(), why.c_str());
}

[[noreturn]] void output_gone(const std::string &why)
{
    fatal_error("Error watching world %d: the output folder %s was removed or can "
                "no longer be written.\n%s\nThe maps saved so far are kept.\n",
                w.world, w.output_folder.c_str(), why.c_str());
}

// 0 while the output folder takes files, else the system's reason.
int output_refusal()
{
    struct stat st;
    if (stat(".", &st) != 0)
        return errno;
    if (st.st_nlink == 0)
        return ENOENT;
    return access(".", W_OK | X_OK) == 0 ? 0 : errno;
}

// New lines of the list into the batch; a replaced list starts over.
void read_list()
{
    // A list being written anew is read once it has been quiet a while.
    if (full_run_asked()) {
        ask_full_run();
        return;
    }
    std::vector<TileEntry> added;
    std::string why;
    switch (read_appended_lines(w.world, &added, &why)) {
    case LIST_READ:
        add_to_batch(added);
        break;
    case LIST_REPLACED:
        ask_full_run();
        break;
    case LIST_GONE:
        // Removed while the game writes a new one: that one comes as an
        // event. A folder that cannot be read any more ends the watch.
        if (access(w.world_folder.c_str(), R_OK | X_OK) != 0)
            world_gone(w.world_folder + ": " + std::strerror(errno));
        break;
    }
}

void read_events()
{
    alignas(struct inotify_event) char buf[sizeof(struct inotify_event) + NAME_MAX + 1];
    bool list_changed = false;
    for (;;) {
        const ssize_t n = read(w.inotify_fd, buf, sizeof buf);
        if (n <= 0)
            break;
        for (char *p = buf; p < buf + n;) {
            const auto *e = reinterpret_cast<const struct inotify_event *>(p);
            if (e->wd == w.output_wd) {
                const int refusal = (e->mask & FOLDER_GONE) ? ENOENT : output_refusal();
                if (refusal)
                    output_gone(w.output_folder + ": " + std::strerror(refusal));
            }
            if (e->wd == w.world_wd && (e->mask & FOLDER_GONE))
                world_gone(w.world_folder + ": " + std::strerror(ENOENT));
            if (e->wd == w.world_wd && e->len > 0 && std::strcmp(e->name, LIST_NAME) == 0)
                list_changed = true;
            if (e->wd == w.world_wd && (e->mask & IN_ATTRIB) && e->len == 0 &&
                access(w.world_folder.c_str(), R_OK | X_OK) != 0)
                world_gone(w.world_folder + ": " + std::strerror(errno));
            p += sizeof(struct inotify_event) + e->len;
        }
    }
    if (list_changed)
        read_list();
}

void start_inotify()
{
    w.inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (w.inotify_fd < 0)
        fatal_error("Error watching world %d: inotify: %s\n", w.world,
                    std::strerror(errno));
    w.world_wd = inotify_add_watch(w.inotify_fd, w.world_folder.c_str(), WORLD_EVENTS);
    if (w.world_wd < 0)
        world_gone(w.world_folder + ": " + std::strerror(errno));
    w.output_wd = inotify_add_watch(w.inotify_fd, ".", OUTPUT_EVENTS);
    if (w.output_wd < 0)
        output_gone(w.output_folder + ": " + std::strerror(errno));
}

void start_signal_pipe()
{
    if (pipe2(w.signal_pipe, O_NONBLOCK | O_CLOEXEC) != 0)
        fatal_error("Error watching world %d: a pipe: %s\n", w.world,
                    std::strerror(errno));
    defer_exit_signals(w.signal_pipe[1]);
}

int timeout_ms(double due)
{
    if (due < 0)
        return -1;
    const double left = due - watch_clock();
    return left <= 0 ? 0 : static_cast<int>(left * MS_A_SECOND) + 1;
}

// The last lines, the tiles they name and the maps, then the end.
int finish(int code)
{
    defer_exit_signals(-1);
    read_list();
    process_due(true);
    save_changed_maps();
    stop_live_web();
    end_watch_display();
    return code;
}

}  // namespace

int watch_world(int world_number, const Options &options)
{
    w.world = world_number;
    w.world_folder = world_folder_path(appdata_path, world_number);
    w.output_folder = current_folder();
    start_signal_pipe();
    start_inotify();
    start_watch_state(world_number, options.save_after);
    // Lines written since the full run read the list.
    read_list();
    for (;;) {
        struct pollfd fds[3] = {{w.inotify_fd, POLLIN, 0},
                                {w.signal_pipe[0], POLLIN, 0},
                                {watch_stop_fd(), POLLIN, 0}};
        const int ready = poll(fds, 3, timeout_ms(next_due()));
        if (ready < 0 && errno != EINTR)
            fatal_error("Error watching world %d: poll: %s\n", w.world,
                        std::strerror(errno));
        unsigned char sig = 0;
        if (ready > 0 && (fds[1].revents & POLLIN) && read(w.signal_pipe[0], &sig, 1) == 1) {
            finish(0);
            end_by_exit_signal(sig);
        }
        if (ready > 0 && (fds[2].revents & POLLIN))
            return finish(0);
        if (ready > 0 && (fds[0].revents & POLLIN))
            read_events();
        process_due(false);
        if (const int refusal = output_refusal())
            output_gone(w.output_folder + ": " + std::strerror(refusal));
    }
}
