// The page and its script, from page/ (embedded at build time).
#ifndef WEB_WEB_PAGE_H
#define WEB_WEB_PAGE_H

extern const char WEB_PAGE_HTML[];
extern const char WEB_VIEW_SCRIPT[];
extern const char WEB_FOLLOW_SCRIPT[];

#endif
