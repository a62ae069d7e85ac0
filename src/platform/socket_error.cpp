#include "platform/socket_error_text.h"
#include "platform/tcp.h"

namespace telva::platform {

SocketError::SocketError(int code) : std::runtime_error(SocketErrorMessage(code)), code_(code) {}

} // namespace telva::platform
