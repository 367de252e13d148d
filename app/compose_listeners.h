// The program's one observer of the compositor (compose.h), which passes
// each call on to those that listen in this run: the progress window,
// which ignores what comes while it is not shown, the progress line on a
// terminal (terminal_line.h) and the web map.
#ifndef APP_COMPOSE_LISTENERS_H
#define APP_COMPOSE_LISTENERS_H

// Makes the program's observer the compositor's. With web_map, the web
// map (started before) is handed each level's canvas, with the tiles'
// format of the map's, and gives its room on the disk to a map that
// finds none.
void listen_to_compose(bool web_map);

#endif
