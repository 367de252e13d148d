#include "menu_launch.h"

#include <allegro.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fatal_error.h"
#include "mapper.h"

namespace {

const char PICTURES_QUERY[] = "xdg-user-dir PICTURES 2>/dev/null";
const char PICTURES_FALLBACK[] = "Pictures";
const char MAPS_FOLDER[] = "Mapper";
const char OPENER[] = "xdg-open";

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
char open_status[TEXT_COLUMNS + 1];

std::string read_command(const char *command)
{
    std::string out;
    FILE *p = popen(command, "r");
    if (!p)
        return out;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

bool is_folder(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p: every missing folder on the way, as the umask allows.
void make_folders(const std::string &path)
{
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/')
            continue;
        const std::string part = path.substr(0, i);
        if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST)
            fatal_error("Error creating the maps folder!\n%s: %s\n",
                        part.c_str(), std::strerror(errno));
    }
    if (!is_folder(path))
        fatal_error("Error creating the maps folder!\n%s: %s\n", path.c_str(),
                    std::strerror(ENOTDIR));
}

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

int open_folder_pressed()
{
    std::string why;
    const std::string status =
        open_folder(folder_being_opened, &why) ? "Opening the folder" : why;
    std::snprintf(open_status, sizeof open_status, "%s", status.c_str());
    return D_REDRAW;
}

int close_pressed() { return D_CLOSE; }

DIALOG text_line(int index, const std::string &line)
{
    return {d_text_proc, TEXT_X, TEXT_Y + index * LINE_STEP, 0, 0, 0, 0, 0, 0,
            0, 0, const_cast<char *>(line.c_str()), nullptr, nullptr};
}

DIALOG button(int x, int w, int key, const char *text, int (*pressed)())
{
    return {callback_button_proc, x, BUTTON_Y, w, BUTTON_H, 0, 0, key, D_EXIT,
            0, 0, const_cast<char *>(text), nullptr,
            reinterpret_cast<void *>(pressed)};
}

// Runs a dialog of lines and buttons; the last button has the focus, so
// that Return presses it. Escape and the close button close it.
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
    set_dialog_color(d.data(), makecol(0, 0, 0), makecol(255, 255, 255));
    run_window_dialog(d.data(), focus);
}

}  // namespace

std::string pictures_folder()
{
    const char *home = std::getenv("HOME");
    if (!home || home[0] != '/')
        fatal_error("Error finding the pictures folder!\n"
                    "HOME does not name a folder\n");
    // xdg-user-dir prints the home folder for a folder it does not know.
    const std::string xdg = read_command(PICTURES_QUERY);
    if (!xdg.empty() && xdg[0] == '/' && xdg != home &&
        xdg != std::string(home) + "/")
        return xdg;
    return std::string(home) + "/" + PICTURES_FALLBACK;
}

std::string make_world_folder(int world_number)
{
    const std::string folder = pictures_folder() + "/" + MAPS_FOLDER +
                               "/World" + std::to_string(world_number);
    make_folders(folder);
    return folder;
}

std::vector<std::string> wrap_lines(const std::string &text, size_t columns)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        for (size_t i = start; i < end; i += columns)
            lines.push_back(text.substr(i, std::min(columns, end - i)));
        if (end == start && end < text.size())
            lines.push_back("");
        start = end + 1;
    }
    return lines;
}

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
            (images < maps.size() ? " and the web map in" : " written to") +
            "\n" + folder,
        columns);
    lines.push_back("");
    const size_t room = max_lines > lines.size() ? max_lines - lines.size() : 0;
    for (size_t i = 0; i < maps.size() && i < room; ++i) {
        if (i + 1 == room && maps.size() > room) {
            lines.push_back("and " + std::to_string(maps.size() - i) + " more");
            break;
        }
        const WrittenMap &m = maps[i];
        // A page has no pixel size: it is the web map of all the levels.
        std::string line =
            m.width == 0
                ? m.name + " (web map)"
                : m.name + " " + std::to_string(m.width) + "\xc3\x97" +
                      std::to_string(m.height) + " " +
                      file_size_text(folder + "/" + m.name);
        lines.push_back(line.substr(0, columns + 1));  // × takes two bytes
    }
    return lines;
}

bool open_folder(const std::string &folder, std::string *why)
{
    // The opener is started by a child that ends at once, so that nothing
    // waits for it and it leaves no zombie; a pipe that closes on exec
    // brings back its errno when it could not be started.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *why = std::string("Cannot open: ") + std::strerror(errno);
        return false;
    }
    const pid_t child = fork();
    if (child == 0) {
        if (fork() == 0) {
            execlp(OPENER, OPENER, folder.c_str(), static_cast<char *>(nullptr));
            const int err = errno;
            if (write(fds[1], &err, sizeof err) < 0)
                _exit(127);
            _exit(127);
        }
        _exit(0);
    }
    close(fds[1]);
    int err = child < 0 ? errno : 0;
    if (child > 0) {
        waitpid(child, nullptr, 0);
        if (read(fds[0], &err, sizeof err) != sizeof err)
            err = 0;
    }
    close(fds[0]);
    if (err != 0)
        *why = std::string(OPENER) + ": " + std::strerror(err);
    return err == 0;
}

void show_summary(int world_number, const std::string &folder,
                  const std::vector<WrittenMap> &maps)
{
    folder_being_opened = folder;
    open_status[0] = '\0';
    std::vector<std::string> lines = summary_lines(
        world_number, folder, maps, TEXT_COLUMNS, SUMMARY_LINES);
    std::vector<DIALOG> buttons = {
        button(OPEN_X, OPEN_W, 'o', "&Open folder", open_folder_pressed),
        button(CLOSE_X, CLOSE_W, 'c', "&Close", close_pressed)};
    // The status of "Open folder" shows on the line under the list.
    buttons.insert(buttons.begin(),
                   {d_text_proc, TEXT_X,
                    TEXT_Y + static_cast<int>(SUMMARY_LINES) * LINE_STEP + 2,
                    0, 0, 0, 0, 0, 0, 0, 0, open_status, nullptr, nullptr});
    run_lines_dialog(lines, buttons);
}

void show_error(const std::string &text)
{
    run_lines_dialog(wrap_lines(text, TEXT_COLUMNS),
                     {button(ONLY_CLOSE_X, CLOSE_W, 'c', "&Close",
                             close_pressed)});
}
