#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "change_list.h"
#include "data_folder.h"
#include "fatal_error.h"
#include "file_io.h"
#include "folder_info.h"
#include "steam_libraries.h"
#include "test_support.h"
#include "world_layout.h"

namespace {

// path as a regular expression that matches it alone.
std::string as_pattern(const std::string &path)
{
    std::string pattern;
    for (char c : path)
        pattern += c == '.' ? std::string("\\.") : std::string(1, c);
    return pattern;
}

class ChangeListTest : public ::testing::Test {
protected:
    std::string root;
    std::string home;  // without Wine or Steam unless a test makes them

    void SetUp() override
    {
        start_allegro_headless();
        root = make_temp_dir();
        home = make_temp_dir();
        setenv("XDG_DATA_HOME", root.c_str(), 1);
        setenv("HOME", home.c_str(), 1);
        unsetenv("WINEPREFIX");
        reset_globals();
    }
    void TearDown() override
    {
        remove_tree(root);
        remove_tree(home);
    }

    static void reset_globals()
    {
        tile_list.clear();
        std::memset(&ZoomBounds, 0, sizeof ZoomBounds);
        std::memset(tile_ext, 0, sizeof tile_ext);
        std::memset(appdata_path, 0, sizeof appdata_path);
    }

    void write_list(int world, const std::string &text)
    {
        write_list_in(root, world, text);
    }

    static void write_list_in(const std::string &appdata, int world,
                              const std::string &text)
    {
        run_command("mkdir -p '" + world_folder_path(appdata, world) + "'");
        write_file(change_list_path(appdata, world), text);
    }

