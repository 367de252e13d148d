// The largest bitmap the graphics library can make: it sizes a bitmap's
// pixel memory in an int, as width x height x bytes a pixel, plus one
// spare byte at 3 bytes a pixel. Every size that comes from a file or is
// computed from one is checked here before it reaches the library.
#ifndef PLATFORM_BITMAP_SIZE_H
#define PLATFORM_BITMAP_SIZE_H

#include <cstdint>

// Bytes of pixel memory of a bitmap of width x height at bytes_per_pixel.
int64_t bitmap_bytes(int64_t width, int64_t height, int bytes_per_pixel);

// Bitmap sizes in messages are given in these (MB).
const int64_t MIB = 1024 * 1024;

// The most pixels a bitmap at bytes_per_pixel (above 0) can hold.
int64_t bitmap_max_pixels(int bytes_per_pixel);

// True when width and height are above 0 and the library can allocate a
// bitmap of width x height pixels at bytes_per_pixel.
bool bitmap_fits(int64_t width, int64_t height, int bytes_per_pixel);

#endif
