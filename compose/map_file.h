// The map rules: what each format needs of a map file, gathered in one
// place. The PNG codec's settings; the palette that a GIF map is reduced
// through; the check that a written file is whole; and how a map reaches
// the disk: a temporary file that only this process can reach, the save
// through the library's file-type registry (the only way the compositor
// reaches a codec), the check, a flush to the disk and the rename over
// the map; and, if the process is told to stop meanwhile, the removal of
// the temporary file (through the clean-ups of exit_signals.h). Implemented in map_file.cpp, map_file_check.cpp and
// map_palette.cpp.
#ifndef COMPOSE_MAP_FILE_H
#define COMPOSE_MAP_FILE_H

#include <allegro.h>

#include <string>

// zlib level at which PNG maps are written (see the README's performance
// notes for how it was chosen).
const int PNG_MAP_COMPRESSION = 1;

// Sets the PNG codec up for maps: tiles load with their stored pixel values
// (no gamma correction, so maps keep the tiles' colours exactly) and maps
// are written at PNG_MAP_COMPRESSION. Call after loadpng_init.
void configure_png_codec();

// Palettes fitted to a truecolour bitmap (a GIF map or sample tile), so
// that the library's reduction of the bitmap to 8 bits (blit into an
// 8-bit bitmap, as the GIF saver does) keeps its colours.
//
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

// True when the file open at fd holds a whole image of the format that
// ext names (png, jpg or gif, case aside): a PNG up to its IEND chunk, a
// JPEG up to its end marker, a GIF up to its trailer. Files of other
// extensions are not checked and count as whole. Savers that ignore a
// failed write, such as the last one at close, report success for a cut
// file.
bool map_file_whole(int fd, const char *ext);

// Writes canvas as the map name (a file name in the current folder whose
// extension picks the codec) and replaces any older map of that name
// only once the new file is whole and on the disk; the map gets mode 0666
// less the umask. A GIF map is reduced to a palette fitted to canvas,
// made the current palette. On failure the older map stays, nothing else
// is left behind, and *why (if not null) receives what went wrong with
// the system's reason, e.g. "writing map_zoom_0.part-…/map_zoom_0.png:
// No space left on device". Exit signals meanwhile end the process as
// catch_exit_signals says, with the temporary map removed. Removes the
// leftovers of earlier runs' saves in the current folder that nobody
// holds any more.
bool save_map(const std::string &name, BITMAP *canvas, std::string *why);

#endif
