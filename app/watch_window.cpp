#include "watch_window.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "close_button.h"
#include "world_layout.h"

namespace {

using Clock = std::chrono::steady_clock;

// The input is read this often, and the window redrawn every second (its
// "s ago" counts seconds) and at once when a batch is placed.
const auto POLL_INTERVAL = std::chrono::milliseconds(250);
const int POLLS_PER_REDRAW = 4;

const int MARGIN = 20;
const int TITLE_Y = 20;
const int TEXT_Y = 50, TEXT2_Y = 64;
const int BUTTON_X = 130, BUTTON_Y = 110, BUTTON_W = 60, BUTTON_H = 20;
const int HINT_Y = 140;

std::mutex lock;
std::condition_variable changed_cv;
std::string world;             // guarded by lock
size_t tiles = 0;              // guarded by lock
bool any_tile = false;         // guarded by lock
Clock::time_point last_tile;   // guarded by lock
bool changed = false;          // guarded by lock
bool stopping = false;         // guarded by lock

std::atomic<bool> running(false);
std::thread drawer;
int stop_pipe[2] = {-1, -1};

int colour(BITMAP *bmp, int r, int g, int b)
{
    return makecol_depth(bitmap_color_depth(bmp), r, g, b);
}

bool stop_asked()
{
    bool stop = take_close_request();
    while (keypressed()) {
        const int k = readkey();
        const int c = k & 0xff;
        if ((k >> 8) == KEY_ESC || c == 's' || c == 'S')
            stop = true;
    }
    return stop || ((mouse_b & 1) && mouse_x >= BUTTON_X &&
                    mouse_x < BUTTON_X + BUTTON_W && mouse_y >= BUTTON_Y &&
                    mouse_y < BUTTON_Y + BUTTON_H);
}

void redraw(BITMAP *panel)
{
    std::string name;
    size_t count;
    long ago = -1;
    {
        std::lock_guard<std::mutex> hold(lock);
        name = world;
        count = tiles;
        if (any_tile)
            ago = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() -
                                                                  last_tile).count();
    }
    draw_watch_window(panel, name, count, ago);
    blit(panel, screen, 0, 0, 0, 0, panel->w, panel->h);
}

void draw_loop()
{
    BITMAP *panel = create_bitmap_ex(bitmap_color_depth(screen), SCREEN_W, SCREEN_H);
    if (!panel)
        return;
    clear_keybuf();
    bool asked = false;
    for (int poll = 0;; ++poll) {
        if (!asked && stop_asked()) {
            asked = true;
            const char byte = 1;
            if (write(stop_pipe[1], &byte, 1) != 1) {
                // The watch has stopped already.
            }
        }
        bool now;
        {
            std::lock_guard<std::mutex> hold(lock);
            if (stopping)
                break;
            now = changed;
            changed = false;
        }
        if (now || poll % POLLS_PER_REDRAW == 0)
            redraw(panel);
        std::unique_lock<std::mutex> hold(lock);
        changed_cv.wait_for(hold, POLL_INTERVAL, [] { return stopping || changed; });
        if (stopping)
            break;
    }
    destroy_bitmap(panel);
}

}  // namespace

void draw_watch_window(BITMAP *bmp, const std::string &name, size_t count,
                       long seconds_ago)
{
    const int black = colour(bmp, 0, 0, 0);
    clear_to_color(bmp, colour(bmp, 255, 255, 255));
    textprintf_centre_ex(bmp, font, bmp->w / 2, TITLE_Y, black, -1,
                         "Watching %s:", name.c_str());
    textprintf_centre_ex(bmp, font, bmp->w / 2, TEXT_Y, black, -1,
                         "%lu %s since the start%s", static_cast<unsigned long>(count),
                         count == 1 ? "tile" : "tiles", seconds_ago < 0 ? "" : ",");
    if (seconds_ago >= 0)
        textprintf_centre_ex(bmp, font, bmp->w / 2, TEXT2_Y, black, -1,
                             "last %ld s ago", seconds_ago);
    rect(bmp, BUTTON_X, BUTTON_Y, BUTTON_X + BUTTON_W - 1, BUTTON_Y + BUTTON_H - 1,
         black);
    textout_centre_ex(bmp, font, "Stop", BUTTON_X + BUTTON_W / 2,
                      BUTTON_Y + (BUTTON_H - text_height(font)) / 2, black, -1);
    textout_ex(bmp, font, "s or Escape: stop (maps are saved)", MARGIN, HINT_Y,
               colour(bmp, 110, 110, 110), -1);
}

void start_watch_window(int world_number)
{
    if (running || !screen || pipe2(stop_pipe, O_NONBLOCK | O_CLOEXEC) != 0)
        return;
    {
        std::lock_guard<std::mutex> hold(lock);
        world = world_name(world_number);
        tiles = 0;
        any_tile = false;
        changed = true;
        stopping = false;
    }
    running = true;
    set_watch_window_running(true);
    drawer = std::thread(draw_loop);
}

void watch_window_tiles(size_t count)
{
    {
        std::lock_guard<std::mutex> hold(lock);
        tiles = count;
        any_tile = true;
        last_tile = Clock::now();
        changed = true;
    }
    changed_cv.notify_all();
}

int watch_window_stop_fd() { return running ? stop_pipe[0] : -1; }

bool watch_window_running() { return running; }

void stop_watch_window()
{
    if (!running)
        return;
    {
        std::lock_guard<std::mutex> hold(lock);
        stopping = true;
    }
    changed_cv.notify_all();
    drawer.join();
    running = false;
    set_watch_window_running(false);
}
