// bench_progress: what the progress window costs the compose. Opens the
// program's 320 x 160 window (DISPLAY must name an X server, Xvfb will
// do), maps world N of $XDG_DATA_HOME into the current directory with the
// progress window drawing, and prints the compose time, the redraws and
// the processor time of the drawing thread, as a share of the compose
// time. With --no-window the same compose runs without it, for
// the compose time alone.
//
//   bench_progress [--no-window] [N]
#include <allegro.h>
#include <jpgalleg.h>
#include <loadpng.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "change_list.h"
#include "compose.h"
#include "compose_listeners.h"
#include "gif_codec.h"
#include "map_file.h"
#include "progress_window.h"

int main(int argc, char **argv)
{
    bool window = true;
    int world = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-window") == 0)
            window = false;
        else
            world = std::atoi(argv[i]);
    }
    if (allegro_init() != 0 || install_keyboard() != 0 || install_timer() != 0) {
        std::fprintf(stderr, "cannot start the library: %s\n", allegro_error);
        return 1;
    }
    set_color_depth(desktop_color_depth());
    if (set_gfx_mode(GFX_AUTODETECT_WINDOWED, 320, 160, 0, 0) != 0) {
        std::fprintf(stderr, "cannot open the window: %s\n", allegro_error);
        return 1;
    }
    jpgalleg_init();
    loadpng_init();
    gif_codec_init();
    configure_png_codec();

    const auto start = std::chrono::steady_clock::now();
    listen_to_compose(false);
    if (window)
        start_progress_window(world);
    read_change_list(world);
    compose_maps(world);
    stop_progress_window();
    const double seconds = std::chrono::duration<double>(
        std::chrono::steady_clock::now() - start).count();

    long redraws = 0;
    double thread_s = 0;
    progress_window_cost(&redraws, &thread_s);
    std::printf("compose %s the progress window: %.2f s\n",
                window ? "with" : "without", seconds);
    if (window)
        std::printf("redraws: %ld (%.1f a second); the drawing thread's "
                    "processor time (redraws and input polls): %.4f s, "
                    "%.3f%% of the compose time\n",
                    redraws, redraws / seconds, thread_s,
                    100 * thread_s / seconds);
    return 0;
}
