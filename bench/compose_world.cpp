// compose_world N: the program's run without its dialog, for timing:
// reads world N from the data folder and writes its maps into the
// current directory, at the program's own settings.
#include <allegro.h>
#include <jpgalleg.h>
#include <loadpng.h>

#include <cstdlib>

#include "change_list.h"
#include "compose.h"
#include "gif_codec.h"
#include "jpeg_codec.h"
#include "map_file.h"

int main(int argc, char **argv)
{
    install_allegro(SYSTEM_NONE, &errno, atexit);
    set_color_depth(32);
    jpeg_codec_init(save_jpg);  // as the program: libjpeg decodes tiles
    jpgalleg_init();
    loadpng_init();
    gif_codec_init();
    configure_png_codec();
    read_change_list(argc > 1 ? std::atoi(argv[1]) : 1);
    compose_maps(argc > 1 ? std::atoi(argv[1]) : 1);
    return 0;
}
