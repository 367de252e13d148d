#include "image_header.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "file_bound.h"

namespace {

const unsigned char PNG_IHDR[] = {'I', 'H', 'D', 'R'};
const int PNG_IHDR_LENGTH = 13;

const size_t GIF_SIGNATURE_BYTES = sizeof GIF89_SIGNATURE - 1;

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
    int64_t limit = image_file_max_bytes(0, 0);
    bool over_limit = false;

    explicit Reader(int f) : fd(f) {}

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
    int64_t big_endian(int bytes)
    {
        int64_t v = 0;
        for (int i = 0; i < bytes; ++i) {
            int c = byte();
            if (c < 0)
                return -1;
            v = (v << 8) | c;
        }
        return v;
    }
    int64_t little_endian(int bytes)
    {
        int64_t v = 0;
        for (int i = 0; i < bytes; ++i) {
            int c = byte();
            if (c < 0)
                return -1;
            v |= static_cast<int64_t>(c) << (8 * i);
        }
        return v;
    }
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

// The first chunk of a PNG file is IHDR: width and height, 32 bits each.
// The decoder refuses an IHDR anywhere else, so the first one holds.
bool png_size(Reader &in, int64_t *w, int64_t *h, const char **why)
{
    if (!matches(in, PNG_SIGNATURE, sizeof PNG_SIGNATURE)) {
        *why = "not a PNG file (no PNG signature)";
        return false;
    }
    const int64_t length = in.big_endian(4);
    if (length != PNG_IHDR_LENGTH || !matches(in, PNG_IHDR, sizeof PNG_IHDR)) {
        *why = "unreadable PNG header (the first chunk is not IHDR)";
        return false;
    }
    *w = in.big_endian(4);
    *h = in.big_endian(4);
    return size_ok(*w, *h, "PNG header cut short", why);
}

// The logical screen that follows the signature: every frame is drawn
// onto a bitmap of its size.
bool gif_size(Reader &in, int64_t *w, int64_t *h, const char **why)
{
    char sig[GIF_SIGNATURE_BYTES];
    for (char &c : sig)
        c = static_cast<char>(in.byte());
    if (std::memcmp(sig, GIF87_SIGNATURE, GIF_SIGNATURE_BYTES) != 0 &&
        std::memcmp(sig, GIF89_SIGNATURE, GIF_SIGNATURE_BYTES) != 0) {
        *why = "not a GIF file (no GIF signature)";
        return false;
    }
    *w = in.little_endian(2);
    *h = in.little_endian(2);
    return size_ok(*w, *h, "GIF header cut short", why);
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
