#ifndef COMPOSE_IMAGE_HEADER_H
#define COMPOSE_IMAGE_HEADER_H

#include <cstdint>

#include "image_format.h"

// Reads, from the file open at fd (read from its current offset), the
// pixel size that a file of the given format declares: the IHDR chunk of
// a PNG, the frame header of a JPEG, the logical screen of a GIF. With
// whole, a JPEG is walked to its end-of-image marker, so that a second
// frame header is refused too, and so is a file that runs on past what
// its size can need (image_file_max_bytes): the walk never reads more.
// Returns true with the size, or false with *why saying what is wrong
// with the header.
bool read_image_size(int fd, ImageFormat format, bool whole, int64_t *width,
                     int64_t *height, const char **why);

#endif
