#include "mapper.h"

#include <allegro.h>
#include <jpgalleg.h>
#include <loadpng.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "change_list.h"
#include "close_button.h"
#include "compose.h"
#include "compose_listeners.h"
#include "data_folder.h"
#include "display_loss.h"
#include "exit_signals.h"
#include "fatal_error.h"
#include "file_io.h"
#include "gif_codec.h"
#include "jpeg_codec.h"
#include "map_file.h"
#include "map_geometry.h"
#include "menu_launch.h"
#include "output_folder.h"
#include "private_output.h"
#include "progress_window.h"
#include "standard_streams.h"
#include "terminal_line.h"
#include "tile_types.h"
#include "watch.h"
#include "watch_state.h"
#include "watch_window.h"
#include "web_map.h"
#include "world_dialog.h"
#include "world_layout.h"

namespace {

// The window that carries the dialog.
const int WINDOW_WIDTH = 320;
const int WINDOW_HEIGHT = 160;

#ifdef ALLEGRO_UNIX
// Under X the library shows a message with xmessage and, when that cannot
// be run or is closed without its OK button, prints the message on
// standard output, where it would mix with the progress log. The program
// therefore puts its own routine into the system driver, which calls the
// library's one with standard output pointed at standard error.
void (*library_message)(const char *msg) = nullptr;

void message_on_stderr(const char *msg)
{
    show_on_stderr(library_message, msg);
}

void route_messages_to_stderr()
{
    if (!system_driver || !system_driver->message ||
        system_driver->message == message_on_stderr)
        return;
    library_message = system_driver->message;
    system_driver->message = message_on_stderr;
}
#else
void route_messages_to_stderr() {}
#endif

// Reports a start-up step that failed, with the library's reason, and
// ends the process. Without a system driver the library prints messages
// on standard output, which fatal_error points at standard error.
[[noreturn]] void startup_failed(const char *what, const char *fallback)
{
    const char *why = allegro_error[0] != '\0' ? allegro_error : fallback;
    fatal_error("Error %s: %s.\n", what, why);
}

void start_library()
{
    watch_display();
    // Without an X display the system driver cannot start, and the driver
    // calls that follow would dereference the missing driver.
    if (allegro_init() != 0)
        startup_failed("starting the graphics library",
                       "no system driver could be started (under X, DISPLAY "
                       "must name a running X server)");
    use_system_file_names();
    route_messages_to_stderr();
    // The focus stays where keys and clicks put it, not under the pointer:
    // otherwise the list loses the keys whenever the pointer is elsewhere.
    gui_mouse_focus = FALSE;
    install_keyboard();
    install_timer();
    install_mouse();
}

// For --world: the library without any driver of a display, keyboard or
// mouse, so that no X server is needed. Its messages then go to standard
// output, which fatal_error points at standard error: never a message box.
// The current colour depth stays the library's default, which the maps do
// not depend on: tiles load at their file's depth, canvases are MAP_DEPTH
// and a GIF map's palette is fitted to its canvas, so the maps are those of
// a dialog run on any desktop.
void start_library_headless()
{
    if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0)
        startup_failed("starting the graphics library",
                       "the library could not start without a display");
    use_system_file_names();
}

// --quiet: the progress lines on standard output go nowhere.
void silence_progress()
{
    if (!discard_standard_output())
        fatal_error("Error opening %s for --quiet: %s\n", NULL_DEVICE,
                    std::strerror(errno));
}

void start_codecs()
{
    // Ours first: the registry answers "jpg" with libjpeg's decoder for
    // tiles and jpgalleg's encoder for maps.
    jpeg_codec_init(save_jpg);
    jpgalleg_init();
    loadpng_init();
    configure_png_codec();
    gif_codec_init();
}

void open_window()
{
    int depth = desktop_color_depth();
    if (depth == 0)
        startup_failed("finding the desktop colour depth",
                       "the system cannot report it");
    set_color_depth(depth);
    if (set_gfx_mode(GFX_AUTODETECT_WINDOWED, WINDOW_WIDTH, WINDOW_HEIGHT, 0,
                     0) != 0)
        startup_failed("opening the 320x160 window",
                       "no graphics driver could open it");
}

