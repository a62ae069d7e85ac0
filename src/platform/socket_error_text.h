#pragma once
// Socket and resolver error codes as both builds report them: the Windows Sockets numbers, with the
// description texts the service writes to its log. POSIX builds map their errno and resolver codes onto
// these numbers so that both builds log the same lines.

#include <string>

namespace telva::platform {

inline constexpr int kWsaInterrupted = 10004;  // EINTR
inline constexpr int kWsaWouldBlock = 10035;   // EWOULDBLOCK / EAGAIN
inline constexpr int kWsaMessageSize = 10040;  // EMSGSIZE
inline constexpr int kWsaAddressInUse = 10048; // EADDRINUSE
inline constexpr int kWsaNetUnreachable = 10051;
inline constexpr int kWsaConnectionReset = 10054; // a refusal of an earlier datagram, on receive
inline constexpr int kWsaNoBufferSpace = 10055;
inline constexpr int kWsaTimedOut = 10060;
inline constexpr int kWsaConnectionRefused = 10061;
inline constexpr int kWsaHostUnreachable = 10065;
inline constexpr int kWsaHostNotFound = 11001;
inline constexpr int kWsaTryAgain = 11002;
inline constexpr int kWsaNoRecovery = 11003;
inline constexpr int kWsaNoData = 11004;

// The description of a code ("Host not found." for 11001); empty text for a code not in the table.
std::string SocketErrorText(int code);

// "Socket Error # <code>\r\n<description>".
std::string SocketErrorMessage(int code);

} // namespace telva::platform
