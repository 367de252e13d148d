// Internal to compose/: the one bounded reader over a descriptor that the
// structure readers of each image format walk, and what they share.
#ifndef COMPOSE_IMAGE_READER_H
#define COMPOSE_IMAGE_READER_H

#include <cstddef>
#include <cstdint>

#include "file_bound.h"
#include "image_format.h"

namespace image_structure {

const size_t READ_BUFFER_BYTES = 64 * 1024;
// The first read, and the first after a seek: enough for any PNG or GIF
// header and the segments before a JPEG's scan, far less than a whole
// tile.
const size_t FIRST_READ_BYTES = 4096;
// A palette entry's bytes in a file: red, green, blue.
const int RGB_BYTES = 3;
// The byte that starts every JPEG marker; the reader finds it in
// entropy-coded data.
const int JPEG_MARKER = 0xFF;

// Buffered reads from a descriptor, no further than limit bytes; a JPEG
// is walked to its end, so bytes come from the buffer, and entropy-coded
// data are searched with memchr.
struct Reader {
    int fd;
    unsigned char buf[READ_BUFFER_BYTES];
    size_t pos = 0, end = 0;
    bool first = true;
    int64_t taken = 0;
    int64_t limit;
    bool over_limit = false;

    // A header is read no further than metadata can reach; what follows
    // it only as far as the image's own bound, once that is known.
    explicit Reader(int f, int64_t max = image_file_max_bytes(0, 0))
        : fd(f), limit(max) {}

    bool fill();
    // The next byte, or -1 at the end of the file or the limit.
    int byte();
    // Unsigned, big-endian (PNG, JPEG) or little-endian (GIF); -1 at the
    // end of the file.
    int64_t number(int bytes, bool big);
    int64_t big_endian(int bytes) { return number(bytes, true); }
    int64_t little_endian(int bytes) { return number(bytes, false); }
    // Past the buffer, a seek where the descriptor allows one: segments
    // such as thumbnails and profiles need not be read to be walked.
    bool skip(int64_t n);
    // Moves past the next JPEG_MARKER byte; false at the end of the file.
    bool find_marker_byte();
};

// Whether the next n bytes are bytes.
bool matches(Reader &in, const unsigned char *bytes, size_t n);

// Reads n bytes into out; false at the end of the file.
bool read_bytes(Reader &in, unsigned char *out, int n);

// Both sizes read and neither zero; else *why is cut_short (a size cut
// off by the end of the file) or says that there are no pixels.
bool size_ok(int64_t w, int64_t h, const char *cut_short, const char **why);

// The readers of each format, each from the file's first byte unless
// said: image_png.cpp, image_jpeg.cpp and image_gif.cpp.
bool png_size(Reader &in, int64_t *w, int64_t *h, const char **why);
bool png_whole(Reader &in);
const size_t PNG_SIGNATURE_BYTES = 8;
// Whether start, got bytes long, begins with the PNG signature.
bool png_starts(const unsigned char *start, size_t got);
// The palette, read from just after the signature.
int png_palette(Reader &in, PaletteColour colours[IMAGE_PALETTE_ENTRIES]);

bool jpeg_size(Reader &in, bool whole, int64_t *w, int64_t *h,
               const char **why);
// size: the file's size in bytes.
bool jpeg_whole(Reader &in, int64_t size);
// Whether start, got bytes long, begins with a JPEG's start marker.
bool jpeg_starts(const unsigned char *start, size_t got);
// An 8-bit JPEG's index is its grey level; fills every entry.
int jpeg_palette(PaletteColour colours[IMAGE_PALETTE_ENTRIES]);

bool gif_size(Reader &in, int64_t *w, int64_t *h, const char **why);
bool gif_whole(Reader &in);

}  // namespace image_structure

#endif
