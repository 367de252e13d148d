// The page and its scripts, from page/ (built into the program).
#ifndef WEB_PAGE_TEXT_H
#define WEB_PAGE_TEXT_H

extern const char WEB_PAGE_HTML[];
extern const char WEB_VIEW_SCRIPT[];
extern const char WEB_FOLLOW_SCRIPT[];

#endif
