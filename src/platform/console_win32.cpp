#include "platform/console.h"

#include <windows.h>

#include <atomic>

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

BOOL WINAPI NoteInterrupt(DWORD) {
    SetInterruptCutoff();
    interrupt_noted.store(true);
    return TRUE; // handled: the process goes on and ends its work
}

} // namespace

void PrepareConsoleOutput() {
    SetConsoleOutputCP(CP_UTF8);
}

void CatchInterrupts(Cutoff* cutoff, std::chrono::milliseconds budget) {
    interrupt_budget_ms.store(budget.count());
    interrupt_cutoff.store(cutoff);
    SetConsoleCtrlHandler(NoteInterrupt, TRUE);
}

bool InterruptNoted() {
    return interrupt_noted.load();
}

} // namespace telva::platform
