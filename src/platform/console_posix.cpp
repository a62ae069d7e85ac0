#include "platform/console.h"

#include <atomic>
#include <csignal>

namespace telva::platform {
namespace {

std::atomic<bool> interrupt_noted{false};
std::atomic<Cutoff*> interrupt_cutoff{nullptr};
std::atomic<std::chrono::milliseconds::rep> interrupt_budget_ms{0};

// Only atomics and the steady clock (clock_gettime, safe in a signal handler).
void SetInterruptCutoff() {
    if (Cutoff* cutoff = interrupt_cutoff.load()) {
        cutoff->Set(SteadyClock::now() + std::chrono::milliseconds(interrupt_budget_ms.load()));
    }
}
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

void NoteInterrupt(int) {
    SetInterruptCutoff();
    interrupt_noted.store(true);
}

} // namespace

void PrepareConsoleOutput() {}

void CatchInterrupts(Cutoff* cutoff, std::chrono::milliseconds budget) {
    interrupt_budget_ms.store(budget.count());
    interrupt_cutoff.store(cutoff);
    struct sigaction action {};
    action.sa_handler = NoteInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool InterruptNoted() {
    return interrupt_noted.load();
}

} // namespace telva::platform
