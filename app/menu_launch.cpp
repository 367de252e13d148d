#include "menu_launch.h"

#include <allegro.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "folder_opener.h"
#include "mapper.h"
#include "screen_text.h"

namespace {

// Text in the 320 x 160 window: 8-pixel characters from x = 8, lines 10
// pixels apart from y = 6, the buttons along the bottom.
const int TEXT_X = 8, TEXT_Y = 6, LINE_STEP = 10;
const size_t TEXT_COLUMNS = 38;
const size_t SUMMARY_LINES = 11;
const int BUTTON_Y = 134, BUTTON_H = 20;
const int OPEN_X = 50, OPEN_W = 110;
const int CLOSE_X = 180, CLOSE_W = 90;
const int ONLY_CLOSE_X = 115;

const double KILOBYTE = 1000.0, MEGABYTE = 1000.0 * 1000.0;

std::string folder_being_opened;
// The status line under the list, rewritten on the dialog's thread only.
std::string open_status;
unsigned shown_change = 0;

std::string file_size_text(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return "";
    char text[32];
    const double bytes = static_cast<double>(st.st_size);
    if (bytes >= MEGABYTE)
        std::snprintf(text, sizeof text, "%.1f MB", bytes / MEGABYTE);
    else if (bytes >= KILOBYTE)
        std::snprintf(text, sizeof text, "%.0f KB", bytes / KILOBYTE);
    else
        std::snprintf(text, sizeof text, "%.0f bytes", bytes);
    return text;
}

void show_status(DIALOG *d, const std::string &text)
{
    open_status = first_characters(showable_text(text), TEXT_COLUMNS);
    d->dp = const_cast<char *>(open_status.c_str());
}

int open_folder_pressed()
{
    std::string why;
    if (!open_folder(folder_being_opened, &why))
        open_status = why;
    return D_REDRAW;
}

// The status line: on an idle message it takes what became of xdg-open.
int open_status_proc(int msg, DIALOG *d, int c)
{
    if (msg == MSG_IDLE) {
        unsigned change;
        const std::string status = opening_status(&change);
        if (change != shown_change) {
            shown_change = change;
            show_status(d, status);
            object_message(d, MSG_DRAW, 0);
        }
        return D_O_K;
    }
    if (msg == MSG_DRAW)
        show_status(d, open_status);
    return plain_text_proc(msg, d, c);
}

int close_pressed() { return D_CLOSE; }

DIALOG text_line(int index, const std::string &line)
{
    return {plain_text_proc, TEXT_X, TEXT_Y + index * LINE_STEP, 0, 0, 0, 0,
            0, 0, 0, 0, const_cast<char *>(line.c_str()), nullptr, nullptr};
}

DIALOG button(int x, int w, int key, const char *text, int (*pressed)())
{
    return {callback_button_proc, x, BUTTON_Y, w, BUTTON_H, 0, 0, key, D_EXIT,
            0, 0, const_cast<char *>(text), nullptr,
            reinterpret_cast<void *>(pressed)};
}

// Runs a dialog of lines and buttons; the last button has the focus, so
// that Return presses it. Escape and the close button close it. Colours
// are made for the screen's depth, not the library's current one.
void run_lines_dialog(const std::vector<std::string> &lines,
                      const std::vector<DIALOG> &buttons)
{
    std::vector<DIALOG> d;
    d.push_back({d_clear_proc, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr,
                 nullptr});
    for (size_t i = 0; i < lines.size(); ++i)
        d.push_back(text_line(static_cast<int>(i), lines[i]));
    d.insert(d.end(), buttons.begin(), buttons.end());
    const int focus = static_cast<int>(d.size()) - 1;
    d.push_back({d_yield_proc, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr,
                 nullptr});
    d.push_back({close_request_proc, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr,
                 nullptr, reinterpret_cast<void *>(close_pressed)});
    d.push_back({nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr,
                 nullptr});
    set_dialog_color(d.data(), colour_for(nullptr, 0, 0, 0),
                     colour_for(nullptr, 255, 255, 255));
    run_window_dialog(d.data(), focus);
}

}  // namespace

std::vector<std::string> summary_lines(int world_number,
                                       const std::string &folder,
                                       const std::vector<WrittenMap> &maps,
                                       size_t columns, size_t max_lines)
{
    const size_t images = static_cast<size_t>(std::count_if(
        maps.begin(), maps.end(), [](const WrittenMap &m) { return m.width; }));
    std::vector<std::string> lines = wrap_lines(
        "World" + std::to_string(world_number) + ": " +
            std::to_string(images) + (images == 1 ? " map" : " maps") +
            (images < maps.size() ? " and the web map in" : " written to"),
        columns);
    // A long folder gives up its middle, so that half the lines at least
    // are left for the list.
    const size_t folder_lines = std::max<size_t>(1, (max_lines - 2) / 2);
    for (const std::string &line : wrap_lines(
             shortened(showable_text(folder), folder_lines * columns), columns))
        lines.push_back(line);
    lines.push_back("");
    const size_t room = max_lines > lines.size() ? max_lines - lines.size() : 0;
    for (size_t i = 0; i < maps.size() && i < room; ++i) {
        if (i + 1 == room && maps.size() > room) {
            lines.push_back("and " + std::to_string(maps.size() - i) + " more");
            break;
        }
        const WrittenMap &m = maps[i];
        // A page has no pixel size: it is the web map of all the levels.
        const std::string line =
            m.width == 0
                ? m.name + " (web map)"
                : m.name + " " + std::to_string(m.width) + "\xc3\x97" +
                      std::to_string(m.height) + " " +
                      file_size_text(folder + "/" + m.name);
        lines.push_back(first_characters(showable_text(line), columns));
    }
    return lines;
}

void show_summary(int world_number, const std::string &folder,
                  const std::vector<WrittenMap> &maps)
{
    folder_being_opened = folder;
    open_status.clear();
    opening_status(&shown_change);
    std::vector<std::string> lines = summary_lines(
        world_number, folder, maps, TEXT_COLUMNS, SUMMARY_LINES);
    std::vector<DIALOG> buttons = {
        button(OPEN_X, OPEN_W, 'o', "&Open folder", open_folder_pressed),
        button(CLOSE_X, CLOSE_W, 'c', "&Close", close_pressed)};
    // The status of "Open folder" shows on the line under the list.
    const int status_w = static_cast<int>(TEXT_COLUMNS) * text_length(font, "m");
    buttons.insert(buttons.begin(),
                   {open_status_proc, TEXT_X,
                    TEXT_Y + static_cast<int>(SUMMARY_LINES) * LINE_STEP + 2,
                    status_w, 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr});
    run_lines_dialog(lines, buttons);
}

void show_error(const std::string &text)
{
    run_lines_dialog(wrap_lines(showable_text(text), TEXT_COLUMNS),
                     {button(ONLY_CLOSE_X, CLOSE_W, 'c', "&Close",
                             close_pressed)});
}
