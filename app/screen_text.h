// Text and colours in the program's window. The library's dialog text
// reads '&' as the mark of a shortcut and its colours follow the global
// colour depth, which the compose changes around each tile load; what is
// drawn here takes neither: paths are shown as they are, in colours made
// for the screen's own depth.
#ifndef APP_SCREEN_TEXT_H
#define APP_SCREEN_TEXT_H

#include <allegro.h>

#include <string>
#include <vector>

// A colour for a bitmap of bmp's depth (the screen when null).
int colour_for(BITMAP *bmp, int r, int g, int b);

// text with what the font cannot show replaced by '?': each byte of a
// sequence that is not UTF-8, control characters, and letters outside
// the font's ranges. Everything else is kept as it is.
std::string showable_text(const std::string &text);

// The number of characters of UTF-8 text.
size_t character_count(const std::string &text);

// The first count characters of UTF-8 text.
std::string first_characters(const std::string &text, size_t count);

// Cuts UTF-8 text at its line ends and then every columns characters.
std::vector<std::string> wrap_lines(const std::string &text, size_t columns);

// text of at most count characters: when longer, its middle is given up
// for "...", keeping its start and its end.
std::string shortened(const std::string &text, size_t count);

// A dialog object that draws its dp text as it is, with no markup, in
// fg on bg; with a width, it clears that width first, so that a shorter
// text leaves nothing of a longer one.
int plain_text_proc(int msg, DIALOG *d, int c);

#endif
