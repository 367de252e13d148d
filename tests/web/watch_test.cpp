// --watch end to end: the real program follows a world while the test
// writes tiles and appends lines as the game does; the page open in
// headless chromium from file:// shows a new tile within two seconds
// without a reload; only the web tiles under it change; a tile beyond
// the bounds and one written slowly are placed; after SIGTERM the maps
// equal those of a fresh full run of the final list, byte for byte.
#include <gtest/gtest.h>

#include <allegro.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "test_support.h"
#include "traced_child.h"
#include "web_map.h"
#include "world_gen.h"
#include "world_layout.h"

namespace {

const int GRID_TILE = 64;
const int WEB_TILE = 256;
const int SCREEN_CX = 400, SCREEN_CY = 300;  // browser_view's 800 x 600
const int SHOWN_WITHIN_MS = 2000;
const int START_LIMIT_MS = 30000;

// Every file of the pyramids, by path below map_web.
std::map<std::string, std::string> web_tiles(const std::string &out)
{
    std::map<std::string, std::string> tiles;
    std::istringstream names(run_command(
        "cd '" + out + "/" + WEB_FOLDER_NAME + "' && find z0 -name '*.png' | sort"));
    for (std::string name; std::getline(names, name);)
        tiles[name] = read_file(out + "/" + WEB_FOLDER_NAME + "/" + name);
    return tiles;
}

std::set<std::string> changed_tiles(const std::map<std::string, std::string> &a,
                                    const std::map<std::string, std::string> &b)
{
    std::set<std::string> changed;
    for (const auto &t : a)
        if (!b.count(t.first) || b.at(t.first) != t.second)
            changed.insert(t.first);
    for (const auto &t : b)
        if (!a.count(t.first))
            changed.insert(t.first);
    return changed;
}

std::string png_of(int r, int g, int b, const std::string &path)
{
    BITMAP *tile = create_bitmap_ex(24, GRID_TILE, GRID_TILE);
    clear_to_color(tile, makecol24(r, g, b));
    EXPECT_EQ(save_bitmap(path.c_str(), tile, nullptr), 0);
    destroy_bitmap(tile);
    return read_file(path);
}

void append_line(const SampleWorld &world, const GenTile &t)
{
    std::ofstream list(change_list_path(world.root, world.number, "/"),
                       std::ios::app);
    list << change_line(world, t) << "\n";
}

// The name that a rename of the traced program's gives its target.
std::string renamed_to(pid_t pid, const user_regs_struct &r)
{
    if (r.orig_rax == SYS_renameat || r.orig_rax == SYS_renameat2)
        return traced_string(pid, r.r10);
    return r.orig_rax == SYS_rename ? traced_string(pid, r.rsi) : "";
}

// What a run writes on its way and removes once done, anywhere below out.
std::string leftovers(const std::string &out)
{
    return run_command("cd '" + out + "' && find . -name '*.part-*' -o -name '*.old-*'"
                       " -o -name staged | sort");
}

int count_of(const std::string &s, const std::string &text)
{
    int n = 0;
    for (size_t at = s.find(text); at != std::string::npos; at = s.find(text, at + 1))
        ++n;
    return n;
}

ino_t inode_of(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class WatchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        start_allegro_headless();
        root = make_temp_dir();
        out = make_temp_dir();
        fresh = make_temp_dir();
        scratch = make_temp_dir();
        world.root = root;
        world.tile_size = GRID_TILE;
        world.windows_paths = false;
        world.textured = true;
        // 8 x 8 cells from column and row -4, with (0, 0) still unexplored.
        for (const GenTile &t : grid_layout(0, 8, 8))
            if (t.x != 0 || t.y != 0)
                world.tiles.push_back(t);
        ASSERT_TRUE(write_world(world));
        setenv("XDG_DATA_HOME", root.c_str(), 1);
    }
    void TearDown() override
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        for (const std::string &d : {root, out, fresh, scratch})
            remove_tree(d);
    }

    // Waits up to limit_ms for the program to end; its exit status, or -1.
    int wait_exit(int limit_ms)
    {
        int status = 0;
        for (int ms = 0; ms < limit_ms; ms += 50) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(50000);
        }
        return -1;
    }

    // Waits until the program's log or error output holds text.
    bool wait_for(const std::string &file, const std::string &text, int limit_ms)
    {
        for (int ms = 0; ms < limit_ms; ms += 50, usleep(50000))
            if (read_file(scratch + "/" + file).find(text) != std::string::npos)
                return true;
        return false;
    }

    // Waits until the log or error output holds text count times.
    bool wait_for_count(const std::string &file, const std::string &text, int count,
                        int limit_ms)
    {
        for (int ms = 0; ms < limit_ms; ms += 50, usleep(50000)) {
            if (count_of(read_file(scratch + "/" + file), text) >= count)
                return true;
        }
        return false;
    }

    // The watch, without /proc where the test may hide it.
    void start_watch(bool without_proc = false)
    {
        pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (!freopen((scratch + "/log").c_str(), "w", stdout) ||
                !freopen((scratch + "/err").c_str(), "w", stderr) ||
                (without_proc && !hide_proc()))
                _exit(127);
            if (!as_other_user.empty() &&
                (setgroups(0, nullptr) != 0 || setgid(other_gid) != 0 ||
                 setuid(other_uid) != 0))
                _exit(126);
            const std::string program = as_other_user.empty() ? MAPPER_PROGRAM : as_other_user;
            execl(program.c_str(), program.c_str(), "--world", "1", "--watch",
                  "--save-after", "1", "--output", out.c_str(), nullptr);
            _exit(127);
        }
        const std::string updates = out + "/" + WEB_FOLDER_NAME + "/updates.js";
        for (int ms = 0; !file_exists(updates) && ms < START_LIMIT_MS; ms += 50)
            usleep(50000);
        ASSERT_TRUE(file_exists(updates)) << read_file(scratch + "/err");
    }

    // A watch killed with SIGKILL at the first rename whose target is
    // named so (traced: the exact point of a batch), after the tile t was
    // written and listed once the watch had written its updates.js anew.
    // What it left below out, and what was left before the watch began
    // that was still there once it ran.
    void kill_watch_at(const std::string &name_re, const GenTile &t, int grey,
                       std::string *left, std::string *kept)
    {
        const std::string updates = out + "/" + WEB_FOLDER_NAME + "/updates.js";
        const ino_t before = inode_of(updates);
        const std::string earlier = leftovers(out);
        std::thread game([&] {
            for (int ms = 0; inode_of(updates) == before && ms < START_LIMIT_MS; ms += 50)
                usleep(50000);
            std::istringstream names(earlier);
            kept->clear();
            for (std::string name; std::getline(names, name);)
                if (file_exists(out + "/" + name))
                    *kept += name + "\n";
            png_of(grey, grey, grey, tile_file(world, t));
            append_line(world, t);
        });
        const std::regex target(name_re);
        bool killed = false;
        const int status = traced_child(
            [&] {
                if (!freopen((scratch + "/log").c_str(), "w", stdout))
                    return 127;
                execl(MAPPER_PROGRAM, MAPPER_PROGRAM, "--world", "1", "--watch",
                      "--output", out.c_str(), nullptr);
                return 127;
            },
            [&](pid_t child, user_regs_struct &r, bool entering) {
                if (!killed && entering &&
                    std::regex_match(renamed_to(child, r), target)) {
                    killed = true;
                    kill(child, SIGKILL);
                }
            });
        game.join();
        EXPECT_EQ(status, 128 + SIGKILL) << read_file(scratch + "/log");
        *left = leftovers(out);
    }

    // Root, who writes anywhere, runs the watch as nobody: a copy of the
    // program and the folders where nobody reaches them, wherever the
    // build lies.
    void watch_as_nobody()
    {
        const struct passwd *nobody = getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        other_uid = nobody->pw_uid;
        other_gid = nobody->pw_gid;
        for (std::string *d : {&root, &out, &scratch}) {
            remove_tree(*d);
            *d = make_temp_dir(OTHER_USERS_TEMP);
        }
        world.root = root;
        ASSERT_TRUE(write_world(world));
        setenv("XDG_DATA_HOME", root.c_str(), 1);
        as_other_user = scratch + "/mapper";
        write_file(as_other_user, read_file(MAPPER_PROGRAM));
        run_command("chmod -R a+rX '" + root + "' '" + scratch + "' && chmod 755 '" +
                    as_other_user + "' && chown nobody '" + out + "'");
    }

    std::string as_other_user;  // the program's copy, run as nobody
    uid_t other_uid = 0;
    gid_t other_gid = 0;
    std::string root, out, fresh, scratch;
    SampleWorld world;
    pid_t pid = -1;
};

