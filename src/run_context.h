#pragma once
// Everything one audit run, the server calls and the schedule loop take from the world, in one object that
// is passed down instead of reached for: the settings in effect, the server session, the clock, the HTTP
// limits, the log and the SNMP timing. The service owns one for the process; tests build their own with a
// fake clock, short waits and a log of their choosing.

#include "clock.h"
#include "server/http_limits.h"
#include "server/proxy.h"
#include "snmp/snmp_timing.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace telva {

// The settings read from the settings file at start, and the two texts derived from them.
struct Settings {
    std::string contract_number; // "contrato"
    std::string server_address;  // "endereco"
    std::string schedule_time;   // "horario", compared as text with the rendered local time
    std::string user_name;       // "user"
    std::string password;        // "pass"
    std::string ca_file;         // "certificado", made absolute beside the executable; empty when not set
    std::string base_url;        // server URL prefix ending in "/app/index.php/"
    std::string local_address;   // the machine's chosen IPv4 address, possibly empty
    int parallel = 1;            // "paralelo": how many printers are read at the same time, 1 to 256
    // "conferir=1": each run logs the counters lower than the last accepted reading of the same printer.
    bool compare_counters = false;
    // "repetir": minutes after which a failed run is tried again, 1 to 720; 0: never.
    int retry_minutes = 0;
    ProxySetting proxy; // "proxy": the HTTP proxy of the server calls, if any
};

// A request to end the service that has come in while a run is going on.
enum class StopRequest { None, Stop, Shutdown };

// The current server login; both texts are empty while no session is held.
struct ServerSession {
    std::string session_id;
    std::string token;

    void Clear() {
        session_id.clear();
        token.clear();
    }
};

// Where the run's progress lines go: the daily log in the service.
class LogSink {
public:
    virtual ~LogSink() = default;
    // Writes one line. Never throws: a line that cannot be written is lost.
    virtual void Write(std::string_view message) noexcept = 0;
    // Writes a line the log keeps although it does not hold this time (the logout line after a logout the
    // server did not take): a sink that also shows its lines to a person leaves it out there.
    virtual void WriteUnshown(std::string_view message) noexcept { Write(message); }
};

// How long after a stop's arrival the run's remaining server calls may take (the stop cut-off).
inline constexpr std::chrono::milliseconds kStopServerCallsBudget{20000};

struct RunContext {
    RunContext(Clock& clock_in, LogSink& log_in) : clock(clock_in), log(log_in) {}

    Settings settings;
    ServerSession session;
    HttpLimits http_limits;
    SnmpTiming snmp;
    Clock& clock;
    LogSink& log;
    // The reading history's file (reading_history_file.h): the service's is in the state directory; empty
    // keeps no history (a run context of the tests, unless a test names a file of its own).
    std::string reading_history_path;
    // Set when a stop or shutdown has come: the moment by which the run's remaining server calls must be
    // done. Every server call's waits end by it (PrepareHttpClient).
    Cutoff stop_cutoff;
    // Whether a stop or shutdown is waiting for the service; asked between a run's printer queries, from
    // any of the threads that read printers, and never consumes the request. Empty: never.
    std::function<StopRequest()> stop_requested;

    void Log(std::string_view message) noexcept { log.Write(message); }
    void LogUnshown(std::string_view message) noexcept { log.WriteUnshown(message); }
    StopRequest PendingStop() const { return stop_requested ? stop_requested() : StopRequest::None; }
};

} // namespace telva
