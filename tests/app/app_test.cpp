// The dialog's callbacks, called the way the dialog manager calls them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "close_button.h"
#include "menu_launch.h"
#include "options.h"
#include "test_support.h"
#include "world_dialog.h"

namespace {

int callback_calls;

int counting_callback()
{
    ++callback_calls;
    return D_REDRAW;
}

DIALOG exit_button(void *callback)
{
    DIALOG d = {callback_button_proc, 0, 0, 60, 20, 0, 0, 'q', D_EXIT, 0, 0,
                nullptr, nullptr, callback};
    return d;
}

}  // namespace

// The rows up to the first without text (none past the end, rather than
// a stray pointer), and the count the list is told.
TEST(WorldListGetter, ReportsFiveRowsAndTheirNames)
{
    int size = -1;
    std::string rows;
    for (int row = 0; const char *text = world_list_getter(row, &size); ++row)
        rows += std::string(text) + " ";
    EXPECT_EQ(rows, "World1 World2 World3 World4 World5 ");
    EXPECT_EQ(world_list_getter(-1, &size), nullptr);
    EXPECT_EQ(size, 5);
}

TEST(CallbackButtonProc, PressCallsTheCallbackAndReturnsItsResult)
{
    start_allegro_headless();
    callback_calls = 0;
    DIALOG d = exit_button(reinterpret_cast<void *>(counting_callback));
    EXPECT_EQ(callback_button_proc(MSG_KEY, &d, 0), D_REDRAW);
    EXPECT_EQ(callback_calls, 1);
    // Messages that do not close the dialog leave the callback alone.
    EXPECT_EQ(callback_button_proc(MSG_WANTFOCUS, &d, 0), D_WANTFOCUS);
    EXPECT_EQ(callback_calls, 1);
}

TEST(CallbackButtonProc, WithoutCallbackClosesLikeAButton)
{
    start_allegro_headless();
    DIALOG d = exit_button(nullptr);
    EXPECT_EQ(callback_button_proc(MSG_KEY, &d, 0), D_CLOSE);
}

namespace {

struct ParseCase {
    std::vector<std::string> args;  // after the program's name
    ParseResult result;
    int world;
    std::string output;
    bool quiet;
    std::string error;  // the reason, for PARSE_ERROR
    bool web = false;
    std::string data = "";
};

const ParseCase PARSE_CASES[] = {
    {{}, PARSE_RUN, 0, "", false, ""},
    {{"-w", "3"}, PARSE_RUN, 3, "", false, ""},
    {{"-w5"}, PARSE_RUN, 5, "", false, ""},
    {{"--world", "1"}, PARSE_RUN, 1, "", false, ""},
    {{"--world=2", "--output=/m", "-q"}, PARSE_RUN, 2, "/m", true, ""},
    {{"-qw", "4", "-o", "maps dir"}, PARSE_RUN, 4, "maps dir", true, ""},
    // The last of a repeated option counts; long names may be shortened.
    {{"-o", "/a", "-w", "1", "-o", "/b"}, PARSE_RUN, 1, "/b", false, ""},
    {{"--wor=2", "--qui"}, PARSE_RUN, 2, "", true, ""},
    {{"--web", "-w", "2"}, PARSE_RUN, 2, "", false, "", true},
    {{"--web=yes"}, PARSE_ERROR, 0, "", false, "option --web takes no value"},
    {{"--data", "../copy", "-w1"}, PARSE_RUN, 1, "", false, "", false,
     "../copy"},
    {{"--data="}, PARSE_ERROR, 0, "", false, "the data folder's name is empty"},
    {{"-q", "--data"}, PARSE_ERROR, 0, "", false, "option --data needs a value"},
    {{"-h", "--bogus"}, PARSE_HELP, 0, "", false, ""},
    {{"--version"}, PARSE_VERSION, 0, "", false, ""},
    {{"-w", "0"}, PARSE_ERROR, 0, "", false, "invalid world '0' (1 to 5)"},
    {{"--world=6"}, PARSE_ERROR, 0, "", false, "invalid world '6' (1 to 5)"},
    {{"-w", "two"}, PARSE_ERROR, 0, "", false, "invalid world 'two' (1 to 5)"},
    {{"-w", " 2"}, PARSE_ERROR, 0, "", false, "invalid world ' 2' (1 to 5)"},
    {{"-w", "2x"}, PARSE_ERROR, 0, "", false, "invalid world '2x' (1 to 5)"},
    {{"--world"}, PARSE_ERROR, 0, "", false, "option --world needs a value"},
    {{"-o"}, PARSE_ERROR, 0, "", false, "option --output needs a value"},
    {{"--output="}, PARSE_ERROR, 0, "", false,
     "the output folder's name is empty"},
    {{"--quiet=yes"}, PARSE_ERROR, 0, "", false,
     "option --quiet takes no value"},
    {{"--bogus=1"}, PARSE_ERROR, 0, "", false, "unknown option --bogus"},
    {{"-qx"}, PARSE_ERROR, 0, "", false, "unknown option -x"},
    // A shortened name that two options share names them both.
    {{"--w", "1"}, PARSE_ERROR, 0, "", false,
     "option --w is ambiguous (--world, --web or --watch)"},
    {{"--w=1"}, PARSE_ERROR, 0, "", false,
     "option --w is ambiguous (--world, --web or --watch)"},
    // --watch brings the web map it keeps up to date.
    {{"-w1", "--watch", "--save-after", "5"}, PARSE_RUN, 1, "", false, "", true},
    {{"--save-after=-1"}, PARSE_ERROR, 0, "", false,
     "invalid --save-after '-1' (0 to 86400 seconds)"},
    {{"World2"}, PARSE_ERROR, 0, "", false, "unexpected argument 'World2'"},
    // Options after a word are still options; after -- nothing is.
    {{"3", "--world", "5"}, PARSE_ERROR, 0, "", false,
     "unexpected argument '3'"},
    {{"--", "-w", "1"}, PARSE_ERROR, 0, "", false,
     "unexpected argument '-w'"},
};

}  // namespace

