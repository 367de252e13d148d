// The application-data folders of the Windows programs that run under Wine
// or Steam's Proton on this machine: in each Wine prefix,
// drive_c/users/<user>/AppData/Roaming.
#ifndef PLATFORM_WINE_PREFIXES_H
#define PLATFORM_WINE_PREFIXES_H

#include <string>
#include <vector>

// Those folders of $WINEPREFIX (when it is an absolute path), of ~/.wine
// and of every Proton prefix (steamapps/compatdata/<app>/pfx) of every
// Steam library of the user's: each existing folder once, by its
// canonical path, in that order; users and apps in the order of their
// names. None where no home folder is known.
std::vector<std::string> wine_appdata_folders();

#endif