// The watch runs without /proc where the test may hide it: the level
// composed again is cut whole without it.
TEST_F(WatchTest, PageShowsNewTilesAndMapsEqualAFreshRun)
{
    start_watch(can_hide_proc());
    const std::map<std::string, std::string> before = web_tiles(out);

    // A red tile at the unexplored cell (0, 0), written, then listed,
    // while the page shows that cell in the middle of the window (at
    // twice the size: the page keeps a map smaller than the window in
    // its middle).
    const GenTile red = {0, 0, 0};
    png_of(255, 0, 0, scratch + "/red.png");
    const std::string script = scratch + "/append.sh";
    write_file(script, "cp '" + scratch + "/red.png' '" + tile_file(world, red) +
                           "'\nprintf '%s\\n' '" + change_line(world, red) +
                           "' >> '" + change_list_path(root, 1, "/") + "'\n");
    const int centre = 4 * GRID_TILE + GRID_TILE / 2;
    const std::string shot = scratch + "/shot.png";
    std::ostringstream cmd;
    cmd << "node '" << BROWSER_VIEW_SCRIPT << "' 'file://" << out << "/" << WEB_PAGE_NAME
        << "#level=0&x=" << centre << "&y=" << centre << "&zoom=1' 'run=sh " << script
        << "' sleep=" << SHOWN_WITHIN_MS << " grab=" << shot << " 2>&1";
    int status = -1;
    const std::string seen = run_command(cmd.str(), &status);
    ASSERT_EQ(status, 0) << seen;
    EXPECT_EQ(seen.find("error "), std::string::npos) << seen;
    BITMAP *screen_shot = load_bitmap(shot.c_str(), nullptr);
    ASSERT_NE(screen_shot, nullptr);
    int red_pixels = 0;
    for (int y = SCREEN_CY - 10; y < SCREEN_CY + 10; ++y)
        for (int x = SCREEN_CX - 10; x < SCREEN_CX + 10; ++x)
            red_pixels += getpixel(screen_shot, x, y) ==
                          makecol_depth(bitmap_color_depth(screen_shot), 255, 0, 0);
    destroy_bitmap(screen_shot);
    EXPECT_EQ(red_pixels, 400) << "the new tile is not on the page " << SHOWN_WITHIN_MS
                               << " ms after its line";
    EXPECT_EQ(seen.find("map.html"), seen.rfind("map.html")) << "the page was reloaded";

    // Its web tile at each level of the 512-pixel map's two, and no other.
    const int px = 4 * GRID_TILE;
    const std::set<std::string> touched = {
        "z0/1/" + std::to_string(px / WEB_TILE) + "/" + std::to_string(px / WEB_TILE) + ".png",
        "z0/0/0/0.png"};
    EXPECT_EQ(changed_tiles(before, web_tiles(out)), touched);

    // One beyond the bounds, and one whose file is written slowly after
    // its line (a cell already mapped, in a new colour).
    const GenTile beyond = {0, 6, 0};
    png_of(0, 160, 0, tile_file(world, beyond));
    append_line(world, beyond);
    const GenTile slow = {0, 1, 1};
    const std::string blue = png_of(0, 0, 255, scratch + "/blue.png");
    write_file(tile_file(world, slow), blue.substr(0, blue.size() / 2));
    append_line(world, slow);
    usleep(600000);
    write_file(tile_file(world, slow), blue);
    usleep(1500000);
    kill(pid, SIGTERM);
    int exit_status = 0;
    waitpid(pid, &exit_status, 0);
    pid = -1;
    EXPECT_TRUE(WIFEXITED(exit_status) && WEXITSTATUS(exit_status) == 128 + SIGTERM)
        << read_file(scratch + "/err");
    EXPECT_EQ(read_file(scratch + "/err").find("skipped"), std::string::npos)
        << "the slowly written tile was not placed";
    EXPECT_EQ(read_file(scratch + "/err").find("Error writing"), std::string::npos)
        << read_file(scratch + "/err");
    EXPECT_EQ(read_file(scratch + "/err").find("\033["), std::string::npos)
        << "a progress line where standard error is no terminal";
    const std::string log = read_file(scratch + "/log");
    EXPECT_NE(log.find("composed again"), std::string::npos) << log;

    run_command("'" MAPPER_PROGRAM "' --world 1 --output '" + fresh + "' >/dev/null 2>&1",
                &status);
    ASSERT_EQ(status, 0);
    EXPECT_TRUE(read_file(fresh + "/map_zoom_0.png") == read_file(out + "/map_zoom_0.png"))
        << "the watched map differs from a fresh run's";
}

