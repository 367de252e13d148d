// Drawing a document's frames onto bitmaps, with disposal and
// transparency, and the registry loader built on it.
#include "gif_reader_internal.h"

#include <allegro/internal/aintern.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "colour_depth.h"

namespace {

const int OPAQUE_ALPHA = 255;

// A rectangle of a destination bitmap.
struct Area {
    int x, y, w, h;
};

// The part of the rectangle at (x + left, y + top) of dest that lies on
// both the logical screen (placed at (x, y)) and dest; false if none.
bool visible_area(const GifDocument *doc, const BITMAP *dest, int x, int y,
                  int64_t left, int64_t top, int64_t w, int64_t h, Area *area)
{
    const int64_t x0 = std::max<int64_t>({x + left, x, 0});
    const int64_t y0 = std::max<int64_t>({y + top, y, 0});
    const int64_t x1 = std::min<int64_t>(
        {x + left + w, int64_t(x) + doc->screen_width, dest->w});
    const int64_t y1 = std::min<int64_t>(
        {y + top + h, int64_t(y) + doc->screen_height, dest->h});
    if (x1 <= x0 || y1 <= y0)
        return false;
    *area = {int(x0), int(y0), int(x1 - x0), int(y1 - y0)};
    return true;
}

bool frame_area(const GifDocument *doc, const BITMAP *dest, int x, int y,
                const GifFrameRecord *frame, Area *area)
{
    if (!frame->image)
        return false;
    return visible_area(doc, dest, x, y, frame->left, frame->top,
                        frame->image->w, frame->image->h, area);
}

void fill_area(BITMAP *dest, const Area &area, int colour)
{
    rectfill(dest, area.x, area.y, area.x + area.w - 1, area.y + area.h - 1,
             colour);
}

void drop_saved_area(GifDocument *doc)
{
    if (doc->saved_area)
        destroy_bitmap(doc->saved_area);
    doc->saved_area = nullptr;
}

// Carries out the disposal of a frame drawn before.
void dispose_frame(GifDocument *doc, BITMAP *dest, int x, int y,
                   const GifFrameRecord *frame)
{
    Area area;
    if (frame->disposal == GIF_DISPOSE_TO_BACKGROUND) {
        if (frame_area(doc, dest, x, y, frame, &area))
            fill_area(dest, area, bitmap_mask_color(dest));
    } else if (frame->disposal == GIF_DISPOSE_TO_PREVIOUS &&
               doc->saved_area) {
        if (frame_area(doc, dest, x, y, frame, &area))
            blit(doc->saved_area, dest, 0, 0, area.x, area.y, area.w, area.h);
        drop_saved_area(doc);
    }
}

// Keeps what the frame is about to cover, for its disposal to put back.
void save_area(GifDocument *doc, BITMAP *dest, int x, int y,
               const GifFrameRecord *frame)
{
    drop_saved_area(doc);
    Area area;
    if (!frame_area(doc, dest, x, y, frame, &area))
        return;
    doc->saved_area =
        create_bitmap_ex(bitmap_color_depth(dest), area.w, area.h);
    if (doc->saved_area)
        blit(dest, doc->saved_area, area.x, area.y, 0, 0, area.w, area.h);
}

// Draws the frame's pixels in area through the library, one getpixel and
// putpixel a pixel: the form for any destination.
void draw_pixels_plain(BITMAP *dest, const Area &area, BITMAP *image,
                       int first_col, int first_row, int transparent,
                       const int *colours)
{
    for (int row = 0; row < area.h; ++row) {
        for (int col = 0; col < area.w; ++col) {
            int v = _getpixel(image, first_col + col, first_row + row);
            if (v != transparent)
                putpixel(dest, area.x + col, area.y + row, colours[v]);
        }
    }
}

// Stores colour at pixel x of a row of a memory bitmap, as putpixel does
// at that depth in solid mode.
template <int BYTES>
inline void store_pixel(unsigned char *row, int x, int colour)
{
    if (BYTES == 1) {
        row[x] = static_cast<unsigned char>(colour);
    } else if (BYTES == 2) {
        const uint16_t c = static_cast<uint16_t>(colour);
        std::memcpy(row + 2 * x, &c, sizeof c);
    } else if (BYTES == 3) {
        unsigned char *p = row + 3 * x;
        p[0] = static_cast<unsigned char>(colour);
        p[1] = static_cast<unsigned char>(colour >> 8);
        p[2] = static_cast<unsigned char>(colour >> 16);
    } else {
        const uint32_t c = static_cast<uint32_t>(colour);
        std::memcpy(row + 4 * x, &c, sizeof c);
    }
}

// The same drawing through the rows' memory, for a memory bitmap of BYTES
// bytes a pixel; area must lie inside dest's clipping rectangle.
template <int BYTES>
void draw_rows(BITMAP *dest, const Area &area, BITMAP *image, int first_col,
               int first_row, int transparent, const int *colours)
{
    for (int row = 0; row < area.h; ++row) {
        const unsigned char *src = image->line[first_row + row] + first_col;
        unsigned char *out = dest->line[area.y + row] + area.x * BYTES;
        if (transparent < 0 || transparent >= GIF_TABLE_SIZE) {
            for (int col = 0; col < area.w; ++col)
                store_pixel<BYTES>(out, col, colours[src[col]]);
        } else {
            for (int col = 0; col < area.w; ++col) {
                if (src[col] != transparent)
                    store_pixel<BYTES>(out, col, colours[src[col]]);
            }
        }
    }
}

// Bytes a pixel of a destination that the row drawing serves, or 0 where
// only the library's putpixel will do (video and system bitmaps, drawing
// modes other than solid, depths not handled here).
int fast_pixel_bytes(BITMAP *dest, BITMAP *image)
{
    if (!is_memory_bitmap(dest) ||
        !is_memory_bitmap(image) || _drawing_mode != DRAW_MODE_SOLID)
        return 0;
    switch (bitmap_color_depth(dest)) {
    case 8:
        return 1;
    case 15:
    case 16:
        return 2;
    case 24:
        return 3;
    case 32:
        return 4;
    default:
        return 0;
    }
}

// The part of area inside dest's clipping rectangle, where putpixel draws;
// false if none.
bool clip_area(const BITMAP *dest, Area *area)
{
    if (!dest->clip)
        return true;
    const int x0 = std::max(area->x, dest->cl);
    const int y0 = std::max(area->y, dest->ct);
    const int x1 = std::min(area->x + area->w, dest->cr);
    const int y1 = std::min(area->y + area->h, dest->cb);
    if (x1 <= x0 || y1 <= y0)
        return false;
    *area = {x0, y0, x1 - x0, y1 - y0};
    return true;
}

// A drawn pixel's colour at depth. At 32 bits it is marked opaque in the
// alpha byte, so that a reader tells drawn pixels, even pure magenta ones,
// from the mask colour (alpha 0) where nothing or a transparent index was
// drawn.
int drawn_colour(int depth, int r, int g, int b)
{
    if (depth == TRUECOLOR_32)
        return makeacol32(r, g, b, OPAQUE_ALPHA);
    return makecol_depth(depth, r, g, b);
}

void draw_pixels(const GifDocument *doc, BITMAP *dest, int x, int y,
                 const GifFrameRecord *frame)
{
    Area area;
    if (!frame_area(doc, dest, x, y, frame, &area))
        return;
    const GifColorTable *table =
        frame->local_table.count != 0 ? &frame->local_table : &doc->global_table;
    const int count = std::clamp(table->count, 0, GIF_TABLE_SIZE);

    // One colour a table entry for the whole frame; indices beyond the
    // table draw black (missing-colours).
    const int depth = bitmap_color_depth(dest);
    int colours[GIF_TABLE_SIZE];
    for (int i = 0; i < GIF_TABLE_SIZE; ++i) {
        const RGB &e = table->entries[i];
        colours[i] = i < count ? drawn_colour(depth, e.r, e.g, e.b)
                               : drawn_colour(depth, 0, 0, 0);
    }

    BITMAP *image = frame->image;
    const int bytes = fast_pixel_bytes(dest, image);
    if (bytes != 0 && !clip_area(dest, &area))
        return;
    const int first_col = int(area.x - (int64_t(x) + frame->left));
    const int first_row = int(area.y - (int64_t(y) + frame->top));
    const int t = frame->transparent_idx;
    switch (bytes) {
    case 0:
        draw_pixels_plain(dest, area, image, first_col, first_row, t, colours);
        break;
    case 1:
        draw_rows<1>(dest, area, image, first_col, first_row, t, colours);
        break;
    case 2:
        draw_rows<2>(dest, area, image, first_col, first_row, t, colours);
        break;
    case 3:
        draw_rows<3>(dest, area, image, first_col, first_row, t, colours);
        break;
    default:
        draw_rows<4>(dest, area, image, first_col, first_row, t, colours);
        break;
    }
}

// The palette that the loader reports: the global table, else the first
// frame's local table, in the library's 6-bit components.
void fill_palette(const GifDocument *doc, RGB *pal)
{
    const GifColorTable *source = doc->global_table.count != 0
                                      ? &doc->global_table
                                      : &doc->frame_list[0].local_table;
    const int count = std::clamp(source->count, 0, GIF_TABLE_SIZE);
    for (int i = 0; i < GIF_TABLE_SIZE; ++i) {
        const RGB &e = source->entries[i];
        bool used = i < count;
        pal[i].r = used ? e.r >> PALETTE_COMPONENT_SHIFT : 0;
        pal[i].g = used ? e.g >> PALETTE_COMPONENT_SHIFT : 0;
        pal[i].b = used ? e.b >> PALETTE_COMPONENT_SHIFT : 0;
    }
}

// A file without images, or a screen of width or height 0, cannot become
// a bitmap (gif_fail says so).
bool has_drawable_screen(const GifDocument *doc)
{
    if (doc->frame_count == 0) {
        gif_fail("the file holds no image");
        return false;
    }
    if (doc->screen_width == 0 || doc->screen_height == 0) {
        gif_fail("its screen of %d x %d pixels is empty", doc->screen_width,
                 doc->screen_height);
        return false;
    }
    return true;
}

}  // namespace

