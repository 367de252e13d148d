// The web map cut from the compositor's canvases: the pyramid against the
// map, its replacement by a later run, its tile formats, and the page in
// a real headless browser.
#include <gtest/gtest.h>

#include <allegro.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../compose/compose_fixture.h"
#include "compose_listeners.h"
#include "fat_disk.h"
#include "traced_child.h"
#include "web_map.h"

namespace {

const int WEB_TILE = 256;
const int GRID_TILE = 64;

class WebMapTest : public ComposeFixture {
protected:
    void SetUp() override
    {
        ComposeFixture::SetUp();
        world.tile_size = GRID_TILE;
        start_web_map(BACKGROUND_R, BACKGROUND_G, BACKGROUND_B);
        listen_to_compose(true);
        name_web_map("World1 map");
    }
    void TearDown() override
    {
        compose_observer = nullptr;
        ComposeFixture::TearDown();
    }

    // Composes the world with its web map; returns the log.
    std::string compose_with_web()
    {
        ComposeFixture::write_and_read();
        const std::string log = compose();
        std::string why;
        EXPECT_TRUE(finish_web_map(&why)) << why;
        return log;
    }

    std::string web_path(const std::string &rest) const
    {
        return out + "/" + WEB_FOLDER_NAME + "/" + rest;
    }

    // Every 256-pixel cell of the map at the pyramid's deepest level: a
    // tile with the map's pixels (background beyond its edges), or none
    // where the map is wholly background there.
    void expect_deepest_level_is_map(int zoom, int depth)
    {
        BITMAP *map = load_bitmap(("map_zoom_" + std::to_string(zoom) + ".png").c_str(),
                                  nullptr);
        ASSERT_NE(map, nullptr);
        const int background = makecol_depth(bitmap_color_depth(map), BACKGROUND_R,
                                              BACKGROUND_G, BACKGROUND_B);
        for (int ty = 0; ty * WEB_TILE < map->h; ++ty) {
            for (int tx = 0; tx * WEB_TILE < map->w; ++tx) {
                const std::string name = "z" + std::to_string(zoom) + "/" +
                                         std::to_string(depth) + "/" +
                                         std::to_string(ty) + "/" +
                                         std::to_string(tx) + ".png";
                bool blank = true;
                for (int y = 0; y < WEB_TILE && blank; ++y)
                    for (int x = 0; x < WEB_TILE && blank; ++x) {
                        const int mx = tx * WEB_TILE + x, my = ty * WEB_TILE + y;
                        blank = mx >= map->w || my >= map->h ||
                                getpixel(map, mx, my) == background;
                    }
                BITMAP *tile = load_bitmap(web_path(name).c_str(), nullptr);
                EXPECT_EQ(tile == nullptr, blank) << name;
                if (!tile)
                    continue;
                int wrong = 0;
                for (int y = 0; y < WEB_TILE; ++y)
                    for (int x = 0; x < WEB_TILE; ++x) {
                        const int mx = tx * WEB_TILE + x, my = ty * WEB_TILE + y;
                        const int want = mx < map->w && my < map->h
                                             ? getpixel(map, mx, my) : background;
                        wrong += getpixel(tile, x, y) != want;
                    }
                EXPECT_EQ(wrong, 0) << name << " differs from the map";
                destroy_bitmap(tile);
            }
        }
        destroy_bitmap(map);
    }

