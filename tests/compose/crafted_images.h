// Image files built byte by byte: headers that declare what their data
// do not hold, for the checks that must stop them before a codec.
#ifndef COMPOSE_TESTS_CRAFTED_IMAGES_H
#define COMPOSE_TESTS_CRAFTED_IMAGES_H

#include <cstdint>
#include <string>

void put_be32(std::string &s, uint32_t v);
void put_png_chunk(std::string &png, const char *type, const std::string &data);

// An RGB PNG that declares width x height and holds rows of black pixels:
// small on disk, since zeros compress well.
std::string png_declaring(uint32_t width, uint32_t height, int rows);

// A whole 2 x 2 PNG with a second IHDR chunk, declaring width x height,
// right after the first.
std::string png_with_second_ihdr(uint32_t width, uint32_t height);

// A 24-bit BMP header declaring width x height, with a few bytes of data.
std::string bmp_declaring(int32_t width, int32_t height);

// A 24-bit uncompressed TGA header declaring width x height, with a few
// bytes of data.
std::string tga_declaring(uint16_t width, uint16_t height);

// The JPEG file jpeg with a second frame header (SOF1) declaring width x
// height right after its first one.
std::string jpeg_with_second_frame(const std::string &jpeg, uint16_t width,
                                   uint16_t height);

// The JPEG file jpeg with an APP1 segment after its start marker that
// holds the JPEG file embedded, as a camera stores a thumbnail.
std::string jpeg_with_thumbnail(const std::string &jpeg,
                                const std::string &embedded);

#endif
