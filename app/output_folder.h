// The folder that receives the maps, named on the command line: checked
// before any tile is read, then made the current folder, where the maps
// are written.
#ifndef APP_OUTPUT_FOLDER_H
#define APP_OUTPUT_FOLDER_H

#include <string>

// Checks that folder exists, is a folder and takes a private folder of
// the program's (one is made and removed again), and, when listed (the
// web map asks it), that it can be read; then makes it the current
// folder. Otherwise ends the process with exit code 1 after a message
// that names the folder and the system's reason.
void use_output_folder(const std::string &folder, bool listed);

#endif
