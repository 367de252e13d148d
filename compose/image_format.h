// What compose/ knows of the structure of PNG, JPEG and GIF files, read
// through one bounded reader over a descriptor: the size a header
// declares, whether a written file is whole, and the exact palette of an
// 8-bit tile.
#ifndef COMPOSE_IMAGE_FORMAT_H
#define COMPOSE_IMAGE_FORMAT_H

#include <cstdint>

// Image formats that tiles and maps may have; the extension decides.
enum ImageFormat { FORMAT_PNG, FORMAT_JPEG, FORMAT_GIF, FORMAT_OTHER };

// The format of an extension, case aside: png, jpg or gif.
ImageFormat format_of_extension(const char *ext);

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

// True when the file open at fd (read from its start) holds a whole image
// of format: a PNG up to its IEND chunk, a JPEG up to its end marker, a
// GIF up to its trailer. Files of other formats are not checked and count
// as whole. Savers that ignore a failed write, such as the last one at
// close, report success for a cut file.
bool image_file_whole(int fd, ImageFormat format);

// One palette entry, 8 bits a component.
struct PaletteColour {
    unsigned char r, g, b;
};
const int IMAGE_PALETTE_ENTRIES = 256;

// The exact colours of an 8-bit image's indices, from the file open at fd
// (read from its start), whatever its extension: a PNG's PLTE chunk, and
// for a JPEG (8 bits only when greyscale) the index itself, which is the
// grey level. A GIF gives none: its tiles are drawn at truecolour, never
// handed over at 8 bits. Returns how many entries it filled from the
// start of colours; 0 when the file gives none (no PLTE before the image
// data, or a malformed one).
int read_image_palette(int fd, PaletteColour colours[IMAGE_PALETTE_ENTRIES]);

#endif
