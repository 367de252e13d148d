// How a map file reaches the disk: the PNG codec's settings for maps and
// the safe save (a private temporary file, the save through the library's
// file-type registry, which is the only way the compositor reaches a
// codec, the check that the file is whole, a flush and the rename over
// the map; removed if the process is told to stop meanwhile).
#ifndef COMPOSE_MAP_FILE_H
#define COMPOSE_MAP_FILE_H

#include <string>

struct BITMAP;

// zlib level at which PNG maps are written (see the README's performance
// notes for how it was chosen).
const int PNG_MAP_COMPRESSION = 1;

// Sets the PNG codec up for maps: tiles load with their stored pixel values
// (no gamma correction, so maps keep the tiles' colours exactly) and maps
// are written at PNG_MAP_COMPRESSION. Call after loadpng_init.
void configure_png_codec();

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
