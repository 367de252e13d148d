// The structure of image files, walked over one reader: for PNG, GIF and
// JPEG in turn, the size a header declares, the whole-file check and,
// where the file has one, the palette.
#include "image_format.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "file_bound.h"
// The GIF format's bytes, named once beside the codec: only the constants.
#include "../gif/gif_format.h"

namespace {

// A PNG file starts with these bytes; then come chunks, each a length, a
// type, that many bytes of data and a CRC, IHDR first and IEND last.
const unsigned char PNG_SIGNATURE[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
const int PNG_LENGTH_BYTES = 4, PNG_TYPE_BYTES = 4, PNG_CRC_BYTES = 4;
const int64_t PNG_MAX_CHUNK_LENGTH = 0x7FFFFFFF;
const char PNG_IHDR[] = "IHDR";
const int PNG_IHDR_LENGTH = 13;
const char PNG_PLTE[] = "PLTE";
const char PNG_IDAT[] = "IDAT";
const char PNG_IEND[] = "IEND";
const int RGB_BYTES = 3;

// JPEG markers: 0xFF, then a code; a file runs from start to end of image.
const int JPEG_MARKER = 0xFF;
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

// What the marker readers return besides a marker code.
const int MARKER_END_OF_FILE = -1;
const int MARKER_BROKEN = -2;

const size_t READ_BUFFER_BYTES = 64 * 1024;
// The first read, and the first after a seek: enough for any PNG or GIF
// header and the segments before a JPEG's scan, far less than a whole
// tile.
const size_t FIRST_READ_BYTES = 4096;

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

    bool fill()
    {
        size_t want = first ? FIRST_READ_BYTES : sizeof buf;
        first = false;
        if (taken >= limit) {
            over_limit = true;
            return false;
        }
        if (static_cast<int64_t>(want) > limit - taken)
            want = static_cast<size_t>(limit - taken);
        ssize_t n;
        do
            n = read(fd, buf, want);
        while (n < 0 && errno == EINTR);
        if (n <= 0)
            return false;
        pos = 0;
        end = static_cast<size_t>(n);
        taken += n;
        return true;
    }
    int byte()
    {
        if (pos == end && !fill())
            return -1;
        return buf[pos++];
    }
    // Unsigned, big-endian (PNG, JPEG) or little-endian (GIF); -1 at the
    // end of the file.
    int64_t number(int bytes, bool big)
    {
        int64_t v = 0;
        for (int i = 0; i < bytes; ++i) {
            const int c = byte();
            if (c < 0)
                return -1;
            v = big ? (v << 8) | c : v | static_cast<int64_t>(c) << (8 * i);
        }
        return v;
    }
    int64_t big_endian(int bytes) { return number(bytes, true); }
    int64_t little_endian(int bytes) { return number(bytes, false); }
    // Past the buffer, a seek where the descriptor allows one: segments
    // such as thumbnails and profiles need not be read to be walked.
    bool skip(int64_t n)
    {
        const int64_t beyond = n - static_cast<int64_t>(end - pos);
        if (beyond > 0) {
            if (taken + beyond > limit) {
                over_limit = true;
                return false;
            }
            const off_t at = lseek(fd, static_cast<off_t>(beyond), SEEK_CUR);
            struct stat st;
            if (at >= 0 && fstat(fd, &st) == 0) {
                pos = end;
                taken += beyond;
                first = true;  // a small read finds the next marker
                return at <= st.st_size;
            }
        }
        while (n > 0) {
            if (pos == end && !fill())
                return false;
            size_t take = end - pos;
            if (static_cast<int64_t>(take) > n)
                take = static_cast<size_t>(n);
            pos += take;
            n -= static_cast<int64_t>(take);
        }
        return true;
    }
    // Moves past the next 0xFF byte; false at the end of the file.
    bool find_marker_byte()
    {
        for (;;) {
            if (pos == end && !fill())
                return false;
            const void *hit = std::memchr(buf + pos, JPEG_MARKER, end - pos);
            if (hit) {
                pos = static_cast<size_t>(static_cast<const unsigned char *>(hit) - buf) + 1;
                return true;
            }
            pos = end;
        }
    }
};

bool matches(Reader &in, const unsigned char *bytes, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (in.byte() != bytes[i])
            return false;
    return true;
}

// Both sizes read and neither zero.
bool size_ok(int64_t w, int64_t h, const char *cut_short, const char **why)
{
    if (w < 0 || h < 0) {
        *why = cut_short;
        return false;
    }
    if (w == 0 || h == 0) {
        *why = "the header declares no pixels";
        return false;
    }
    return true;
}

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
    *w = in.big_endian(4);
    *h = in.big_endian(4);
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

// The logical screen that follows the signature: every frame is drawn
// onto a bitmap of its size.
bool gif_size(Reader &in, int64_t *w, int64_t *h, const char **why)
{
    char sig[GIF_SIGNATURE_LENGTH];
    for (char &c : sig)
        c = static_cast<char>(in.byte());
    const int version = GIF_SIGNATURE_PREFIX_LENGTH;
    if (std::memcmp(sig, GIF_SIGNATURE_PREFIX, GIF_SIGNATURE_PREFIX_LENGTH) != 0 ||
        (sig[version] != GIF_VERSION_87 && sig[version] != GIF_VERSION_89) ||
        sig[version + 1] != GIF_SIGNATURE_END) {
        *why = "not a GIF file (no GIF signature)";
        return false;
    }
    *w = in.little_endian(2);
    *h = in.little_endian(2);
    return size_ok(*w, *h, "GIF header cut short", why);
}

// The screen and image descriptors after the signature and separator,
// and where in each its packed byte is.
const int GIF_SCREEN_BYTES = 7, GIF_IMAGE_BYTES = 9;
const int GIF_SCREEN_FLAGS = 4, GIF_IMAGE_FLAGS = 8;
// A written map is taken for a GIF by "GIF" alone, whatever its version.
const int GIF_MAGIC_BYTES = 3;

bool gif_skip_table(Reader &in, int flags)
{
    if (!(flags & GIF_TABLE_FLAG))
        return true;
    return in.skip(int64_t(RGB_BYTES) << ((flags & GIF_TABLE_SIZE_BITS) + 1));
}

bool gif_skip_sub_blocks(Reader &in)
{
    int length;
    do {
        length = in.byte();
        if (length < 0 || !in.skip(length))
            return false;
    } while (length != GIF_BLOCK_TERMINATOR);
    return true;
}

// Reads n bytes into out; false at the end of the file.
bool read_bytes(Reader &in, unsigned char *out, int n)
{
    for (int i = 0; i < n; ++i) {
        const int c = in.byte();
        if (c < 0)
            return false;
        out[i] = static_cast<unsigned char>(c);
    }
    return true;
}

// Block by block up to the trailer: a data byte of the value of the
// trailer is common, so only the walk tells a whole file from a cut one.
bool gif_whole(Reader &in)
{
    unsigned char head[GIF_SIGNATURE_LENGTH + GIF_SCREEN_BYTES];
    if (!read_bytes(in, head, sizeof head) ||
        std::memcmp(head, GIF_SIGNATURE_89A, GIF_MAGIC_BYTES) != 0 ||
        !gif_skip_table(in, head[GIF_SIGNATURE_LENGTH + GIF_SCREEN_FLAGS]))
        return false;
    for (;;) {
        unsigned char image[GIF_IMAGE_BYTES];
        const int block = in.byte();
        if (block == GIF_FILE_TRAILER)
            return true;
        if (block == GIF_EXTENSION_INTRODUCER) {
            if (!in.skip(1) || !gif_skip_sub_blocks(in))  // label, data
                return false;
        } else if (block == GIF_IMAGE_SEPARATOR) {
            if (!read_bytes(in, image, sizeof image) ||
                !gif_skip_table(in, image[GIF_IMAGE_FLAGS]) ||
                !in.skip(1) || !gif_skip_sub_blocks(in))  // code size, data
                return false;
        } else {
            return false;  // the end of the file, or no block
        }
    }
}

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
    *h = in.big_endian(2);
    *w = in.big_endian(2);
    if (!size_ok(*w, *h, "JPEG header cut short", why))
        return false;
    in.limit = image_file_max_bytes(*w, *h);
    if (!in.skip(length - JPEG_FRAME_SIZE_BYTES)) {
        *why = "JPEG header cut short";
        return false;
    }
    return true;
}

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
        const int64_t length = in.big_endian(2);
        if (length < 2) {
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
        } else if (!in.skip(length - 2) && frames == 0) {
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
    const int MARKER_BYTES = 2;
    unsigned char head[MARKER_BYTES], tail[MARKER_BYTES];
    if (size < 2 * MARKER_BYTES || !read_bytes(in, head, MARKER_BYTES) ||
        !in.skip(size - 2 * MARKER_BYTES) || !read_bytes(in, tail, MARKER_BYTES))
        return false;
    return head[0] == JPEG_MARKER && head[1] == JPEG_SOI &&
           tail[0] == JPEG_MARKER && tail[1] == JPEG_EOI;
}

