#include "platform/memory.h"

#include <malloc.h>
#include <windows.h>

namespace telva::platform {

void ReleaseFreeMemory() noexcept {
    _heapmin();
    HeapCompact(GetProcessHeap(), 0);
}

} // namespace telva::platform