void gif_draw_frame(GifDocument *doc, BITMAP *dest, int index, int x, int y)
{
    if (!doc || !dest || index < 0 || index >= doc->frame_count ||
        !doc->frame_list)
        return;
    if (index == 0) {   // background
        Area screen;
        if (visible_area(doc, dest, x, y, 0, 0, doc->screen_width,
                         doc->screen_height, &screen))
            fill_area(dest, screen, bitmap_mask_color(dest));
    } else {
        dispose_frame(doc, dest, x, y, &doc->frame_list[index - 1]);
    }
    const GifFrameRecord *frame = &doc->frame_list[index];
    if (frame->disposal == GIF_DISPOSE_TO_PREVIOUS)
        save_area(doc, dest, x, y, frame);
    draw_pixels(doc, dest, x, y, frame);
}

BITMAP *gif_bitmap_loader(const char *filename, RGB *pal)
{
    GifDocument *doc = gif_open_document(filename);
    if (!doc)
        return nullptr;
    if (!has_drawable_screen(doc)) {
        gif_free_document(doc);
        return nullptr;
    }
    PALETTE own_palette;
    if (!pal)
        pal = own_palette;
    fill_palette(doc, pal);

    BITMAP *result = create_bitmap(doc->screen_width, doc->screen_height);
    if (result) {
        select_palette(pal);
        for (int i = 0; i < doc->frame_count; ++i)
            gif_draw_frame(doc, result, i, 0, 0);
        unselect_palette();
    } else {
        gif_out_of_memory(doc->screen_width, doc->screen_height);
    }
    gif_free_document(doc);
    return result;
}

