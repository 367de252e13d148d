#include "progress_window.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "close_button.h"
#include "exit_signals.h"
#include "screen_text.h"
#include "world_layout.h"

namespace {

using Clock = std::chrono::steady_clock;

// The input is polled this often; the window is redrawn at every fifth
// poll, four times a second, and at once when the phase changes.
const auto POLL_INTERVAL = std::chrono::milliseconds(50);
const int POLLS_PER_REDRAW = 5;

// Layout of the 320 x 160 client area. The bar's inside covers the row
// where the stop question's frame begins, so a test can tell them apart.
const int MARGIN = 20;
const int TITLE_Y = 10;
const int PLACING_Y = 26;
const int BAR_TOP = 38, BAR_BOTTOM = 58;
const int SAVING_Y = 74;
const int STRIP_TOP = 86, STRIP_BOTTOM = 96;
const int STRIP_BLOCK = 40;        // width of the moving block
const double STRIP_SPEED = 160.0;  // its pixels per second
const int HINT_Y = 140;

// The stop question over the window: a shadowed box with the question
// and two buttons, where the library's alert would put them.
const int ASK_X = 92, ASK_Y = 48, ASK_W = 135, ASK_H = 63;
const int ASK_TEXT_Y = 60;
const int ASK_BUTTON_Y = 87, ASK_BUTTON_W = 48, ASK_BUTTON_H = 16;
const int ASK_YES_X = 104, ASK_NO_X = 168;
char ask_text[] = "Stop mapping?";
char yes_text[] = "&Yes";
char no_text[] = "&No";
enum { ASK_BOX, ASK_TEXT, ASK_YES, ASK_NO, ASK_YIELD, ASK_END_CHECK,
       ASK_END };

std::mutex state_lock;
std::condition_variable state_changed;
ProgressView state;              // guarded by state_lock
bool phase_changed = false;      // guarded by state_lock
bool stop_requested = false;     // guarded by state_lock
bool question_open = false;      // guarded by state_lock
Clock::time_point save_start;    // guarded by state_lock
std::vector<WrittenMap> written;  // main thread only

std::atomic<bool> running(false);
std::thread drawer;
std::atomic<long> redraw_count(0);
std::atomic<long> thread_nanoseconds(0);


long thread_cpu_nanoseconds()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1000000000L + t.tv_nsec;
}

void draw_bar(BITMAP *bmp, size_t placed, size_t total)
{
    const int inner = bmp->w - 2 * MARGIN - 2;
    rect(bmp, MARGIN, BAR_TOP, bmp->w - MARGIN - 1, BAR_BOTTOM,
         colour_for(bmp, 0, 0, 0));
    if (total == 0)
        return;
    const int filled = static_cast<int>(inner * placed / total);
    if (filled > 0)
        rectfill(bmp, MARGIN + 1, BAR_TOP + 1, MARGIN + filled, BAR_BOTTOM - 1,
                 colour_for(bmp, 40, 110, 200));
}

// A block that runs to and fro while the saver, which reports nothing,
// writes the map.
void draw_strip(BITMAP *bmp, double seconds)
{
    const int left = MARGIN, right = bmp->w - MARGIN - 1;
    rect(bmp, left, STRIP_TOP, right, STRIP_BOTTOM, colour_for(bmp, 0, 0, 0));
    const int travel = right - left - 1 - STRIP_BLOCK;
    const int step = static_cast<int>(seconds * STRIP_SPEED) % (2 * travel);
    const int x = left + 1 + (step < travel ? step : 2 * travel - step);
    rectfill(bmp, x, STRIP_TOP + 1, x + STRIP_BLOCK - 1, STRIP_BOTTOM - 1,
             colour_for(bmp, 230, 140, 30));
}

void redraw(BITMAP *panel)
{
    ProgressView view;
    {
        std::lock_guard<std::mutex> hold(state_lock);
        view = state;
        if (!view.saving.empty())
            view.save_seconds =
                std::chrono::duration<double>(Clock::now() - save_start).count();
    }
    draw_progress(panel, view);
    blit(panel, screen, 0, 0, 0, 0, panel->w, panel->h);
    ++redraw_count;
}

bool stop_key_pressed()
{
    bool stop = false;
    while (keypressed()) {
        const int k = readkey();
        if ((k >> 8) == KEY_ESC || (k & 0xff) == 'q' || (k & 0xff) == 'Q')
            stop = true;
    }
    return stop;
}

// Ends the question, as No, once the run has done its work: there is
// nothing left to stop.
int run_done_proc(int msg, DIALOG *, int)
{
    if (msg != MSG_IDLE)
        return D_O_K;
    std::lock_guard<std::mutex> hold(state_lock);
    return stop_requested ? D_CLOSE : D_O_K;
}

