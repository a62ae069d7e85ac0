#include "platform/memory.h"

#include <malloc.h>
#include <windows.h>

namespace telva::platform {

void PreferReturningMemory() noexcept {
    // The Windows heap serves large blocks from their own virtual allocations and frees them at once.
}

void ReleaseFreeMemory() noexcept {
    _heapmin();
    HeapCompact(GetProcessHeap(), 0);
}

} // namespace telva::platform
