// Program entry: creates the service object and hands control to the service shell.

#include "main.h"

#include <cstdlib>

namespace {

int RunProgram() {
    telva::TTELVA4Audit service;
    bool started = true;
    service.ServiceStart(started);
    return EXIT_SUCCESS;
}

} // namespace

#ifdef _WIN32
int wmain(int, wchar_t**) {
    return RunProgram();
}
#else
int main() {
    return RunProgram();
}
#endif
