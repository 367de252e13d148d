// What the player sees of --watch: a log line per batch on standard
// output, and the terminal's progress line (terminal_line.h).
#ifndef APP_WATCH_DISPLAY_H
#define APP_WATCH_DISPLAY_H

#include <cstddef>
#include <string>
#include <vector>

// One batch: the tiles placed on each level's map, the web tiles cut and
// the time it took.
struct BatchCounts {
    std::vector<size_t> placed;
    std::vector<char> composed;  // the level's map composed again, whole
    int web_tiles = 0;
    double milliseconds = 0;
};

void start_watch_display(int world_number);

// "Placed 3 tiles in map_zoom_0.png, 7 web tiles cut in 41 ms".
void show_batch(const BatchCounts &counts);

// A map's save begins (began) or ends.
void show_saving(const std::string &name, bool began);

// Failures that the watch outlives: said once each, with the reason.
void map_save_failed(const std::string &name, const std::string &why);
void web_write_failed(const std::string &why);

// Ends the terminal's progress line.
void end_watch_display();

#endif
