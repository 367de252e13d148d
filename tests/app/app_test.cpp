// The dialog's callbacks, called the way the dialog manager calls them.
#include <gtest/gtest.h>

#include <string>

#include "mapper.h"
#include "test_support.h"

namespace {

int callback_calls;

int counting_callback()
{
    ++callback_calls;
    return D_REDRAW;
}

DIALOG exit_button(void *callback)
{
    DIALOG d = {callback_button_proc, 0, 0, 60, 20, 0, 0, 'q', D_EXIT, 0, 0,
                nullptr, nullptr, callback};
    return d;
}

}  // namespace

TEST(WorldListGetter, ReportsFiveRowsAndTheirNames)
{
    int size = -1;
    EXPECT_EQ(world_list_getter(-1, &size), nullptr);
    EXPECT_EQ(size, 5);
    for (int row = 0; row < 5; ++row)
        EXPECT_EQ(std::string(world_list_getter(row, &size)),
                  "World" + std::to_string(row + 1));
    // A row past the end has no text rather than a stray pointer.
    EXPECT_EQ(world_list_getter(5, &size), nullptr);
}

TEST(CallbackButtonProc, PressCallsTheCallbackAndReturnsItsResult)
{
    start_allegro_headless();
    callback_calls = 0;
    DIALOG d = exit_button(reinterpret_cast<void *>(counting_callback));
    EXPECT_EQ(callback_button_proc(MSG_KEY, &d, 0), D_REDRAW);
    EXPECT_EQ(callback_calls, 1);
    // Messages that do not close the dialog leave the callback alone.
    EXPECT_EQ(callback_button_proc(MSG_WANTFOCUS, &d, 0), D_WANTFOCUS);
    EXPECT_EQ(callback_calls, 1);
}

TEST(CallbackButtonProc, WithoutCallbackClosesLikeAButton)
{
    start_allegro_headless();
    DIALOG d = exit_button(nullptr);
    EXPECT_EQ(callback_button_proc(MSG_KEY, &d, 0), D_CLOSE);
}
