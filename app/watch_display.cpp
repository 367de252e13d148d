#include "watch_display.h"


#include <iostream>

#include "fatal_error.h"
#include "map_geometry.h"
#include "terminal_line.h"
#include "tile_types.h"
#include "watch_window.h"
#include "world_layout.h"

namespace {

struct Display {
    std::string world;
    size_t placed = 0;
    int web_tiles = 0;
    std::string saving;
};
Display d;

void progress_line()
{
    std::string text = "Watching " + d.world + ": " + std::to_string(d.placed) +
                       " tiles placed, " + std::to_string(tile_list.size()) +
                       " listed, " + std::to_string(d.web_tiles) + " web tiles cut";
    if (!d.saving.empty())
        text += ", saving " + d.saving;
    show_terminal_line(text);
}

}  // namespace

void start_watch_display(int world_number)
{
    d = Display();
    d.world = world_name(world_number);
    std::cout << "Watching " << d.world << " for new tiles" << std::endl;
    start_watch_window(world_number);
    // A fatal message is shown once the window's thread has stopped drawing.
    if (watch_window_running())
        before_fatal_message(stop_watch_window);
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
    std::cout << placed << ", " << c.web_tiles << " web tiles cut in "
              << static_cast<long>(c.milliseconds + 0.5) << " ms" << std::endl;
    progress_line();
}

void show_saving(const std::string &name, bool began)
{
    std::cout << (began ? "Saving " + name : name + " saved") << std::endl;
    d.saving = began ? name : "";
    progress_line();
}

void map_save_failed(const std::string &name, const std::string &why)
{
    std::cerr << "Error saving " << name << "\n" << why
              << "\nThe older map stays; it is saved again at the next quiet "
                 "spell and before the end." << std::endl;
    progress_line();
}

void web_write_failed(const std::string &why)
{
    std::cerr << "Error writing web tiles: " << why
              << "\nThe older web tiles stay; they are cut again at the next "
                 "change." << std::endl;
    progress_line();
}

int watch_stop_fd() { return watch_window_stop_fd(); }

void end_watch_display()
{
    stop_watch_window();
    end_terminal_line();
}