// The page follows without a reload a web tile that was wholly
// background becoming a real one, then its level's explored region
// growing to the left (a column within the map, before the explored
// ones): the view stays, and each new tile shows where it lies.
TEST_F(WatchTest, PageFollowsABackgroundTileAndAGrowingRegion)
{
    // Columns 2 to 5 and the cell (9, 9): the web tile of columns 6 to 9,
    // rows 2 to 5 is background.
    world.tiles.clear();
    for (int y = 2; y <= 9; ++y)
        for (int x = 2; x <= 5; ++x)
            world.tiles.push_back({0, x, y});
    world.tiles.push_back({0, 9, 9});
    ASSERT_TRUE(write_world(world));
    start_watch();
    const GenTile red = {0, 6, 4}, green = {0, 1, 4};
    png_of(255, 0, 0, scratch + "/red.png");
    png_of(0, 255, 0, scratch + "/green.png");
    for (const GenTile &t : {red, green})
        write_file(scratch + "/" + std::to_string(t.x) + ".sh",
                   "cp '" + scratch + (t.x == red.x ? "/red.png" : "/green.png") +
                       "' '" + tile_file(world, t) + "'\nprintf '%s\\n' '" +
                       change_line(world, t) + "' >> '" +
                       change_list_path(root, 1, "/") + "'\n");
    // At full size the 512-pixel map lies in the middle of the window,
    // from (144, 44); 576 pixels wide once grown, from (112, 44).
    std::ostringstream cmd;
    cmd << "node '" << BROWSER_VIEW_SCRIPT << "' 'file://" << out << "/" << WEB_PAGE_NAME
        << "#level=0&x=256&y=256&zoom=0' 'run=sh " << scratch << "/6.sh' sleep="
        << SHOWN_WITHIN_MS << " grab=" << scratch << "/1.png 'run=sh " << scratch
        << "/1.sh' sleep=" << SHOWN_WITHIN_MS << " grab=" << scratch
        << "/2.png 'eval=MAPPER_VIEW.current().minColumn' 2>&1";
    int status = -1;
    const std::string seen = run_command(cmd.str(), &status);
    ASSERT_EQ(status, 0) << seen;
    EXPECT_EQ(seen.find("error "), std::string::npos) << seen;
    EXPECT_NE(seen.find("eval 1\n"), std::string::npos) << seen;
    EXPECT_EQ(seen.find("map.html"), seen.rfind("map.html")) << "the page was reloaded";
    struct Seen {
        const char *shot;
        int x, y, r, g, b;
    };
    const Seen expected[] = {{"1.png", 144 + 288, 44 + 160, 255, 0, 0},
                             {"2.png", 112 + 352, 44 + 160, 255, 0, 0},
                             {"2.png", 112 + 32, 44 + 160, 0, 255, 0}};
    for (const Seen &e : expected) {
        BITMAP *shot = load_bitmap((scratch + "/" + e.shot).c_str(), nullptr);
        ASSERT_NE(shot, nullptr);
        const int depth = bitmap_color_depth(shot);
        int right = 0;
        for (int y = e.y - 10; y < e.y + 10; ++y)
            for (int x = e.x - 10; x < e.x + 10; ++x)
                right += getpixel(shot, x, y) == makecol_depth(depth, e.r, e.g, e.b);
        destroy_bitmap(shot);
        EXPECT_EQ(right, 400) << e.shot << " at " << e.x << ", " << e.y;
    }
}

