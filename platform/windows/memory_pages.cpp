// Windows gives large pages only to accounts holding the "Lock pages in
// memory" privilege, and only to memory allocated for them: the canvas
// keeps ordinary pages.
#include "memory_pages.h"

void prefer_huge_pages(void *, int64_t) {}
