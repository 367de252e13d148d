// Steam's library folders on this machine: where its games are installed,
// and with them the Wine prefixes (Proton's) of its Windows games.
#ifndef PLATFORM_STEAM_LIBRARIES_H
#define PLATFORM_STEAM_LIBRARIES_H

#include <string>
#include <vector>

// The library folders that the text of a libraryfolders.vdf names, in its
// order: every "path" value (the current format, a block per library)
// and the numbered values of the older format's top block. Keys are
// matched without regard to case, quotes and escapes are undone, comments
// and blanks of any kind skipped; damaged text gives what came before the
// damage.
std::vector<std::string> parse_library_folders(const std::string &vdf);

// Steam's installations in home (~/.steam/steam, ~/.local/share/Steam) and
// the libraries that their libraryfolders.vdf lists: each existing folder
// once, by its canonical path, installations first.
std::vector<std::string> steam_libraries(const std::string &home);

#endif
