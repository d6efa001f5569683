#include "hugepages.h"

#include <cstdint>
#include <sys/mman.h>

void CHugePages::advise(void *data, size_t length)
{
    constexpr std::uintptr_t hugePage = 2 * 1024 * 1024;
    const std::uintptr_t first = (std::uintptr_t(data) + hugePage - 1) & ~(hugePage - 1);
    const std::uintptr_t end = (std::uintptr_t(data) + length) & ~(hugePage - 1);
    // Only a hint: a system without transparent huge pages refuses it, and nothing changes.
    if (end > first)
        ::madvise(reinterpret_cast<void *>(first), end - first, MADV_HUGEPAGE);
}