    // Reads world 1 and returns what went to standard error.
    std::string read_world1(const std::string &text)
    {
        write_list(1, text);
        testing::internal::CaptureStderr();
        read_change_list(1);
        return testing::internal::GetCapturedStderr();
    }
};

void expect_entry(size_t i, int zoom, int x, int y)
{
    ASSERT_LT(i, tile_list.size());
    EXPECT_EQ(tile_list[i].zoom, zoom) << "entry " << i;
    EXPECT_EQ(tile_list[i].x, x) << "entry " << i;
    EXPECT_EQ(tile_list[i].y, y) << "entry " << i;
}

TEST_F(ChangeListTest, ReadsEntriesInFileOrderAndWidensBounds)
{
    std::string err = read_world1(
        "C:\\Users\\p\\AppData\\Roaming\\Orvandelquist\\World1\\Zoom3\\tile_-2_5.png\n"
        "x\\Zoom0\\tile_4_-3.png\n"
        "x\\Zoom3\\tile_-2_5.png\n"
        "/home/p/.local/share/Orvandelquist/World1/Zoom1/tile_7_1.png\n");
    EXPECT_EQ(err, "");
    EXPECT_STREQ(tile_ext, "png");
    ASSERT_EQ(tile_list.size(), 4u);
    expect_entry(0, 3, -2, 5);
    expect_entry(1, 0, 4, -3);
    expect_entry(2, 3, -2, 5);  // listed twice, kept twice
    expect_entry(3, 1, 7, 1);
    EXPECT_EQ(ZoomBounds.max_zoom, 3);
    EXPECT_EQ(ZoomBounds.zoom_min_x[3], -2);
    EXPECT_EQ(ZoomBounds.zoom_max_x[3], 0);
    EXPECT_EQ(ZoomBounds.zoom_min_y[3], 0);
    EXPECT_EQ(ZoomBounds.zoom_max_y[3], 5);
    EXPECT_EQ(ZoomBounds.zoom_max_x[0], 4);
    EXPECT_EQ(ZoomBounds.zoom_min_y[0], -3);
    EXPECT_EQ(std::string(appdata_path), root);
}

TEST_F(ChangeListTest, BoundsAlwaysReachBackToTheOrigin)
{
    read_world1("a\\Zoom2\\tile_5_5.png\na\\Zoom2\\tile_6_7.png\n");
    EXPECT_EQ(ZoomBounds.max_zoom, 2);
    EXPECT_EQ(ZoomBounds.zoom_min_x[2], 0);
    EXPECT_EQ(ZoomBounds.zoom_max_x[2], 6);
    EXPECT_EQ(ZoomBounds.zoom_min_y[2], 0);
    EXPECT_EQ(ZoomBounds.zoom_max_y[2], 7);
    for (int z = 0; z < 2; ++z) {
        EXPECT_EQ(ZoomBounds.zoom_min_x[z], 0);
        EXPECT_EQ(ZoomBounds.zoom_max_x[z], 0);
        EXPECT_EQ(ZoomBounds.zoom_min_y[z], 0);
        EXPECT_EQ(ZoomBounds.zoom_max_y[z], 0);
    }
}

TEST_F(ChangeListTest, LastLineWithoutNewlineIsNotTaken)
{
    read_world1("a\\Zoom0\\tile_1_1.png\na\\Zoom0\\tile_2_2.png");
    ASSERT_EQ(tile_list.size(), 1u);
    expect_entry(0, 0, 1, 1);
}

TEST_F(ChangeListTest, EmptyFileGivesNothing)
{
    read_world1("");
    EXPECT_TRUE(tile_list.empty());
    EXPECT_STREQ(tile_ext, "");
    EXPECT_EQ(ZoomBounds.max_zoom, 0);
}

TEST_F(ChangeListTest, LineTailsParseFromTheirOwnEnd)
{
    // CR LF ends, Zoom12 (last digit counts), a four-letter extension,
    // a non-digit zoom character, and short lines after long ones.
    std::string err = read_world1(
        "C:\\a\\very\\long\\prefix\\that\\goes\\on\\Zoom12\\tile_-10_20.jpeg\r\n"
        "\\Zoom4\\tile_1_2.jpg\r\n"
        "q\\ZoomX\\tile_3_3.png\r\n"
        "C:\\another\\long\\prefix\\Orvandelquist\\World1\\Zoom9\\tile_0_-1.gif\n");
    // Every tile is read with the first line's extension: the lines that
    // name another are told, with the file that will be read instead.
    std::string warned;
    const TileEntry others[] = {{4, 1, 2}, {0, 3, 3}, {9, 0, -1}};
    const char *written[] = {"jpg", "png", "gif"};
    for (int i = 0; i < 3; ++i)
        warned += "Warning: changed.txt line " + std::to_string(i + 2) +
                  ": extension \"" + written[i] + "\" is not the first line's "
                  "\"jpeg\"; the tile is read as " +
                  tile_path(appdata_path, 1, others[i], "jpe") + "\n";
    EXPECT_EQ(err, warned);
    EXPECT_STREQ(tile_ext, "jpe");  // from the first line, cut to 3
    ASSERT_EQ(tile_list.size(), 4u);
    expect_entry(0, 2, -10, 20);
    expect_entry(1, 4, 1, 2);
    expect_entry(2, 0, 3, 3);
    expect_entry(3, 9, 0, -1);
    EXPECT_EQ(ZoomBounds.max_zoom, 9);

    // A list that changed format long ago names the first ten only.
    std::string list = "a\\Zoom0\\tile_0_0.png\n";
    for (int i = 1; i <= 14; ++i)
        list += "a\\Zoom0\\tile_" + std::to_string(i) + "_0.JPG\n";
    tile_list.clear();
    err = read_world1(list);
    EXPECT_EQ(tile_list.size(), 15u);
    EXPECT_EQ(err.substr(err.find("line 11:")),
              "line 11: extension \"JPG\" is not the first line's \"png\"; the "
              "tile is read as " + tile_path(appdata_path, 1, {0, 10, 0}, "png") +
              "\nWarning: 4 more lines of changed.txt name another extension "
              "than the first line's \"png\".\n");
}

TEST_F(ChangeListTest, BrokenLinesAreSkippedWithTheirLineNumbers)
{
    std::string err = read_world1(
        "\n"                                    // 1: empty, silent
        "no extension here\n"                   // 2
        "tile_1_1.png\n"                        // 3: no folder
        "\\tile_1_1.png\n"                      // 4: nothing before '\'
        "a\\Zoom0\\tile_12345678901234_1.png\n" // 5: name over 19
        "a\\Zoom0\\picture.png\n"               // 6: not tile_x_y
        "a\\Zoom0\\tile_1_2x.png\n"             // 7: trailing junk
        "a\\Zoom0\\tile_99999999999_1.png\n"    // 8: out of int range
        "a\\Zoom0\\tile_1_1.p/g\n"              // 9: not an extension
        "a\\Zoom1\\tile_-1_-2.jpg\n"            // 10: good
        "a\\Zoom1\\tile_2_3.png.\n"             // 11: good, dot at end
        "\r\n");                                // 12: empty, silent
    EXPECT_STREQ(tile_ext, "jpg");  // from the first line that parses
    ASSERT_EQ(tile_list.size(), 2u);
    expect_entry(0, 1, -1, -2);
    expect_entry(1, 1, 2, 3);
    for (int n = 2; n <= 9; ++n)
        EXPECT_NE(err.find("line " + std::to_string(n) + " skipped"),
                  std::string::npos) << n << "\n" << err;
    EXPECT_EQ(err.find("line 1 "), std::string::npos);
    EXPECT_EQ(err.find("line 10 "), std::string::npos);
    EXPECT_EQ(err.find("line 12 "), std::string::npos);
}

TEST_F(ChangeListTest, OverlongLinesAreSkippedAndReadingGoesOn)
{
    std::string edge(511 - std::strlen("\\Zoom0\\tile_1_1.png"), 'a');
    std::string text = std::string(600, 'x') + "\\Zoom0\\tile_9_9.png\n" +
                       "a\\Zoom0\\tile_1_2.png\n" +
                       edge + "\\Zoom0\\tile_1_1.png\n" +      // 511: kept
                       edge + "b\\Zoom0\\tile_1_1.png\n" +     // 512: skipped
                       std::string(5000, 'y') + "\n" +
                       "a\\Zoom0\\tile_3_4.png\n" +
                       std::string(700, 'z');                  // last, no LF
    std::string err = read_world1(text);
    ASSERT_EQ(tile_list.size(), 3u);
    expect_entry(0, 0, 1, 2);
    expect_entry(1, 0, 1, 1);
    expect_entry(2, 0, 3, 4);
    EXPECT_NE(err.find("line 1 skipped"), std::string::npos) << err;
    EXPECT_NE(err.find("line 4 skipped"), std::string::npos) << err;
    EXPECT_NE(err.find("line 5 skipped"), std::string::npos) << err;
}

// What the game appends is read from where the last read stopped, a
// line still being written (here after an overlong one) once it is
// whole, with line numbers going on; a list cut short or replaced asks
// for a full run.
TEST_F(ChangeListTest, AppendedLinesAreReadOnFromWhereTheReadStopped)
{
    const std::string first = "a\\Zoom0\\tile_1_2.png\n" + std::string(600, 'x');
    read_world1(first);
    ASSERT_EQ(tile_list.size(), 1u);
    const std::string path = change_list_path(root, 1);
    write_file(path, first + "\nb\\Zoom1\\tile_-5_7.png\nbad\n");
    std::vector<TileEntry> added;
    std::string why;
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_appended_lines(1, &added, &why), LIST_READ);
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0].zoom, 1);
    EXPECT_EQ(added[0].x, -5);
    EXPECT_EQ(added[0].y, 7);
    EXPECT_EQ(tile_list.size(), 2u);
    EXPECT_EQ(ZoomBounds.zoom_min_x[1], -5);
    EXPECT_NE(err.find("line 2 skipped: longer than 511"), std::string::npos) << err;
    EXPECT_NE(err.find("line 4 skipped"), std::string::npos) << err;
    added.clear();
    EXPECT_EQ(read_appended_lines(1, &added, &why), LIST_READ);
    EXPECT_TRUE(added.empty());
    write_file(path, "a\\Zoom0\\tile_1_2.png\n");
    EXPECT_EQ(read_appended_lines(1, &added, &why), LIST_REPLACED);
}

