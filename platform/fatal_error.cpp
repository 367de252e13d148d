#include "fatal_error.h"

#include <allegro.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "file_io.h"

namespace {

void show_message(const char *text) { allegro_message("%s", text); }

std::string format_message(const char *format, va_list args)
{
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, again);
    va_end(again);
    if (length < 0)
        return format;
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, args);
    text.resize(static_cast<size_t>(length));
    return text;
}

const int MAX_STEPS = 8;
void (*steps[MAX_STEPS])() = {};
int step_count = 0;

// Each step once, even when one of them fails fatally in turn.
void take_steps()
{
    while (step_count > 0)
        steps[--step_count]();
}

}  // namespace

void (*fatal_error_hook)(const char *text) = nullptr;

void before_fatal_message(void (*step)())
{
    for (int i = 0; i < step_count; i++)
        if (steps[i] == step)
            return;
    if (step_count < MAX_STEPS)
        steps[step_count++] = step;
}

void show_on_stderr(void (*show)(const char *text), const char *text)
{
    std::cout.flush();
    std::fflush(stdout);
    // Not inherited: the message box may be another program.
    const int saved = duplicate_descriptor(STDOUT_FILENO);
    if (saved >= 0)
        dup2(STDERR_FILENO, STDOUT_FILENO);
    show(text);
    std::fflush(stdout);
    if (saved >= 0) {
        dup2(saved, STDOUT_FILENO);
        close(saved);
    }
}

void fatal_error(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string text = format_message(format, args);
    va_end(args);
    take_steps();
    if (fatal_error_hook)
        fatal_error_hook(text.c_str());
    show_on_stderr(show_message, text.c_str());
    std::exit(1);
}
