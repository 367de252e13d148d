// A JPEG file's structure: markers, 0xFF then a code, from the start of
// image to its end; segments between them, and entropy-coded data after
// each start of scan.
#include <cstdio>

#include "image_reader.h"

namespace image_structure {

namespace {

const int JPEG_SOI = 0xD8;
const int JPEG_EOI = 0xD9;
const int JPEG_STUFFED = 0x00;  // an 0xFF data byte in entropy-coded data
const int JPEG_SOS = 0xDA;
const int JPEG_DNL = 0xDC;
const int JPEG_TEM = 0x01;
const int JPEG_RST0 = 0xD0, JPEG_RST7 = 0xD7;
const int JPEG_SOF0 = 0xC0, JPEG_SOF15 = 0xCF;
// Markers in the SOF range that are not frame headers.
const int JPEG_DHT = 0xC4, JPEG_JPG = 0xC8, JPEG_DAC = 0xCC;
// Length field, precision, height and width of a frame header.
const int JPEG_FRAME_SIZE_BYTES = 7;
const int JPEG_LENGTH_BYTES = 2, JPEG_SIDE_BYTES = 2;
const int JPEG_MARKER_BYTES = 2;

// What the marker readers return besides a marker code.
const int MARKER_END_OF_FILE = -1;
const int MARKER_BROKEN = -2;

bool is_frame_header(int marker)
{
    return marker >= JPEG_SOF0 && marker <= JPEG_SOF15 && marker != JPEG_DHT &&
           marker != JPEG_JPG && marker != JPEG_DAC;
}

bool stands_alone(int marker)
{
    return marker == JPEG_TEM || (marker >= JPEG_RST0 && marker <= JPEG_RST7);
}

// The marker that follows a segment: 0xFF, any fill bytes, the code.
int next_segment_marker(Reader &in)
{
    int c = in.byte();
    if (c < 0)
        return MARKER_END_OF_FILE;
    if (c != JPEG_MARKER)
        return MARKER_BROKEN;
    do
        c = in.byte();
    while (c == JPEG_MARKER);
    return c < 0 ? MARKER_END_OF_FILE : c;
}

// The first marker after entropy-coded data: an 0xFF that is neither a
// stuffed data byte nor a restart marker inside the scan.
int marker_after_scan(Reader &in)
{
    for (;;) {
        if (!in.find_marker_byte())
            return MARKER_END_OF_FILE;
        int c;
        do
            c = in.byte();
        while (c == JPEG_MARKER);
        if (c < 0)
            return MARKER_END_OF_FILE;
        if (c != JPEG_STUFFED && !(c >= JPEG_RST0 && c <= JPEG_RST7))
            return c;
    }
}

// Why a walk that reached its limit stops; the text lasts until the next
// call.
const char *over_limit_reason(const Reader &in, int frames, int64_t w,
                              int64_t h)
{
    static char text[200];
    if (frames == 0)
        std::snprintf(text, sizeof text,
                      "unreadable JPEG header (no frame header in its first "
                      "%lld bytes)",
                      static_cast<long long>(in.limit));
    else
        std::snprintf(text, sizeof text,
                      "the file runs on past %lld bytes without an "
                      "end-of-image marker, more than a %lld x %lld JPEG can "
                      "need",
                      static_cast<long long>(in.limit),
                      static_cast<long long>(w), static_cast<long long>(h));
    return text;
}

bool jpeg_frame(Reader &in, int64_t length, int64_t *w, int64_t *h,
                const char **why)
{
    if (length < JPEG_FRAME_SIZE_BYTES || in.byte() < 0) {
        *why = "JPEG header cut short";
        return false;
    }
    *h = in.big_endian(JPEG_SIDE_BYTES);
    *w = in.big_endian(JPEG_SIDE_BYTES);
    if (!size_ok(*w, *h, "JPEG header cut short", why))
        return false;
    in.limit = image_file_max_bytes(*w, *h);
    if (!in.skip(length - JPEG_FRAME_SIZE_BYTES)) {
        *why = "JPEG header cut short";
        return false;
    }
    return true;
}

}  // namespace

// Walks the marker segments, and the entropy-coded data after each start
// of scan, up to the end-of-image marker, where the decoder stops; with
// whole false, only up to the frame header. The walk reads no more than
// an image of the declared size can need.
bool jpeg_size(Reader &in, bool whole, int64_t *w, int64_t *h,
               const char **why)
{
    if (in.byte() != JPEG_MARKER || in.byte() != JPEG_SOI) {
        *why = "not a JPEG file (no start-of-image marker)";
        return false;
    }
    int frames = 0;
    int marker = next_segment_marker(in);
    while (marker != MARKER_END_OF_FILE && marker != JPEG_EOI) {
        if (marker == MARKER_BROKEN) {
            *why = "unreadable JPEG header (bytes outside any segment)";
            return false;
        }
        if (marker == JPEG_DNL) {
            // Sets the height after the frame header: nothing to size by.
            *why = "unreadable JPEG header (a DNL line count)";
            return false;
        }
        if (stands_alone(marker)) {
            marker = next_segment_marker(in);
            continue;
        }
        const int64_t length = in.big_endian(JPEG_LENGTH_BYTES);
        if (length < JPEG_LENGTH_BYTES) {
            *why = "JPEG header cut short";
            return false;
        }
        if (is_frame_header(marker)) {
            if (++frames > 1) {
                *why = "unreadable JPEG header (more than one frame header)";
                return false;
            }
            if (!jpeg_frame(in, length, w, h, why))
                return false;
            if (!whole)
                return true;
        } else if (!in.skip(length - JPEG_LENGTH_BYTES) && frames == 0) {
            *why = in.over_limit ? over_limit_reason(in, frames, 0, 0)
                                 : "JPEG header cut short";
            return false;
        }
        marker = marker == JPEG_SOS ? marker_after_scan(in)
                                    : next_segment_marker(in);
    }
    if (in.over_limit) {
        *why = over_limit_reason(in, frames, *w, *h);
        return false;
    }
    if (frames == 0) {
        *why = "unreadable JPEG header (no frame header)";
        return false;
    }
    return true;
}

// The entropy-coded data between a JPEG's markers cannot hold the end
// marker, so a file that starts with the start marker and ends with the
// end marker has been written to its end.
bool jpeg_whole(Reader &in, int64_t size)
{
    unsigned char head[JPEG_MARKER_BYTES], tail[JPEG_MARKER_BYTES];
    if (size < 2 * JPEG_MARKER_BYTES || !read_bytes(in, head, JPEG_MARKER_BYTES) ||
        !in.skip(size - 2 * JPEG_MARKER_BYTES) ||
        !read_bytes(in, tail, JPEG_MARKER_BYTES))
        return false;
    return head[0] == JPEG_MARKER && head[1] == JPEG_SOI &&
           tail[0] == JPEG_MARKER && tail[1] == JPEG_EOI;
}

bool jpeg_starts(const unsigned char *start, size_t got)
{
    return got >= JPEG_MARKER_BYTES && start[0] == JPEG_MARKER &&
           start[1] == JPEG_SOI;
}

int jpeg_palette(PaletteColour colours[IMAGE_PALETTE_ENTRIES])
{
    for (int i = 0; i < IMAGE_PALETTE_ENTRIES; ++i) {
        const unsigned char grey = static_cast<unsigned char>(i);
        colours[i] = {grey, grey, grey};
    }
    return IMAGE_PALETTE_ENTRIES;
}

}  // namespace image_structure