TEST_F(ChangeListTest, ChoosesTheWorldFolderByNumber)
{
    write_list(5, "a\\Zoom0\\tile_5_0.png\n");
    write_list(3, "a\\Zoom0\\tile_3_0.png\n");
    read_change_list(5);
    ASSERT_EQ(tile_list.size(), 1u);
    expect_entry(0, 0, 5, 0);
}

TEST_F(ChangeListTest, MissingListIsFatal)
{
    EXPECT_EXIT(
        {
            messages_to_stderr();
            read_change_list(2);
        },
        ::testing::ExitedWithCode(1), "Error opening changed\\.txt!");
}

// Where the library has no message box it prints on standard output,
// which carries the progress log: a fatal message must land on standard
// error all the same.
TEST_F(ChangeListTest, FatalMessageGoesToStandardErrorNotTheLog)
{
    const std::string log = root + "/log";
    EXPECT_EXIT(
        {
            if (!std::freopen(log.c_str(), "w", stdout))
                std::exit(2);
            std::printf("progress\n");
            read_change_list(2);
        },
        ::testing::ExitedWithCode(1), "Error opening changed\\.txt!");
    EXPECT_EQ(read_file(log), "progress\n");
}

// Descriptors above 2 that a program started to show a message would
// inherit, counted while it is shown.
int inherited_descriptors = -1;

