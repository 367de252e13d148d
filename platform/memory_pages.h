// Advice to the system on how to back large blocks of memory.
#ifndef PLATFORM_MEMORY_PAGES_H
#define PLATFORM_MEMORY_PAGES_H

#include <cstdint>

// Asks the system to back bytes at start with huge pages before they are
// first touched: faulting in a map of a hundred megabytes 4 KiB at a time
// cost more than filling and placing all of its pixels. Only advice:
// where the system has no such pages for us, nothing changes.
void prefer_huge_pages(void *start, int64_t bytes);

#endif
