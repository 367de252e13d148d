#include "options.h"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

#include "file_io.h"
#include "web_map.h"

namespace {

const char PROGRAM_NAME[] = "mapper";

// Keys of options without a short form start here, above every char.
const int FIRST_LONG_ONLY_KEY = 256;
const int WEB_KEY = FIRST_LONG_ONLY_KEY;
const int MENU_KEY = FIRST_LONG_ONLY_KEY + 1;
const int DATA_KEY = FIRST_LONG_ONLY_KEY + 2;
const int WATCH_KEY = FIRST_LONG_ONLY_KEY + 3;
const int SAVE_AFTER_KEY = FIRST_LONG_ONLY_KEY + 4;

// One option: its long name, its key (the short letter, or a key from
// FIRST_LONG_ONLY_KEY for a long-only option), the name of its value (null
// when it takes none) and its line of help.
struct OptionSpec {
    const char *name;
    int key;
    const char *value;
    const char *help;
};

// A new option is a line here, a field in Options and a case in
// apply_option; the usage follows from this table, and so do the names
// that the bash completion offers (it reads --help). The values it
// completes are its own: an option that takes one is a case in
// packaging/mapper.bash too.
const OptionSpec OPTION_TABLE[] = {
    {"world", 'w', "N", "map world N (1 to 5) without a window or display"},
    {"output", 'o', "DIR",
     "write the maps into DIR, not the current folder"},
    {"quiet", 'q', nullptr, "print no progress lines on standard output"},
    {"data", DATA_KEY, "DIR",
     "read the worlds from the game's folder in DIR"},
    {"web", WEB_KEY, nullptr,
     "also write map.html, a zoomable web map of every level"},
    {"watch", WATCH_KEY, nullptr,
     "keep the maps and web map up with the game (--web)"},
    {"save-after", SAVE_AFTER_KEY, "S",
     "with --watch, save maps after S quiet seconds (60)"},
    {"menu", MENU_KEY, nullptr,
     "as from the menu: maps into Pictures, then a summary"},
    {"help", 'h', nullptr, "show this help and exit"},
    {"version", 'V', nullptr, "show the version and exit"},
};

// Help lines are aligned at this column.
const size_t HELP_COLUMN = 24;

const OptionSpec *find_option(int key)
{
    for (const OptionSpec &o : OPTION_TABLE)
        if (o.key == key)
            return &o;
    return nullptr;
}

bool has_short_form(int key) { return key > 0 && key < FIRST_LONG_ONLY_KEY; }

// getopt_long's view of the table. A leading ':' tells a missing value
// apart from an unknown option.
std::string short_options()
{
    std::string s = ":";
    for (const OptionSpec &o : OPTION_TABLE) {
        if (!has_short_form(o.key))
            continue;
        s += static_cast<char>(o.key);
        if (o.value)
            s += ':';
    }
    return s;
}

std::vector<option> long_options()
{
    std::vector<option> v;
    for (const OptionSpec &o : OPTION_TABLE)
        v.push_back({o.name, o.value ? required_argument : no_argument,
                     nullptr, o.key});
    v.push_back({nullptr, 0, nullptr, 0});
    return v;
}

// A whole number from lowest to highest, digits only.
bool parse_number(const char *text, int lowest, int highest, int *value)
{
    if (text[0] < '0' || text[0] > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    const long n = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || n < lowest || n > highest)
        return false;
    *value = static_cast<int>(n);
    return true;
}

// The long options whose names start with prefix, "--a, --b or --c",
// when there are two or more: getopt_long refuses such a prefix as it
// refuses an unknown name.
std::string options_starting(const std::string &prefix)
{
    std::vector<std::string> names;
    for (const OptionSpec &o : OPTION_TABLE)
        if (std::string(o.name).compare(0, prefix.size(), prefix) == 0)
            names.push_back(std::string("--") + o.name);
    if (names.size() < 2)
        return "";
    std::string list = names[0];
    for (size_t i = 1; i < names.size(); ++i)
        list += (i + 1 == names.size() ? " or " : ", ") + names[i];
    return list;
}

// The reason for what getopt_long refused: result is '?' or ':', opt
// the option concerned (0 for an unknown long one), arg the word it
// stopped at.
std::string refusal(int result, int opt, const char *arg)
{
    const OptionSpec *o = find_option(opt);
    if (result == ':' && o)
        return std::string("option --") + o->name + " needs a value";
    if (o)
        return std::string("option --") + o->name + " takes no value";
    if (opt != 0)
        return std::string("unknown option -") + static_cast<char>(opt);
    const std::string word = arg ? arg : "";
    const std::string name = word.substr(0, word.find('='));
    const std::string matches = options_starting(name.substr(2));
    if (!matches.empty())
        return "option " + name + " is ambiguous (" + matches + ")";
    return "unknown option " + name;
}

// Applies one recognised option; false with *error set for a bad value.
bool apply_option(int key, const char *value, Options *options,
                  ParseResult *result, std::string *error)
{
    switch (key) {
    case 'w':
        if (!parse_number(value, 1, WORLD_COUNT, &options->world)) {
            *error = std::string("invalid world '") + value + "' (1 to " +
                     std::to_string(WORLD_COUNT) + ")";
            return false;
        }
        break;
    case 'o':
        if (value[0] == '\0') {
            *error = "the output folder's name is empty";
            return false;
        }
        options->output = value;
        break;
    case DATA_KEY:
        if (value[0] == '\0') {
            *error = "the data folder's name is empty";
            return false;
        }
        options->data = value;
        break;
    case 'q':
        options->quiet = true;
        break;
    case WEB_KEY:
        if (!WEB_MAP_BUILT) {
            *error = "--web: the web map is not in this build";
            *result = PARSE_UNAVAILABLE;
            return false;
        }
        options->web = true;
        break;
    case MENU_KEY:
        // From the menu the web map comes too, where there is one: a
        // browser shows it.
        options->menu = true;
        options->web = WEB_MAP_BUILT;
        break;
    case WATCH_KEY:
        if (!WEB_MAP_BUILT) {
            *error = "--watch: the web map is not in this build";
            *result = PARSE_UNAVAILABLE;
            return false;
        }
        // The open web map is what follows the game.
        options->watch = true;
        options->web = true;
        break;
    case SAVE_AFTER_KEY:
        if (!parse_number(value, 0, SAVE_AFTER_MAX, &options->save_after)) {
            *error = std::string("invalid --save-after '") + value + "' (0 to " +
                     std::to_string(SAVE_AFTER_MAX) + " seconds)";
            return false;
        }
        break;
    case 'h':
        *result = PARSE_HELP;
        break;
    case 'V':
        *result = PARSE_VERSION;
        break;
    }
    return true;
}

// Help and version on standard output; an answer that cannot be
// written (a full disk, a closed stream) ends with a message and exit
// code 1, as GNU tools do.
int print_answer(const std::string &text)
{
    errno = 0;
    if (write_all(STDOUT_FILENO, text.data(), text.size()))
        return 0;
    const char *why = errno != 0 ? std::strerror(errno) : "nothing was written";
    std::cerr << PROGRAM_NAME << ": write error: " << why << std::endl;
    return EXIT_FAILURE;
}

}  // namespace