void count_inherited(const char *)
{
    inherited_descriptors = 0;
    for (int fd = STDERR_FILENO + 1; fd < 1024; ++fd) {
        const int flags = fcntl(fd, F_GETFD);
        inherited_descriptors += flags >= 0 && !(flags & FD_CLOEXEC);
    }
}

TEST(FatalError, MessageBoxInheritsNoCopyOfStandardOutput)
{
    count_inherited("");
    const int before = inherited_descriptors;
    show_on_stderr(count_inherited, "message");
    EXPECT_EQ(inherited_descriptors, before);
}

TEST(WorldLayout, PathsAreBuiltAsTheGameLaysThemOut)
{
    EXPECT_EQ(change_list_path("/d", 5), "/d/Orvandelquist/World5/changed.txt");
    EXPECT_EQ(tile_path("/d", 2, {3, -2, 5}, "png"),
              "/d/Orvandelquist/World2/Zoom3/tile_-2_5.png");
    EXPECT_EQ(tile_path("C:\\x", 1, {0, 4, -3}, "gif", "\\"),
              "C:\\x\\Orvandelquist\\World1\\Zoom0\\tile_4_-3.gif");
    EXPECT_EQ(zoom_folder_path("/d", 1, 9), "/d/Orvandelquist/World1/Zoom9");
}

TEST_F(ChangeListTest, AppDataFolderFollowsXdgThenHome)
{
    write_list(1, "a\\Zoom0\\tile_1_1.png\n");
    std::string home = make_temp_dir();
    setenv("XDG_DATA_HOME", "relative/path", 1);
    setenv("HOME", home.c_str(), 1);
    EXPECT_EXIT(
        {
            messages_to_stderr();
            read_change_list(1);
            std::fprintf(stderr, "read from %s\n", appdata_path);
            std::exit(tile_list.empty() ? 3 : 4);
        },
        ::testing::ExitedWithCode(1), "Error opening changed\\.txt!");
    run_command("mkdir -p '" + home + "/.local'; ln -s '" + root + "' '" +
                home + "/.local/share'");
    reset_globals();
    read_change_list(1);
    EXPECT_EQ(std::string(appdata_path), home + "/.local/share");
    EXPECT_EQ(tile_list.size(), 1u);
    remove_tree(home);
}

TEST_F(ChangeListTest, AppDataFolderTooLongIsFatalNotTruncated)
{
    std::string deep = "/" + std::string(APP_DATA_PATH_BYTES, 'd');
    setenv("XDG_DATA_HOME", deep.c_str(), 1);
    EXPECT_EXIT(
        {
            messages_to_stderr();
            read_change_list(1);
        },
        ::testing::ExitedWithCode(1), "application data folder");
}

TEST_F(ChangeListTest, ListThatIsAFolderIsFatalNotAHang)
{
    run_command("mkdir -p '" + change_list_path(root, 4) + "'");
    EXPECT_EXIT(
        {
            messages_to_stderr();
            read_change_list(4);
            std::exit(tile_list.empty() ? 3 : 4);
        },
        ::testing::ExitedWithCode(1), "changed\\.txt");
}

// A list that is not a regular file must end the run at once with the
// path and the reason; a child still running after this many seconds is
// killed, and the test fails.
const unsigned TIME_LIMIT_S = 5;

