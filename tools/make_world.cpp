// make_world [options] ROOT: writes a sample world into the data folder
// ROOT, for the demo, the tests and the benchmarks.
#include <allegro.h>
#include <jpgalleg.h>
#include <loadpng.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gif_codec.h"
#include "world_gen.h"
#include "world_layout.h"

namespace {

// Exit code of a command line that cannot be understood.
const int EXIT_USAGE = 2;
const int MIN_TILE = 8;
const int MAX_TILE = 4096;
// Most columns or rows of a --grid, so that a typo cannot ask for more
// tiles than memory holds.
const int MAX_GRID = 1024;

const char USAGE[] =
    "usage: make_world [options] ROOT\n"
    "Writes a sample world into the data folder ROOT: tile images under\n"
    "ROOT/Orvandelquist/World<N>/Zoom<Z>/ and their list in changed.txt.\n"
    "Prints the world's folder.\n"
    "\n"
    "options:\n"
    "  --world N          world number N (default 1)\n"
    "  --ext png|jpg|gif  tile format (default png)\n"
    "  --tile SIZE        tile edge in pixels, 8 to 4096 (default 64)\n"
    "  --grid COLSxROWS   COLS x ROWS tiles (1 to 1024 each) at zoom 0\n"
    "                     around column 0 and row 0 (default: three zoom\n"
    "                     levels with gaps)\n"
    "  --slash            list tiles with '/' paths, not Windows paths\n"
    "  --crlf             end the list's lines with CR LF\n"
    "  --textured         terrain-like noise instead of flat colours\n"
    "  -h, --help         show this help and exit\n";

[[noreturn]] void help()
{
    std::fputs(USAGE, stdout);
    std::exit(0);
}

// A command line that cannot be understood: what is wrong, then the usage,
// on standard error.
[[noreturn]] void usage_error(const std::string &what)
{
    std::fprintf(stderr, "make_world: %s\n%s", what.c_str(), USAGE);
    std::exit(EXIT_USAGE);
}

// A whole decimal number in [min, max] in text, or false.
bool parse_number(const std::string &text, int min, int max, int *out)
{
    const char *begin = text.c_str();
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(begin, &end, 10);
    if (end == begin || *end != '\0' || errno != 0 || v < min || v > max)
        return false;
    *out = static_cast<int>(v);
    return true;
}

[[noreturn]] void bad_value(const char *option, const std::string &text)
{
    usage_error("bad value '" + text + "' for " + option);
}

int parse_int(const char *option, const char *text, int min, int max)
{
    int v = 0;
    if (!parse_number(text, min, max, &v))
        bad_value(option, text);
    return v;
}

void parse_grid(const std::string &text, int *cols, int *rows)
{
    std::string::size_type x = text.find('x');
    if (x == std::string::npos ||
        !parse_number(text.substr(0, x), 1, MAX_GRID, cols) ||
        !parse_number(text.substr(x + 1), 1, MAX_GRID, rows))
        bad_value("--grid", text);
}

// Fills world from the command line; options and ROOT may come in any
// order, and "--" ends the options.
void parse_command_line(int argc, char **argv, SampleWorld *world)
{
    int cols = 0, rows = 0;
    bool have_root = false, options_done = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc)
                usage_error("option " + a + " needs a value");
            return argv[++i];
        };
        if (options_done || a.empty() || a[0] != '-') {
            if (have_root)
                usage_error("more than one ROOT: " + a);
            world->root = a;
            have_root = true;
        } else if (a == "--") {
            options_done = true;
        } else if (a == "-h" || a == "--help") {
            help();
        } else if (a == "--world") {
            world->number = parse_int("--world", value(), 1, INT_MAX);
        } else if (a == "--ext") {
            world->ext = value();
        } else if (a == "--tile") {
            world->tile_size = parse_int("--tile", value(), MIN_TILE, MAX_TILE);
        } else if (a == "--grid") {
            parse_grid(value(), &cols, &rows);
        } else if (a == "--slash") {
            world->windows_paths = false;
        } else if (a == "--crlf") {
            world->crlf = true;
        } else if (a == "--textured") {
            world->textured = true;
        } else {
            usage_error("unknown option " + a);
        }
    }
    if (!have_root)
        usage_error("no ROOT folder given");
    world->tiles = cols > 0 ? grid_layout(0, cols, rows) : sample_layout();
}

}  // namespace

int main(int argc, char **argv)
{
    SampleWorld world;
    parse_command_line(argc, argv, &world);

    if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0) {
        std::fprintf(stderr, "make_world: cannot start the library\n");
        return 1;
    }
    set_color_depth(32);
    loadpng_init();
    jpgalleg_init();
    gif_codec_init();
    if (!write_world(world)) {
        std::fprintf(stderr, "make_world: cannot write the world in %s\n",
                     world.root.c_str());
        return 1;
    }
    std::printf("%s\n", world_folder_path(world.root, world.number).c_str());
    return 0;
}
