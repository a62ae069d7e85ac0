#include "printer_reader.h"

#include "snmp/snmp_client.h"
#include "snmp/snmp_error.h"
#include "text/network_text.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace telva {
namespace {

using LineWriter = std::function<void(std::string)>;

// One query of `oid`: what became of it, with the value (kept in `value`) or the error status it gave.
QueryResult Ask(SnmpClient& client, const std::string& oid, const std::string& address, std::string& value,
                std::int32_t& error_status) {
    const bool read = client.QueryValue(oid, kCommunity, address, value);
    if (!client.answered()) {
        return client.refused() ? QueryResult::Refused : QueryResult::NoAnswer;
    }
    error_status = client.error_status();
    return read ? QueryResult::Value : QueryResult::ErrorStatus;
}

bool Silent(QueryResult result) {
    return result == QueryResult::NoAnswer || result == QueryResult::Refused;
}

// Asks the printer behind `client` its serial number, then its description. A silence ends the questions,
// and so does an error: the counters already read keep their verdict, the answers not had stay NotAsked.
void Identify(SnmpClient& client, const Printer& printer, PrinterReading& reading) {
    for (const auto& [oid, answer] :
         {std::pair{kSerialNumberOid, &reading.serial}, std::pair{kDescriptionOid, &reading.description}}) {
        try {
            answer->result = Ask(client, oid, printer.address, answer->text, answer->error_status);
        } catch (const SnmpError&) {
            return;
        }
        if (Silent(answer->result)) {
            return;
        }
    }
}

// Reads the six counters of one printer; an error ends this printer's queries only. Its lines go to
// `write`. A stop or shutdown found waiting before a query ends the printer's reading there and is kept in
// `stop`. `trap_port_in_use` is set once a client of this printer found the trap port taken.
PrinterReading ReadPrinter(const RunContext& context, const Printer& printer, const ReadOptions& options,
                           bool hold_trap_port, const LineWriter& write, StopRequest& stop,
                           bool& trap_port_in_use) {
    const auto started = std::chrono::steady_clock::now();
    PrinterReading result;
    std::optional<SnmpClient> client;
    const std::string address = NetworkText(printer.address);
    try {
        write("SNMP trying IP " + address);
        client.emplace(context.snmp, hold_trap_port);
        for (std::size_t k = 0; k < kCounterCount; ++k) {
            if (k > 0) {
                stop = context.PendingStop();
                if (stop != StopRequest::None) {
                    return result;
                }
            }
            result.results[k] = Ask(*client, printer.counter_oids[k], printer.address, result.readings[k],
                                    result.error_status[k]);
            if (client->trap_port_in_use() && !trap_port_in_use) {
                trap_port_in_use = true;
                write(TrapPortInUseLine(context.snmp.trap_port));
            }
            if (Silent(result.results[k])) {
                if (options.stop_at_first_silence) {
                    break;
                }
                continue;
            }
            ++result.answered;
        }
        // Who answers, for the check; a stop waiting now skips the question (and no further printer is
        // begun).
        if (options.identify && result.answered > 0 && context.PendingStop() == StopRequest::None) {
            Identify(*client, printer, result);
        }
        // A printer that left queries unanswered is not reported as read: its readings are missing.
        if (result.answered == kCounterCount) {
            write("SNMP OK IP " + address);
        } else {
            write("SNMP no answer IP " + address + ": " + std::to_string(kCounterCount - result.answered) +
                  " of " + std::to_string(kCounterCount) + " queries unanswered");
        }
    } catch (const std::exception& error) {
        const std::int32_t status = client ? client->error_status() : 0;
        result.error = error.what();
        write("Error " + std::to_string(status) + " - " + result.error);
    }
    result.finished = true;
    result.elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    return result;
}

ReadOutcome ReadOneAfterAnother(RunContext& context, const std::vector<Printer>& printers,
                                const ReadOptions& options,
                                const std::function<void(std::size_t, PrinterReading&)>& take) {
    ReadOutcome outcome;
    bool trap_port_in_use = false;
    const LineWriter write = [&context](const std::string& line) { context.Log(line); };
    for (std::size_t i = 0; i < printers.size(); ++i) {
        PrinterReading reading;
        if (outcome.stop == StopRequest::None) {
            outcome.stop = context.PendingStop();
        }
        if (outcome.stop == StopRequest::None) {
            reading = ReadPrinter(context, printers[i], options, options.hold_trap_port, write, outcome.stop,
                                  trap_port_in_use);
        }
        if (reading.finished) {
            ++outcome.finished;
        }
        take(i, reading);
    }
    return outcome;
}

// The printers read on `parallel` threads. Each thread takes the next printer of the list, reads it with
// a client of its own and leaves the reading with its lines in the printer's slot; this thread writes the
// slots out in list order as soon as each one and all before it are done.
class ParallelReading {
public:
    ParallelReading(RunContext& context, const std::vector<Printer>& printers, const ReadOptions& options)
        : context_(context), printers_(printers), options_(options), slots_(printers.size()) {}

