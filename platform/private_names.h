// The names of private folders and the sweep of what killed runs left,
// shared by the parts of the private-output unit (not for other use).
#ifndef PLATFORM_PRIVATE_NAMES_H
#define PLATFORM_PRIVATE_NAMES_H

#include <string>

// <stem>.part-<digits>: a folder in use or left by a killed run, which
// holds a run lock. <stem>.old-<digits>: a whole tree on its way in or out
// of publication, or one whose removal was cut short.
extern const char PART_TAG[];
extern const char OLD_TAG[];

// name is <stem><tag><hex digits>. A stem that ends in a number stands
// for that stem with any number (map_zoom_0: map_zoom_12.part-… too).
bool is_private_name(const char *name, const std::string &stem, const char *tag);

// The stem of such a name (what comes before its tag), and the name with
// another tag.
std::string private_stem(const std::string &name);
std::string with_tag(const std::string &name, const char *tag);

// Removes from parent_fd the <stem>.part-* folders of the user whose run
// lock nobody holds, and the <stem>.old-* ones of the user whose lock (if
// any) nobody holds; an .old- folder that is_whole accepts is put back at
// stem instead when nothing is there. Only what was inspected is removed
// (device and inode). Returns "" or, for the first of them that stayed
// (a read-only sub-folder), its name and the system's reason.
std::string sweep_private_folders(int parent_fd, const std::string &stem,
                                  bool (*is_whole)(int fd));

#endif
