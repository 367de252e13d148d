#include "terminal_line.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <streambuf>

#include "fatal_error.h"

namespace {

// Erases the terminal's line from the cursor on.
const char ERASE_LINE[] = "\r\033[K";

struct TerminalLine {
    bool checked = false, terminal = false;
    std::string text;  // what the line shows, empty when erased
    // The full run's progress.
    std::string world;
    size_t placed = 0, total = 0;
    std::string saving, cutting;
};
TerminalLine line;

bool on_terminal()
{
    if (!line.checked) {
        line.terminal = isatty(STDERR_FILENO) == 1;
        line.checked = true;
    }
    return line.terminal;
}

void put(const std::string &bytes)
{
    std::fflush(stdout);
    if (write(STDERR_FILENO, bytes.data(), bytes.size()) < 0)
        line.terminal = false;
}

// A stream whose lines go above the progress line: the line is erased
// before the first character of each and drawn again after its end.
class AboveTheLine : public std::streambuf {
public:
    explicit AboveTheLine(std::streambuf *to) : to_(to) {}

protected:
    int overflow(int c) override
    {
        if (c == traits_type::eof())
            return 0;
        if (at_start_ && !line.text.empty())
            put(ERASE_LINE);
        at_start_ = c == '\n';
        const int r = to_->sputc(static_cast<char>(c));
        if (at_start_) {
            to_->pubsync();
            if (!line.text.empty())
                put(line.text);
        }
        return r;
    }
    int sync() override { return to_->pubsync(); }

private:
    std::streambuf *to_;
    bool at_start_ = true;
};

void keep_streams_above()
{
    static AboveTheLine out(std::cout.rdbuf()), err(std::cerr.rdbuf());
    if (std::cerr.rdbuf() != &err) {
        std::cerr.rdbuf(&err);
        // A log elsewhere (a file, a pipe) leaves the line alone.
        if (isatty(STDOUT_FILENO) == 1)
            std::cout.rdbuf(&out);
    }
}

void show_progress()
{
    std::string text = line.world + ": " + std::to_string(line.placed) + " of " +
                       std::to_string(line.total) + " tiles placed";
    if (!line.saving.empty())
        text += ", saving " + line.saving;
    if (!line.cutting.empty())
        text += ", cutting the web tiles of " + line.cutting;
    show_terminal_line(text);
}

}  // namespace

void start_terminal_progress(const std::string &world_name)
{
    line.world = world_name;
    line.placed = line.total = 0;
    line.saving.clear();
    line.cutting.clear();
}

void terminal_tiles_placed(size_t placed, size_t total)
{
    if (!on_terminal())
        return;
    line.placed = placed;
    line.total = total;
    show_progress();
}

void terminal_map_saving(const char *name, bool began)
{
    if (!on_terminal())
        return;
    line.saving = began ? name : "";
    show_progress();
}

void terminal_web_cut(const char *map_name, bool began)
{
    if (!on_terminal())
        return;
    line.cutting = began ? map_name : "";
    show_progress();
}

void show_terminal_line(const std::string &text)
{
    if (!on_terminal())
        return;
    keep_streams_above();
    // A fatal message goes on a line of its own.
    before_fatal_message(end_terminal_line);
    line.text = text;
    put(ERASE_LINE + text);
}

void end_terminal_line()
{
    if (line.text.empty())
        return;
    line.text.clear();
    put(ERASE_LINE);
}
