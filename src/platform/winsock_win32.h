#pragma once
// Windows only: Windows Sockets is started once for the process, the first time a socket facility needs it.

namespace telva::platform {

// Starts Windows Sockets 2.2 once; later calls do nothing. A failed start shows in the socket calls after it.
void EnsureWinsock();

} // namespace telva::platform
