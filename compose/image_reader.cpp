// The bounded reader that every image format's structure is walked with.
#include "image_reader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace image_structure {

bool Reader::fill()
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

int Reader::byte()
{
    if (pos == end && !fill())
        return -1;
    return buf[pos++];
}

int64_t Reader::number(int bytes, bool big)
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

bool Reader::skip(int64_t n)
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

bool Reader::find_marker_byte()
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

bool matches(Reader &in, const unsigned char *bytes, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (in.byte() != bytes[i])
            return false;
    return true;
}

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

}  // namespace image_structure