// changed.txt replaced by a rename, then cut short and written anew as a
// game writes it (empty for a moment): each starts one full run from the
// list as it then is, and lines appended afterwards are followed.
TEST_F(WatchTest, AReplacedOrShortenedListStartsAFullRun)
{
    start_watch();
    const std::string list = change_list_path(root, 1, "/");
    const std::string lines = read_file(list);
    const std::string first_half = lines.substr(0, lines.find('\n', lines.size() / 2) + 1);
    const GenTile red = {0, 0, 0};
    png_of(255, 0, 0, tile_file(world, red));
    struct Change {
        const char *what;
        std::function<void()> make;
    };
    const Change changes[] = {
        {"replaced", [&] {
             write_file(list + ".new", lines);
             ASSERT_EQ(std::rename((list + ".new").c_str(), list.c_str()), 0);
         }},
        {"cut short", [&] {
             write_file(list, "");
             usleep(400000);
             write_file(list, first_half);
         }},
    };
    int round = 0;
    for (const Change &c : changes) {
        ++round;
        c.make();
        EXPECT_TRUE(wait_for_count("log", "Cutting web tiles for map_zoom_0.png done",
                                   round + 1, 10000))
            << c.what << ": " << read_file(scratch + "/log") << read_file(scratch + "/err");
        append_line(world, red);
        EXPECT_TRUE(wait_for_count("log", "Placed 1 tile in map_zoom_0.png", round, 10000))
            << c.what << ": " << read_file(scratch + "/log") << read_file(scratch + "/err");
    }
    EXPECT_EQ(wait_exit(0), -1) << read_file(scratch + "/err");
    EXPECT_EQ(count_of(read_file(scratch + "/log"), "changed.txt was replaced"), 2);
}

