// The command line: one table of options, parsed as GNU tools do (short
// and long forms, --opt=value or --opt value, -- ends the options), and
// the answers that need no run (help, version, usage errors).
#ifndef APP_OPTIONS_H
#define APP_OPTIONS_H

#include <string>

// Number of worlds of the game: --world takes 1 to WORLD_COUNT, and the
// dialog offers as many rows.
const int WORLD_COUNT = 5;

// What the command line asks of a run.
struct Options {
    int world = 0;       // 1 to WORLD_COUNT: map it without a window; 0: ask
    std::string output;  // folder that receives the maps; empty: the current
    std::string data;    // folder that holds the game's; empty: search
    bool quiet = false;  // no progress lines on standard output
    bool web = false;    // the web map (map.html, map_web/) beside the maps
    bool menu = false;   // started from the desktop menu, without a terminal
    bool watch = false;  // after the maps, follow the list as the game writes
    int save_after = 60; // seconds of a quiet list before the maps are saved
};

// Longest --save-after, a day.
const int SAVE_AFTER_MAX = 86400;

// Exit code of a command line that cannot be understood.
const int EXIT_USAGE = 2;
// read_command_line's answer when the program should go on and run.
const int KEEP_RUNNING = -1;

// PARSE_UNAVAILABLE: an option this build lacks (--web on Windows).
enum ParseResult {
    PARSE_RUN,
    PARSE_HELP,
    PARSE_VERSION,
    PARSE_ERROR,
    PARSE_UNAVAILABLE
};

// Parses argv into *options. On PARSE_ERROR and PARSE_UNAVAILABLE *error
// holds a one-line reason. argv may be reordered, as getopt_long does; each call parses
// afresh.
ParseResult parse_options(int argc, char *argv[], Options *options,
                          std::string *error);

// The usage text, one line per option of the table.
std::string usage_text();

// "mapper" and the version.
std::string version_text();

// Parses argv and answers what needs no run: help and version on standard
// output (exit code 0), a usage error as its reason and the usage on
// standard error (EXIT_USAGE). Returns that exit code, or KEEP_RUNNING
// with *options filled.
int read_command_line(int argc, char *argv[], Options *options);

#endif
