#pragma once
// Giving memory the process no longer uses back to the system.

namespace telva::platform {

// Sets the heap up so that large blocks go back to the system as soon as they are freed, rather than
// staying with the process after a large run. Called once, at program start, before any other thread.
void PreferReturningMemory() noexcept;

// Returns the heap's free memory to the system, so that a service resting between runs keeps only what it
// uses. Never fails; does nothing where the heap offers no such call.
void ReleaseFreeMemory() noexcept;

} // namespace telva::platform