// The output folder made read-only while watching (not removed): a
// message with the folder and the system's reason, the maps kept, exit 1.
TEST_F(WatchTest, AnUnwritableOutputFolderEndsTheWatch)
{
    if (geteuid() == 0)
        watch_as_nobody();
    start_watch();
    ASSERT_EQ(chmod(out.c_str(), 0555), 0);
    EXPECT_EQ(wait_exit(5000), 1);
    const std::string err = read_file(scratch + "/err");
    EXPECT_NE(err.find("the output folder " + out + " was removed or can no longer be "
                       "written.\n" + out + ": Permission denied"),
              std::string::npos) << err;
    EXPECT_TRUE(file_exists(out + "/map_zoom_0.png"));
    chmod(out.c_str(), 0755);
}

// On a terminal, standard error shows one progress line from the full
// run on: tiles placed of the total, the map being saved and its web
// tiles being cut, then the watch's counts.
TEST_F(WatchTest, ATerminalShowsProgressFromTheFullRunOn)
{
    const std::string typescript = scratch + "/typescript";
    pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setpgid(0, 0);
        if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr))
            _exit(127);
        const std::string run = "'" MAPPER_PROGRAM "' --world 1 --watch --output '" +
                                out + "' >/dev/null";
        execlp("script", "script", "-qfec", run.c_str(), typescript.c_str(), nullptr);
        _exit(127);
    }
    EXPECT_TRUE(wait_for("typescript", "Watching World1: ", START_LIMIT_MS));
    kill(-pid, SIGTERM);
    EXPECT_NE(wait_exit(5000), -1);
    const std::string seen = read_file(typescript);
    for (const char *text : {"World1: 63 of 63 tiles placed\r",
                             "tiles placed, saving map_zoom_0.png, cutting the web tiles "
                             "of map_zoom_0.png\r"})
        EXPECT_NE(seen.find(text), std::string::npos) << text << " not in " << seen;
}