ParseResult parse_options(int argc, char *argv[], Options *options,
                          std::string *error)
{
    const std::string shorts = short_options();
    const std::vector<option> longs = long_options();
    *options = Options();
    // Our own messages, and 0 so that getopt starts over on every call.
    opterr = 0;
    optind = 0;
    int key;
    while ((key = getopt_long(argc, argv, shorts.c_str(), longs.data(),
                              nullptr)) != -1) {
        if (key == '?' || key == ':') {
            *error = refusal(key, optopt, argv[optind - 1]);
            return PARSE_ERROR;
        }
        ParseResult result = PARSE_RUN;
        if (!apply_option(key, optarg, options, &result, error))
            return result == PARSE_UNAVAILABLE ? result : PARSE_ERROR;
        // Help and version are answered at once, as GNU tools do.
        if (result != PARSE_RUN)
            return result;
    }
    if (optind < argc) {
        *error = std::string("unexpected argument '") + argv[optind] + "'";
        return PARSE_ERROR;
    }
    if (options->menu && options->world != 0) {
        *error = "--menu needs the window, which --world does without";
        return PARSE_ERROR;
    }
    return PARSE_RUN;
}

std::string usage_text()
{
    std::string text = std::string("Usage: ") + PROGRAM_NAME +
                       " [OPTION]...\n"
                       "Compose overview maps of a game world from its tile "
                       "images. Without --world\na window asks which world "
                       "to map.\n\n";
    for (const OptionSpec &o : OPTION_TABLE) {
        std::string line = "  ";
        line += has_short_form(o.key)
                    ? std::string("-") + static_cast<char>(o.key) + ", "
                    : std::string("    ");
        line += std::string("--") + o.name;
        if (o.value)
            line += std::string("=") + o.value;
        line.resize(std::max(line.size() + 1, HELP_COLUMN), ' ');
        text += line + o.help + "\n";
    }
    text += "\nExit status: 0 done, 1 error, 2 bad command line, 128+N "
            "stopped by signal N.\n";
    return text;
}

std::string version_text()
{
    return std::string(PROGRAM_NAME) + " " + MAPPER_VERSION;
}

int read_command_line(int argc, char *argv[], Options *options)
{
    std::string error;
    switch (parse_options(argc, argv, options, &error)) {
    case PARSE_RUN:
        return KEEP_RUNNING;
    case PARSE_HELP:
        return print_answer(usage_text());
    case PARSE_VERSION:
        return print_answer(version_text() + "\n");
    case PARSE_UNAVAILABLE:
        // Understood, but this build cannot do it: the usage would not help.
        std::cerr << PROGRAM_NAME << ": " << error << std::endl;
        return EXIT_USAGE;
    case PARSE_ERROR:
        break;
    }
    std::cerr << PROGRAM_NAME << ": " << error << "\n" << usage_text()
              << std::flush;
    return EXIT_USAGE;
}