int gif_read_frames(const char *filename, BITMAP ***frames, int **delays)
{
    if (!frames)
        return 0;
    *frames = nullptr;
    if (delays)
        *delays = nullptr;
    GifDocument *doc = gif_open_document(filename);
    if (!doc)
        return 0;
    const int n = doc->frame_count;
    BITMAP **list = nullptr;
    int *times = nullptr;
    const bool drawable = has_drawable_screen(doc);
    bool ok = drawable;
    if (ok) {
        list = static_cast<BITMAP **>(std::calloc(n, sizeof(BITMAP *)));
        times = delays ? static_cast<int *>(std::calloc(n, sizeof(int)))
                       : nullptr;
        ok = list && (times || !delays);
    }
    for (int i = 0; ok && i < n; ++i) {
        list[i] = create_bitmap(doc->screen_width, doc->screen_height);
        if (!list[i]) {
            ok = false;
            break;
        }
        if (i > 0)
            blit(list[i - 1], list[i], 0, 0, 0, 0, list[i]->w, list[i]->h);
        gif_draw_frame(doc, list[i], i, 0, 0);
        if (times)
            times[i] = doc->frame_list[i].delay;
    }
    if (!ok && drawable)
        gif_out_of_memory(doc->screen_width, doc->screen_height);
    gif_free_document(doc);
    if (!ok) {
        for (int i = 0; list && i < n; ++i) {
            if (list[i])
                destroy_bitmap(list[i]);
        }
        std::free(list);
        std::free(times);
        return 0;
    }
    *frames = list;
    if (delays)
        *delays = times;
    return n;
}
