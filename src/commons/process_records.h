#pragma once
// The process-wide records shared by the handlers, the scheduler, the server client and the audit run.
// They are used only on the service thread, so they carry no locks.

#include <string>

namespace telva {

struct TAuditSettings {
    std::string ContractNumber; // "contrato"
    std::string ServerAddress;  // "endereco"
    std::string ScheduleTime;   // "horario", compared as text with the rendered local time
    std::string UserName;       // "user"
    std::string Password;       // "pass"
    std::string BaseUrl;        // server URL prefix ending in "/app/index.php/"
    std::string LocalIP;        // the machine's chosen IPv4 address, possibly empty
};

struct TApiSession {
    std::string SessionId; // empty while no session is held
    std::string Token;
};

extern TAuditSettings AuditSettings;
extern TApiSession ApiSession;
// Set when the process starts; the scheduler clears it just before each run.
extern bool RunNow;

} // namespace telva
