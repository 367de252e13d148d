#include "world_dialog.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "close_button.h"
#include "options.h"
#include "world_layout.h"

namespace {

// alert() returns the number of the button picked, 1 for the first.
const int ALERT_FIRST_BUTTON = 1;

// The list's rows, "World1" to "World5", made once on the dialog's thread.
const std::vector<std::string> &world_rows()
{
    static const std::vector<std::string> rows = [] {
        std::vector<std::string> r;
        for (int world = 1; world <= WORLD_COUNT; ++world)
            r.push_back(world_name(world));
        return r;
    }();
    return rows;
}

char caption_text[] = "Select World to Map";
char quit_text[] = "&Quit";

}  // namespace

DIALOG world_dialog[] = {
    // proc, x, y, w, h, fg, bg, key, flags, d1, d2, dp, dp2, dp3
    {d_clear_proc, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr},
    {d_list_proc, 80, 50, 160, 50, 0, 0, 0, D_EXIT, 0, 0,
     reinterpret_cast<void *>(world_list_getter), nullptr, nullptr},
    {d_text_proc, 80, 20, 0, 0, 0, 0, 0, 0, 0, 0, caption_text, nullptr,
     nullptr},
    {callback_button_proc, 130, 130, 60, 20, 0, 0, 'q', D_EXIT, 0, 0,
     quit_text, nullptr, reinterpret_cast<void *>(confirm_quit)},
    {d_yield_proc, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr},
    {close_request_proc, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr,
     reinterpret_cast<void *>(confirm_quit)},
    {nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr}
};

const char *world_list_getter(int index, int *list_size)
{
    if (index < 0) {
        *list_size = WORLD_COUNT;
        return nullptr;
    }
    return index < WORLD_COUNT ? world_rows()[index].c_str() : nullptr;
}

int confirm_quit()
{
    int button =
        alert("Really Quit?", nullptr, nullptr, "&Yes", "&No", 'y', 'n');
    // The alert already asks; a close request made while it was up is
    // answered by it.
    take_close_request();
    if (button == ALERT_FIRST_BUTTON)
        std::exit(0);
    return D_O_K;
}

int choose_world()
{
    set_dialog_color(world_dialog, makecol(0, 0, 0), makecol(255, 255, 255));
    set_dialog_running(true);
    set_close_button_callback(close_button_pressed);
    do_dialog(world_dialog, WORLD_DIALOG_LIST);
    int row = world_dialog[WORLD_DIALOG_LIST].d1;
    if (row < 0)
        std::exit(0);
    return row + 1;
}
