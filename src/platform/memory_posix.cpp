#include "platform/memory.h"

#include <cstdlib> // defines __GLIBC__ when the C library is glibc

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace telva::platform {

void PreferReturningMemory() noexcept {
#if defined(__GLIBC__)
    // glibc raises its mmap and trim thresholds after a large block is freed, so the next large blocks
    // come from a heap that keeps their pages. Fixed thresholds keep blocks from 128 KiB on in mappings
    // of their own, returned on free, and let the heap's top shrink.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    mallopt(M_TRIM_THRESHOLD, 128 * 1024);
#endif
}

void ReleaseFreeMemory() noexcept {
#if defined(__GLIBC__)
    // Freed blocks inside the heaps stay resident until trimmed.
    malloc_trim(0);
#endif
}

} // namespace telva::platform