TEST_F(ChangeListTest, ListThatIsNotARegularFileIsRefusedAtOnce)
{
    const std::string dir = root + "/Orvandelquist/World1";
    const std::string list = dir + "/changed.txt";
    run_command("mkdir -p '" + dir + "'");
    const std::string path = as_pattern(list);

    struct Case {
        const char *link_to;  // null: a FIFO that nothing writes
        const char *reason;
    };
    const Case cases[] = {
        {nullptr, "not a regular file \\(a FIFO\\)"},
        {"/dev/zero", "not a regular file \\(a character device\\)"},
        {"/dev/urandom", "not a regular file \\(a character device\\)"},
        {"/", "not a regular file \\(a folder\\)"},
        {"missing", "No such file or directory"}};
    for (const Case &c : cases) {
        if (c.link_to)
            ASSERT_EQ(symlink(c.link_to, list.c_str()), 0);
        else
            ASSERT_EQ(mkfifo(list.c_str(), 0644), 0);
        EXPECT_EXIT(
            {
                alarm(TIME_LIMIT_S);
                messages_to_stderr();
                read_change_list(1);
                std::exit(0);
            },
            ::testing::ExitedWithCode(1),
            "^Error opening changed\\.txt!\n" + path + ": " + c.reason + "\n$")
            << (c.link_to ? c.link_to : "FIFO");
        ASSERT_EQ(unlink(list.c_str()), 0);
    }
}