TEST(ParseOptions, EachCommandLineGivesItsOptionsOrItsReason)
{
    for (const ParseCase &c : PARSE_CASES) {
        std::vector<std::string> words = {"mapper"};
        words.insert(words.end(), c.args.begin(), c.args.end());
        std::vector<char *> argv;
        for (std::string &w : words)
            argv.push_back(&w[0]);
        argv.push_back(nullptr);
        Options options;
        std::string error;
        const ParseResult result = parse_options(
            static_cast<int>(words.size()), argv.data(), &options, &error);
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(result, c.result);
        if (result == PARSE_ERROR) {
            EXPECT_EQ(error, c.error);
        } else if (result == PARSE_RUN) {
            EXPECT_EQ(options.world, c.world);
            EXPECT_EQ(options.output, c.output);
            EXPECT_EQ(options.quiet, c.quiet);
            EXPECT_EQ(options.web, c.web);
            EXPECT_EQ(options.data, c.data);
        }
    }
}

// Every option of the table has its line of help.
TEST(UsageText, NamesEveryOptionAndTheVersionIsTheProjects)
{
    const std::string usage = usage_text();
    for (const char *line : {"-w, --world=N ", "-o, --output=DIR ",
                             "-q, --quiet ", "    --data=DIR ", "    --web ", "    --menu ",
                             "-h, --help ",
                             "-V, --version "})
        EXPECT_NE(usage.find(line), std::string::npos) << line;
    EXPECT_EQ(version_text(), "mapper 1.2.0");
}

namespace {

ParseResult parse_words(std::vector<std::string> words, Options *options,
                        std::string *error)
{
    words.insert(words.begin(), "mapper");
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
    return parse_options(static_cast<int>(words.size()), argv.data(), options,
                         error);
}

// Runs body with HOME and PATH set as given, then puts them back.
template <typename Body>
void with_home_and_path(const std::string &home, const std::string &path,
                        Body body)
{
    const std::string old_home = getenv("HOME"), old_path = getenv("PATH");
    setenv("HOME", home.c_str(), 1);
    setenv("PATH", path.c_str(), 1);
    body();
    setenv("HOME", old_home.c_str(), 1);
    setenv("PATH", old_path.c_str(), 1);
}

}  // namespace

// The menu's option brings the web map, and needs the window, so it does
// not go with --world.
TEST(ParseOptions, MenuOptionAndItsConflictWithWorld)
{
    Options options;
    std::string error;
    EXPECT_EQ(parse_words({"--menu", "-o", "/m"}, &options, &error), PARSE_RUN);
    EXPECT_TRUE(options.menu);
    EXPECT_TRUE(options.web);
    EXPECT_EQ(options.output, "/m");
    EXPECT_EQ(parse_words({"--menu", "-w", "1"}, &options, &error),
              PARSE_ERROR);
    EXPECT_EQ(error, "--menu needs the window, which --world does without");
}

