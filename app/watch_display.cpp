#include "watch_display.h"

#include <unistd.h>

#include <iostream>

#include "fatal_error.h"
#include "map_geometry.h"
#include "tile_types.h"
#include "watch_window.h"
#include "world_layout.h"

namespace {

// Erases the terminal's line from the cursor on.
const char ERASE_LINE[] = "\r\033[K";

struct Display {
    std::string world;
    bool terminal = false;
    size_t placed = 0;
    int web_tiles = 0;
    std::string saving;
};
Display d;

// A fatal message is shown once the window's thread has stopped drawing.
void (*earlier_fatal_hook)(const char *) = nullptr;
void stop_window_first(const char *text)
{
    stop_watch_window();
    if (earlier_fatal_hook)
        earlier_fatal_hook(text);
}

void progress_line()
{
    if (!d.terminal)
        return;
    std::cerr << ERASE_LINE << "Watching " << d.world << ": " << d.placed
              << " tiles placed, " << tile_list.size() << " listed, "
              << d.web_tiles << " web tiles cut";
    if (!d.saving.empty())
        std::cerr << ", saving " << d.saving;
    std::cerr << std::flush;
}

// A message of its own goes on a line of its own.
void clear_progress()
{
    if (d.terminal)
        std::cerr << ERASE_LINE << std::flush;
}

}  // namespace

void start_watch_display(int world_number)
{
    d = Display();
    d.world = world_name(world_number);
    d.terminal = isatty(STDERR_FILENO) == 1;
    std::cout << "Watching " << d.world << " for new tiles" << std::endl;
    start_watch_window(world_number);
    if (watch_window_running() && fatal_error_hook != stop_window_first) {
        earlier_fatal_hook = fatal_error_hook;
        fatal_error_hook = stop_window_first;
    }
    progress_line();
}

void show_batch(const BatchCounts &c)
{
    std::string placed;
    size_t total = 0;
    for (size_t z = 0; z < c.placed.size(); ++z) {
        if (c.placed[z] == 0)
            continue;
        placed += std::string(placed.empty() ? "Placed " : " and ") +
                  std::to_string(c.placed[z]) +
                  (placed.empty() ? (c.placed[z] == 1 ? " tile" : " tiles") : "") +
                  " in " + map_name(static_cast<int>(z));
        total += c.placed[z];
    }
    if (placed.empty())
        placed = "Placed no tile";
    for (size_t z = 0; z < c.composed.size(); ++z)
        if (c.composed[z])
            placed += " (" + map_name(static_cast<int>(z)) +
                      " composed again and cut whole: its tiles reach further)";
    d.placed += total;
    if (total > 0)
        watch_window_tiles(d.placed);
    d.web_tiles += c.web_tiles;
    clear_progress();
    std::cout << placed << ", " << c.web_tiles << " web tiles cut in "
              << static_cast<long>(c.milliseconds + 0.5) << " ms" << std::endl;
    progress_line();
}

void show_saving(const std::string &name, bool began)
{
    clear_progress();
    std::cout << (began ? "Saving " + name : name + " saved") << std::endl;
    d.saving = began ? name : "";
    progress_line();
}

void map_save_failed(const std::string &name, const std::string &why)
{
    clear_progress();
    std::cerr << "Error saving " << name << "\n" << why
              << "\nThe older map stays; it is saved again at the next quiet "
                 "spell and before the end." << std::endl;
    progress_line();
}

void web_write_failed(const std::string &why)
{
    clear_progress();
    std::cerr << "Error writing web tiles: " << why
              << "\nThe older web tiles stay; they are cut again at the next "
                 "change." << std::endl;
    progress_line();
}

int watch_stop_fd() { return watch_window_stop_fd(); }

void end_watch_display()
{
    stop_watch_window();
    if (d.terminal)
        std::cerr << ERASE_LINE << std::flush;
}