// The codecs' initialisers registered these pairs already, and the
// registry answers an extension with its first registration, so these
// change nothing that is used: they name the program's three formats and
// their routines in one place.
void register_file_types()
{
    register_bitmap_file_type("jpg", jpeg_bitmap_loader, save_jpg);
    register_bitmap_file_type("png", load_png, save_png);
    register_bitmap_file_type("gif", gif_bitmap_loader, gif_bitmap_saver);
}

// The progress window's thread must not draw while a message is shown or
// the library shuts down at exit.
void stop_drawing(const char *) { stop_progress_window(); }

void finish_web_output()
{
    std::string why;
    const bool ok = finish_web_map(&why);
    if (!ok)
        fatal_error("Error writing the web map %s\n%s\n", WEB_FOLDER_NAME,
                    why.c_str());
}

// Every bounds slot starts at 0 before the reader widens them.
void reset_bounds()
{
    for (int z = 0; z < ZOOM_SLOTS; ++z) {
        ZoomBounds.zoom_min_x[z] = 0;
        ZoomBounds.zoom_min_y[z] = 0;
        ZoomBounds.zoom_max_x[z] = 0;
        ZoomBounds.zoom_max_y[z] = 0;
    }
}

// Started from the menu, the window tells what went wrong, with the same
// lines as standard error, and stays until it is closed.
void error_in_window(const char *text)
{
    set_run_over();
    stop_progress_window();
    if (!screen)
        return;
    std::cerr << text << std::flush;
    show_error(text);
    std::exit(1);
}

}  // namespace

int run_mapper(const Options &options)
{
    // Before any thread: the umask is read once and never changed.
    read_user_umask();
    if (options.menu && !leave_own_console())
        fatal_error("Error opening %s for a run without a console: %s\n",
                    NULL_DEVICE, std::strerror(errno));
    // A stop in any phase, the dialog included, ends the run through the
    // one handler; the library puts its own in place when it starts (one
    // that shuts the library down from inside the handler and crashes),
    // so the handler is installed again after it.
    catch_exit_signals();
    const bool headless = options.world != 0;
    if (headless)
        start_library_headless();
    else
        start_library();
    catch_exit_signals();
    if (options.quiet)
        silence_progress();
    // Before any tile is read, and before a window opens for nothing; the
    // data folder first, as a relative name is from the starting folder.
    use_data_folder(options.data);
    if (!options.output.empty())
        use_output_folder(options.output, options.web);
    if (options.web)
        start_web_map(BACKGROUND_R, BACKGROUND_G, BACKGROUND_B);
    listen_to_compose(options.web);
    start_codecs();
    if (!headless)
        open_window();
    register_file_types();
    reset_bounds();

    const int world = headless ? options.world : choose_world();
    if (!headless) {
        fatal_error_hook = options.menu ? error_in_window : stop_drawing;
        start_progress_window(world);
        set_dialog_running(false);
    }
    if (options.menu && options.output.empty())
        use_output_folder(make_world_folder(world), options.web);
    // What a killed watch left in the web map, for runs that cut none.
    sweep_web_leftovers();
    if (options.web)
        name_web_map(world_name(world) + " map");
    read_change_list(world);
    if (options.web)
        show_explored_regions();
    keep_map_canvases = options.watch;
    start_terminal_progress(world_name(world));
    compose_maps(world);
    if (options.web)
        finish_web_output();
    end_terminal_line();
    keep_world_folder();
    set_run_over();
    if (options.watch) {
        stop_progress_window();
        return watch_world(world, options);
    }
    stop_progress_window();
    if (options.menu) {
        std::vector<WrittenMap> written = written_maps();
        if (options.web)
            written.push_back({WEB_PAGE_NAME, 0, 0, WRITTEN_WEB_PAGE});
        show_summary(world, current_folder(), written);
    }
    return 0;
}
