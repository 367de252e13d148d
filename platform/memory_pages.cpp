#include "memory_pages.h"

#include <sys/mman.h>
#include <unistd.h>

void prefer_huge_pages(void *start_address, int64_t bytes)
{
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t start = reinterpret_cast<uintptr_t>(start_address);
    uintptr_t end = start + static_cast<uintptr_t>(bytes);
    start = (start + page - 1) & ~(page - 1);
    end &= ~(page - 1);
    if (end > start)
        madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
}