// A watch killed with SIGKILL while it puts a web tile in place, and one
// killed while it puts a level cut again whole in place, leave nothing
// that the next run does not remove: the next watch, and the next run
// without --web.
TEST_F(WatchTest, KilledWatchLeavesNothingTheNextRunKeeps)
{
    if (traced_child([] { return 0; }, [](pid_t, user_regs_struct &, bool) {}) != 0)
        GTEST_SKIP() << "cannot trace a child process here (ptrace refused)";
    std::string left, kept;
    kill_watch_at("[0-9]+\\.png", {0, 0, 0}, 90, &left, &kept);
    EXPECT_NE(left, "") << "killed before its tile was in place, it left nothing";
    // A tile beyond the bounds: the level is cut again whole.
    kill_watch_at("z0", {0, 6, 0}, 170, &left, &kept);
    EXPECT_EQ(kept, "") << "the next watch kept what the killed one left";
    EXPECT_NE(left, "");
    int status = -1;
    run_command("'" MAPPER_PROGRAM "' --world 1 --output '" + out + "' >/dev/null 2>&1",
                &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(leftovers(out), "") << "the next run without --web kept it";
}

// The web map shows a level from its tiles' smallest to largest column
// and row; the map still reaches back to column and row 0.
TEST_F(WatchTest, WebMapShowsTheExploredRegion)
{
    world.tiles = {{0, 2, 3}, {0, 4, 4}};
    ASSERT_TRUE(write_world(world));
    int status = -1;
    run_command("'" MAPPER_PROGRAM "' --world 1 --web --output '" + out +
                    "' >/dev/null 2>&1", &status);
    ASSERT_EQ(status, 0);
    const std::string levels = read_file(out + "/" + WEB_FOLDER_NAME + "/levels.js");
    EXPECT_NE(levels.find("width: 192, height: 128, minColumn: 2, minRow: 3"),
              std::string::npos) << levels;
    BITMAP *map = load_bitmap((out + "/map_zoom_0.png").c_str(), nullptr);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(map->w, 5 * GRID_TILE);
    EXPECT_EQ(map->h, 5 * GRID_TILE);
    destroy_bitmap(map);
}

// A full disk during a batch keeps the older web tiles and says why; the
// next change cuts them again. The output folder removed, or the world's,
// ends the watch with exit 1 and a message naming it; maps saved stay.
TEST_F(WatchTest, FaultsKeepWhatWasWritten)
{
    const std::string disk = make_temp_dir();
    if (mount("tmpfs", disk.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=8m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs (needs root): " << std::strerror(errno);
    remove_tree(out);
    out = disk + "/maps";
    ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
    start_watch();
    const std::map<std::string, std::string> before = web_tiles(out);
    struct statvfs vfs;
    ASSERT_EQ(statvfs(disk.c_str(), &vfs), 0);
    write_file(disk + "/filler",
               std::string(static_cast<size_t>(vfs.f_bavail * vfs.f_bsize), '\0'));
    const GenTile red = {0, 0, 0};
    png_of(255, 0, 0, tile_file(world, red));
    append_line(world, red);
    EXPECT_TRUE(wait_for("err", "No space left on device", 5000))
        << read_file(scratch + "/err");
    EXPECT_EQ(changed_tiles(before, web_tiles(out)), std::set<std::string>());
    std::remove((disk + "/filler").c_str());
    const GenTile green = {0, -4, -4};
    png_of(0, 200, 0, tile_file(world, green));
    append_line(world, green);
    EXPECT_TRUE(wait_for("log", "Placed 1 tile in map_zoom_0.png, 3 web tiles", 5000))
        << read_file(scratch + "/log");
    // Both tiles' web tiles: red's at full size was cut again too.
    EXPECT_EQ(changed_tiles(before, web_tiles(out)).count("z0/1/1/1.png"), 1u);

    run_command("rm -rf '" + out + "'");
    EXPECT_EQ(wait_exit(5000), 1);
    EXPECT_NE(read_file(scratch + "/err").find("the output folder " + out + " was removed"),
              std::string::npos) << read_file(scratch + "/err");
    umount2(disk.c_str(), MNT_DETACH);
    remove_tree(disk);

    out = make_temp_dir();
    start_watch();
    const std::string folder = world_folder_path(root, world.number, "/");
    run_command("rm -rf '" + folder + "'");
    EXPECT_EQ(wait_exit(5000), 1);
    EXPECT_NE(read_file(scratch + "/err").find("its folder " + folder + " was removed"),
              std::string::npos) << read_file(scratch + "/err");
    EXPECT_TRUE(file_exists(out + "/map_zoom_0.png"));
}

}  // namespace
