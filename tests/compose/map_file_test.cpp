// How maps reach the disk: files that another user plants in a shared
// output folder are never written through, a disk that fills up keeps the
// older map, cut files are told from whole ones, and failed saves are
// reported with the system's reason in one message; maps reach file
// systems of fixed owner and mode, any umask works, a file-size limit is
// an error like any other, exit signals end the run with its clean-ups,
// and the leftovers of killed runs go once nobody holds them.
#include <gtest/gtest.h>

#include <allegro.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "change_list.h"
#include "compose_fixture.h"
#include "exit_signals.h"
#include "fat_disk.h"
#include "image_format.h"
#include "map_file.h"
#include "tile_check.h"
#include "tile_load.h"
#include "traced_child.h"

namespace {

const char VICTIM_DATA[] = "a file of the user that runs the program\n";
const char OLDER_MAP[] = "the map of an earlier run\n";

struct OtherUser {
    uid_t uid;
    gid_t gid;
};

// The unprivileged account every Debian system has, as a second user.
OtherUser nobody()
{
    const struct passwd *pw = getpwnam("nobody");
    return pw ? OtherUser{pw->pw_uid, pw->pw_gid} : OtherUser{65534, 65534};
}

// In a child process: becomes the other user, with a temporary folder
// that user reaches, or fails.
bool become(const OtherUser &u)
{
    return setgroups(0, nullptr) == 0 && setgid(u.gid) == 0 &&
           setuid(u.uid) == 0 && getuid() == u.uid &&
           setenv("TMPDIR", OTHER_USERS_TEMP, 1) == 0;
}

// Runs fn in a child process and returns its exit status (-1 if it did
// not exit).
template <typename Fn>
int in_child(Fn fn)
{
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        _exit(fn());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

bool is_regular(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool is_link(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Entries of a folder whose names hold ".part": temporary maps.
std::string temporaries(const std::string &folder)
{
    return run_command("ls -A '" + folder + "' | grep '\\.part' || true");
}

// In a death test's child: each message shows as one box on standard
// error, so that the test sees how many boxes a user would click.
void message_boxes_to_stderr()
{
    messages_to_stderr();
    system_driver->message = [](const char *msg) {
        std::fprintf(stderr, "<box>\n%s</box>\n", msg);
    };
}

// Some cases act as the user nobody, who must reach their folders.
class MapFileTest : public ComposeFixture {
protected:
    MapFileTest() { temp_base = OTHER_USERS_TEMP; }

    std::string map_path(const std::string &folder, int zoom) const
    {
        return folder + "/map_zoom_" + std::to_string(zoom) + "." + world.ext;
    }
};

// Another user who may write to the output folder (a group folder
// without the sticky bit) knows the process ids and plants links to a
// file of ours at every name that a save could predict; none of them may
// be written through.
TEST_F(MapFileTest, LinksPlantedByAnotherUserAreNeverWrittenThrough)
{
    write_and_read();
    const std::string victim = root + "/victim.txt";
    write_file(victim, VICTIM_DATA);
    const OtherUser other = nobody();
    const bool two_users = geteuid() == 0;
    if (two_users) {
        ASSERT_EQ(chown(out.c_str(), 0, other.gid), 0);
        ASSERT_EQ(chmod(out.c_str(), 0775), 0);
    } else {
        std::cout << "not root: the links are planted by the same user\n";
    }

    // The save waits until the links are in place.
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::fflush(nullptr);
    pid_t saver = fork();
    ASSERT_GE(saver, 0);
    if (saver == 0) {
        char c;
        close(go[1]);
        if (read(go[0], &c, 1) != 1)
            _exit(2);
        if (!std::freopen("/dev/null", "w", stdout))
            _exit(2);
        compose_maps(world.number);
        _exit(0);
    }
    close(go[0]);
    int planted = in_child([&] {
        if (two_users && !become(other))
            return 3;
        for (int z = 0; z <= ZoomBounds.max_zoom; ++z) {
            const std::string stem = out + "/map_zoom_" + std::to_string(z);
            for (const std::string &name :
                 {stem + ".part" + std::to_string(saver) + ".png",
                  stem + ".png"})
                if (symlink(victim.c_str(), name.c_str()) != 0)
                    return 4;
        }
        return 0;
    });
    EXPECT_EQ(write(go[1], "g", 1), 1);
    close(go[1]);
    int status = 0;
    ASSERT_EQ(waitpid(saver, &status, 0), saver);
    ASSERT_EQ(planted, 0) << "the other user could not plant the links";

    EXPECT_TRUE(read_file(victim) == VICTIM_DATA)
        << "the save wrote through a planted link into " << victim;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int z = 0; z <= ZoomBounds.max_zoom; ++z) {
        // The maps replaced the links at their names; the other links are
        // the other user's business and stay.
        EXPECT_TRUE(is_regular(map_path(out, z))) << z;
        BITMAP *map = load_bitmap(map_path(out, z).c_str(), NULL);
        EXPECT_NE(map, nullptr) << z;
        if (map)
            destroy_bitmap(map);
        EXPECT_TRUE(is_link(out + "/map_zoom_" + std::to_string(z) + ".part" +
                            std::to_string(saver) + ".png"));
    }
    EXPECT_EQ(run_command("ls -A '" + out + "' | grep -vc '\\.part[0-9]'"), "3\n");
}

// A small disk of its own, mounted on a folder for one test.
class SmallDisk {
public:
    std::string path, error;
    explicit SmallDisk(const std::string &where) : path(where)
    {
        mkdir(path.c_str(), 0755);
        if (mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                  "size=4m") != 0)
            error = std::strerror(errno);
        else
            mounted = true;
    }
    ~SmallDisk()
    {
        if (mounted && umount2(path.c_str(), MNT_DETACH) != 0)
            std::perror("umount");
    }
    // Leaves exactly pages free pages.
    bool fill_to(long pages)
    {
        struct statvfs vfs;
        if (statvfs(path.c_str(), &vfs) != 0)
            return false;
        const long page = static_cast<long>(vfs.f_bsize);
        const long fill = static_cast<long>(vfs.f_bavail) * page - pages * page;
        write_file(path + "/filler", std::string(static_cast<size_t>(fill), '\0'));
        return statvfs(path.c_str(), &vfs) == 0 &&
               static_cast<long>(vfs.f_bavail) == pages;
    }
    bool free_one_page()
    {
        struct stat st;
        return stat((path + "/filler").c_str(), &st) == 0 &&
               truncate((path + "/filler").c_str(), st.st_size - sysconf(_SC_PAGESIZE)) == 0;
    }

private:
    bool mounted = false;
};

// The disk fills up just before the PNG's last bytes, which the PNG saver
// writes when it closes the file and whose failure it ignores.
TEST_F(MapFileTest, FullDiskAtTheLastBytesKeepsTheOlderMap)
{
    world.textured = true;
    world.tiles = {{0, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 1, 1}};
    write_and_read();
    compose();
    const std::string whole_map = read_file(map_path(out, 0));
    ASSERT_GT(whole_map.size(), 0u);

    SmallDisk disk(out + "/disk");
    if (!disk.error.empty())
        GTEST_SKIP() << "cannot mount a 4 MiB tmpfs (needs root): " << disk.error;
    ASSERT_EQ(chdir(disk.path.c_str()), 0);
    write_file(map_path(disk.path, 0), OLDER_MAP);
    const long page = sysconf(_SC_PAGESIZE);
    const long pages = (static_cast<long>(whole_map.size()) + page - 1) / page;
    ASSERT_TRUE(disk.fill_to(pages - 1));
    EXPECT_EXIT(
        {
            messages_to_stderr();
            compose_maps(world.number);
            std::exit(0);
        },
        ::testing::ExitedWithCode(1),
        "Error saving map_zoom_0\\.png\n[^\n]*: No space left on device\n");
    EXPECT_TRUE(read_file(map_path(disk.path, 0)) == OLDER_MAP)
        << "the older map was replaced";
    EXPECT_EQ(temporaries(disk.path), "");

    // One page more and the same map fits: the failure was its last bytes.
    ASSERT_TRUE(disk.free_one_page());
    EXPECT_EXIT(
        {
            messages_to_stderr();
            compose_maps(world.number);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "map_zoom_0\\.png saved");
    EXPECT_TRUE(read_file(map_path(disk.path, 0)) == whole_map)
        << "the map saved with room differs from the one saved before";
    EXPECT_EQ(temporaries(disk.path), "");
    ASSERT_EQ(chdir(out.c_str()), 0);
}

// Levels 0 and 2 cannot replace their maps (folders hold the names), level
// 1 can: one message at the end names both failures with the system's
// reason, and level 1 is written.
TEST_F(MapFileTest, FailedSavesAreReportedTogetherWithTheSystemsReason)
{
    write_and_read();
    ASSERT_EQ(mkdir(map_path(out, 0).c_str(), 0755), 0);
    ASSERT_EQ(mkdir(map_path(out, 2).c_str(), 0755), 0);
    EXPECT_EXIT(
        {
            message_boxes_to_stderr();
            compose_maps(world.number);
            std::exit(0);
        },
        ::testing::ExitedWithCode(1),
        "Saving map_zoom_0\\.png\nSaving map_zoom_1\\.png\n"
        "map_zoom_1\\.png saved\nSaving map_zoom_2\\.png\n<box>\n"
        "Error saving map_zoom_0\\.png\n[^\n]*: Is a directory\n"
        "Error saving map_zoom_2\\.png\n[^\n]*: Is a directory\n</box>\n$");
    EXPECT_TRUE(is_regular(map_path(out, 1)));
    EXPECT_EQ(temporaries(out), "");

    // An output folder the user may not write to (0555), or not search
    // (0666): the message names it either way.
    ASSERT_EQ(chmod(root.c_str(), 0755), 0);
    for (mode_t mode : {0555, 0666}) {
        ASSERT_EQ(chmod(out.c_str(), mode), 0);
        EXPECT_EXIT(
            {
                message_boxes_to_stderr();
                if (geteuid() == 0 && !become(nobody()))
                    std::exit(3);
                compose_maps(world.number);
                std::exit(0);
            },
            ::testing::ExitedWithCode(1),
            "<box>\nError saving map_zoom_0\\.png\n[^\n]*" + out +
                ": Permission denied\n" +
                (mode == 0555 ? "Error saving map_zoom_1\\.png\n" : ""));
    }
    ASSERT_EQ(chmod(out.c_str(), 0755), 0);
}

// Files the real savers write, whole and cut at telling places.
TEST_F(MapFileTest, WholeMapsAreToldFromCutOnes)
{
    const int EDGE = 128;
    world.textured = true;
    BITMAP *image = make_tile_bitmap(world, {0, 0, 0});
    ASSERT_NE(image, nullptr);
    BITMAP *big = create_bitmap(EDGE, EDGE);
    stretch_blit(image, big, 0, 0, image->w, image->h, 0, 0, EDGE, EDGE);
    for (const char *ext : {"png", "jpg", "gif", "PNG"}) {
        const std::string path = out + "/whole." + ext;
        ASSERT_EQ(save_bitmap(path.c_str(), big, NULL), 0) << ext;
        const std::string bytes = read_file(path);
        auto whole = [&](const std::string &data) {
            write_file(path, data);
            int fd = open(path.c_str(), O_RDONLY);
            bool w = image_file_whole(fd, format_of_extension(ext));
            close(fd);
            return w;
        };
        EXPECT_TRUE(whole(bytes)) << ext;
        std::vector<size_t> cuts = {0, 10, bytes.size() / 2, bytes.size() - 1};
        if (std::string(ext) == "gif") {
            // Cut right after a data byte that has the trailer's value.
            size_t at = bytes.find(';', 20);
            ASSERT_LT(at, bytes.size() - 1);
            cuts.push_back(at + 1);
        } else if (std::string(ext) == "png") {
            cuts.push_back(bytes.size() - 12);  // without IEND
        }
        for (size_t cut : cuts)
            EXPECT_FALSE(whole(bytes.substr(0, cut))) << ext << " cut at " << cut;
    }
    // Other formats are not checked.
    write_file(out + "/other.bmp", "BM");
    int fd = open((out + "/other.bmp").c_str(), O_RDONLY);
    EXPECT_TRUE(image_file_whole(fd, format_of_extension("bmp")));
    close(fd);
    destroy_bitmap(big);
    destroy_bitmap(image);
}

// A USB stick or a Windows share: the private folder cannot show mode
// 0700 there, yet the maps are written and nothing is left beside them;
// the locks of unfinished maps hold there too.
TEST_F(MapFileTest, MapsReachAFileSystemOfFixedOwnerAndMode)
{
    write_and_read();
    FatDisk disk(out + "/stick", root + "/stick.img");
    if (!disk.error.empty())
        GTEST_SKIP() << "cannot mount a FAT or exFAT image (needs root, a "
                        "loop device or FUSE): " << disk.error;
    std::cout << "on " << disk.kind << "\n";
    ASSERT_EQ(chdir(disk.path.c_str()), 0);
    // Unfinished maps of a killed run and of one that still holds its lock.
    const std::string dead = "map_zoom_1.part-0123456789abcdef";
    const std::string held = "map_zoom_1.part-fedcba9876543210";
    for (const std::string &f : {dead, held}) {
        ASSERT_EQ(mkdir(f.c_str(), 0700), 0);
        write_file(f + "/map_zoom_1.png", "cut");
        write_file(f + "/lock", "");
    }
    const int lock = open((held + "/lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    EXPECT_EXIT(
        {
            messages_to_stderr();
            compose_maps(world.number);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "map_zoom_2\\.png saved\n");
    for (int z = 0; z <= ZoomBounds.max_zoom; ++z)
        EXPECT_TRUE(is_regular(map_path(disk.path, z))) << z;
    EXPECT_EQ(temporaries(disk.path), held + "\n");
    close(lock);
    ASSERT_EQ(chdir(out.c_str()), 0);
}

// Umasks that take the owner's own bits: the private folder still works,
// and each map gets the mode that any new file would.
TEST_F(MapFileTest, AnyUmaskSavesMapsOfTheUsualMode)
{
    write_and_read();
    const OtherUser user = nobody();
    const bool as_user = geteuid() == 0;  // root would pass any mode
    ASSERT_EQ(chmod(root.c_str(), 0755), 0);
    if (as_user) {
        ASSERT_EQ(chown(out.c_str(), user.uid, user.gid), 0);
    }
    for (mode_t mask : {0277, 0222, 0200, 0700, 0777}) {
        EXPECT_EXIT(
            {
                messages_to_stderr();
                if (as_user && !become(user))
                    std::exit(3);
                umask(mask);
                compose_maps(world.number);
                std::exit(0);
            },
            ::testing::ExitedWithCode(0), "map_zoom_2\\.png saved\n")
            << "umask " << std::oct << mask;
        for (int z = 0; z <= ZoomBounds.max_zoom; ++z) {
            struct stat st;
            ASSERT_EQ(lstat(map_path(out, z).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask)
                << "umask " << std::oct << mask << ", zoom " << z;
        }
        EXPECT_EQ(temporaries(out), "");
    }
}

// ulimit -f: an error with the system's reason, not SIGXFSZ.
TEST_F(MapFileTest, AFileSizeLimitIsReportedAndKeepsTheOlderMap)
{
    // Room for the log and the message that standard error carries here,
    // not for the map of textured tiles.
    const rlim_t LIMIT_BYTES = 16384;
    world.textured = true;
    world.tile_size = 128;
    write_and_read();
    write_file(map_path(out, 0), OLDER_MAP);
    EXPECT_EXIT(
        {
            messages_to_stderr();
            struct rlimit limit;
            limit.rlim_cur = limit.rlim_max = LIMIT_BYTES;
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
                std::exit(3);
            compose_maps(world.number);
            std::exit(0);
        },
        ::testing::ExitedWithCode(1),
        "Error saving map_zoom_0\\.png\n[^\n]*: File too large\n");
    EXPECT_TRUE(read_file(map_path(out, 0)) == OLDER_MAP);
    EXPECT_EQ(temporaries(out), "");
}

char marker_path[PATH_MAX];
void remove_marker() { unlink(marker_path); }

// Each exit signal runs the clean-ups of the process that registered
// them (not those of its parent) and ends it with 128 plus its number;
// one that comes while they are held waits for the resume.
TEST_F(MapFileTest, ExitSignalsRunTheCleanUpsAndEndWith128PlusTheSignal)
{
    std::snprintf(marker_path, sizeof marker_path, "%s/marker", out.c_str());
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2,
                    SIGALRM, SIGPIPE}) {
        write_file(marker_path, "x");
        const int status = in_child([sig] {
            catch_exit_signals();
            add_exit_cleanup(remove_marker);
            const int forked = in_child([sig] {
                raise(sig);
                return 0;
            });
            if (forked != SIGNAL_EXIT_BASE + sig || access(marker_path, F_OK) != 0)
                return 2;
            {
                ExitSignalHold hold;
                raise(sig);
                if (access(marker_path, F_OK) != 0)
                    _exit(3);
            }
            return 4;
        });
        EXPECT_EQ(status, SIGNAL_EXIT_BASE + sig) << strsignal(sig);
        EXPECT_FALSE(file_exists(marker_path)) << strsignal(sig);
    }
}

// A hold of the exit signals ends with its scope, however it is left:
// nested holds let a signal through at the outer one's end, an exception
// out of a hold ends it, and a signal then ends the run at once.
TEST_F(MapFileTest, AHoldOfTheExitSignalsEndsWithItsScope)
{
    std::snprintf(marker_path, sizeof marker_path, "%s/marker", out.c_str());
    write_file(marker_path, "x");
    const int nested = in_child([] {
        catch_exit_signals();
        add_exit_cleanup(remove_marker);
        try {
            ExitSignalHold outer;
            {
                ExitSignalHold inner;
                raise(SIGTERM);
            }
            if (access(marker_path, F_OK) != 0)
                _exit(2);
            throw std::runtime_error("an early way out");
        } catch (const std::exception &) {
            return 3;
        }
    });
    EXPECT_EQ(nested, SIGNAL_EXIT_BASE + SIGTERM);
    EXPECT_FALSE(file_exists(marker_path));
    const int after_throw = in_child([] {
        catch_exit_signals();
        try {
            ExitSignalHold hold;
            throw std::runtime_error("an early way out");
        } catch (const std::exception &) {
        }
        raise(SIGINT);
        return 4;
    });
    EXPECT_EQ(after_throw, SIGNAL_EXIT_BASE + SIGINT);
}

char runs_path[PATH_MAX];
// Notes each run of it, and takes a while, as removing a big tree does.
void count_run()
{
    const long RUN_NS = 200 * 1000 * 1000;
    const int fd = open(runs_path, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd >= 0) {
        if (write(fd, "x", 1) != 1)
            _exit(5);
        close(fd);
    }
    const struct timespec run_time = {0, RUN_NS};
    nanosleep(&run_time, nullptr);
}

// Two exit signals taken at once on two threads: the clean-ups run once,
// on one of them, and the run ends with the first signal's code.
TEST_F(MapFileTest, TwoSignalsOnTwoThreadsRunTheCleanUpsOnce)
{
    std::snprintf(runs_path, sizeof runs_path, "%s/runs", out.c_str());
    write_file(runs_path, "");
    const int status = in_child([] {
        catch_exit_signals();
        add_exit_cleanup(count_run);
        // The threads take the signals; this one never does.
        auto wait = [] {
            for (;;)
                pause();
        };
        std::thread first(wait), second(wait);
        sigset_t exits;
        sigemptyset(&exits);
        sigaddset(&exits, SIGTERM);
        sigaddset(&exits, SIGINT);
        pthread_sigmask(SIG_BLOCK, &exits, nullptr);
        pthread_kill(first.native_handle(), SIGTERM);
        pthread_kill(second.native_handle(), SIGINT);
        first.join();
        return 0;
    });
    EXPECT_TRUE(status == SIGNAL_EXIT_BASE + SIGTERM ||
                status == SIGNAL_EXIT_BASE + SIGINT) << status;
    EXPECT_EQ(read_file(runs_path), "x") << "runs of the clean-ups";
}

// The entries of a folder whose names hold ".part" or start so.
std::vector<std::string> entries(const std::string &folder, const char *part)
{
    std::vector<std::string> names;
    for (const std::string &line :
         {run_command("ls -A '" + folder + "' | grep -F '" + part + "' || true")}) {
        size_t at = 0, end;
        while ((end = line.find('\n', at)) != std::string::npos) {
            names.push_back(line.substr(at, end - at));
            at = end + 1;
        }
    }
    return names;
}

// Stops a run in its tracks: with SIGKILL as power loss does, with
// SIGSTOP to keep it holding what it made.
void stop_run(pid_t pid, int sig)
{
    int status;
    kill(pid, sig);
    waitpid(pid, &status, WUNTRACED);
}

// Runs that could not clean up leave their tile links and unfinished
// maps; the next run removes them once nobody holds their locks.
TEST_F(MapFileTest, LeftoversOfKilledRunsGoOnceNobodyHoldsThem)
{
    const std::string tmp = root + "/tmp";
    ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
    setenv("TMPDIR", tmp.c_str(), 1);
    write_and_read();
    const std::string tile = listed_tile_path(world.number, tile_list.front());
    auto loading_run = [&](int sig) {
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            std::string why;
            BITMAP *b = load_checked_tile(tile, &why);
            if (sig)
                raise(sig);
            finish_tile_loads();
            _exit(b ? 0 : 2);
        }
        int status;
        waitpid(pid, &status, WUNTRACED);
        return pid;
    };
    const pid_t holder = loading_run(SIGSTOP);
    loading_run(SIGKILL);
    const std::vector<std::string> held = entries(tmp, "mapper-tiles.part-");
    ASSERT_EQ(held.size(), 2u) << "the killed and the stopped run's links";
    loading_run(0);
    const std::vector<std::string> left = entries(tmp, "mapper-tiles.part-");
    stop_run(holder, SIGKILL);
    ASSERT_EQ(left.size(), 1u) << "the killed run's links were kept";
    EXPECT_TRUE(left[0] == held[0] || left[0] == held[1]);
    loading_run(0);
    EXPECT_TRUE(entries(tmp, "mapper-tiles.part-").empty());

    // A noise canvas, whose PNG takes a while to write.
    const int EDGE = 2048;
    BITMAP *canvas = create_bitmap_ex(24, EDGE, EDGE);
    ASSERT_NE(canvas, nullptr);
    for (int y = 0; y < EDGE; ++y)
        for (int x = 0; x < EDGE * 3; ++x)
            canvas->line[y][x] = static_cast<unsigned char>(std::rand());
    auto saving_run = [&](int sig) {
        std::fflush(nullptr);
        const std::vector<std::string> before = entries(out, ".part");
        const pid_t pid = fork();
        if (pid == 0)
            _exit(save_map("map_zoom_0.png", canvas, nullptr) ? 0 : 2);
        // Stopped once its own folder is locked: a kill between the mkdir
        // and the lock leaves a folder that no run can tell from a live one.
        auto locked = [&] {
            for (const std::string &e : entries(out, ".part"))
                if (std::find(before.begin(), before.end(), e) == before.end() &&
                    access((out + "/" + e + "/lock").c_str(), F_OK) == 0)
                    return true;
            return false;
        };
        for (int i = 0; sig && i < 5000 && !locked(); ++i)
            usleep(1000);
        if (sig)
            stop_run(pid, sig);
        else
            waitpid(pid, nullptr, 0);
        return pid;
    };
    const pid_t saver = saving_run(SIGSTOP);
    saving_run(SIGKILL);
    const std::vector<std::string> saving = entries(out, ".part");
    ASSERT_EQ(saving.size(), 2u) << "the killed and the stopped save's folders";
    saving_run(0);
    const std::vector<std::string> unfinished = entries(out, ".part");
    stop_run(saver, SIGKILL);
    ASSERT_EQ(unfinished.size(), 1u) << "the killed save's folder was kept";
    EXPECT_TRUE(unfinished[0] == saving[0] || unfinished[0] == saving[1]);
    saving_run(0);
    EXPECT_TRUE(entries(out, ".part").empty());
    destroy_bitmap(canvas);
}

#if defined(__x86_64__)
class TracedSaveTest : public MapFileTest {
protected:
    BITMAP *canvas = nullptr;
    void SetUp() override
    {
        MapFileTest::SetUp();
        canvas = create_bitmap_ex(24, TILE, TILE);
        clear_to_color(canvas, makecol_depth(24, 10, 200, 30));
        if (traced_child([] { return 0; }, [](pid_t, user_regs_struct &, bool) {}) != 0)
            GTEST_SKIP() << "cannot trace a child process here (ptrace refused)";
    }
    void TearDown() override
    {
        if (canvas)
            destroy_bitmap(canvas);
        MapFileTest::TearDown();
    }
    int save() { return save_map("map_zoom_0.png", canvas, nullptr) ? 0 : 1; }
};

// The first random name is taken by someone else's folder, and a stop
// comes right then: the run ends with 143 and that folder stays.
TEST_F(TracedSaveTest, AStopAfterANameClashLeavesTheOtherFolder)
{
    std::string theirs;
    const int status = traced_child([this] { return save(); },
                                    [&](pid_t pid, user_regs_struct &r, bool entering) {
        if (r.orig_rax != SYS_mkdirat)
            return;
        if (entering && theirs.empty()) {
            theirs = traced_string(pid, r.rsi);
            mkdir((out + "/" + theirs).c_str(), 0700);
        } else if (!entering && static_cast<long long>(r.rax) == -EEXIST) {
            kill(pid, SIGTERM);
        }
    });
    EXPECT_EQ(status, SIGNAL_EXIT_BASE + SIGTERM);
    ASSERT_FALSE(theirs.empty());
    EXPECT_TRUE(file_exists(out + "/" + theirs)) << "the stop removed " << theirs;
    EXPECT_EQ(temporaries(out), theirs + "\n");
}

// Another user swaps a folder of theirs in right after the mkdir: the
// save refuses it, writes nothing through it and leaves it alone.
TEST_F(TracedSaveTest, AFolderSwappedInAfterTheMkdirIsRefused)
{
    const OtherUser other = nobody();
    std::string made;
    bool swapped = false;
    const int status = traced_child([this] { return save(); },
                                    [&](pid_t pid, user_regs_struct &r, bool entering) {
        if (r.orig_rax != SYS_mkdirat || swapped)
            return;
        if (entering) {
            made = traced_string(pid, r.rsi);
        } else {
            swapped = true;
            const std::string path = out + "/" + made;
            rename(path.c_str(), (out + "/moved").c_str());
            mkdir(path.c_str(), 0777);
            chmod(path.c_str(), 0777);
            if (chown(path.c_str(), other.uid, other.gid) != 0)
                std::perror("chown");
        }
    });
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(file_exists(out + "/" + made));
    EXPECT_EQ(run_command("ls -A '" + out + "/" + made + "'"), "")
        << "the save wrote into the other user's folder";
    EXPECT_FALSE(file_exists(map_path(out, 0)));
}

// getrandom may give fewer bytes than asked: the name is read to its
// end, not refused with whatever errno held before.
TEST_F(TracedSaveTest, AShortRandomReadIsReadOn)
{
    bool cut = false;
    const int status = traced_child([this] { return save(); },
                                    [&](pid_t pid, user_regs_struct &r, bool entering) {
        if (entering || cut || r.orig_rax != SYS_getrandom)
            return;
        r.rax = 3;
        ptrace(PTRACE_SETREGS, pid, nullptr, &r);
        cut = true;
    });
    EXPECT_TRUE(cut);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(is_regular(map_path(out, 0)));
    EXPECT_EQ(temporaries(out), "");
}
#endif

}  // namespace
