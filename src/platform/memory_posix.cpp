#include "platform/memory.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace telva::platform {

void ReleaseFreeMemory() noexcept {
#if defined(__GLIBC__)
    // glibc keeps freed blocks of the main heap (and raises its mmap threshold after large frees), so the
    // memory of a large run would stay resident until the next one without this.
    malloc_trim(0);
#endif
}

} // namespace telva::platform
