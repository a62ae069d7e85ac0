// audit_repeat: the service's start handler, then N audit runs in a row with no daily wait between them,
// printing after each run the process's open file descriptors, resident memory, the run's wall time and the
// process's peak resident memory so far. bench/soak drives it against the contract-server simulator and a
// printer fleet and judges the figures; bench/perf-table takes the times and the peak.
//
//   audit_repeat --config PATH --runs N [--log-dir DIR/]
//
// Output, one line per run: "run <i> fds <count> rss_kb <VmRSS> ms <RunAudit wall time> hwm_kb <VmHWM>".

#include "audit_run.h"
#include "audit_service.h"
#include "site/daily_log.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>

namespace {

std::size_t OpenDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count; // includes the one the iteration itself holds open
}

// A "Vm...:" figure of /proc/self/status in KiB, -1 when missing.
long StatusKiB(std::string_view field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.size() > field.size() && line.compare(0, field.size(), field) == 0 &&
            line[field.size()] == ':') {
            return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
        }
    }
    return -1;
}

int Usage() {
    std::cerr << "usage: audit_repeat --config PATH --runs N [--log-dir DIR/]\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string config;
    std::string log_dir;
    long runs = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view option = argv[i];
        if (option == "--config") {
            config = argv[i + 1];
        } else if (option == "--runs") {
            runs = std::strtol(argv[i + 1], nullptr, 10);
        } else if (option == "--log-dir") {
            log_dir = argv[i + 1];
        } else {
            return Usage();
        }
    }
    if (config.empty() || runs <= 0 || argc % 2 == 0) {
        return Usage();
    }
    telva::DailyLog log(log_dir.empty() ? telva::DefaultLogDirectory() : log_dir, telva::SystemClock());
    telva::RunContext context(telva::SystemClock(), log);
    telva::AuditService service(context, config);
    bool started = false;
    service.HandleStart(started);
    for (long run = 1; run <= runs; ++run) {
        const auto run_start = std::chrono::steady_clock::now();
        telva::RunAudit(context);
        const std::chrono::duration<double, std::milli> elapsed =
            std::chrono::steady_clock::now() - run_start;
        std::printf("run %ld fds %zu rss_kb %ld ms %.3f hwm_kb %ld\n", run, OpenDescriptors(),
                    StatusKiB("VmRSS"), elapsed.count(), StatusKiB("VmHWM"));
        std::fflush(stdout);
    }
    return 0;
}
