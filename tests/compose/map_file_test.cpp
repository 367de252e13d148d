// How maps reach the disk: files that another user plants in a shared
// output folder are never written through, a disk that fills up keeps the
// older map, cut files are told from whole ones, and failed saves are
// reported with the system's reason in one message.
#include <gtest/gtest.h>

#include <allegro.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "change_list.h"
#include "compose_fixture.h"
#include "map_file.h"

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

// In a child process: becomes the other user, or fails.
bool become(const OtherUser &u)
{
    return setgroups(0, nullptr) == 0 && setgid(u.gid) == 0 &&
           setuid(u.uid) == 0 && getuid() == u.uid;
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

class MapFileTest : public ComposeFixture {
protected:
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

    // An output folder the user may not write to.
    ASSERT_EQ(chmod(root.c_str(), 0755), 0);
    ASSERT_EQ(chmod(out.c_str(), 0555), 0);
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
            ": Permission denied\nError saving map_zoom_1\\.png\n");
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
            bool w = map_file_whole(fd, ext);
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
    EXPECT_TRUE(map_file_whole(fd, "bmp"));
    close(fd);
    destroy_bitmap(big);
    destroy_bitmap(image);
}

}  // namespace
