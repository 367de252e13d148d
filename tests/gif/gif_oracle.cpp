#include "gif_oracle.h"

#include <algorithm>

LzwStrings::LzwStrings(int root_width)
    : root_width_(root_width),
      clear_(1 << root_width),
      end_(clear_ + 1),
      next_(clear_ + 2),
      width_(root_width + 1),
      prev_(clear_),
      prefix_(LZW_TABLE_SIZE, 0),
      last_(LZW_TABLE_SIZE, 0),
      depth_(LZW_TABLE_SIZE, 0)
{
    for (int i = 0; i <= end_ && i < LZW_TABLE_SIZE; ++i)
        last_[i] = i;
}

LzwStrings::Step LzwStrings::take(int code, std::vector<int> *pixels)
{
    pixels->clear();
    if (code == clear_) {
        width_ = root_width_ + 1;
        next_ = clear_ + 2;
        prev_ = clear_;
        return CLEAR;
    }
    if (code == end_)
        return END;
    // The start of the data counts as a clear code: no entry comes of the
    // first code, and it cannot name the entry about to be added.
    int w;
    if (code < next_)
        w = code;
    else if (code == next_ && prev_ != clear_)
        w = prev_;
    else
        return NO_STRING;
    for (int c = w;; c = prefix_[c]) {
        pixels->push_back(last_[c]);
        if (depth_[c] == 0)
            break;
    }
    std::reverse(pixels->begin(), pixels->end());
    const int first = pixels->front();
    if (code != w)
        pixels->push_back(first);
    if (prev_ != clear_ && next_ < LZW_TABLE_SIZE) {
        prefix_[next_] = prev_;
        last_[next_] = first;
        depth_[next_] = depth_[prev_] + 1;
        ++next_;
    }
    if (next_ >= (1 << width_) && width_ < LZW_MAX_CODE_WIDTH)
        ++width_;
    prev_ = code;
    return STRING;
}

CodeTrace trace_codes(int root_width, const std::string &payload)
{
    CodeTrace t;
    LzwStrings strings(root_width);
    std::vector<int> pixels;
    size_t pos = 0;
    const size_t total = payload.size() * BITS_PER_BYTE;
    while (pos + size_t(strings.width()) <= total) {
        const int width = strings.width();
        int code = 0;
        for (int k = 0; k < width; ++k, ++pos)
            if (uint8_t(payload[pos / BITS_PER_BYTE]) &
                (1 << (pos % BITS_PER_BYTE)))
                code |= 1 << k;
        t.codes.push_back(code);
        t.widths.push_back(width);
        const LzwStrings::Step step = strings.take(code, &pixels);
        if (step == LzwStrings::END)
            t.ended = true;
        if (step == LzwStrings::END || step == LzwStrings::NO_STRING)
            break;
        t.pixels.insert(t.pixels.end(), pixels.begin(), pixels.end());
    }
    t.bits_used = pos;
    return t;
}

int lzw_get_bits(PACKFILE *stream, unsigned char *buffer, int *bit_pos, int n)
{
    int code = 0;
    for (int k = 0; k < n; ++k) {
        int b = (*bit_pos / BITS_PER_BYTE) % LZW_BUFFER_SIZE;
        if (b == 0) {
            // The sub-block is used up: load the next one into the end of
            // the buffer, so that its last byte sits at the buffer's end.
            int length = pack_getc(stream);
            if (length == EOF)
                return GIF_TRUNCATED;
            if (length == 0)
                return GIF_FAILED;
            b = LZW_BUFFER_SIZE - length;
            if (pack_fread(buffer + b, length, stream) != length)
                return GIF_TRUNCATED;
            *bit_pos = b * BITS_PER_BYTE;
        }
        int bit = (buffer[b] >> (*bit_pos % BITS_PER_BYTE)) & 1;
        code |= bit << k;
        ++*bit_pos;
    }
    return code;
}

void set_pixel_at(BITMAP *bitmap, int64_t i, int value)
{
    if (!bitmap || i < 0)
        return;
    const int64_t width = bitmap->w;
    if (width <= 0 || i >= width * bitmap->h)
        return;
    const int64_t row = i / width;
    bitmap->line[row][i - row * width] = static_cast<unsigned char>(value);
}

int oracle_unpack_frame(PACKFILE *stream, BITMAP *image)
{
    const int root_width = pack_getc(stream);
    if (root_width == EOF)
        return GIF_TRUNCATED;
    if (root_width > LZW_MAX_ROOT_WIDTH)
        return GIF_FAILED;
    LzwStrings strings(root_width);
    std::vector<int> pixels;
    unsigned char buffer[LZW_BUFFER_SIZE];
    int bit_pos = 0;
    int64_t p = 0;
    for (;;) {
        const int code =
            lzw_get_bits(stream, buffer, &bit_pos, strings.width());
        if (code < 0)
            return code;
        switch (strings.take(code, &pixels)) {
        case LzwStrings::END:
            return GIF_OK;
        case LzwStrings::NO_STRING:
            return GIF_FAILED;
        default:
            for (int v : pixels)
                set_pixel_at(image, p++, v);
        }
    }
}

