// Helpers shared by the tests: the graphics library without a display,
// scratch folders and whole-file reads and writes.
#ifndef TOOLS_TEST_SUPPORT_H
#define TOOLS_TEST_SUPPORT_H

#include <string>

// Starts the library without a display at 32-bit colour depth and
// registers the PNG and JPEG codecs. Safe to call more than once.
void start_allegro_headless();

// A new empty folder under the system's temporary folder ($TMPDIR, else
// /tmp), or under base when one is given.
std::string make_temp_dir(const char *base = nullptr);

// Where the tests that switch to another user make their folders: /tmp,
// which every user reaches, whatever $TMPDIR names.
extern const char OTHER_USERS_TEMP[];

// In a child that ends by exit: drops what it writes to standard output
// (a capture of it would leave its file behind).
void discard_stdout();

// Removes a folder and everything in it.
void remove_tree(const std::string &path);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);
bool file_exists(const std::string &path);

// Runs a shell command and returns its standard output; *status (if not
// null) receives the exit status.
std::string run_command(const std::string &command, int *status = nullptr);

// Makes /proc of this process an empty folder, in a mount namespace of
// its own; false where the system does not let us (not root). And
// whether it would, asked in a child.
bool hide_proc();
bool can_hide_proc();

// In a child process of a death test: sends what allegro_message prints
// (standard output without a display) to standard error, where the test
// reads it.
void messages_to_stderr();

#endif
