// Whether a map file that a saver wrote is whole: savers that ignore a
// failed write, such as the last one at close, report success for a cut
// file.
#ifndef COMPOSE_MAP_FILE_CHECK_H
#define COMPOSE_MAP_FILE_CHECK_H

// True when the file open at fd holds a whole image of the format that
// ext names (png, jpg or gif, case aside): a PNG up to its IEND chunk, a
// JPEG up to its end marker, a GIF up to its trailer. Files of other
// extensions are not checked and count as whole.
bool map_file_whole(int fd, const char *ext);

#endif
