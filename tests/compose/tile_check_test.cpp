// The checks made before any map bitmap exists: tiles that are not
// regular files, formats the maps cannot have, headers that declare what
// a codec cannot hold, maps larger than memory, and tiles of other sizes.
#include <gtest/gtest.h>

#include <allegro.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "change_list.h"
#include "compose_fixture.h"
#include "crafted_images.h"
#include "gif_reader_support.h"
#include "image_format.h"
#include "memory_available.h"
#include "tile_check.h"
#include "tile_load.h"

namespace {

// A refused input ends the run at once; a child that is still running
// after this many seconds is killed, and the test fails.
const unsigned TIME_LIMIT_S = 5;

// The text, with the characters that a regular expression treats
// specially escaped.
std::string literal(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (std::string(".[]()*+?{}|^$\\").find(c) != std::string::npos)
            out += '\\';
        out += c;
    }
    return out;
}

class TileCheckTest : public ComposeFixture {
protected:
    void write_and_read()
    {
        ASSERT_TRUE(write_world(world));
        read_list();
    }

    // Reads the list afresh: the reader appends to what it finds.
    void read_list()
    {
        tile_list.clear();
        std::memset(&ZoomBounds, 0, sizeof ZoomBounds);
        std::memset(tile_ext, 0, sizeof tile_ext);
        testing::internal::CaptureStderr();
        read_change_list(world.number);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }

    std::string tile(int zoom, int x, int y) const
    {
        return tile_file(world, {zoom, x, y});
    }

    std::string change_list() const
    {
        return change_list_path(root, world.number);
    }

    std::string map_name(int zoom) const
    {
        return out + "/map_zoom_" + std::to_string(zoom) + "." + world.ext;
    }

    void expect_no_maps()
    {
        EXPECT_EQ(run_command("ls -A '" + out + "'"), "");
    }

    // A tile swapped for a FIFO between its check and its load must not
    // be what the codec reads, with /proc (a link to the checked
    // descriptor) and without (a private copy; the path would block on
    // the FIFO).
    void swap_after_check(bool without_proc);
};

// Runs the compositor in a child with the time limit; it must end with
// exit code 1 and a message that matches pattern.
#define EXPECT_COMPOSE_FAILS(pattern)                                      \
    EXPECT_EXIT(                                                           \
        {                                                                  \
            alarm(TIME_LIMIT_S);                                           \
            messages_to_stderr();                                          \
            compose_maps(world.number);                                    \
            std::exit(0);                                                  \
        },                                                                 \
        ::testing::ExitedWithCode(1), pattern)

// Lets the calling process grow by at most mb megabytes of address space.
void limit_address_space_to_more(rlim_t mb)
{
    const rlim_t MB = 1024 * 1024;
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max =
        std::strtoul(run_command("awk '/VmSize/ {print $2}' /proc/" +
                                 std::to_string(getpid()) + "/status").c_str(),
                     nullptr, 10) * 1024 + mb * MB;
    setrlimit(RLIMIT_AS, &limit);
}

TEST_F(TileCheckTest, TilesThatAreNotRegularFilesAreRefusedAtOnce)
{
    world.tiles = {{0, 0, 0}, {0, 1, 0}, {1, 0, 0}};
    write_and_read();
    const std::string second = tile(0, 1, 0);
    ASSERT_EQ(std::remove(second.c_str()), 0);

    // A FIFO that nothing writes would block an open for ever.
    ASSERT_EQ(mkfifo(second.c_str(), 0644), 0);
    EXPECT_COMPOSE_FAILS("Error loading " + literal(second) +
                         "\nnot a regular file \\(a FIFO\\)\n");
    ASSERT_EQ(std::remove(second.c_str()), 0);

    // A link to /dev/zero would be read for ever.
    ASSERT_EQ(symlink("/dev/zero", second.c_str()), 0);
    EXPECT_COMPOSE_FAILS("Error loading " + literal(second) +
                         "\nnot a regular file \\(a character device\\)\n");
    ASSERT_EQ(std::remove(second.c_str()), 0);

    ASSERT_EQ(mkdir(second.c_str(), 0755), 0);
    EXPECT_COMPOSE_FAILS("Error loading " + literal(second) +
                         "\nnot a regular file \\(a folder\\)\n");
    ASSERT_EQ(rmdir(second.c_str()), 0);

    // The first tile is the sample, with a message of its own.
    const std::string first = tile(0, 0, 0);
    ASSERT_EQ(std::remove(first.c_str()), 0);
    ASSERT_EQ(mkfifo(first.c_str(), 0644), 0);
    EXPECT_COMPOSE_FAILS("Error loading sample bitmap\\.\n" + literal(first) +
                         ": not a regular file \\(a FIFO\\)\n");
    expect_no_maps();
}

