#include "platform/console.h"

#include <atomic>
#include <csignal>

namespace telva::platform {
namespace {

std::atomic<bool> interrupt_noted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

void NoteInterrupt(int) {
    interrupt_noted.store(true);
}

} // namespace

void PrepareConsoleOutput() {}

void CatchInterrupts() {
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
