// Palettes fitted to a truecolour bitmap (a GIF map or sample tile), so
// that the library's reduction of the bitmap to 8 bits (blit into an
// 8-bit bitmap, as the GIF saver does) keeps its colours.
#ifndef COMPOSE_MAP_PALETTE_H
#define COMPOSE_MAP_PALETTE_H

#include <allegro.h>

// Fills pal with colours for bmp and map with an RGB map for pal.
// A bitmap with at most 256 distinct colours (at the palette's 6 bits a
// component) gets each of them as an entry; one with more gets 256
// colours that share its pixels out between them (median cut).
// Returns true when blit's conversion should go through map (rgb_map =
// map), which then sends every colour of bmp to its own entry, or to the
// nearest when there are more than 256. Returns false when some colours
// of bmp lie too close together for the map's 5 bits a component: blit
// must then match each pixel against pal itself (rgb_map null), which is
// exact but slower; the colours are then at entries 1 to 255, since that
// search never picks entry 0.
bool fit_palette_to_bitmap(BITMAP *bmp, PALETTE pal, RGB_MAP *map);

// Fits a palette to bmp and makes it the current palette, with rgb_map set
// as fit_palette_to_bitmap advises, so that saving bmp through the current
// palette keeps its colours. An 8-bit bitmap already holds indices into
// the current palette: nothing changes then.
void select_fitted_palette(BITMAP *bmp);

#endif
