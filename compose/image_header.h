#ifndef COMPOSE_IMAGE_HEADER_H
#define COMPOSE_IMAGE_HEADER_H

#include <cstdint>
#include <string>

// Result of looking at an image file's header before a codec sees it.
enum ImageHeader {
    HEADER_OK,        // *width and *height hold the declared size
    HEADER_UNKNOWN,   // not a PNG or JPEG file: left to the codecs
    HEADER_BAD        // a PNG or JPEG whose header cannot be read
};

// Reads the pixel size that a PNG (IHDR) or JPEG (frame header) declares.
ImageHeader read_image_size(const std::string &path, int64_t *width,
                            int64_t *height);

#endif
