// The structure of image files: each format's reader (image_png.cpp,
// image_jpeg.cpp, image_gif.cpp) walks the file over the one bounded
// reader of image_reader.h; this picks the reader.
#include "image_format.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image_reader.h"

using namespace image_structure;

namespace {

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
    unsigned char start[PNG_SIGNATURE_BYTES];
    size_t got = 0;
    for (int c; got < sizeof start && (c = in.byte()) >= 0; ++got)
        start[got] = static_cast<unsigned char>(c);
    if (png_starts(start, got))
        return png_palette(in, colours);
    if (jpeg_starts(start, got))
        return jpeg_palette(colours);
    return 0;
}
