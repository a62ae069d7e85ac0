#include "platform/console.h"

#include <windows.h>

#include <atomic>

namespace telva::platform {
namespace {

std::atomic<bool> interrupt_noted{false};

BOOL WINAPI NoteInterrupt(DWORD) {
    interrupt_noted.store(true);
    return TRUE; // handled: the process goes on and ends its work
}

} // namespace

void PrepareConsoleOutput() {
    SetConsoleOutputCP(CP_UTF8);
}

void CatchInterrupts() {
    SetConsoleCtrlHandler(NoteInterrupt, TRUE);
}

bool InterruptNoted() {
    return interrupt_noted.load();
}

} // namespace telva::platform
