#include "platform/tcp.h"

namespace telva::platform {

std::string SocketErrorText(int code) {
    const char* text = nullptr;
    switch (code) {
    case 10004:
        text = "Interrupted system call.";
        break;
    case 10013:
        text = "Permission denied.";
        break;
    case 10022:
        text = "Invalid argument.";
        break;
    case 10040:
        text = "Message too long.";
        break;
    case 10047:
        text = "Address family not supported by protocol family.";
        break;
    case 10048:
        text = "Address already in use.";
        break;
    case 10049:
        text = "Cannot assign requested address.";
        break;
    case 10050:
        text = "Network is down.";
        break;
    case 10051:
        text = "Network is unreachable.";
        break;
    case 10053:
        text = "Software caused connection abort.";
        break;
    case 10054:
        text = "Connection reset by peer.";
        break;
    case 10055:
        text = "No buffer space available.";
        break;
    case 10057:
        text = "Socket is not connected.";
        break;
    case kSocketTimedOut:
        text = "Connection timed out.";
        break;
    case 10061:
        text = "Connection refused.";
        break;
    case 10064:
        text = "Host is down.";
        break;
    case 10065:
        text = "No route to host.";
        break;
    case kSocketHostNotFound:
        text = "Host not found.";
        break;
    case 11002:
        text = "Non-authoritative host not found.";
        break;
    case 11003:
        text = "This is a non-recoverable error.";
        break;
    case 11004:
        text = "Valid name, no data record of requested type.";
        break;
    default:
        break;
    }
    std::string message = "Socket Error # " + std::to_string(code);
    if (text != nullptr) {
        message.append("\r\n").append(text);
    }
    return message;
}

SocketError::SocketError(int code) : std::runtime_error(SocketErrorText(code)), code_(code) {}

} // namespace telva::platform
