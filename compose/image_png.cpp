// A PNG file's structure: the signature, then chunks, each a length, a
// type, that many bytes of data and a CRC, IHDR first and IEND last.
#include <cstring>

#include "image_reader.h"

namespace image_structure {

namespace {

const unsigned char PNG_SIGNATURE[PNG_SIGNATURE_BYTES] = {
    0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
const int PNG_LENGTH_BYTES = 4, PNG_TYPE_BYTES = 4, PNG_CRC_BYTES = 4;
const int64_t PNG_MAX_CHUNK_LENGTH = 0x7FFFFFFF;
const char PNG_IHDR[] = "IHDR";
const int PNG_IHDR_LENGTH = 13;
const int PNG_SIDE_BYTES = 4;
const char PNG_PLTE[] = "PLTE";
const char PNG_IDAT[] = "IDAT";
const char PNG_IEND[] = "IEND";

// Reads a PNG chunk's length and type; false at the end of the file or
// at a length that no chunk may have.
bool png_chunk(Reader &in, int64_t *length, char type[PNG_TYPE_BYTES])
{
    *length = in.big_endian(PNG_LENGTH_BYTES);
    for (int i = 0; i < PNG_TYPE_BYTES; ++i)
        type[i] = static_cast<char>(in.byte());
    return *length >= 0 && *length <= PNG_MAX_CHUNK_LENGTH;
}

bool is_chunk(const char type[PNG_TYPE_BYTES], const char *name)
{
    return std::memcmp(type, name, PNG_TYPE_BYTES) == 0;
}

}  // namespace

bool png_starts(const unsigned char *start, size_t got)
{
    return got >= PNG_SIGNATURE_BYTES &&
           std::memcmp(start, PNG_SIGNATURE, PNG_SIGNATURE_BYTES) == 0;
}

// The first chunk of a PNG file is IHDR: width and height, 32 bits each.
// The decoder refuses an IHDR anywhere else, so the first one holds.
bool png_size(Reader &in, int64_t *w, int64_t *h, const char **why)
{
    if (!matches(in, PNG_SIGNATURE, sizeof PNG_SIGNATURE)) {
        *why = "not a PNG file (no PNG signature)";
        return false;
    }
    int64_t length;
    char type[PNG_TYPE_BYTES];
    if (!png_chunk(in, &length, type) || length != PNG_IHDR_LENGTH ||
        !is_chunk(type, PNG_IHDR)) {
        *why = "unreadable PNG header (the first chunk is not IHDR)";
        return false;
    }
    *w = in.big_endian(PNG_SIDE_BYTES);
    *h = in.big_endian(PNG_SIDE_BYTES);
    return size_ok(*w, *h, "PNG header cut short", why);
}

// Chunk by chunk up to the empty IEND chunk.
bool png_whole(Reader &in)
{
    if (!matches(in, PNG_SIGNATURE, sizeof PNG_SIGNATURE))
        return false;
    for (;;) {
        int64_t length;
        char type[PNG_TYPE_BYTES];
        if (!png_chunk(in, &length, type) || !in.skip(length + PNG_CRC_BYTES))
            return false;
        if (is_chunk(type, PNG_IEND))
            return length == 0;
    }
}

// The PLTE chunk after the signature, as many entries as it holds; 0
// when there is none before the image data or it is malformed.
int png_palette(Reader &in, PaletteColour colours[IMAGE_PALETTE_ENTRIES])
{
    int64_t length;
    char type[PNG_TYPE_BYTES];
    while (png_chunk(in, &length, type)) {
        if (is_chunk(type, PNG_PLTE)) {
            if (length % RGB_BYTES != 0 || length > RGB_BYTES * IMAGE_PALETTE_ENTRIES)
                return 0;
            const int n = static_cast<int>(length / RGB_BYTES);
            for (int i = 0; i < n; ++i) {
                const int r = in.byte(), g = in.byte(), b = in.byte();
                if (b < 0)
                    return 0;
                colours[i] = {static_cast<unsigned char>(r),
                              static_cast<unsigned char>(g),
                              static_cast<unsigned char>(b)};
            }
            return n;
        }
        if (is_chunk(type, PNG_IDAT) || !in.skip(length + PNG_CRC_BYTES))
            return 0;
    }
    return 0;
}

}  // namespace image_structure
