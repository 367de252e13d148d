// Single web tiles encoded in the calling thread, byte for byte as
// libvips's savers write the tiles of the full cut. Through libvips each
// tile is handed to its worker and write-behind threads and back; on a
// busy machine every hand-over waits for a processor, which made most of
// a watched tile's latency.
#ifndef WEB_TILE_ENCODE_H
#define WEB_TILE_ENCODE_H

#include <string>
#include <vector>

// Encodes WEB_TILE_SIZE squared RGB pixels as a tile of tile_ext ("png"
// or "jpg") into *bytes. False with the library's reason in *why.
bool encode_web_tile(const std::vector<unsigned char> &rgb, const std::string &tile_ext,
                     std::string *bytes, std::string *why);

#endif
