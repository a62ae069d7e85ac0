#pragma once
// The frame of an in-process audit run: a run context with the fake clock, short waits and a log that keeps
// its lines in memory and writes the daily file into a temporary directory, aimed at the contract-server
// simulator, which each test starts from a reset.

#include "peers.h"

#include "audit_run.h"
#include "run_context.h"
#include "site/daily_log.h"
#include "support/fake_clock.h"
#include "support/memory_log.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace telva::test {

// How long a query waits for a printer's answer in these runs: a loopback agent answers within a few
// milliseconds, and a silent printer costs six of these instead of six times 10 s.
inline constexpr std::int32_t kReceiveWaitMs = 300;

// Wine does not report the ICMP refusal of a datagram to an address without agent as Windows does, so there
// such a printer costs the six receive waits; the POSIX build and Windows itself end each query at once.
#ifdef _WIN32
inline constexpr bool kRefusalEndsTheWait = false;
#else
inline constexpr bool kRefusalEndsTheWait = true;
#endif

// The log of a run: every line in memory and in the daily file, and an optional look at each line as it
// is written (on the writing thread).
class RunLog final : public LogSink {
public:
    RunLog(const std::string& directory, Clock& clock) : daily_(directory, clock) {}
    void Write(std::string_view message) noexcept override {
        memory_.Write(message);
        daily_.Write(message);
        if (on_line) {
            on_line(message);
        }
    }
    std::vector<std::string> Lines() { return memory_.Lines(); }

    std::function<void(std::string_view)> on_line;

private:
    MemoryLog memory_;
    DailyLog daily_;
};

class AuditRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        server().Reset();
        const Credentials credentials = server().credentials();
        context_.settings.contract_number = credentials.contract;
        context_.settings.user_name = credentials.user;
        context_.settings.password = credentials.password;
        context_.settings.server_address = server().Address();
        context_.settings.base_url = server().BaseUrl();
        context_.settings.schedule_time = "99:99";
        context_.snmp.receive_timeout_ms = kReceiveWaitMs;
        context_.snmp.trap_port = 0; // a free port: these runs leave port 162 to the one test about it
        context_.http_limits.connect_ms = 5000;
        context_.http_limits.idle_ms = 5000;
        context_.http_limits.total_ms = 30000;
    }

    virtual ContractServer& server() { return ContractServer::Standard(); }

    // The URL of a call of the server, as a failed call logs it.
    std::string Url(std::string_view path) const { return context_.settings.base_url + std::string(path); }

    // The daily log file of the fake clock's first day, as bytes.
    std::string DailyFile() const { return dir_.Read("log_20240305.txt"); }

    // Runs one audit; yields its wall time in milliseconds.
    long long TimedRun();

    TempDir dir_;
    FakeClock clock_;
    RunLog log_{dir_.dir(), clock_};
    RunContext context_{clock_, log_};
};

inline long long AuditRunTest::TimedRun() {
    const auto start = std::chrono::steady_clock::now();
    RunAudit(context_);
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

// The lines of a successful read of one printer.
inline std::vector<std::string> ReadLines(const std::string& address) {
    return {"SNMP trying IP " + address, "SNMP OK IP " + address};
}

// The lines of a printer that left `unanswered` of its six queries without an answer.
inline std::vector<std::string> NoAnswerLines(const std::string& address, int unanswered = 6) {
    return {"SNMP trying IP " + address,
            "SNMP no answer IP " + address + ": " + std::to_string(unanswered) + " of 6 queries unanswered"};
}

// The run's closing summary line.
inline std::string Summary(int printers, int read, int partial, int no_answer, int failed,
                           const std::string& upload) {
    return "Audit summary: " + std::to_string(printers) + " printers, " + std::to_string(read) + " read, " +
           std::to_string(partial) + " partial, " + std::to_string(no_answer) + " no answer, " +
           std::to_string(failed) + " failed; upload " + upload;
}

inline std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

} // namespace telva::test
