// Why a GIF cannot be read, told through the library's error text as the
// other codecs tell it.
#include "gif_reader_internal.h"

#include <cstdarg>
#include <cstdio>

int gif_fail(const char *format, ...)
{
    char text[ALLEGRO_ERROR_SIZE];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    ustrzcpy(allegro_error, ALLEGRO_ERROR_SIZE, text);
    return GIF_FAILED;
}

int gif_out_of_memory(int64_t width, int64_t height)
{
    return gif_fail("out of memory for an image of %lld x %lld pixels",
                    static_cast<long long>(width),
                    static_cast<long long>(height));
}

int64_t gif_frame_bound(const GifDocument *doc)
{
    return GIF_SCREENS_OF_FRAMES * int64_t(doc->screen_width) *
               doc->screen_height +
           gif_frame_allowance;
}

int gif_over_bound(const GifDocument *doc)
{
    return gif_fail("its images need more than the %lld bytes that its "
                    "%d x %d screen allows",
                    static_cast<long long>(gif_frame_bound(doc)),
                    doc->screen_width, doc->screen_height);
}
