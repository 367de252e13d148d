// Drawing a document's frames onto bitmaps, with disposal and
// transparency, and the registry loader built on it.
#include "gif_reader_internal.h"

#include <algorithm>
#include <cstdlib>

namespace {

const int DISPOSE_TO_BACKGROUND = 2;
const int DISPOSE_TO_PREVIOUS = 3;
const int RGB_TO_6_BITS = 2;

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
    if (frame->disposal == DISPOSE_TO_BACKGROUND) {
        if (frame_area(doc, dest, x, y, frame, &area))
            fill_area(dest, area, bitmap_mask_color(dest));
    } else if (frame->disposal == DISPOSE_TO_PREVIOUS && doc->saved_area) {
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

void draw_pixels(const GifDocument *doc, BITMAP *dest, int x, int y,
                 const GifFrameRecord *frame)
{
    Area area;
    if (!frame_area(doc, dest, x, y, frame, &area))
        return;
    const GifColorTable *table =
        frame->local_table.count != 0 ? &frame->local_table : &doc->global_table;
    const int count = std::clamp(table->count, 0, GIF_TABLE_SIZE);

    // Indices beyond the table draw black.
    const int depth = bitmap_color_depth(dest);
    int colours[GIF_TABLE_SIZE];
    for (int i = 0; i < GIF_TABLE_SIZE; ++i) {
        const RGB &e = table->entries[i];
        colours[i] = i < count ? makecol_depth(depth, e.r, e.g, e.b)
                               : makecol_depth(depth, 0, 0, 0);
    }

    BITMAP *image = frame->image;
    const int first_col = int(area.x - (int64_t(x) + frame->left));
    const int first_row = int(area.y - (int64_t(y) + frame->top));
    for (int row = 0; row < area.h; ++row) {
        for (int col = 0; col < area.w; ++col) {
            int v = _getpixel(image, first_col + col, first_row + row);
            if (v != frame->transparent_idx)
                putpixel(dest, area.x + col, area.y + row, colours[v]);
        }
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
        pal[i].r = used ? e.r >> RGB_TO_6_BITS : 0;
        pal[i].g = used ? e.g >> RGB_TO_6_BITS : 0;
        pal[i].b = used ? e.b >> RGB_TO_6_BITS : 0;
    }
}

bool has_drawable_screen(const GifDocument *doc)
{
    return doc->frame_count > 0 && doc->screen_width > 0 &&
           doc->screen_height > 0;
}

}  // namespace

void gif_draw_frame(GifDocument *doc, BITMAP *dest, int index, int x, int y)
{
    if (!doc || !dest || index < 0 || index >= doc->frame_count ||
        !doc->frame_list)
        return;
    if (index == 0) {
        Area screen;
        if (visible_area(doc, dest, x, y, 0, 0, doc->screen_width,
                         doc->screen_height, &screen))
            fill_area(dest, screen, bitmap_mask_color(dest));
    } else {
        dispose_frame(doc, dest, x, y, &doc->frame_list[index - 1]);
    }
    const GifFrameRecord *frame = &doc->frame_list[index];
    if (frame->disposal == DISPOSE_TO_PREVIOUS)
        save_area(doc, dest, x, y, frame);
    draw_pixels(doc, dest, x, y, frame);
}

BITMAP *gif_bitmap_loader(const char *filename, RGB *pal)
{
    GifDocument *doc = gif_open_document(filename);
    if (!doc)
        return nullptr;
    // A screen of width or height 0 cannot become a bitmap.
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
    bool ok = has_drawable_screen(doc);
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
