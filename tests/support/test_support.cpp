// The tests' helpers that need nothing of the system: the library without
// a display, whole-file reads and writes.
#include "test_support.h"

#include <allegro.h>
#include <jpgalleg.h>
#include <loadpng.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "jpeg_codec.h"

void start_allegro_headless()
{
    static bool started = false;
    if (started)
        return;
    if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0)
        throw std::runtime_error("cannot start the graphics library");
    set_color_depth(32);
    loadpng_init();
    // As the program registers them: libjpeg decodes, jpgalleg encodes.
    jpeg_codec_init(save_jpg);
    jpgalleg_init();
    started = true;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &data)
{
    std::ofstream out(path, std::ios::binary);
    out << data;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}