TEST_F(TileCheckTest, MessagesSayWhichFileAndWhy)
{
    // No tile listed at all.
    world.tiles = {};
    write_and_read();
    EXPECT_COMPOSE_FAILS("Error loading sample bitmap\\.\nno tile is listed in " +
                         literal(change_list()) + "\n");

    world.tiles = {{0, 0, 0}, {0, 1, 0}, {1, 0, 0}};
    write_and_read();
    const std::string first = tile(0, 0, 0), last = tile(1, 0, 0);
    ASSERT_EQ(std::remove(last.c_str()), 0);
    EXPECT_COMPOSE_FAILS("Error loading " + literal(last) +
                         "\nNo such file or directory\n");
    write_file(last, "GIF89a, not a PNG");
    EXPECT_COMPOSE_FAILS("Error loading " + literal(last) +
                         "\nnot a PNG file \\(no PNG signature\\)\n");
    // A header that is fine, data that are not.
    write_file(last, png_declaring(TILE, TILE, 2).substr(0, 60));
    EXPECT_COMPOSE_FAILS("Error loading " + literal(last) +
                         "\nits data cannot be decoded\n");

    ASSERT_EQ(std::remove(first.c_str()), 0);
    EXPECT_COMPOSE_FAILS("Error loading sample bitmap\\.\n" + literal(first) +
                         ": No such file or directory\n");
    write_file(first, png_declaring(TILE, TILE, 2).substr(0, 20));
    EXPECT_COMPOSE_FAILS("Error loading sample bitmap\\.\n" + literal(first) +
                         ": PNG header cut short\n");
    expect_no_maps();
}

// Exit status, standard error and peak memory of a compose run in a
// child process.
struct ChildRun {
    int exit_code = -1;
    std::string err;
    long peak_kb = 0;
};

