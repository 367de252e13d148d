// make_world ROOT [options]: writes a sample world into the data folder
// ROOT, for the demo, the tests and the benchmarks.
#include <allegro.h>
#include <jpgalleg.h>
#include <loadpng.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "world_gen.h"
#include "gif_codec.h"

namespace {

void usage()
{
    std::fprintf(stderr,
                 "usage: make_world ROOT [--world N] [--ext png|jpg|gif] "
                 "[--tile SIZE] [--grid COLSxROWS] [--slash] [--crlf] "
                 "[--textured]\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        usage();
    SampleWorld world;
    world.root = argv[1];
    int cols = 0, rows = 0;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc)
                usage();
            return argv[++i];
        };
        if (a == "--world")
            world.number = std::atoi(value());
        else if (a == "--ext")
            world.ext = value();
        else if (a == "--tile")
            world.tile_size = std::atoi(value());
        else if (a == "--grid") {
            if (std::sscanf(value(), "%dx%d", &cols, &rows) != 2)
                usage();
        } else if (a == "--slash")
            world.windows_paths = false;
        else if (a == "--crlf")
            world.crlf = true;
        else if (a == "--textured")
            world.textured = true;
        else
            usage();
    }
    if (world.number < 1 || world.tile_size < 8 || world.tile_size > 4096)
        usage();
    world.tiles = cols > 0 ? grid_layout(0, cols, rows) : sample_layout();

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
    std::printf("%s\n", world_folder(world.root, world.number).c_str());
    return 0;
}
