// What a fatal error does before its message: the steps the front ends
// added, each once and the latest first, then the hook.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "fatal_error.h"

namespace {

void window_stops() { std::fputs("window stops\n", stderr); }
void line_erased() { std::fputs("line erased\n", stderr); }

void shows_and_ends(const char *text)
{
    std::fprintf(stderr, "message: %s\n", text);
    std::exit(1);
}

TEST(FatalError, StepsRunOnceLatestFirstThenTheHook)
{
    EXPECT_EXIT(
        {
            before_fatal_message(line_erased);
            before_fatal_message(window_stops);
            before_fatal_message(line_erased);
            fatal_error_hook = shows_and_ends;
            fatal_error("Error reading %s!", "changed.txt");
        },
        ::testing::ExitedWithCode(1),
        "^window stops\nline erased\nmessage: Error reading changed.txt!\n$");
}

}  // namespace