namespace {

// The part of the rectangle at (x, y) of size w x h that lies on the
// logical screen placed at (sx, sy) and on dest; false if none.
bool on_screen(const GifDocument *doc, const BITMAP *dest, int sx, int sy,
               int64_t x, int64_t y, int64_t w, int64_t h, int *x0, int *y0,
               int *x1, int *y1)
{
    *x0 = int(std::max<int64_t>({x, sx, 0}));
    *y0 = int(std::max<int64_t>({y, sy, 0}));
    *x1 = int(std::min<int64_t>({x + w, int64_t(sx) + doc->screen_width,
                                 dest->w}));
    *y1 = int(std::min<int64_t>({y + h, int64_t(sy) + doc->screen_height,
                                 dest->h}));
    return *x1 > *x0 && *y1 > *y0;
}

bool frame_on_screen(const GifDocument *doc, const BITMAP *dest, int x,
                     int y, const GifFrameRecord &f, int *x0, int *y0,
                     int *x1, int *y1)
{
    return f.image && on_screen(doc, dest, x, y, int64_t(x) + f.left,
                                int64_t(y) + f.top, f.image->w, f.image->h,
                                x0, y0, x1, y1);
}

// A drawn pixel at depth; at 32 bits its alpha byte says it was drawn.
int oracle_colour(int depth, int r, int g, int b)
{
    return depth == 32 ? makeacol32(r, g, b, 255)
                       : makecol_depth(depth, r, g, b);
}

}  // namespace

void oracle_draw_frame(GifDocument *doc, BITMAP *dest, int index, int x,
                       int y)
{
    if (!doc || !dest || index < 0 || index >= doc->frame_count)
        return;
    const int mask = bitmap_mask_color(dest);
    int x0, y0, x1, y1;
    if (index == 0) {
        if (on_screen(doc, dest, x, y, x, y, doc->screen_width,
                      doc->screen_height, &x0, &y0, &x1, &y1))
            rectfill(dest, x0, y0, x1 - 1, y1 - 1, mask);
    } else {
        const GifFrameRecord &before = doc->frame_list[index - 1];
        const bool shown =
            frame_on_screen(doc, dest, x, y, before, &x0, &y0, &x1, &y1);
        if (before.disposal == GIF_DISPOSE_TO_BACKGROUND && shown)
            rectfill(dest, x0, y0, x1 - 1, y1 - 1, mask);
        if (before.disposal == GIF_DISPOSE_TO_PREVIOUS && doc->saved_area) {
            if (shown)
                blit(doc->saved_area, dest, 0, 0, x0, y0, x1 - x0, y1 - y0);
            destroy_bitmap(doc->saved_area);
            doc->saved_area = nullptr;
        }
    }
    const GifFrameRecord &f = doc->frame_list[index];
    if (f.disposal == GIF_DISPOSE_TO_PREVIOUS) {
        if (doc->saved_area)
            destroy_bitmap(doc->saved_area);
        doc->saved_area = nullptr;
        if (frame_on_screen(doc, dest, x, y, f, &x0, &y0, &x1, &y1)) {
            doc->saved_area = create_bitmap_ex(bitmap_color_depth(dest),
                                               x1 - x0, y1 - y0);
            blit(dest, doc->saved_area, x0, y0, 0, 0, x1 - x0, y1 - y0);
        }
    }
    if (!frame_on_screen(doc, dest, x, y, f, &x0, &y0, &x1, &y1))
        return;
    const GifColorTable &table =
        f.local_table.count != 0 ? f.local_table : doc->global_table;
    const int depth = bitmap_color_depth(dest);
    for (int row = 0; row < f.image->h; ++row) {
        for (int col = 0; col < f.image->w; ++col) {
            const int v = getpixel(f.image, col, row);
            const int px = x + f.left + col, py = y + f.top + row;
            if (v == f.transparent_idx || px < x0 || px >= x1 || py < y0 ||
                py >= y1)
                continue;
            const RGB &e = table.entries[v];
            putpixel(dest, px, py,
                     v < table.count ? oracle_colour(depth, e.r, e.g, e.b)
                                     : oracle_colour(depth, 0, 0, 0));
        }
    }
}

BITMAP *oracle_load(const std::string &path, RGB *pal)
{
    GifDocument *doc = gif_open_document(path.c_str());
    if (!doc)
        return nullptr;
    if (doc->frame_count == 0 || doc->screen_width <= 0 ||
        doc->screen_height <= 0) {
        gif_free_document(doc);
        return nullptr;
    }
    const GifColorTable &source = doc->global_table.count != 0
                                      ? doc->global_table
                                      : doc->frame_list[0].local_table;
    for (int i = 0; i < PAL_SIZE; ++i) {
        const RGB &e = source.entries[i];
        const bool used = i < source.count;
        pal[i].r = used ? e.r >> 2 : 0;
        pal[i].g = used ? e.g >> 2 : 0;
        pal[i].b = used ? e.b >> 2 : 0;
    }
    BITMAP *bmp = create_bitmap(doc->screen_width, doc->screen_height);
    if (bmp) {
        select_palette(pal);
        for (int i = 0; i < doc->frame_count; ++i)
            oracle_draw_frame(doc, bmp, i, 0, 0);
        unselect_palette();
    }
    gif_free_document(doc);
    return bmp;
}