// Steam has written two formats; people edit the file by hand.
TEST(SteamLibraries, LibraryFoldersAreReadFromEitherFormat)
{
    struct Case {
        const char *vdf;
        std::vector<std::string> paths;
    };
    const Case cases[] = {
        // A block per library, each with its "path".
        {"\"libraryfolders\"\n{\n\t\"0\"\n\t{\n\t\t\"path\"\t\t\"/home/a/"
         ".local/share/Steam\"\n\t\t\"label\"\t\t\"\"\n\t\t\"apps\"\n\t\t{\n"
         "\t\t\t\"228980\"\t\t\"1234\"\n\t\t}\n\t}\n\t\"1\"\n\t{\n\t\t\"path\""
         "\t\t\"/mnt/games/Steam Library\"\n\t}\n}\n",
         {"/home/a/.local/share/Steam", "/mnt/games/Steam Library"}},
        // The older one: numbered paths among the top block's values.
        {"\"LibraryFolders\"\r\n{\r\n\t\"TimeNextStatsReport\"\t\t\"1690000"
         "000\"\r\n\t\"ContentStatsID\"\t\t\"-42\"\r\n\t\"1\"\t\t\"/mnt/old\""
         "\r\n}\r\n",
         {"/mnt/old"}},
        // Comments, case, bare words, a condition, escapes, no line ends.
        {"// by hand\nlibraryfolders { 0 { PATH \"/a \\\"b\\\"\\\\c\" "
         "[$LINUX] label x } \"1\"{\"Path\"\"/d\"}}",
         {"/a \"b\"\\c", "/d"}},
        // A stray brace is passed over, an empty path is none, and an
        // unterminated string ends the text.
        {"} \"libraryfolders\" { \"0\" { \"path\" \"\" } \"1\" { \"path\" "
         "\"/e\" } \"2\" { \"path\" \"/f",
         {"/e"}},
        {"", {}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(parse_library_folders(c.vdf), c.paths) << c.vdf;
}

// Worlds under Wine and Proton, when the usual folder lacks them: in
// $WINEPREFIX, in ~/.wine, in a Proton prefix of the Steam installation
// (~/.steam/steam a link to ~/.local/share/Steam, as Steam makes it) and
// in one of a second library that its libraryfolders.vdf names. Of
// several copies the newest list is read and the others are named.
TEST_F(ChangeListTest, WorldsAreFoundInWineAndProtonPrefixes)
{
    const std::string steam = home + "/.local/share/Steam";
    const std::string library = root + "/games";
    const std::string pfx_users = "/pfx/drive_c/users/steamuser/AppData/Roaming";
    const std::string prefix = root + "/prefix/drive_c/users/me/AppData/Roaming";
    const std::string wine = home + "/.wine/drive_c/users/me/AppData/Roaming";
    const std::string proton_own = steam + "/steamapps/compatdata/10" + pfx_users;
    const std::string proton = library + "/steamapps/compatdata/4242" + pfx_users;
    run_command("mkdir -p '" + steam + "/steamapps' '" + home + "/.steam' '" +
                library + "' && ln -s '" + steam + "' '" + home + "/.steam/steam'");
    write_file(steam + "/steamapps/libraryfolders.vdf",
               "\"libraryfolders\"\n{\n\t\"0\"\n\t{\n\t\t\"path\"\t\t\"" +
                   steam + "\"\n\t}\n\t\"1\"\n\t{\n\t\t\"path\"\t\t\"" +
                   library + "\"\n\t}\n}\n");
    setenv("WINEPREFIX", (root + "/prefix").c_str(), 1);

    struct Copy {
        std::string appdata;
        long changed;  // the list's time in seconds; 0: no list
    };
    struct Case {
        int world;
        std::vector<Copy> copies;
        std::string read;
        std::vector<std::string> not_read;  // in the order they are found
    };
    const std::string older = ", not read: its changed.txt is older";
    const Case cases[] = {
        {1, {{wine, 1000}, {proton, 2000}}, proton, {wine + older}},
        {2, {{wine, 3000}, {proton_own, 0}, {proton, 2000}}, wine,
         {proton_own + ", not read: it has no changed.txt", proton + older}},
        {3, {{prefix, 1000}}, prefix, {}},
        // Copies changed at the same second: the first found.
        {4, {{proton, 1000}, {prefix, 1000}}, prefix,
         {proton + ", not read: its changed.txt changed at the same time"}},
        // The usual folder holds the world: nothing else is looked at.
        {5, {{root, 1000}, {wine, 5000}}, root, {}},
    };
    for (const Case &c : cases) {
        for (const Copy &copy : c.copies) {
            run_command("mkdir -p '" + world_folder_path(copy.appdata, c.world) + "'");
            if (copy.changed)
                write_list_in(copy.appdata, c.world,
                              "a\\Zoom0\\tile_" + std::to_string(c.world) + "_0.png\n");
            if (copy.changed)
                run_command("touch -d @" + std::to_string(copy.changed) + " '" +
                            change_list_path(copy.appdata, c.world) + "'");
        }
        reset_globals();
        testing::internal::CaptureStderr();
        read_change_list(c.world);
        const std::string err = testing::internal::GetCapturedStderr();
        SCOPED_TRACE("world " + std::to_string(c.world));
        const std::string read = c.read == root ? root : canonical_folder(c.read);
        EXPECT_EQ(std::string(appdata_path), read);
        ASSERT_EQ(tile_list.size(), 1u);
        expect_entry(0, 0, c.world, 0);
        std::string expected;
        if (c.read != root)
            expected = "Reading world " + std::to_string(c.world) + " from " +
                       world_folder_path(read, c.world) + "\n";
        for (const std::string &other : c.not_read) {
            const size_t end = other.find(',');
            expected += "Warning: world " + std::to_string(c.world) + " is also in " +
                        world_folder_path(canonical_folder(other.substr(0, end)),
                                          c.world) +
                        other.substr(end) + "\n";
        }
        EXPECT_EQ(err, expected);
    }
}

// The folder that --data names is read whatever the usual folder and the
// prefixes hold, a relative name from the folder the run started in; one
// that is missing, no folder or without the game's folder ends the run at
// once with the name and the reason.
TEST_F(ChangeListTest, NamedDataFolderIsReadAndABadOneRefused)
{
    const std::string copy = root + "/copy";
    write_list(1, "a\\Zoom0\\tile_1_1.png\n");
    write_list_in(copy, 1, "a\\Zoom0\\tile_2_2.png\na\\Zoom0\\tile_3_3.png\n");
    const std::string start = current_folder();
    ASSERT_EQ(chdir(root.c_str()), 0);
    use_data_folder("copy/");
    ASSERT_EQ(chdir("/"), 0);
    testing::internal::CaptureStderr();
    read_change_list(1);
    const std::string err = testing::internal::GetCapturedStderr();
    use_data_folder("");
    ASSERT_EQ(chdir(start.c_str()), 0);
    EXPECT_EQ(tile_list.size(), 2u);
    EXPECT_EQ(std::string(appdata_path), canonical_folder(copy));
    EXPECT_EQ(err, "Reading world 1 from " +
                       world_folder_path(canonical_folder(copy), 1) + "\n");

    write_file(root + "/file", "");
    const std::string bad[][2] = {
        {root + "/none", root + "/none: No such file or directory"},
        {root + "/file", root + "/file: Not a directory"},
        {home, game_folder_path(home) + ": No such file or directory"},
    };
    for (const auto &b : bad)
        EXPECT_EXIT(
            {
                messages_to_stderr();
                use_data_folder(b[0]);
                std::exit(0);
            },
            ::testing::ExitedWithCode(1),
            "^Error opening the data folder!\n" + as_pattern(b[1]) + "\n$");
}

}  // namespace
