// The pixels that a frame keeps: all of its image while the file stays
// within the bound of its screen, else only the part that can be seen;
// and the rows of interlaced images put in display order.
#include "gif_reader_internal.h"

#include <algorithm>
#include <cstring>

namespace {

// Calls row_fn(source_row, display_row) for the rows of an interlaced
// image of height rows in transmission order: every 8th row from 0, every
// 8th from 4, every 4th from 2, every 2nd from 1.
template <typename RowFn>
void for_each_interlaced_row(int height, RowFn row_fn)
{
    static const int pass_start[] = {0, 4, 2, 1};
    static const int pass_step[] = {8, 8, 4, 2};
    const int passes = 4;
    int source_row = 0;
    for (int pass = 0; pass < passes; ++pass) {
        for (int row = pass_start[pass]; row < height;
             row += pass_step[pass]) {
            row_fn(source_row, row);
            ++source_row;
        }
    }
}

}  // namespace

int gif_reorder_interlaced(BITMAP *image)
{
    if (!image)
        return GIF_OK;
    BITMAP *ordered =
        create_bitmap_ex(bitmap_color_depth(image), image->w, image->h);
    if (!ordered)
        return gif_out_of_memory(image->w, image->h);
    for_each_interlaced_row(image->h, [&](int source_row, int row) {
        blit(image, ordered, 0, source_row, 0, row, image->w, 1);
    });
    blit(ordered, image, 0, 0, 0, 0, image->w, image->h);
    destroy_bitmap(ordered);
    return GIF_OK;
}

int gif_rows_to_decode(int height, bool interlaced, int visible_height)
{
    visible_height = std::clamp(visible_height, 0, std::max(height, 0));
    if (!interlaced)
        return visible_height;
    int rows = 0;
    for_each_interlaced_row(height, [&](int source_row, int row) {
        if (row < visible_height)
            rows = source_row + 1;
    });
    return rows;
}

int lzw_unpack_visible(PACKFILE *stream, int width, int height,
                       bool interlaced, int visible_width,
                       int visible_height, BITMAP **kept)
{
    *kept = nullptr;
    const int rows = visible_width > 0 && visible_width <= width
                         ? gif_rows_to_decode(height, interlaced,
                                              visible_height)
                         : 0;
    if (rows == 0)
        return lzw_unpack_frame(stream, nullptr);

    // The rows up to the last one kept are a prefix of the image's data,
    // which the decoder writes in order and needs whole to copy strings
    // from; every later pixel is dropped as if beyond the image.
    BITMAP *decoded = create_bitmap_ex(GIF_INDEX_DEPTH, width, rows);
    if (!decoded)
        return gif_out_of_memory(width, rows);
    clear_bitmap(decoded);
    int rc = lzw_unpack_frame(stream, decoded);
    BITMAP *part = nullptr;
    if (rc == GIF_OK) {
        part = create_bitmap_ex(GIF_INDEX_DEPTH, visible_width, visible_height);
        if (!part)
            rc = gif_out_of_memory(visible_width, visible_height);
    }
    if (rc == GIF_OK) {
        auto keep_row = [&](int source_row, int row) {
            if (source_row < rows && row < visible_height)
                std::memcpy(part->line[row], decoded->line[source_row],
                            size_t(visible_width));
        };
        if (interlaced)
            for_each_interlaced_row(height, keep_row);
        else
            for (int row = 0; row < visible_height; ++row)
                keep_row(row, row);
        *kept = part;
    }
    destroy_bitmap(decoded);
    return rc;
}

int gif_read_frame_pixels(PACKFILE *stream, const GifDocument *doc, int left,
                          int top, int width, int height, bool interlaced,
                          int64_t room, BITMAP **image, int64_t *held)
{
    *image = nullptr;
    *held = 0;
    const int64_t whole = int64_t(width) * height;
    // Reordering an interlaced image needs a copy of it for a while.
    if (whole * (interlaced ? 2 : 1) <= room) {
        *image = create_bitmap_ex(GIF_INDEX_DEPTH, width, height);
        if (!*image)
            return gif_out_of_memory(width, height);
        clear_bitmap(*image);
        *held = whole;
        int rc = lzw_unpack_frame(stream, *image);
        if (rc == GIF_OK && interlaced)
            rc = gif_reorder_interlaced(*image);
        return rc;
    }
    // Frames start on the screen's edge or beyond it, never before it.
    const int visible_width = int(std::clamp<int64_t>(
        int64_t(doc->screen_width) - left, 0, width));
    const int visible_height = int(std::clamp<int64_t>(
        int64_t(doc->screen_height) - top, 0, height));
    const int64_t kept = int64_t(visible_width) * visible_height;
    const int64_t decoded =
        kept > 0 ? int64_t(width) *
                       gif_rows_to_decode(height, interlaced, visible_height)
                 : 0;
    if (kept + decoded > room)
        return gif_over_bound(doc);
    *held = kept;
    return lzw_unpack_visible(stream, width, height, interlaced,
                              visible_width, visible_height, image);
}
