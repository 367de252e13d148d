// Which application-data folder a run reads its world from: the usual one
// (the shell's), the one the command line names, or, when the usual one
// lacks the world, the one of a Wine or Proton prefix that holds it.
#ifndef CHANGELIST_DATA_FOLDER_H
#define CHANGELIST_DATA_FOLDER_H

#include <string>

// Takes folder as the application-data folder of every later run: it
// must be a folder that holds the game's folder. A relative name is made
// absolute now, so that a later change of the current folder does not
// move it. Otherwise ends the process with exit code 1 after a message
// that names the folder and the system's reason. An empty folder goes
// back to the usual search.
void use_data_folder(const std::string &folder);

// Fills appdata_path with the folder that world world_number is read
// from: the one use_data_folder took; else the usual folder when it holds
// the world's folder; else the Wine or Proton application-data folder that
// holds it (of several, the one whose changed.txt changed last, the
// others named in a warning); else the usual folder. When that is not the
// usual folder one line on standard error says which is read. Ends the
// process with exit code 1 after a message when no usual folder is known.
void choose_data_folder(int world_number);

#endif