namespace {

// A user-dirs.dirs text and the pictures folder it gives, "~" standing
// for the home folder; null for no file at all.
struct PicturesCase {
    const char *settings;
    const char *folder;
};

const PicturesCase PICTURES_CASES[] = {
    {nullptr, "~/Pictures"},
    {"# written by xdg-user-dirs-update\nXDG_PICTURES_DIR=\"$HOME/Bilder\"\n",
     "~/Bilder"},
    {"XDG_PICTURES_DIR=\"/srv/pics/\"", "/srv/pics"},
    {"  XDG_PICTURES_DIR = \"$HOME/Mes images\"  \n", "~/Mes images"},
    // The last line that sets it counts; lines that cannot are passed.
    {"XDG_PICTURES_DIR=\"$HOME/a\"\nXDG_PICTURES_DIR=\"$HOME/b\"\n"
     "XDG_PICTURES_DIR=$HOME/c\nXDG_PICTURES_DIR=\"relative\"\n",
     "~/b"},
    {"XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n#XDG_PICTURES_DIR=\"/x\"\n",
     "~/Pictures"},
    // Switched off: the folder is the home folder itself.
    {"XDG_PICTURES_DIR=\"$HOME/\"\n", "~/Pictures"},
};

std::string with_home(const char *folder, const std::string &home)
{
    return folder[0] == '~' ? home + (folder + 1) : folder;
}

}  // namespace

// The settings file is read as GLib and Qt read it, with no helper
// program on PATH; XDG_CONFIG_HOME moves it unless it is relative. The
// world's folder is made with its parents.
TEST(MenuLaunch, PicturesFolderFromTheUserDirsFile)
{
    const std::string home = make_temp_dir(), config = make_temp_dir();
    with_home_and_path(home, "/nonexistent", [&] {
        unsetenv("XDG_CONFIG_HOME");
        mkdir((home + "/.config").c_str(), 0700);
        for (const PicturesCase &c : PICTURES_CASES) {
            SCOPED_TRACE(c.settings ? c.settings : "no file");
            unlink((home + "/.config/user-dirs.dirs").c_str());
            if (c.settings)
                write_file(home + "/.config/user-dirs.dirs", c.settings);
            EXPECT_EQ(pictures_folder(), with_home(c.folder, home));
        }
        write_file(config + "/user-dirs.dirs", "XDG_PICTURES_DIR=\"/elsewhere\"");
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        EXPECT_EQ(pictures_folder(), "/elsewhere");
        setenv("XDG_CONFIG_HOME", "relative", 1);
        EXPECT_EQ(pictures_folder(), home + "/Pictures");
        unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(make_world_folder(3), home + "/Pictures/Mapper/World3");
        EXPECT_EQ(run_command("test -d '" + home +
                              "/Pictures/Mapper/World3' && echo yes"),
                  "yes\n");
    });
    remove_tree(home);
    remove_tree(config);
}

// The summary: world and folder (wrapped to the width), a blank line, one
// line a map with its pixel and file sizes; what does not fit is counted.
TEST(MenuLaunch, SummaryLinesWrapAndCountWhatDoesNotFit)
{
    const std::string folder = make_temp_dir();
    write_file(folder + "/map_zoom_0.png", std::string(2500, 'x'));
    const std::vector<WrittenMap> maps = {{"map_zoom_0.png", 256, 128},
                                          {"map_zoom_1.png", 512, 256},
                                          {"map_zoom_2.png", 1024, 512}};
    std::vector<std::string> lines = summary_lines(2, folder, maps, 80, 10);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "World2: 3 maps written to");
    EXPECT_EQ(lines[1], folder);
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], "map_zoom_0.png 256\xc3\x97" "128 2 KB");
    std::vector<WrittenMap> with_page = maps;
    with_page.push_back({"map.html", 0, 0, WRITTEN_WEB_PAGE});
    lines = summary_lines(2, folder, with_page, 80, 10);
    EXPECT_EQ(lines[0], "World2: 3 maps and the web map in");
    EXPECT_EQ(lines[6], "map.html (web map)");
    lines = summary_lines(2, folder, maps, 80, 5);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[4], "and 2 more");
    EXPECT_EQ(wrap_lines("abcdefg\nhi", 3),
              (std::vector<std::string>{"abc", "def", "g", "hi"}));
    remove_tree(folder);
}

