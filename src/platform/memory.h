#pragma once
// Giving memory the process no longer uses back to the system.

namespace telva::platform {

// Returns the heap's free memory to the system, so that a service resting between runs keeps only what it
// uses. Never fails; does nothing where the heap offers no such call.
void ReleaseFreeMemory() noexcept;

} // namespace telva::platform
