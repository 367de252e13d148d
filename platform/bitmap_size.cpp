#include "bitmap_size.h"

#include <climits>

namespace {

// The spare byte that the library allocates after 24-bit pixels.
int padding_bytes(int bytes_per_pixel) { return bytes_per_pixel == 3 ? 1 : 0; }

}  // namespace

int64_t bitmap_bytes(int64_t width, int64_t height, int bytes_per_pixel)
{
    return width * height * bytes_per_pixel;
}

int64_t bitmap_max_pixels(int bytes_per_pixel)
{
    return (INT_MAX - padding_bytes(bytes_per_pixel)) / bytes_per_pixel;
}

bool bitmap_fits(int64_t width, int64_t height, int bytes_per_pixel)
{
    if (width <= 0 || height <= 0 || bytes_per_pixel <= 0)
        return false;
    // Each side alone first, so that the product cannot overflow.
    if (width > INT_MAX || height > INT_MAX)
        return false;
    return width * height <= bitmap_max_pixels(bytes_per_pixel);
}