    std::string leftovers() const
    {
        return run_command("ls -A '" + out + "' | grep -e '\\.part-' -e '\\.old-'");
    }
};

// Grid cells (-2,-1), (1,0) and (5,4) at 64 pixels: a 512 x 384 map whose
// 256-pixel cells (1,0) and (0,1) are background, and a one-tile level 1.
const std::vector<GenTile> FIRST_WORLD = {
    {0, -2, -1}, {0, 1, 0}, {0, 5, 4}, {1, 0, 0}, {1, 1, 1}};
// The same columns over two rows, one level: cell (1,1) of the first
// run's pyramid is gone, and level 1 with it.
const std::vector<GenTile> SECOND_WORLD = {{0, -2, -1}, {0, 1, 0}, {0, 5, -1}};

TEST_F(WebMapTest, PyramidHoldsTheMapAndASecondRunReplacesItWhole)
{
    world.textured = true;
    world.tiles = FIRST_WORLD;
    const std::string log = compose_with_web();
    EXPECT_NE(log.find("Cutting web tiles for map_zoom_0.png\nSaving map_zoom_0.png\n"
                       "map_zoom_0.png saved\nCutting web tiles for map_zoom_0.png done\n"
                       "Cutting web tiles for map_zoom_1.png\n"),
              std::string::npos) << log;
    expect_deepest_level_is_map(0, 1);
    expect_deepest_level_is_map(1, 0);
    EXPECT_TRUE(file_exists(web_path("z0/0/0/0.png")));
    EXPECT_TRUE(file_exists(out + "/" + WEB_PAGE_NAME));
    EXPECT_TRUE(file_exists(web_path("leaflet.js")));
    EXPECT_TRUE(file_exists(web_path("images/layers.png")));

    tile_list.clear();
    std::memset(&ZoomBounds, 0, sizeof ZoomBounds);
    world.tiles = SECOND_WORLD;
    compose_with_web();
    expect_deepest_level_is_map(0, 1);
    EXPECT_FALSE(file_exists(web_path("z0/1/1/1.png")));
    EXPECT_FALSE(file_exists(web_path("z1")));
    EXPECT_EQ(leftovers(), "");
}

// JPEG maps get JPEG tiles; PNG and GIF maps get PNG tiles.
TEST_F(WebMapTest, TilesTakeTheMapsFormat)
{
    const std::map<std::string, std::string> tile_format = {
        {"png", "png"}, {"gif", "png"}, {"jpg", "jpg"}};
    world.tiles = {{0, 0, 0}};
    for (const auto &[map_ext, ext] : tile_format) {
        tile_list.clear();
        std::memset(&ZoomBounds, 0, sizeof ZoomBounds);
        std::memset(tile_ext, 0, sizeof tile_ext);
        world.ext = map_ext;
        compose_with_web();
        const std::string tile = read_file(web_path("z0/0/0/0." + ext));
        const std::string magic = ext == "png" ? "\x89PNG" : "\xff\xd8\xff";
        EXPECT_EQ(tile.substr(0, magic.size()), magic) << map_ext;
        EXPECT_NE(read_file(web_path("levels.js")).find("format: \"" + ext + "\""),
                  std::string::npos) << map_ext;
    }
}

// A disk that fills up while the web map is written: the program run
// fails with the reason, leaves nothing unfinished and keeps the older
// maps and web map. (The program itself, since libvips's threads do not
// survive a death test's fork.)
TEST_F(WebMapTest, FullDiskKeepsTheOlderWebMap)
{
    world.textured = true;
    world.tiles = FIRST_WORLD;
    write_and_read();
    const std::string disk = out + "/disk";
    ASSERT_EQ(mkdir(disk.c_str(), 0755), 0);
    if (mount("tmpfs", disk.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=2m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs (needs root): " << std::strerror(errno);
    const std::string run = "XDG_DATA_HOME='" + root + "' '" + MAPPER_PROGRAM +
                            "' --world 1 --web --quiet --output '" + disk + "' 2>&1";
    const std::string files = "cd '" + disk + "' && find . -type f | sort | xargs md5sum";
    int status = -1;
    EXPECT_EQ(run_command(run, &status), "");
    EXPECT_EQ(status, 0);
    const std::string older = run_command(files);
    // Room for the maps, Leaflet's files and half of the tiles.
    struct statvfs vfs;
    ASSERT_EQ(statvfs(disk.c_str(), &vfs), 0);
    auto bytes = [&](const std::string &what) {
        return std::stol(run_command("cd '" + disk + "' && du -cb " + what + " | tail -1"));
    };
    const long fill = static_cast<long>(vfs.f_bavail * vfs.f_bsize) -
                      bytes("map_zoom_*") - bytes("map_web") + bytes("map_web/z*") / 2;
    write_file(disk + "/filler", std::string(static_cast<size_t>(std::max(fill, 0L)), '\0'));
    const std::string message = run_command(run, &status);
    EXPECT_NE(message.find("No space left on device"), std::string::npos) << message;
    EXPECT_EQ(status, 1);
    std::remove((disk + "/filler").c_str());
    EXPECT_EQ(run_command(files), older);
    EXPECT_EQ(run_command("ls -A '" + disk + "' | grep -e '\\.part-' -e '\\.old-'"), "");
    umount2(disk.c_str(), MNT_DETACH);
}

// A disk with room for the maps but not for the web map beside them, by
// its bytes (Leaflet's files already fill it) or by its inodes (they run
// out among the tiles): the maps are saved whole all the same, and the
// web map is left out with the system's reason and the output folder's
// name, not libvips's "wbuffer_write: write failed" nor a folder already
// gone; nothing unfinished stays.
TEST_F(WebMapTest, MapsComeFirstOnADiskWithoutRoomForTheWebMap)
{
    world.textured = true;
    world.tiles = FIRST_WORLD;
    write_and_read();
    const std::string disk = out + "/disk", whole = out + "/whole";
    ASSERT_EQ(mkdir(disk.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(whole.c_str(), 0755), 0);
    auto run = [&](const std::string &where, const std::string &options, int *status) {
        return run_command("XDG_DATA_HOME='" + root + "' '" + MAPPER_PROGRAM +
                               "' --world 1 --quiet " + options + " --output '" +
                               where + "' 2>&1", status);
    };
    int status = -1;
    ASSERT_EQ(run(whole, "--web", &status), "");
    auto allocated = [&](const std::string &what) {
        return std::stol(run_command("cd '" + whole + "' && du -c --block-size=1 " +
                                     what + " | tail -1"));
    };
    const long maps = allocated("map_zoom_*");
    const long leaflet = allocated("map_web/leaflet.js");
    // The maps' own save holds a folder, its lock and the file at most.
    const int maps_inodes = 1 + 2 + 3, web_inodes_before_tiles = 11;
    const std::string limits[] = {
        "size=" + std::to_string((maps + leaflet / 3) / 1024) + "k",
        "nr_inodes=" + std::to_string(maps_inodes + web_inodes_before_tiles + 4)};
    for (const std::string &limit : limits) {
        if (mount("tmpfs", disk.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                  limit.c_str()) != 0)
            GTEST_SKIP() << "cannot mount a tmpfs (needs root): " << std::strerror(errno);
        const std::string message = run(disk, "--web", &status);
        EXPECT_EQ(status, 1) << limit;
        EXPECT_EQ(message.rfind("Error writing the web map map_web\n", 0), 0u)
            << limit << ": " << message;
        EXPECT_NE(message.find(" in " + disk), std::string::npos) << limit << ": " << message;
        EXPECT_NE(message.find(": No space left on device\n"), std::string::npos)
            << limit << ": " << message;
        EXPECT_EQ(message.find(".part-"), std::string::npos) << limit << ": " << message;
        for (const char *map : {"map_zoom_0.png", "map_zoom_1.png"})
            EXPECT_EQ(read_file(disk + "/" + map), read_file(whole + "/" + map))
                << limit << ": " << map;
        EXPECT_EQ(run_command("ls -A '" + disk + "' | grep -v '^map_zoom_[01].png$'"), "")
            << limit;
        umount2(disk.c_str(), MNT_DETACH);
    }
}

// libvips and the hundred libraries it brings are loaded only for a web
// map: a plain run maps none of them (18 MB of its peak memory).
TEST_F(WebMapTest, LibvipsIsLoadedOnlyForTheWebMap)
{
    world.tiles = {{0, 0, 0}};
    write_and_read();
    for (const std::string options : {"", "--web"}) {
        int status = -1;
        const std::string loads = run_command(
            "LD_DEBUG=files XDG_DATA_HOME='" + root + "' '" + MAPPER_PROGRAM +
                "' --world 1 --quiet " + options + " 2>&1 >/dev/null | "
                "grep -c 'file=libvips\\.so'",
            &status);
        EXPECT_EQ(loads == "0\n", options.empty()) << "options: " << options;
    }
}

// A memory control group that holds the map alone but not the map and
// the web map's cut: the check before the canvases counts the cut and
// refuses the run with a message, where the kernel killed it unannounced.
TEST_F(WebMapTest, CheckBeforeTheCanvasesCountsTheCut)
{
    const std::string hierarchy = file_exists("/sys/fs/cgroup/cgroup.subtree_control") &&
                                          read_file("/sys/fs/cgroup/cgroup.subtree_control")
                                                  .find("memory") != std::string::npos
                                      ? "/sys/fs/cgroup" : "/sys/fs/cgroup/memory";
    const bool v2 = hierarchy == "/sys/fs/cgroup";
    const std::string group = hierarchy + "/mapper-web-" + std::to_string(getpid());
    if (access((hierarchy + "/cgroup.procs").c_str(), W_OK) != 0 ||
        mkdir(group.c_str(), 0755) != 0)
        GTEST_SKIP() << "cannot make a memory control group under " << hierarchy;
    // Two textured tiles of 256 pixels at opposite corners: a 6144 x 6144
    // map of 108 MB, in a group of 17 MB more.
    const long long MB = 1024 * 1024, LIMIT = 125 * MB;
    for (const char *file : {v2 ? "memory.max" : "memory.limit_in_bytes",
                             v2 ? "memory.swap.max" : "memory.memsw.limit_in_bytes"})
        if (file_exists(group + "/" + file))
            write_file(group + "/" + file, std::to_string(LIMIT));
    world.tile_size = 256;
    world.textured = true;
    world.tiles = {{0, 0, 0}, {0, 23, 23}};
    write_and_read();
    for (const std::string options : {"", "--web"}) {
        int status = -1;
        const std::string message = run_command(
            "echo $$ >'" + group + "/cgroup.procs' && XDG_DATA_HOME='" + root +
                "' exec '" + MAPPER_PROGRAM + "' --world 1 --quiet " + options + " 2>&1",
            &status);
        if (options.empty()) {
            EXPECT_EQ(status, 0) << message;
            continue;
        }
        EXPECT_EQ(status, 1) << "killed or ended otherwise: " << message;
        EXPECT_NE(message.find("need 108 MB together (the largest, zoom level 0, is "
                               "6144 x 6144 pixels) and the web map's cut "),
                  std::string::npos) << message;
        EXPECT_EQ(leftovers(), "");
    }
    rmdir(group.c_str());
}

// Short of memory (an address-space limit, lowered step by step until
// something other than the web map fails), the web map's error carries
// libvips's own reason ("Error creating thread: Resource temporarily
// unavailable", "out of memory --- size == 2MB"), never a stale errno
// after it in brackets.
TEST_F(WebMapTest, OutOfMemoryGivesLibvipssOwnReason)
{
    world.tiles = FIRST_WORLD;
    write_and_read();
    const int HIGHEST_MB = 256, LOWEST_MB = 64, STEP_MB = 8;
    int web_failures = 0;
    for (int mb = HIGHEST_MB; mb >= LOWEST_MB; mb -= STEP_MB) {
        int status = -1;
        const std::string message = run_command(
            "ulimit -v " + std::to_string(mb * 1024) + " && XDG_DATA_HOME='" + root +
                "' exec '" + MAPPER_PROGRAM + "' --world 1 --quiet --web 2>&1",
            &status);
        if (status == 0)
            continue;
        const std::string head = "Error writing the web map map_web\n";
        if (status != 1 || message.rfind(head, 0) != 0)
            break;
        ++web_failures;
        const std::string reason = message.substr(head.size());
        EXPECT_NE(reason.substr(reason.size() - 2), ")\n")
            << mb << " MB: " << reason;
    }
    if (web_failures == 0)
        GTEST_SKIP() << "no limit failed the web map alone";
}

// A USB stick: fixed owner and mode, no rename flags. The web map is
// written and replaced all the same, and nothing is left beside it.
TEST_F(WebMapTest, WebMapReachesAFileSystemOfFixedOwnerAndMode)
{
    world.tiles = FIRST_WORLD;
    write_and_read();
    FatDisk disk(out + "/stick", root + "/stick.img");
    if (!disk.error.empty())
        GTEST_SKIP() << "cannot mount a FAT or exFAT image: " << disk.error;
    // The tile links go there too ($TMPDIR on the stick).
    const std::string maps = disk.path + "/maps", tmp = disk.path + "/tmp";
    ASSERT_EQ(mkdir(maps.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
    const std::string run = "XDG_DATA_HOME='" + root + "' TMPDIR='" + tmp + "' '" +
                            MAPPER_PROGRAM + "' --world 1 --web --quiet --output '" +
                            maps + "' 2>&1";
    for (int i = 0; i < 2; ++i) {
        int status = -1;
        EXPECT_EQ(run_command(run, &status), "") << disk.kind;
        EXPECT_EQ(status, 0) << disk.kind;
    }
    EXPECT_EQ(run_command("ls -A '" + maps + "'"),
              "map.html\nmap_web\nmap_zoom_0.png\nmap_zoom_1.png\n") << disk.kind;
    EXPECT_TRUE(file_exists(maps + "/map_web/z0/1/1/1.png")) << disk.kind;
    EXPECT_EQ(run_command("ls -A '" + tmp + "'"), "") << disk.kind;
}

// A map_web of someone else's making (no levels.js): the run fails, the
// folder is left as it was and no page is written beside it.
TEST_F(WebMapTest, AMapWebNotOursFailsTheRunAndGetsNoPage)
{
    world.tiles = FIRST_WORLD;
    write_and_read();
    ASSERT_EQ(mkdir(WEB_FOLDER_NAME, 0755), 0);
    write_file(std::string(WEB_FOLDER_NAME) + "/index.html", "theirs");
    compose();
    std::string why;
    EXPECT_FALSE(finish_web_map(&why));
    EXPECT_NE(why.find("is not a web map written by this program"), std::string::npos)
        << why;
    EXPECT_FALSE(file_exists(out + "/" + WEB_PAGE_NAME));
    EXPECT_EQ(run_command("ls -A map_web"), "index.html\n");
    EXPECT_EQ(leftovers(), "");
}

// A point of a run, picked among the system calls of its first thread.
using StopPoint = std::function<bool(pid_t, const user_regs_struct &, bool entering)>;

bool is_rename(const user_regs_struct &r)
{
    return r.orig_rax == SYS_renameat || r.orig_rax == SYS_renameat2;
}

// The target of a folder's descriptor in the traced process.
std::string traced_fd_path(pid_t pid, unsigned long long fd)
{
    char path[PATH_MAX];
    const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    const ssize_t n = readlink(link.c_str(), path, sizeof path);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : "";
}

class WebRunTest : public WebMapTest {
protected:
    // The program on world 1 with --web into folder; sig (if not 0) is
    // sent at the first system call that at picks. Returns its exit status.
    int run(const std::string &folder, const StopPoint &at = nullptr, int sig = 0,
            const std::string &tmpdir = "")
    {
        bool sent = false;
        return traced_child(
            [&] {
                setenv("XDG_DATA_HOME", root.c_str(), 1);
                if (!tmpdir.empty())
                    setenv("TMPDIR", tmpdir.c_str(), 1);
                umask(022);
                execl(MAPPER_PROGRAM, MAPPER_PROGRAM, "--world", "1", "--web",
                      "--quiet", "--output", folder.c_str(), static_cast<char *>(nullptr));
                return 127;
            },
            [&](pid_t pid, user_regs_struct &r, bool entering) {
                if (!sent && at && at(pid, r, entering)) {
                    sent = true;
                    kill(pid, sig);
                }
            });
    }

    static std::string leftovers_in(const std::string &folder)
    {
        return run_command("ls -A '" + folder + "' | grep -e '\\.part-' -e '\\.old-'");
    }

    static bool whole_web_map(const std::string &folder)
    {
        return file_exists(folder + "/" + WEB_FOLDER_NAME + "/levels.js") &&
               file_exists(folder + "/" + WEB_FOLDER_NAME + "/z0/0/0/0.png") &&
               file_exists(folder + "/" + WEB_PAGE_NAME);
    }
};

StopPoint at_flush()
{
    return [](pid_t, const user_regs_struct &r, bool entering) {
        return entering && r.orig_rax == SYS_syncfs;
    };
}

// The first removal after the new map_web is in place: the older tree's.
StopPoint at_older_tree_removal()
{
    auto placed = std::make_shared<bool>(false);
    return [placed](pid_t pid, const user_regs_struct &r, bool entering) {
        if (!entering && is_rename(r) && static_cast<long long>(r.rax) == 0 &&
            traced_string(pid, r.r10) == WEB_FOLDER_NAME)
            *placed = true;
        return *placed && entering && r.orig_rax == SYS_unlinkat;
    };
}

// Where the file system has no exchange: the older map_web has just
// stepped aside.
StopPoint between_the_two_renames()
{
    return [](pid_t pid, const user_regs_struct &r, bool entering) {
        return !entering && is_rename(r) && static_cast<long long>(r.rax) == 0 &&
               traced_string(pid, r.rsi) == WEB_FOLDER_NAME;
    };
}

// A run stopped at any moment of the web map's publication leaves
// nothing that the next run does not remove, and never loses the web
// map: killed during the final flush, while the older tree is removed,
// and between the two renames on a stick; stopped there by SIGTERM, it
// has a whole web map and nothing beside it at once.
TEST_F(WebRunTest, StopsDuringThePublicationLeaveNothingBehind)
{
    if (traced_child([] { return 0; }, [](pid_t, user_regs_struct &, bool) {}) != 0)
        GTEST_SKIP() << "cannot trace a child process here (ptrace refused)";
    world.tiles = FIRST_WORLD;
    write_and_read();
    FatDisk disk(out + "/stick", root + "/stick.img");
    struct Case {
        const char *what;
        bool on_stick;
        StopPoint at;
        int sig;
    };
    const Case cases[] = {
        {"SIGKILL during the final flush", false, at_flush(), SIGKILL},
        {"SIGKILL while the older tree is removed", false, at_older_tree_removal(),
         SIGKILL},
        {"SIGKILL between the two renames", true, between_the_two_renames(), SIGKILL},
        {"SIGTERM between the two renames", true, between_the_two_renames(), SIGTERM},
    };
    int n = 0;
    for (const Case &c : cases) {
        if (c.on_stick && !disk.error.empty()) {
            std::cout << "skipped (" << disk.error << "): " << c.what << "\n";
            continue;
        }
        const std::string folder = (c.on_stick ? disk.path : out) + "/run" +
                                   std::to_string(n++);
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
        ASSERT_EQ(run(folder), 0) << c.what;
        EXPECT_EQ(run(folder, c.at, c.sig), SIGNAL_EXIT_BASE + c.sig) << c.what;
        if (c.sig != SIGKILL) {
            EXPECT_TRUE(whole_web_map(folder)) << c.what;
            EXPECT_EQ(leftovers_in(folder), "") << c.what;
        }
        EXPECT_EQ(run(folder), 0) << c.what;
        EXPECT_TRUE(whole_web_map(folder)) << c.what;
        EXPECT_EQ(leftovers_in(folder), "") << c.what;
    }
}

// libvips's writer thread makes the levels' folders while the maps are
// saved. With the umask calls of the run's first thread slowed down, as a
// loaded machine may, every folder and file of the web map still gets
// the mode that a new one of the user gets (umask 022).
TEST_F(WebRunTest, TheWebMapGetsTheUsersModesWhateverTheThreadsDo)
{
    if (traced_child([] { return 0; }, [](pid_t, user_regs_struct &, bool) {}) != 0)
        GTEST_SKIP() << "cannot trace a child process here (ptrace refused)";
    const useconds_t UMASK_DELAY_US = 100 * 1000;
    world.textured = true;
    world.tiles = FIRST_WORLD;
    write_and_read();
    const StopPoint slow_umask = [&](pid_t, const user_regs_struct &r, bool entering) {
        if (!entering && r.orig_rax == SYS_umask)
            usleep(UMASK_DELAY_US);
        return false;
    };
    EXPECT_EQ(run(out, slow_umask), 0);
    EXPECT_TRUE(whole_web_map(out));
    EXPECT_EQ(run_command("cd '" + out + "' && find map_web map.html map_zoom_* "
                          "\\( -type d ! -perm 755 \\) -o \\( -type f ! -perm 644 \\)"),
              "");
}

// The sweep of a killed run's folder removes only the folder it found
// dead: one that someone puts at its name meanwhile keeps what it holds.
TEST_F(WebRunTest, TheSweepRemovesOnlyTheFolderItInspected)
{
    if (traced_child([] { return 0; }, [](pid_t, user_regs_struct &, bool) {}) != 0)
        GTEST_SKIP() << "cannot trace a child process here (ptrace refused)";
    world.tiles = FIRST_WORLD;
    write_and_read();
    const std::string dead = out + "/map_web.part-0123456789abcdef";
    ASSERT_EQ(mkdir(dead.c_str(), 0700), 0);
    write_file(dead + "/lock", "");
    bool swapped = false;
    const StopPoint swap = [&](pid_t pid, const user_regs_struct &r, bool entering) {
        if (swapped || entering || r.orig_rax != SYS_flock ||
            static_cast<long long>(r.rax) != 0 ||
            traced_fd_path(pid, r.rdi) != dead + "/lock")
            return false;
        swapped = true;
        EXPECT_EQ(rename(dead.c_str(), (out + "/moved").c_str()), 0);
        EXPECT_EQ(mkdir(dead.c_str(), 0700), 0);
        write_file(dead + "/precious", "kept");
        return false;
    };
    EXPECT_EQ(run(out, swap), 0);
    EXPECT_TRUE(swapped);
    EXPECT_EQ(read_file(dead + "/precious"), "kept");
}

// Ctrl+C while the web map is cut on a stick (exFAT through FUSE keeps
// a file removed while open as .fuse_hidden… until it is closed): each
// run ends with 130, never in an abort inside libvips, and what it could
// not remove the next run does.
TEST_F(WebRunTest, InterruptsDuringTheCutOnAStickLeaveNothingTheNextRunKeeps)
{
    const int INTERRUPTS = 5;
    const int POLL_US = 2000, POLL_LIMIT = 10000;
    world.textured = true;
    world.tiles = grid_layout(0, 32, 32);
    write_and_read();
    FatDisk disk(out + "/stick", root + "/stick.img", "128M");
    if (!disk.error.empty())
        GTEST_SKIP() << "cannot mount a FAT or exFAT image: " << disk.error;
    std::cout << "on " << disk.kind << "\n";
    ASSERT_EQ(run(disk.path), 0);
    auto cut_under_way = [&] {
        return run_command("find '" + disk.path + "' -path '*/map_web.part-*/z0/*' "
                           "-name '*.png' 2>/dev/null | head -1") != "";
    };
    int aborted = 0;
    for (int i = 0; i < INTERRUPTS; ++i) {
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            execl(MAPPER_PROGRAM, MAPPER_PROGRAM, "--world", "1", "--web", "--quiet",
                  "--output", disk.path.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        for (int t = 0; t < POLL_LIMIT && !cut_under_way(); ++t)
            usleep(POLL_US);
        kill(pid, SIGINT);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        const int code = WIFEXITED(status) ? WEXITSTATUS(status)
                                           : SIGNAL_EXIT_BASE + WTERMSIG(status);
        aborted += code != SIGNAL_EXIT_BASE + SIGINT;
        EXPECT_EQ(code, SIGNAL_EXIT_BASE + SIGINT) << "interrupt " << i;
    }
    std::cout << aborted << " of " << INTERRUPTS << " interrupts did not end with 130\n";
    EXPECT_EQ(run(disk.path), 0);
    EXPECT_TRUE(whole_web_map(disk.path));
    EXPECT_EQ(leftovers_in(disk.path), "");
}

// Screen pixel of map pixel (x, y) of level 0 in the 800 x 600 page
// centred on the map's centre at full size.
const int PAGE_W = 800, PAGE_H = 600;
const int MAP0_W = 512, MAP0_H = 384;
int screen_x(int x) { return x + PAGE_W / 2 - MAP0_W / 2; }
int screen_y(int y) { return y + PAGE_H / 2 - MAP0_H / 2; }

struct PagePoint {
    int x, y;          // map pixel of level 0
    const char *cell;  // the readout there, "" when not checked
};
// In the tiles of cells (-2,-1) and (5,4), in the background of a cell
// in a cut tile, and in the tile left out as wholly background.
const PagePoint PAGE_POINTS[] = {{20, 40, "column -2, row -1"},
                                 {470, 350, "column 5, row 4"},
                                 {200, 90, ""},
                                 {300, 300, ""}};

int pixel_at(BITMAP *bmp, int x, int y)
{
    const int c = getpixel(bmp, x, y);
    const int d = bitmap_color_depth(bmp);
    return getr_depth(d, c) << 16 | getg_depth(d, c) << 8 | getb_depth(d, c);
}

int channel_distance(int a, int b)
{
    int worst = 0;
    for (int shift = 0; shift <= 16; shift += 8)
        worst = std::max(worst, std::abs((a >> shift & 0xff) - (b >> shift & 0xff)));
    return worst;
}

// The page from file:// in headless chromium: level 0 at full size shows
// the map's own pixels, the readout names the cell under the pointer, key
// 1 brings level 1, fitted, and nothing is read from outside the folder.
TEST_F(WebMapTest, PageShowsTheMapInABrowser)
{
    world.tiles = FIRST_WORLD;
    compose_with_web();
    const std::string shot0 = out + "/level0.png", shot1 = out + "/level1.png";
    std::ostringstream cmd;
    cmd << "node '" << BROWSER_VIEW_SCRIPT << "' 'file://" << out << "/"
        << WEB_PAGE_NAME << "#level=0&x=" << MAP0_W / 2 << "&y=" << MAP0_H / 2
        << "&zoom=0' shot=" << shot0;
    for (const PagePoint &p : PAGE_POINTS)
        if (*p.cell)
            cmd << " move=" << screen_x(p.x) << "," << screen_y(p.y);
    cmd << " key=1 shot=" << shot1 << " eval=location.hash 2>&1";
    int status = -1;
    const std::string seen = run_command(cmd.str(), &status);
    ASSERT_EQ(status, 0) << seen;

    std::istringstream lines(seen);
    std::string line, hash;
    std::vector<std::string> texts;
    while (std::getline(lines, line)) {
        // Leaflet blanks an image it lets go with an inline data: URL.
        if (line.rfind("request ", 0) == 0 && line.rfind("request data:", 0) != 0) {
            EXPECT_EQ(line.rfind("request file://" + out + "/", 0), 0u) << line;
        }
        EXPECT_NE(line.rfind("error ", 0), 0u) << line;
        if (line.rfind("text ", 0) == 0)
            texts.push_back(line.substr(line.find(' ', 5) + 1));
        if (line.rfind("eval ", 0) == 0)
            hash = line.substr(5);
    }
    std::vector<std::string> cells;
    for (const PagePoint &p : PAGE_POINTS)
        if (*p.cell)
            cells.push_back(p.cell);
    EXPECT_EQ(texts, cells) << seen;

    BITMAP *page0 = load_bitmap(shot0.c_str(), nullptr);
    BITMAP *page1 = load_bitmap(shot1.c_str(), nullptr);
    BITMAP *map0 = load_bitmap("map_zoom_0.png", nullptr);
    BITMAP *map1 = load_bitmap("map_zoom_1.png", nullptr);
    ASSERT_TRUE(page0 && page1 && map0 && map1);
    for (const PagePoint &p : PAGE_POINTS)
        EXPECT_EQ(pixel_at(page0, screen_x(p.x), screen_y(p.y)),
                  pixel_at(map0, p.x, p.y)) << p.x << "," << p.y;
    // Level 1, fitted, at the centre and zoom that the hash gives: a point
    // inside its tile (0,0) shows that tile's colour.
    double cx = 0, cy = 0, zoom = 0;
    ASSERT_EQ(std::sscanf(hash.c_str(), "\"#level=1&x=%lf&y=%lf&zoom=%lf\"", &cx, &cy,
                          &zoom), 3) << hash;
    const double scale = std::pow(2.0, zoom);
    const int mx = 6, my = 56;
    EXPECT_LE(channel_distance(
                  pixel_at(page1, static_cast<int>(PAGE_W / 2 + (mx - cx) * scale),
                           static_cast<int>(PAGE_H / 2 + (my - cy) * scale)),
                  pixel_at(map1, mx, my)), 8);
    int changed = 0;
    for (int y = 0; y < PAGE_H; y += 8)
        for (int x = 0; x < PAGE_W; x += 8)
            changed += pixel_at(page0, x, y) != pixel_at(page1, x, y);
    EXPECT_GT(changed, PAGE_W * PAGE_H / 64 / 8);
    for (BITMAP *b : {page0, page1, map0, map1})
        destroy_bitmap(b);
}

}  // namespace

namespace {

// Any address gives a sane view within a moment, never a page that stops
// answering: numbers far out of range, negative, or not numbers. The
// title names the world, and a drag far past the map's edge stops there.
TEST_F(WebMapTest, AnyAddressGivesASaneView)
{
    world.tiles = FIRST_WORLD;
    compose_with_web();
    const std::string page = "file://" + out + "/" + WEB_PAGE_NAME;
    const std::vector<std::string> hashes = {
        "#level=0&x=1e300&y=-1e300&zoom=1e9", "#level=1&x=-5&y=9e15&zoom=-1e9",
        "#level=-3&x=abc&y=&zoom=NaN", "#level=0&x=Infinity&y=1&zoom=2",
        "#zoom=40&level=1e400", "#level=0&x=100&y=100&zoom=1e-320"};
    std::string cmd = "node '" + std::string(BROWSER_VIEW_SCRIPT) + "' '" + page + "'";
    for (const std::string &hash : hashes)
        cmd += " 'open=" + page + hash + "' eval=location.hash";
    cmd += " 'open=" + page + "#level=0&x=256&y=192&zoom=0' drag=400,300,3000,2500"
           " eval=location.hash 2>&1";
    int status = -1;
    const std::string seen = run_command(cmd, &status);
    ASSERT_EQ(status, 0) << seen;
    std::istringstream lines(seen);
    std::string line;
    int views = 0;
    while (std::getline(lines, line)) {
        EXPECT_NE(line.rfind("error ", 0), 0u) << line;
        if (line.rfind("title ", 0) == 0) {
            EXPECT_EQ(line, "title World1 map");
        }
        if (line.rfind("eval ", 0) != 0)
            continue;
        int level = -1;
        double x = 0, y = 0, zoom = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "eval \"#level=%d&x=%lf&y=%lf&zoom=%lf\"",
                              &level, &x, &y, &zoom), 4) << line;
        const int w = level == 0 ? MAP0_W : 256, h = level == 0 ? MAP0_H : 256;
        EXPECT_TRUE(level == 0 || level == 1) << line;
        // The view's centre within the map and a tenth of it around.
        EXPECT_TRUE(x >= -w / 10 && x <= w + w / 10 && y >= -h / 10 && y <= h + h / 10)
            << line;
        EXPECT_TRUE(zoom >= -8 && zoom <= 3) << line;
        ++views;
    }
    EXPECT_EQ(views, static_cast<int>(hashes.size()) + 1) << seen;
}

}  // namespace