    ReadOutcome Run(const std::function<void(std::size_t, PrinterReading&)>& take) {
        const std::size_t threads = std::min(printers_.size(), static_cast<std::size_t>(options_.parallel));
        std::vector<std::thread> workers;
        workers.reserve(threads);
        {
            const std::lock_guard lock(mutex_);
            running_ = threads;
        }
        try {
            for (std::size_t t = 0; t < threads; ++t) {
                workers.emplace_back([this] { Work(); });
            }
        } catch (const std::system_error&) {
            // Fewer threads than asked for: the ones that started read every printer all the same.
            const std::lock_guard lock(mutex_);
            running_ -= threads - workers.size();
            if (workers.empty()) {
                throw;
            }
        }
        ReadOutcome outcome;
        try {
            WriteInOrder(take, outcome);
        } catch (...) {
            abandoned_.store(true); // the threads take no further printer; they end with their current one
            for (std::thread& worker : workers) {
                worker.join();
            }
            throw;
        }
        for (std::thread& worker : workers) {
            worker.join();
        }
        outcome.stop = static_cast<StopRequest>(stop_.load());
        return outcome;
    }

private:
    struct Slot {
        PrinterReading reading;
        std::vector<std::string> lines;
        bool done = false;
    };

    void WriteInOrder(const std::function<void(std::size_t, PrinterReading&)>& take, ReadOutcome& outcome) {
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            Slot slot;
            {
                std::unique_lock lock(mutex_);
                done_.wait(lock, [&] { return slots_[i].done || running_ == 0; });
                slot = std::move(slots_[i]);
                slots_[i] = Slot();
            }
            for (const std::string& line : slot.lines) {
                context_.Log(line);
            }
            if (slot.reading.finished) {
                ++outcome.finished;
            }
            take(i, slot.reading);
        }
    }

    void Work() {
        for (;;) {
            const std::size_t i = next_.fetch_add(1);
            if (i >= printers_.size() || stop_.load() != static_cast<int>(StopRequest::None) ||
                abandoned_.load()) {
                break;
            }
            Slot slot;
            StopRequest stop = context_.PendingStop();
            if (stop == StopRequest::None) {
                const LineWriter write = [&slot](std::string line) { slot.lines.push_back(std::move(line)); };
                bool trap_port_in_use = false; // the run holds the trap port: the clients do not try it
                try {
                    slot.reading =
                        ReadPrinter(context_, printers_[i], options_, false, write, stop, trap_port_in_use);
                } catch (...) {
                    // Memory ran out while a line was kept: the printer stays as far as it was read.
                }
            }
            if (stop != StopRequest::None) {
                int none = static_cast<int>(StopRequest::None);
                stop_.compare_exchange_strong(none, static_cast<int>(stop));
            }
            {
                const std::lock_guard lock(mutex_);
                slot.done = true;
                slots_[i] = std::move(slot);
            }
            done_.notify_all();
        }
        {
            const std::lock_guard lock(mutex_);
            --running_;
        }
        done_.notify_all();
    }

    RunContext& context_;
    const std::vector<Printer>& printers_;
    const ReadOptions options_;
    std::mutex mutex_;
    std::condition_variable done_;
    std::vector<Slot> slots_;
    std::size_t running_ = 0;
    std::atomic<std::size_t> next_{0};
    std::atomic<int> stop_{static_cast<int>(StopRequest::None)};
    std::atomic<bool> abandoned_{false};
};

} // namespace

ReadOutcome ReadPrinters(RunContext& context, const std::vector<Printer>& printers,
                         const ReadOptions& options,
                         const std::function<void(std::size_t, PrinterReading&)>& take) {
    if (options.parallel <= 1 || printers.size() <= 1) {
        return ReadOneAfterAnother(context, printers, options, take);
    }
    // One trap socket for the whole reading, while the port is free; the clients open none of their own.
    platform::UdpSocket trap_socket;
    if (options.hold_trap_port) {
        try {
            if (!HoldTrapPort(trap_socket, context.snmp.trap_port)) {
                context.Log(TrapPortInUseLine(context.snmp.trap_port));
            }
        } catch (const SnmpError&) {
            // No socket to be had for it now: the printers' own sockets say whether they can be read.
        }
    }
    ParallelReading reading(context, printers, options);
    return reading.Run(take);
}

} // namespace telva
