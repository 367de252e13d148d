#include "screen_text.h"

#include <cstdint>

namespace {

const char REPLACEMENT = '?';
const char ELLIPSIS[] = "...";
const size_t ELLIPSIS_LENGTH = sizeof ELLIPSIS - 1;
const uint32_t DELETE = 0x7f;
const uint32_t LAST_C1_CONTROL = 0x9f;

// The length of the UTF-8 sequence at text[i] and its character in *c;
// 0 for a byte that starts no valid sequence (overlong forms and
// surrogates included).
size_t utf8_sequence(const std::string &text, size_t i, uint32_t *c)
{
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length;
    uint32_t lowest;
    if (lead < 0x80) {
        *c = lead;
        return 1;
    } else if ((lead & 0xe0) == 0xc0) {
        length = 2, lowest = 0x80, *c = lead & 0x1f;
    } else if ((lead & 0xf0) == 0xe0) {
        length = 3, lowest = 0x800, *c = lead & 0x0f;
    } else if ((lead & 0xf8) == 0xf0) {
        length = 4, lowest = 0x10000, *c = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        const unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xc0) != 0x80)
            return 0;
        *c = (*c << 6) | (next & 0x3f);
    }
    if (*c < lowest || *c > 0x10ffff || (*c >= 0xd800 && *c <= 0xdfff))
        return 0;
    return length;
}

bool in_font(uint32_t c)
{
    if (c < ' ' || c == DELETE || (c > DELETE && c <= LAST_C1_CONTROL))
        return false;
    if (!font)
        return true;
    for (int r = 0; r < get_font_ranges(font); ++r)
        if (static_cast<int>(c) >= get_font_range_begin(font, r) &&
            static_cast<int>(c) <= get_font_range_end(font, r))
            return true;
    return false;
}

// The byte where character number n of UTF-8 text starts (text.size()
// past the end); bytes that start no character count one each.
size_t character_offset(const std::string &text, size_t n)
{
    size_t i = 0;
    uint32_t c;
    for (; i < text.size() && n > 0; --n) {
        const size_t length = utf8_sequence(text, i, &c);
        i += length ? length : 1;
    }
    return i;
}

}  // namespace

int colour_for(BITMAP *bmp, int r, int g, int b)
{
    return makecol_depth(bitmap_color_depth(bmp ? bmp : screen), r, g, b);
}

std::string showable_text(const std::string &text)
{
    std::string shown;
    uint32_t c;
    for (size_t i = 0; i < text.size();) {
        const size_t length = utf8_sequence(text, i, &c);
        if (length == 0 || !in_font(c))
            shown += REPLACEMENT;
        else
            shown.append(text, i, length);
        i += length ? length : 1;
    }
    return shown;
}

size_t character_count(const std::string &text)
{
    size_t n = 0;
    uint32_t c;
    for (size_t i = 0; i < text.size(); ++n) {
        const size_t length = utf8_sequence(text, i, &c);
        i += length ? length : 1;
    }
    return n;
}

std::string first_characters(const std::string &text, size_t count)
{
    return text.substr(0, character_offset(text, count));
}

std::vector<std::string> wrap_lines(const std::string &text, size_t columns)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string rest = text.substr(start, end - start);
        if (rest.empty())
            lines.push_back("");
        while (!rest.empty()) {
            const size_t cut = character_offset(rest, columns);
            lines.push_back(rest.substr(0, cut));
            rest.erase(0, cut);
        }
        start = end + 1;
    }
    return lines;
}

std::string shortened(const std::string &text, size_t count)
{
    const size_t length = character_count(text);
    if (length <= count || count <= ELLIPSIS_LENGTH)
        return text;
    const size_t kept = count - ELLIPSIS_LENGTH;
    const size_t head = kept / 2;
    return first_characters(text, head) + ELLIPSIS +
           text.substr(character_offset(text, length - (kept - head)));
}

int plain_text_proc(int msg, DIALOG *d, int)
{
    if (msg != MSG_DRAW || !d->dp)
        return D_O_K;
    BITMAP *bmp = gui_get_screen();
    if (d->w > 0)
        rectfill(bmp, d->x, d->y, d->x + d->w - 1, d->y + text_height(font) - 1,
                 d->bg);
    textout_ex(bmp, font, static_cast<const char *>(d->dp), d->x, d->y, d->fg,
               d->bg);
    return D_O_K;
}
