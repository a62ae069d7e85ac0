#pragma once
// POSIX builds only: errno values and getaddrinfo results as Windows Sockets codes (socket_error_text.h).
// Used by the POSIX socket facilities; the Windows build reports those codes itself.

namespace telva::platform {

// An errno value of a socket call as its Windows Sockets code; an errno without a counterpart is
// returned unchanged (it then has no description).
int SocketCodeFromErrno(int error_number);

// A getaddrinfo result (with the errno of the call for EAI_SYSTEM) as a Windows Sockets resolver code:
// a name that is not found is 11001.
int ResolverCodeFromGai(int gai_result, int error_number);

} // namespace telva::platform