ChildRun compose_in_child(int world_number,
                          const std::function<void()> &prepare = {})
{
    ChildRun run;
    int fds[2];
    if (pipe(fds) != 0)
        return run;
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], STDERR_FILENO);
        dup2(fds[1], STDOUT_FILENO);
        alarm(TIME_LIMIT_S);
        if (prepare)
            prepare();
        compose_maps(world_number);
        _exit(0);
    }
    close(fds[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        run.err.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    struct rusage ru;
    wait4(pid, &status, 0, &ru);
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.peak_kb = ru.ru_maxrss;
    return run;
}

TEST_F(TileCheckTest, MissingFarTileFailsBeforeAnyMapBitmapExists)
{
    // Three levels whose maps span 362 x 362 tiles of 64 pixels: 2 GB
    // each, which must not be taken when a tile is missing.
    world.tile_size = 64;
    world.tiles = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
    write_and_read();
    for (int z = 0; z <= 2; ++z) {
        tile_list.push_back({z, 361, 361});
        widen_bounds(tile_list.back());
    }
    ChildRun run = compose_in_child(world.number);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_NE(run.err.find("Error loading " + tile(0, 361, 361) +
                           "\nNo such file or directory\n"),
              std::string::npos)
        << run.err;
    const long MB = 1024;
    EXPECT_LT(run.peak_kb, 200 * MB) << "the run held " << run.peak_kb / MB << " MB";
    expect_no_maps();
}

TEST_F(TileCheckTest, OtherFormatsAreRefusedBeforeAnyTileIsRead)
{
    // Headers that the library's BMP and TGA loaders would trust: the
    // run must stop on the extension alone.
    struct Case {
        std::string ext, bytes;
    };
    const Case cases[] = {{"bmp", bmp_declaring(65536, 65537)},
                          {"tga", tga_declaring(32768, 32769)}};
    for (const Case &c : cases) {
        world.ext = c.ext;
        world.tiles = {{0, 0, 0}, {0, 1, 0}};
        write_and_read();
        write_file(tile(0, 0, 0), c.bytes);
        write_file(tile(0, 1, 0), c.bytes);
        EXPECT_COMPOSE_FAILS("Unsupported tile extension \"" + c.ext + "\" in " +
                             literal(change_list()) +
                             "\\.\nTiles and maps must be png, jpg or gif");
    }

    // A world of .jpeg tiles: its extension is cut to three characters.
    world.ext = "jpg";
    write_and_read();
    SampleWorld jpeg = world;
    jpeg.ext = "jpeg";
    std::string list;
    for (const GenTile &t : world.tiles) {
        ASSERT_EQ(std::rename(tile_file(world, t).c_str(),
                              tile_file(jpeg, t).c_str()), 0);
        list += change_line(jpeg, t) + "\n";
    }
    write_file(change_list(), list);
    read_list();
    EXPECT_COMPOSE_FAILS("Unsupported tile extension \"jpe\" in " +
                         literal(change_list()) +
                         "\\.\nTiles and maps must be png, jpg or gif");
    expect_no_maps();
}

TEST_F(TileCheckTest, ExtensionsAreAcceptedCaseAside)
{
    world.ext = "PNG";
    world.tiles = {{0, 0, 0}, {0, 1, 0}};
    write_and_read();
    testing::internal::CaptureStdout();
    compose_maps(world.number);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(run_command("identify -format '%m %wx%h' '" + map_name(0) + "'"),
              "PNG " + std::to_string(2 * TILE) + "x" + std::to_string(TILE));
}

TEST_F(TileCheckTest, JpegWithASecondFrameHeaderNeverReachesTheDecoder)
{
    world.ext = "jpg";
    world.tile_size = 64;
    world.tiles = {{0, 0, 0}, {0, 1, 0}};
    write_and_read();
    const std::string second = tile(0, 1, 0);
    const std::string jpeg = read_file(second);
    // The decoder sizes its bitmap by the first frame header and would
    // then write the second one's 37837 x 37838 pixels into it.
    write_file(second, jpeg_with_second_frame(jpeg, 37837, 37838));
    EXPECT_COMPOSE_FAILS("Error loading " + literal(second) +
                         "\nunreadable JPEG header \\(more than one frame "
                         "header\\)\n");

    // A whole JPEG inside an application segment, as a thumbnail, is no
    // second frame: the tile still loads.
    write_file(second, jpeg_with_thumbnail(jpeg, read_file(tile(0, 0, 0))));
    testing::internal::CaptureStdout();
    compose_maps(world.number);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(run_command("identify -format '%wx%h' '" + map_name(0) + "'"),
              "128x64");
}

// Tiles that made the JPEG library's decoder write past its buffers, then
// hang or crash: valid ones from cjpeg map; one changed byte in a Huffman
// table's counts or a scan header's table selector, or a file cut short,
// stops the run with the reason that djpeg gives.
TEST_F(TileCheckTest, JpegTilesMapOrStopWithLibjpegsReason)
{
    world.ext = "jpg";
    world.tile_size = 64;
    world.tiles = {{0, 0, 0}, {0, 1, 0}};
    write_and_read();
    const std::string second = tile(0, 1, 0);
    const std::string scans = root + "/scans.txt";  // one per component
    write_file(scans, "0;\n1;\n2;\n");
    for (const std::string &options :
         {std::string("-sample 4x1"), std::string("-rgb"),
          std::string("-progressive -sample 4x1"), "-scans " + scans}) {
        run_command("convert rose: -resize '64x64!' ppm:- | cjpeg " + options +
                    " > '" + second + "'");
        EXPECT_EXIT(
            {
                alarm(TIME_LIMIT_S);
                discard_stdout();
                compose_maps(world.number);
                std::exit(0);
            },
            ::testing::ExitedWithCode(0), "")
            << options;
    }

    const std::string jpeg = read_file(second);
    std::string counts = jpeg, selector = jpeg;
    counts[jpeg.find("\xFF\xC4") + 5] = '\xFF';
    selector[jpeg.find("\xFF\xDA") + 6] = '\x33';
    // A valid progressive file of 641 scans, each a pass over the image:
    // refused as djpeg's limit of 500 refuses it.
    const std::string scans_641 = read_file(JPEG_CORPUS_DIR "/scans_641.jpg");
    for (const std::string &bad :
         {counts, selector, jpeg.substr(0, jpeg.size() / 2), scans_641}) {
        write_file(second, bad);
        const std::string reason =  // its first line, with its line end
            run_command("djpeg -maxscans 500 '" + second +
                        "' 2>&1 >/dev/null | head -1");
        ASSERT_NE(reason, "");
        EXPECT_COMPOSE_FAILS("Error loading " + literal(second) + "\n" +
                             literal(reason));
    }
}

// A GIF tile that its reader refuses stops the run with the reader's
// reason, as JPEG tiles do with libjpeg's.
TEST_F(TileCheckTest, GifTilesStopWithTheReadersReason)
{
    world.ext = "gif";
    world.tiles = {{0, 0, 0}, {0, 1, 0}};
    write_and_read();
    const std::string second = tile(0, 1, 0);
    const std::string start = gif_start("GIF89a", TILE, TILE, {0, 0xFF0000});
    const std::string data = sub_blocks(std::string("\x00\x10", 2));
    write_file(second, start + image_block(0, 0, TILE, TILE, "\x0C" + data) +
                           GIF_TRAILER);
    EXPECT_COMPOSE_FAILS("Error loading " + literal(second) +
                         "\nLZW root width 12\n");
    write_file(second, start + image_block(0, 0, TILE, TILE,
                                           lzw_data(2, {4, 1, 7, 5})) +
                           GIF_TRAILER);
    EXPECT_COMPOSE_FAILS("Error loading " + literal(second) +
                         "\nLZW code 7 names no string yet\n");
}

// Bytes the calling process has read (rchar in /proc/self/io).
long long bytes_read_so_far()
{
    std::string key;
    long long value = -1;
    std::ifstream io("/proc/self/io");
    while (io >> key >> value)
        if (key == "rchar:")
            return value;
    return -1;
}

// Writes head and then zeros, which never end a JPEG scan, to fd until
// its reader closes it.
void feed_endlessly(int fd, const std::string &head)
{
    signal(SIGPIPE, SIG_IGN);
    const std::string zeros(1 << 16, '\0');
    bool ok = write(fd, head.data(), head.size()) ==
              static_cast<ssize_t>(head.size());
    while (ok)
        ok = write(fd, zeros.data(), zeros.size()) > 0;
    close(fd);
}

// In a child: walks an endless JPEG whole, and prints what the walk says.
void walk_endless(const std::string &head)
{
    alarm(TIME_LIMIT_S);
    int fds[2];
    if (pipe(fds) != 0)
        std::exit(2);
    std::thread writer(feed_endlessly, fds[1], head);
    int64_t w = 0, h = 0;
    const char *why = "";
    const bool ok = read_image_size(fds[0], FORMAT_JPEG, true, &w, &h, &why);
    close(fds[0]);
    writer.join();
    std::fprintf(stderr, "%d %s\n", ok, why);
    std::exit(0);
}

// In a child: loads an endless JPEG from the FIFO at path through the
// registry, and prints the reason it gives.
void load_endless(const std::string &path, const std::string &head)
{
    alarm(TIME_LIMIT_S);
    std::thread writer([&] { feed_endlessly(open(path.c_str(), O_WRONLY), head); });
    BITMAP *bmp = load_bitmap(path.c_str(), nullptr);
    std::fprintf(stderr, "%s %s\n", bmp ? "loaded" : "refused", allegro_error);
    std::_Exit(0);  // the writer may still be blocked in open
}

// The work on a tile is bounded by its image, not its file. A sparse tile
// of 10 GiB (a few kilobytes on disk), JPEG or GIF, is refused at once
// (the marker walk read all of it, twice, and a GIF's bytes after its
// image were passed over one by one: minutes); a JPEG whose scan runs on
// without end is walked, and decoded, no further than its size can need;
// and the structure is walked once, by the check before any map.
TEST_F(TileCheckTest, TilesAreReadNoFurtherThanTheirImageCanNeed)
{
    for (const char *ext : {"jpg", "gif"}) {
        world.ext = ext;
        world.tiles = {{0, 0, 0}, {0, 1, 0}};
        write_and_read();
        // Without its end marker, zeros follow the image data.
        const std::string second = tile(0, 1, 0);
        const off_t end_marker = world.ext == "jpg" ? 2 : 1;
        ASSERT_EQ(truncate(second.c_str(), read_file(second).size() - end_marker), 0);
        ASSERT_EQ(truncate(second.c_str(), 10LL << 30), 0);
        EXPECT_COMPOSE_FAILS("Error loading " + literal(second) +
                             "\nthe file holds 10737418240 bytes, more than a "
                             "32 x 32 image can need \\(16842752\\)\n");
    }

    world.ext = "jpg";
    write_and_read();
    const std::string jpeg = read_file(tile(0, 0, 0));
    EXPECT_EXIT(walk_endless(jpeg.substr(0, jpeg.size() - 2)),
                ::testing::ExitedWithCode(0),
                "0 the file runs on past 16842752 bytes without an "
                "end-of-image marker, more than a 32 x 32 JPEG can need\n");
    // The loader on its own: a progressive JPEG is read whole before its
    // first row is given, up to the same bound.
    const std::string progressive = root + "/p.jpg", fifo = root + "/fifo.jpg";
    run_command("djpeg '" + tile(0, 0, 0) + "' | cjpeg -progressive > '" +
                progressive + "'");
    const std::string p = read_file(progressive);
    const size_t second_scan = p.find("\xFF\xDA", p.find("\xFF\xDA") + 2);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EXIT(load_endless(fifo, p.substr(0, second_scan)),
                ::testing::ExitedWithCode(0),
                "refused the JPEG data run past 16842752 bytes, more than "
                "its image can need\n");

    // A tile padded with 12 MB of segments besides its pixels: the check
    // walks its structure once, seeking over segments, and its codec
    // reads only what it decodes (the two checks and the codec read all
    // of it, 37 MB in all).
    std::string padded = jpeg.substr(0, 2);
    for (int i = 0; i < 200; ++i)
        padded += "\xFF\xE2\xFF\xFF" + std::string(0xFFFD, 'x');
    write_file(tile(0, 1, 0), padded + jpeg.substr(2));
    EXPECT_EXIT(
        {
            const long long before = bytes_read_so_far();
            discard_stdout();
            compose_maps(world.number);
            const long long read = bytes_read_so_far() - before;
            std::fprintf(stderr, "the run read %lld bytes\n", read);
            std::exit(read > 0 && read < static_cast<long long>(padded.size()) / 2
                          ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

// Waits for the count-th open of the file name in folder, then moves
// replacement over it.
void replace_after_opens(int inotify_fd, const std::string &name, int count,
                         const std::string &replacement,
                         const std::string &path)
{
    alignas(inotify_event) char buf[4096];
    int opens = 0;
    for (;;) {
        ssize_t n = read(inotify_fd, buf, sizeof buf);
        if (n <= 0)
            return;
        for (char *p = buf; p < buf + n;) {
            const inotify_event *e = reinterpret_cast<const inotify_event *>(p);
            if (e->len > 0 && name == e->name && ++opens == count) {
                std::rename(replacement.c_str(), path.c_str());
                return;
            }
            p += sizeof(inotify_event) + e->len;
        }
    }
}

TEST_F(TileCheckTest, TileSwappedAfterItsCheckIsNotWhatTheCodecReads)
{
    swap_after_check(false);
}

TEST_F(TileCheckTest, TileSwappedAfterItsCheckIsNotReadWithoutProcEither)
{
    if (!can_hide_proc())
        GTEST_SKIP() << "cannot mount over /proc in a mount namespace of our "
                        "own (needs root): the load without /proc is not tested";
    swap_after_check(true);
}

void TileCheckTest::swap_after_check(bool without_proc)
{
    world.ext = "jpg";
    world.tiles = {{0, 0, 0}, {0, 1, 0}};
    write_and_read();
    // Large application segments make the check of the second tile, which
    // walks the whole file, last long enough for the swap to land between
    // that check and the codec's open; 12 MB of them, within what a tile
    // may hold besides its pixels.
    const std::string second = tile(0, 1, 0);
    std::string jpeg = read_file(second);
    const std::string padding = "\xFF\xE2\xFF\xFF" + std::string(0xFFFD, 'x');
    std::string padded = jpeg.substr(0, 2);
    for (int i = 0; i < 200; ++i)
        padded += padding;
    write_file(second, padded + jpeg.substr(2));
    const std::string fifo = out + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    EXPECT_EXIT(
        {
            alarm(TIME_LIMIT_S);
            messages_to_stderr();
            if (without_proc && !hide_proc())
                std::exit(5);
            int fd = inotify_init1(IN_CLOEXEC);
            if (fd < 0 || inotify_add_watch(fd, zoom_folder_path(root, 1, 0).c_str(),
                                            IN_OPEN) < 0)
                std::exit(2);
            // Opened by the check of all tiles, then by the check before
            // loading: a FIFO takes its place right after that.
            std::thread swap(replace_after_opens, fd,
                             second.substr(second.rfind('/') + 1), 2, fifo,
                             second);
            compose_maps(world.number);
            swap.join();
            struct stat st;
            const bool swapped = stat(second.c_str(), &st) == 0 &&
                                 S_ISFIFO(st.st_mode);
            std::exit(!swapped ? 3 : file_exists(map_name(0)) ? 0 : 4);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(TileCheckTest, NoLinkIsLeftBehindAfterARunOrAFailure)
{
    world.tiles = {{0, 0, 0}, {0, 1, 0}};
    write_and_read();
    const std::string scratch = make_temp_dir();
    const char *old_tmpdir = std::getenv("TMPDIR");
    const std::string saved = old_tmpdir ? old_tmpdir : "";
    setenv("TMPDIR", scratch.c_str(), 1);
    testing::internal::CaptureStdout();
    compose_maps(world.number);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(run_command("ls -A '" + scratch + "'"), "");
    // A tile that its codec refuses ends the run while the link is there.
    write_file(tile(0, 1, 0), png_declaring(TILE, TILE, 2).substr(0, 60));
    EXPECT_COMPOSE_FAILS("its data cannot be decoded");
    EXPECT_EQ(run_command("ls -A '" + scratch + "'"), "");
    // Without a private folder no tile is loaded, rather than by its path.
    setenv("TMPDIR", (scratch + "/missing").c_str(), 1);
    EXPECT_COMPOSE_FAILS("Error loading sample bitmap\\.\n" + literal(tile(0, 0, 0)) +
                         ": no private folder to load it from in " +
                         literal(scratch) + "/missing: No such file or directory\n");
    if (old_tmpdir)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
    remove_tree(scratch);
}

TEST_F(TileCheckTest, PngWithASecondHeaderNeverReachesAnAllocation)
{
    world.tiles = {{0, 0, 0}, {0, 1, 0}};
    write_and_read();
    // Only the first IHDR is checked; the decoder refuses any other.
    const std::string second = tile(0, 1, 0);
    write_file(second, png_with_second_ihdr(40000, 40000));
    EXPECT_COMPOSE_FAILS("Error loading " + literal(second) +
                         "\nits data cannot be decoded\n");
}

// Sizes that ImageMagick writes into PNG, progressive JPEG (several
// scans, tables between them) and animated GIF headers.
TEST_F(TileCheckTest, HeaderSizesOfFilesFromAnotherWriter)
{
    struct Case {
        const char *file, *command;
        ImageFormat format;
    };
    const Case cases[] = {
        {"a.png", "convert -size 40x30 plasma:", FORMAT_PNG},
        {"a.jpg", "convert -size 40x30 plasma: -interlace Plane -quality 95",
         FORMAT_JPEG},
        {"a.gif", "convert -size 40x30 xc:red xc:blue -loop 0", FORMAT_GIF}};
    for (const Case &c : cases) {
        const std::string path = out + "/" + c.file;
        int status = -1;
        run_command(std::string(c.command) + " '" + path + "'", &status);
        ASSERT_EQ(status, 0) << c.command;
        int fd = open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        int64_t w = 0, h = 0;
        const char *why = "";
        EXPECT_TRUE(read_image_size(fd, c.format, true, &w, &h, &why)) << c.file << ": " << why;
        close(fd);
        EXPECT_EQ(w, 40) << c.file;
        EXPECT_EQ(h, 30) << c.file;
    }
}

TEST_F(TileCheckTest, MapsLargerThanTheLibraryOrTheMemoryAreRefused)
{
    world.tiles = {{0, 0, 0}};
    write_and_read();
    const std::string sample = read_file(tile(0, 0, 0));
    // 900 x 900 tiles of 32 pixels: more pixels than one bitmap holds.
    write_file(tile(0, 899, 899), sample);
    tile_list.push_back({0, 899, 899});
    widen_bounds(tile_list.back());
    EXPECT_COMPOSE_FAILS("Error creating map bitmap\\.\nThe map of zoom level 0 "
                         "would be 28800 x 28800 pixels; a bitmap of the "
                         "graphics library holds at most 715827882 pixels at "
                         "3 bytes per pixel\\.\n");

    // 188 x 188 tiles: 103 MB, more than a system with 100 MB available
    // can give.
    tile_list.pop_back();
    std::memset(&ZoomBounds, 0, sizeof ZoomBounds);
    write_file(tile(0, 187, 187), sample);
    for (const TileEntry &t : {TileEntry{0, 0, 0}, TileEntry{0, 187, 187}})
        widen_bounds(t);
    tile_list.push_back({0, 187, 187});
    const std::string meminfo = out + "/meminfo";
    write_file(meminfo, "MemTotal:        8000000 kB\n"
                        "MemFree:           50000 kB\n"
                        "MemAvailable:     102400 kB\n"
                        "Buffers:            1000 kB\n");
    EXPECT_EXIT(
        {
            alarm(TIME_LIMIT_S);
            messages_to_stderr();
            meminfo_path = meminfo.c_str();
            compose_maps(world.number);
            std::exit(0);
        },
        ::testing::ExitedWithCode(1),
        "Error creating map bitmap\\.\nThe maps of zoom levels 0 to 0 need "
        "103 MB together \\(the largest, zoom level 0, is 6016 x 6016 "
        "pixels\\), more than the 100 MB of memory available \\(MemAvailable "
        "in " + literal(meminfo) + "\\)\\.\n");

    // The system's own figure is read.
    EXPECT_GT(memory_available(), 0);
    std::remove(meminfo.c_str());
    expect_no_maps();
}

TEST_F(TileCheckTest, MapBitmapThatCannotBeAllocatedIsReported)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address-space limit cannot be set under "
                    "AddressSanitizer";
#endif
    world.tiles = {{0, 0, 0}};
    write_and_read();
    write_file(tile(0, 187, 187), read_file(tile(0, 0, 0)));
    tile_list.push_back({0, 187, 187});
    widen_bounds(tile_list.back());
    EXPECT_EXIT(
        {
            alarm(TIME_LIMIT_S);
            messages_to_stderr();
            // Room for what the process holds now, not for a 103 MB map.
            limit_address_space_to_more(64);
            compose_maps(world.number);
            std::exit(0);
        },
        ::testing::ExitedWithCode(1),
        "Error creating map bitmap\\.\nThe map of zoom level 0, 6016 x 6016 "
        "pixels \\(103 MB\\), could not be allocated\\.\n");
}

TEST_F(TileCheckTest, TilesOfOtherSizesAreNamedOnStandardError)
{
    world.tiles = grid_layout(0, 15, 1);
    write_and_read();
    // The first tile is 32 x 64: its width sets the size, and it is itself
    // cut. Then one tile of the size used, one of 64, and twelve of 16.
    SampleWorld big = world, small = world;
    big.tile_size = 2 * TILE;
    small.tile_size = TILE / 2;
    std::string expected;
    for (size_t i = 0; i < world.tiles.size(); ++i) {
        const GenTile &t = world.tiles[i];
        BITMAP *bmp;
        int w = TILE, h = TILE;
        if (i == 0) {
            BITMAP *full = make_tile_bitmap(big, t);
            bmp = create_bitmap_ex(24, TILE, 2 * TILE);
            blit(full, bmp, 0, 0, 0, 0, TILE, 2 * TILE);
            destroy_bitmap(full);
            h = 2 * TILE;
        } else if (i == 1) {
            continue;
        } else if (i == 2) {
            bmp = make_tile_bitmap(big, t);
            w = h = 2 * TILE;
        } else {
            bmp = make_tile_bitmap(small, t);
            w = h = TILE / 2;
        }
        ASSERT_EQ(save_bitmap(tile_file(world, t).c_str(), bmp, NULL), 0);
        destroy_bitmap(bmp);
        if (i <= 10)  // the first ten of other sizes
            expected += "Warning: " + tile_file(world, t) + " is " +
                        std::to_string(w) + " x " + std::to_string(h) +
                        " pixels; tiles are placed as 32 x 32 squares, the "
                        "first tile's width.\n";
    }
    expected += "Warning: 4 more tiles are not 32 x 32 pixels.\n";
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    compose_maps(world.number);
    const std::string err = testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(err, expected);
    // The map is as before: fifteen cells of the first tile's width.
    EXPECT_EQ(run_command("identify -format '%wx%h' '" + map_name(0) + "'"),
              std::to_string(15 * TILE) + "x" + std::to_string(TILE));
}

// Maps that their format cannot hold: JPEG and GIF store each side in
// 16 bits, libpng writes no side above its limit. The run stops before
// any bitmap, naming the map, and an older map stays as it was.
TEST_F(TileCheckTest, MapsLargerThanTheirFormatHoldsAreRefusedBeforeAnyBitmap)
{
    struct Case {
        const char *ext;
        int tile_size, last_column, last_row;
        const char *expected;
    };
    const Case cases[] = {
        {"jpg", 128, 512, 0,
         "65664 x 128 pixels; a JPEG map is at most 65535 pixels wide and "
         "65535 high \\(the file stores each side in 16 bits\\)\\.\n"},
        {"gif", 128, 512, 0,
         "65664 x 128 pixels; a GIF map is at most 65535 pixels wide and "
         "65535 high"},
        {"png", 32, 31250, 0,
         "1000032 x 32 pixels; a PNG map is at most 1000000 pixels wide and "
         "1000000 high \\(libpng writes no larger image\\)\\.\n"},
        // The canvas fits the library at 3 bytes a pixel, the JPEG saver's
        // copy of it at 4 does not.
        {"jpg", 32, 724, 724,
         "23200 x 23200 pixels; the JPEG saver copies a map into a bitmap of "
         "4 bytes per pixel, which the graphics library holds up to "
         "536870911 pixels\\.\n"}};
    for (const Case &c : cases) {
        world.ext = c.ext;
        world.tile_size = c.tile_size;
        world.tiles = {{0, 0, 0}};
        write_and_read();
        write_file(tile(0, c.last_column, c.last_row), read_file(tile(0, 0, 0)));
        tile_list.push_back({0, c.last_column, c.last_row});
        widen_bounds(tile_list.back());
        const std::string older = map_name(0);
        write_file(older, "older map");
        const ChildRun run = compose_in_child(world.number);
        EXPECT_EQ(run.exit_code, 1) << c.ext;
        EXPECT_TRUE(testing::internal::RE::PartialMatch(
            run.err, testing::internal::RE(
                         std::string("^Error creating map_zoom_0\\.") + c.ext +
                         "\nThe map of zoom level 0 would be " + c.expected)))
            << run.err;
        EXPECT_TRUE(read_file(older) == "older map") << c.ext << ": replaced";
        EXPECT_EQ(run.err.find("Blitting"), std::string::npos) << c.ext;
        std::remove(older.c_str());
    }
}

// The JPEG saver holds a 32-bit copy of the map beside it while it
// writes: 103 MB of canvas and 138 MB of copy do not fit in 200 MB.
TEST_F(TileCheckTest, TheSaversCopyCountsInTheMemoryNeeded)
{
    world.ext = "jpg";
    world.tiles = {{0, 0, 0}};
    write_and_read();
    write_file(tile(0, 187, 187), read_file(tile(0, 0, 0)));
    tile_list.push_back({0, 187, 187});
    widen_bounds(tile_list.back());
    const std::string meminfo = out + "/meminfo";
    write_file(meminfo, "MemAvailable:     204800 kB\n");
    EXPECT_EXIT(
        {
            alarm(TIME_LIMIT_S);
            messages_to_stderr();
            meminfo_path = meminfo.c_str();
            compose_maps(world.number);
            std::exit(0);
        },
        ::testing::ExitedWithCode(1),
        "Error creating map bitmap\\.\nThe maps of zoom levels 0 to 0 need "
        "103 MB together \\(the largest, zoom level 0, is 6016 x 6016 "
        "pixels\\) and the JPEG saver 138 MB more for its copy of the largest, "
        "more than the [0-9]+ MB of memory available");
    std::remove(meminfo.c_str());
    expect_no_maps();
}

// Fake control-group files: the least that the process's group or one
// above it leaves of its limit (less its use, plus the page cache that
// the kernel would reclaim) lowers the memory available.
TEST_F(TileCheckTest, ControlGroupLimitsLowerTheMemoryAvailable)
{
    const long long MB = 1024 * 1024;
    const std::string groups = out + "/cgroup";
    const std::string v2 = groups + "/user.slice/app", v1 = groups + "/memory/box";
    int status = -1;
    run_command("mkdir -p '" + v2 + "' '" + v1 + "'", &status);
    ASSERT_EQ(status, 0);
    write_file(groups + "/user.slice/memory.max", std::to_string(900 * MB) + "\n");
    write_file(groups + "/user.slice/memory.current", std::to_string(100 * MB) + "\n");
    write_file(v2 + "/memory.max", "max\n");
    write_file(v2 + "/memory.current", std::to_string(50 * MB) + "\n");
    const std::string self = out + "/self_cgroup";
    write_file(self, "0::/user.slice/app\n");
    const char *saved_self = proc_cgroup_path, *saved_root = cgroup_root;
    proc_cgroup_path = self.c_str();
    cgroup_root = groups.c_str();
    std::string source;
    EXPECT_EQ(memory_available(&source), 800 * MB);
    EXPECT_EQ(source, "the limit of control group " + groups +
                          "/user.slice less its use");

    // cgroup v1: the memory hierarchy, a tighter group below, cache back.
    write_file(self, "5:cpu,cpuacct:/box\n4:memory:/box\n0::/user.slice/app\n");
    write_file(v1 + "/memory.limit_in_bytes", std::to_string(150 * MB) + "\n");
    write_file(v1 + "/memory.usage_in_bytes", std::to_string(40 * MB) + "\n");
    write_file(v1 + "/memory.stat", "cache 30000000\ntotal_cache 1\n"
                                    "total_inactive_file " +
                                        std::to_string(10 * MB) + "\n");
    write_file(groups + "/memory/memory.limit_in_bytes", "9223372036854771712\n");
    write_file(groups + "/memory/memory.usage_in_bytes", std::to_string(4000 * MB) + "\n");
    EXPECT_EQ(memory_available(&source), 120 * MB);
    EXPECT_EQ(source, "the limit of control group " + v1 + " less its use");
    proc_cgroup_path = saved_self;
    cgroup_root = saved_root;
}

// A real memory control group of 150 MB and a map of 201 MB: without its
// limit the check passes and the kernel kills the run without a word.
TEST_F(TileCheckTest, MapLargerThanTheControlGroupLeavesIsRefused)
{
    // cgroup v2 where its root offers the memory controller, else v1's
    // memory hierarchy; as root.
    const bool v2 = read_file("/sys/fs/cgroup/cgroup.subtree_control").find("memory") !=
                    std::string::npos;
    const std::string hierarchy = v2 ? "/sys/fs/cgroup" : "/sys/fs/cgroup/memory";
    const std::string group = hierarchy + "/mapper-test-" + std::to_string(getpid());
    if (access((hierarchy + "/cgroup.procs").c_str(), W_OK) != 0 ||
        mkdir(group.c_str(), 0755) != 0)
        GTEST_SKIP() << "cannot make a memory control group under " << hierarchy
                     << " (needs root and a writable cgroup file system): the "
                        "limit is tested with fake files only";
    const std::string LIMIT = std::to_string(150LL * 1024 * 1024);
    // No swap either, where the group accounts for it.
    const char *limits[] = {v2 ? "memory.max" : "memory.limit_in_bytes",
                            v2 ? "memory.swap.max" : "memory.memsw.limit_in_bytes"};
    for (const char *file : limits)
        if (file_exists(group + "/" + file))
            write_file(group + "/" + file, LIMIT);
    world.tiles = {{0, 0, 0}};
    write_and_read();
    // 256 x 256 tiles of 32 pixels: 8192 x 8192 pixels, 201 MB. The first
    // tile's data are cut: the check comes before any tile is decoded.
    write_file(tile(0, 255, 255), read_file(tile(0, 0, 0)));
    write_file(tile(0, 0, 0), png_declaring(TILE, TILE, 2).substr(0, 60));
    tile_list.push_back({0, 255, 255});
    widen_bounds(tile_list.back());
    const ChildRun run = compose_in_child(world.number, [&group] {
        write_file(group + "/cgroup.procs", std::to_string(getpid()));
    });
    rmdir(group.c_str());
    EXPECT_EQ(run.exit_code, 1) << "killed or ended otherwise";
    EXPECT_TRUE(testing::internal::RE::PartialMatch(
        run.err, testing::internal::RE(
                     "^Error creating map bitmap\\.\nThe maps of zoom levels 0 to 0 "
                     "need 192 MB together \\(the largest, zoom level 0, is 8192 x "
                     "8192 pixels\\), more than the 1[0-5][0-9] MB of memory "
                     "available \\(the limit of control group " + literal(group) +
                     " less its use\\)\\.\n")))
        << run.err;
    EXPECT_EQ(run.err.find("Blitting"), std::string::npos);
    expect_no_maps();
}

// Every descriptor of the process that holds a loaded tile.
std::vector<int> descriptors_of(const std::string &path)
{
    std::vector<int> found;
    char target[PATH_MAX];
    DIR *d = opendir("/proc/self/fd");
    while (dirent *e = d ? readdir(d) : nullptr) {
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)) == path)
            found.push_back(std::atoi(e->d_name));
    }
    if (d)
        closedir(d);
    return found;
}

// A message box is another program: the descriptor kept for the last
// tile loaded must not reach it.
TEST_F(TileCheckTest, DescriptorHeldForATileIsClosedOnExec)
{
    world.tiles = {{0, 0, 0}};
    write_and_read();
    const std::string path = tile(0, 0, 0);
    std::string why;
    BITMAP *loaded = load_checked_tile(path, &why);
    ASSERT_NE(loaded, nullptr) << why;
    destroy_bitmap(loaded);
    const std::vector<int> held = descriptors_of(path);
    EXPECT_FALSE(held.empty());
    for (int fd : held)
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << "descriptor " << fd;
    finish_tile_loads();
}

// An 8-bit tile's exact palette is read from the checked descriptor, not
// by its name again: its name is opened as often as a 24-bit tile's.
TEST_F(TileCheckTest, PaletteOfATileIsNotReadByItsNameAgain)
{
    world.tiles = {{0, 0, 0}, {0, 1, 0}, {0, 2, 0}};
    write_and_read();
    const std::string paletted = tile(0, 1, 0);
    int status = -1;
    run_command("convert -size 32x32 plasma: -colors 16 PNG8:'" + paletted + "'",
                &status);
    ASSERT_EQ(status, 0);
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    // Reads between the opens keep inotify from merging them into one.
    ASSERT_GE(inotify_add_watch(watch, zoom_folder_path(root, 1, 0).c_str(),
                                IN_OPEN | IN_ACCESS), 0);
    compose();
    std::map<std::string, int> opens;
    alignas(inotify_event) char buf[4096];
    for (ssize_t n; (n = read(watch, buf, sizeof buf)) > 0;)
        for (char *p = buf; p < buf + n;) {
            const inotify_event *e = reinterpret_cast<const inotify_event *>(p);
            if ((e->mask & IN_OPEN) && e->len > 0)
                ++opens[e->name];
            p += sizeof *e + e->len;
        }
    close(watch);
    const std::string name = paletted.substr(paletted.rfind('/') + 1);
    const std::string truecolour = tile(0, 2, 0).substr(paletted.rfind('/') + 1);
    EXPECT_GT(opens[truecolour], 0);
    EXPECT_EQ(opens[name], opens[truecolour]);
}

// Out of memory while a tile is decoded is said as such.
TEST_F(TileCheckTest, TileThatMemoryCannotHoldSaysSo)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address-space limit cannot be set under "
                    "AddressSanitizer";
#endif
    world.tiles = {{0, 0, 0}, {0, 1, 0}};
    write_and_read();
    // Placed as a 32-pixel square, but decoded whole: 4096 x 4096 pixels.
    const std::string big = tile(0, 1, 0);
    int status = -1;
    run_command("convert -size 4096x4096 xc:red '" + big + "'", &status);
    ASSERT_EQ(status, 0);
    EXPECT_EXIT(
        {
            alarm(TIME_LIMIT_S);
            messages_to_stderr();
            limit_address_space_to_more(24);
            compose_maps(world.number);
            std::exit(0);
        },
        ::testing::ExitedWithCode(1),
        "Error loading " + literal(big) + "\nout of memory: its 4096 x 4096 "
        "pixels need up to 64 MB, which the system did not give\n");
}

}  // namespace