// Folders are cut between letters, not inside one, and a long one gives
// up its middle so that the maps are still listed.
TEST(MenuLaunch, SummaryOfAnyFolderLeavesRoomForTheMaps)
{
    const std::vector<WrittenMap> maps = {{"map_zoom_0.png", 256, 128},
                                          {"map_zoom_1.png", 512, 256},
                                          {"map.html", 0, 0, WRITTEN_WEB_PAGE}};
    std::string umlauts = "/home/j\xc3\xbcrgen/Bilder/";
    for (int i = 0; i < 30; ++i)
        umlauts += "\xc3\xa4";
    std::vector<std::string> lines = summary_lines(1, umlauts, maps, 10, 11);
    for (const std::string &line : lines) {
        EXPECT_LE(character_count(line), 10u) << line;
        EXPECT_EQ(showable_text(line), line);
    }
    const std::string deep = "/home/u/" + std::string(300, 'd') + "/World1";
    lines = summary_lines(1, deep, maps, 38, 11);
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[1].substr(0, 8), "/home/u/");
    EXPECT_NE((lines[2] + lines[3]).find("..."), std::string::npos);
    EXPECT_EQ(lines[4].substr(lines[4].size() - 7), "/World1");
    EXPECT_EQ(lines[8], "map.html (web map)");
    // What the font cannot show becomes '?'.
    EXPECT_EQ(showable_text("a&b\xff\n\xe2\x82\xac\xe4\xb8\xad"),
              "a&b??\xe2\x82\xac?");
}

// The summary's text is drawn as it is: the library's dialog text would
// take "&b" for an underlined b.
TEST(MenuLaunch, TextIsDrawnWithoutMarkup)
{
    start_allegro_headless();
    BITMAP *drawn = create_bitmap_ex(16, 80, 10);
    BITMAP *expected = create_bitmap_ex(16, 80, 10);
    clear_to_color(expected, 0);
    textout_ex(expected, font, "R&D&&x", 0, 0, 0xffff, 0);
    char text[] = "R&D&&x";
    DIALOG d = {plain_text_proc, 0, 0, 0, 0, 0xffff, 0, 0, 0, 0, 0, text,
                nullptr, nullptr};
    clear_to_color(drawn, 0);
    gui_set_screen(drawn);
    d.proc(MSG_DRAW, &d, 0);
    gui_set_screen(nullptr);
    int differ = 0;
    for (int y = 0; y < drawn->h; ++y)
        for (int x = 0; x < drawn->w; ++x)
            differ += getpixel(drawn, x, y) != getpixel(expected, x, y);
    EXPECT_EQ(differ, 0);
    destroy_bitmap(drawn);
    destroy_bitmap(expected);
}

// Without xdg-open the button says why instead of failing silently.
TEST(MenuLaunch, OpenFolderReportsAMissingOpener)
{
    std::string why;
    with_home_and_path("/", "/nonexistent", [&] {
        EXPECT_FALSE(open_folder("/tmp", &why));
    });
    EXPECT_EQ(why, "xdg-open: No such file or directory");
}

// The window follows xdg-open to its end: its exit code says why it
// failed ("no method available" is its 3), and a success says so.
TEST(MenuLaunch, OpenFolderStatusFollowsTheOpenersEnd)
{
    const std::string bin = make_temp_dir();
    write_file(bin + "/xdg-open", "#!/bin/sh\nsleep 0.2\nexit $ANSWER\n");
    chmod((bin + "/xdg-open").c_str(), 0755);
    for (const auto &c : {std::make_pair("3", "xdg-open: no method available (exit 3)"),
                          std::make_pair("0", "The folder was opened")}) {
        setenv("ANSWER", c.first, 1);
        std::string why, status;
        unsigned change = 0;
        with_home_and_path("/", bin + ":/usr/bin:/bin", [&] {
            ASSERT_TRUE(open_folder("/tmp", &why)) << why;
        });
        EXPECT_EQ(opening_status(&change), "Opening the folder");
        for (int i = 0; i < 100; ++i) {
            status = opening_status(&change);
            if (status != "Opening the folder")
                break;
            usleep(50000);
        }
        EXPECT_EQ(status, c.second);
    }
    unsetenv("ANSWER");
    remove_tree(bin);
}

// The window is drawn in its own bitmap's depth whatever the library's
// current depth, which the compose changes around each tile load: on a
// 16-bit desktop the bar stays blue and the hint grey.
TEST(ProgressWindow, DrawsInTheBitmapsDepthNotTheCurrentOne)
{
    start_allegro_headless();
    ProgressView view;
    view.world = "World1";
    view.placed = 1;
    view.total = 2;
    for (int depth : {15, 16, 24, 32}) {
        SCOPED_TRACE(depth);
        BITMAP *bmp = create_bitmap_ex(depth, 320, 160);
        draw_progress(bmp, view);
        EXPECT_EQ(getpixel(bmp, 30, 48), makecol_depth(depth, 40, 110, 200));
        EXPECT_EQ(getpixel(bmp, 0, 0), makecol_depth(depth, 255, 255, 255));
        destroy_bitmap(bmp);
    }
}
