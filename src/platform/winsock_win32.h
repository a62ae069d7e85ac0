#pragma once
// Windows only: Windows Sockets is started once for the process, the first time a socket facility needs it,
// and stays started until the process ends.

namespace telva::platform {

// Starts Windows Sockets 2.2 once; later calls give the first call's result. 0 or the start-up's error code.
int EnsureWinsock();

} // namespace telva::platform