// Files that we wrote, or that were checked to be bounded by their image.
const int64_t NO_LIMIT = INT64_MAX;

bool rewind(int fd) { return lseek(fd, 0, SEEK_SET) == 0; }

}  // namespace

ImageFormat format_of_extension(const char *ext)
{
    if (strcasecmp(ext, "png") == 0)
        return FORMAT_PNG;
    if (strcasecmp(ext, "jpg") == 0)
        return FORMAT_JPEG;
    if (strcasecmp(ext, "gif") == 0)
        return FORMAT_GIF;
    return FORMAT_OTHER;
}

bool read_image_size(int fd, ImageFormat format, bool whole, int64_t *width,
                     int64_t *height, const char **why)
{
    Reader in(fd);
    switch (format) {
    case FORMAT_PNG:
        return png_size(in, width, height, why);
    case FORMAT_JPEG:
        return jpeg_size(in, whole, width, height, why);
    case FORMAT_GIF:
        return gif_size(in, width, height, why);
    case FORMAT_OTHER:
        break;
    }
    *why = "not a PNG, JPEG or GIF file";
    return false;
}

bool image_file_whole(int fd, ImageFormat format)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    if (format == FORMAT_OTHER)
        return true;
    if (!rewind(fd))
        return false;
    Reader in(fd, NO_LIMIT);
    switch (format) {
    case FORMAT_PNG:
        return png_whole(in);
    case FORMAT_JPEG:
        return jpeg_whole(in, st.st_size);
    case FORMAT_GIF:
        return gif_whole(in);
    case FORMAT_OTHER:
        break;
    }
    return true;
}

int read_image_palette(int fd, PaletteColour colours[IMAGE_PALETTE_ENTRIES])
{
    if (!rewind(fd))
        return 0;
    Reader in(fd, NO_LIMIT);
    unsigned char start[sizeof PNG_SIGNATURE];
    size_t got = 0;
    for (int c; got < sizeof start && (c = in.byte()) >= 0; ++got)
        start[got] = static_cast<unsigned char>(c);
    if (got == sizeof start && std::memcmp(start, PNG_SIGNATURE, sizeof start) == 0)
        return png_palette(in, colours);
    if (got >= 2 && start[0] == JPEG_MARKER && start[1] == JPEG_SOI) {
        for (int i = 0; i < IMAGE_PALETTE_ENTRIES; ++i) {
            const unsigned char grey = static_cast<unsigned char>(i);
            colours[i] = {grey, grey, grey};
        }
        return IMAGE_PALETTE_ENTRIES;
    }
    return 0;
}