// The question is a dialog of our own rather than the library's alert,
// which saves the screen under it in a bitmap of the current depth.
int ask_question()
{
    DIALOG ask[] = {
        {d_shadow_box_proc, ASK_X, ASK_Y, ASK_W, ASK_H, 0, 0, 0, 0, 0, 0,
         nullptr, nullptr, nullptr},
        {d_ctext_proc, ASK_X + ASK_W / 2, ASK_TEXT_Y, 0, 0, 0, 0, 0, 0, 0, 0,
         ask_text, nullptr, nullptr},
        {d_button_proc, ASK_YES_X, ASK_BUTTON_Y, ASK_BUTTON_W, ASK_BUTTON_H,
         0, 0, 'y', D_EXIT, 0, 0, yes_text, nullptr, nullptr},
        {d_button_proc, ASK_NO_X, ASK_BUTTON_Y, ASK_BUTTON_W, ASK_BUTTON_H, 0,
         0, 'n', D_EXIT, 0, 0, no_text, nullptr, nullptr},
        {d_yield_proc, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr,
         nullptr},
        {run_done_proc, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr,
         nullptr},
        {nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr}};
    set_dialog_color(ask, colour_for(screen, 0, 0, 0),
                     colour_for(screen, 255, 255, 255));
    return do_dialog(ask, -1);
}

// Asks whether to stop; the compose waits at its next step meanwhile.
// "Yes" stops the run as the close button did before: SIGTERM, whose
// handler removes an unfinished map and exits with 143.
void ask_stop()
{
    {
        std::lock_guard<std::mutex> hold(state_lock);
        question_open = true;
    }
    const int button = ask_question();
    // The question already asks; presses made meanwhile are answered.
    take_close_request();
    clear_keybuf();
    if (button == ASK_YES)
        stop_run();
    {
        std::lock_guard<std::mutex> hold(state_lock);
        question_open = false;
    }
    state_changed.notify_all();
}

void draw_loop()
{
    BITMAP *panel =
        create_bitmap_ex(bitmap_color_depth(screen), SCREEN_W, SCREEN_H);
    if (!panel)
        return;
    clear_keybuf();
    for (int poll = 0;; ++poll) {
        if (stop_key_pressed() || take_close_request()) {
            ask_stop();
            poll = 0;
        }
        bool changed;
        {
            std::unique_lock<std::mutex> hold(state_lock);
            if (stop_requested)
                break;
            changed = phase_changed;
            phase_changed = false;
        }
        if (changed || poll % POLLS_PER_REDRAW == 0)
            redraw(panel);
        std::unique_lock<std::mutex> hold(state_lock);
        state_changed.wait_for(hold, POLL_INTERVAL,
                               [] { return stop_requested || phase_changed; });
        if (stop_requested)
            break;
    }
    destroy_bitmap(panel);
    thread_nanoseconds += thread_cpu_nanoseconds();
}

// Holds the compose while the stop question is open.
void wait_for_answer(std::unique_lock<std::mutex> &hold)
{
    state_changed.wait(hold, [] { return !question_open; });
}

}  // namespace

void progress_tiles_placed(size_t placed, size_t total)
{
    if (!running)
        return;
    std::unique_lock<std::mutex> hold(state_lock);
    phase_changed = state.total == 0;
    state.placed = placed;
    state.total = total;
    wait_for_answer(hold);
}

void progress_map_save_began(const char *name, int width, int height)
{
    if (!running)
        return;
    std::unique_lock<std::mutex> hold(state_lock);
    state.saving = name;
    state.width = width;
    state.height = height;
    save_start = Clock::now();
    phase_changed = true;
    hold.unlock();
    state_changed.notify_all();
    hold.lock();
    wait_for_answer(hold);
}

void progress_map_save_ended(const char *name, bool saved)
{
    if (running && saved)
        written.push_back({name, state.width, state.height});
}

void draw_progress(BITMAP *bmp, const ProgressView &view)
{
    const int black = colour_for(bmp, 0, 0, 0);
    clear_to_color(bmp, colour_for(bmp, 255, 255, 255));
    textprintf_centre_ex(bmp, font, bmp->w / 2, TITLE_Y, black, -1,
                         "Mapping %s", view.world.c_str());
    if (view.total == 0)
        textout_ex(bmp, font, "Checking the tiles", MARGIN, PLACING_Y, black,
                   -1);
    else
        textprintf_ex(bmp, font, MARGIN, PLACING_Y, black, -1,
                      "Placing tiles: %lu of %lu",
                      static_cast<unsigned long>(view.placed),
                      static_cast<unsigned long>(view.total));
    draw_bar(bmp, view.placed, view.total);
    if (!view.saving.empty()) {
        textprintf_ex(bmp, font, MARGIN, SAVING_Y, black, -1,
                      "Saving %s, %d \xc3\x97 %d", view.saving.c_str(),
                      view.width, view.height);
        draw_strip(bmp, view.save_seconds);
    }
    textout_ex(bmp, font, "Escape or q: stop", MARGIN, HINT_Y,
               colour_for(bmp, 110, 110, 110), -1);
}

void start_progress_window(int world_number)
{
    if (running)
        return;
    {
        std::lock_guard<std::mutex> hold(state_lock);
        state = ProgressView();
        state.world = world_name(world_number);
        phase_changed = true;
        stop_requested = false;
        question_open = false;
    }
    written.clear();
    running = true;
    set_progress_window_running(true);
    drawer = std::thread(draw_loop);
}

void stop_progress_window()
{
    if (!running)
        return;
    {
        std::lock_guard<std::mutex> hold(state_lock);
        stop_requested = true;
    }
    state_changed.notify_all();
    drawer.join();
    running = false;
    set_progress_window_running(false);
}

bool progress_window_running() { return running; }

const std::vector<WrittenMap> &written_maps() { return written; }

void progress_window_cost(long *redraws, double *seconds)
{
    *redraws = redraw_count;
    *seconds = thread_nanoseconds / 1e9;
}
