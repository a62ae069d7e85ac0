// Encoding and decoding cost of the SNMP codec; the heap allocations of each query one SnmpClient makes
// against a local responder thread on 127.0.0.1 (BM_QueryAllocations); and (when TELVA_BENCH_FLEET names
// a running printer fleet directory, see bench/perf-table) one audit's worth of queries: six values
// from every printer of the fleet, through SnmpClient and through a bare UDP request/response loop that is
// the floor.

#include "counting_new.h"
#include "platform/udp.h"
#include "printer_list.h"
#include "snmp/ber_decode.h"
#include "snmp/ber_encode.h"
#include "snmp/host_address.h"
#include "snmp/snmp_client.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using telva::SnmpMessage;

SnmpMessage Request(const std::string& oid) {
    SnmpMessage query;
    query.community = "quarno";
    query.pdu_type = telva::kPduGetRequest;
    telva::AddBinding(query, oid, "", telva::kTagOctetString);
    return query;
}

Bytes Tlv(std::uint8_t tag, const Bytes& content) {
    Bytes out{tag};
    telva::AppendBerLength(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

// A GetResponse with one Counter binding per name.
Bytes AnswerFor(const std::vector<std::string>& oids) {
    Bytes bindings;
    for (const std::string& oid : oids) {
        Bytes binding = Tlv(0x06, telva::EncodeOidContent(oid));
        const Bytes value = {0x41, 0x04, 0x00, 0x12, 0xD6, 0x87};
        binding.insert(binding.end(), value.begin(), value.end());
        const Bytes wrapped = Tlv(0x30, binding);
        bindings.insert(bindings.end(), wrapped.begin(), wrapped.end());
    }
    Bytes pdu = {0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00};
    const Bytes list = Tlv(0x30, bindings);
    pdu.insert(pdu.end(), list.begin(), list.end());
    Bytes message = {0x02, 0x01, 0x00, 0x04, 0x06, 'q', 'u', 'a', 'r', 'n', 'o'};
    const Bytes wrapped_pdu = Tlv(0xA2, pdu);
    message.insert(message.end(), wrapped_pdu.begin(), wrapped_pdu.end());
    return Tlv(0x30, message);
}

// A GetResponse holding `count` Counter bindings.
Bytes Answer(int count) {
    std::vector<std::string> oids;
    for (int i = 0; i < count; ++i) {
        oids.push_back("1.3.6.1.2.1.43.10.2.1.4.1." + std::to_string(i + 1));
    }
    return AnswerFor(oids);
}

void BM_EncodeGetRequest(benchmark::State& state) {
    const SnmpMessage query = Request("1.3.6.1.2.1.43.10.2.1.4.1.1");
    for (auto _ : state) {
        benchmark::DoNotOptimize(telva::EncodeMessage(query));
    }
}
BENCHMARK(BM_EncodeGetRequest);

void BM_DecodeAnswer(benchmark::State& state) {
    const Bytes answer = Answer(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        SnmpMessage reply;
        telva::DecodeMessage(answer.data(), answer.size(), reply);
        benchmark::DoNotOptimize(reply.bindings.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(answer.size()));
}
BENCHMARK(BM_DecodeAnswer)->Arg(1)->Arg(300); // one binding; a datagram near the 8192-byte buffer

// --- allocations per query, against a responder on 127.0.0.1
// ------------------------------------------------

// The six counters of one printer, asked in turn.
const std::vector<std::string> kPrinterOids(telva::bench::kCounterOids.begin(),
                                            telva::bench::kCounterOids.end());

// A thread on 127.0.0.1 (a port the system picks) that answers the k-th datagram it receives with the
// answer for kPrinterOids[k % 6], prepared beforehand: it allocates nothing while it runs, so the
// process-wide allocation count is the client's alone. One query is in flight at a time.
class LocalResponder {
public:
    LocalResponder() {
        for (const std::string& oid : kPrinterOids) {
            answers_.push_back(AnswerFor({oid}));
        }
        buffer_.resize(8192);
        ok_ = socket_.Open() == 0 && socket_.Bind(0, telva::platform::Ipv4Address{127, 0, 0, 1}) == 0;
        if (ok_) {
            port_ = socket_.LocalPort();
            thread_ = std::thread([this] { Serve(); });
        }
    }
    ~LocalResponder() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    LocalResponder(const LocalResponder&) = delete;
    LocalResponder& operator=(const LocalResponder&) = delete;

    bool ok() const { return ok_ && port_ != 0; }
    std::uint16_t port() const { return port_; }

private:
    void Serve() {
        std::size_t next = 0;
        while (!stop_) {
            bool ready = false;
            if (socket_.WaitReadable(50, ready) != 0 || !ready) {
                continue;
            }
            std::size_t received = 0;
            telva::platform::Ipv4Address sender{};
            std::uint16_t sender_port = 0;
            if (socket_.ReceiveFrom(buffer_.data(), buffer_.size(), received, &sender, &sender_port) != 0) {
                continue;
            }
            const Bytes& answer = answers_[next++ % answers_.size()];
            std::size_t sent = 0;
            socket_.SendTo(sender, sender_port, answer.data(), answer.size(), sent);
        }
    }

    std::vector<Bytes> answers_;
    Bytes buffer_;
    telva::platform::UdpSocket socket_;
    bool ok_ = false;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// One SnmpClient asks the same printer for its six counters over and over. The first query also opens
// the sockets and sizes the receive buffer; every later one should cost the same, however many went
// before. Counters: allocation calls of the first query, the mean over all later ones, and the last one.
void BM_QueryAllocations(benchmark::State& state) {
    const LocalResponder responder;
    if (!responder.ok()) {
        state.SkipWithError("no UDP socket on 127.0.0.1");
        return;
    }
    telva::SnmpClient client;
    client.timing().agent_port = responder.port();
    client.timing().trap_port =
        0; // a port the system picks: local port 162 belongs to the tests and the service
    client.timing().receive_timeout_ms = 2000;
    const std::string community = "quarno";
    const std::string host = "127.0.0.1";
    std::string value;
    std::int64_t failures = 0;
    const auto query = [&](std::size_t index) {
        value.clear();
        failures += client.QueryValue(kPrinterOids[index % kPrinterOids.size()], community, host, value) &&
                            !value.empty()
                        ? 0
                        : 1;
    };

    const telva::bench::AllocationCount start = telva::bench::Allocations();
    query(0);
    const telva::bench::AllocationCount first = telva::bench::Allocations() - start;

    std::size_t index = 1;
    telva::bench::AllocationCount last;
    const telva::bench::AllocationCount later_start = telva::bench::Allocations();
    for (auto _ : state) {
        const telva::bench::AllocationCount before = telva::bench::Allocations();
        query(index++);
        last = telva::bench::Allocations() - before;
    }
    const telva::bench::AllocationCount later = telva::bench::Allocations() - later_start;

    const auto queries = static_cast<double>(state.iterations());
    state.counters["first_query_allocs"] = static_cast<double>(first.calls);
    state.counters["first_query_alloc_bytes"] = static_cast<double>(first.bytes);
    if (queries > 0) {
        state.counters["allocs_per_query"] = static_cast<double>(later.calls) / queries;
        state.counters["alloc_bytes_per_query"] = static_cast<double>(later.bytes) / queries;
    }
    state.counters["last_query_allocs"] = static_cast<double>(last.calls);
    state.counters["queries"] = queries + 1;
    state.counters["failures"] = static_cast<double>(failures);
}
BENCHMARK(BM_QueryAllocations);

// --- against a running fleet ------------------------------------------------------------------------------

struct FleetPrinter {
    std::string address;
    std::vector<std::string> oids;
};

std::vector<FleetPrinter> LoadFleet() {
    std::vector<FleetPrinter> printers;
    const char* directory = std::getenv("TELVA_BENCH_FLEET");
    if (directory == nullptr) {
        return printers;
    }
    std::ifstream file(std::string(directory) + "/fleet.txt");
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string address, oid;
        int running = 0;
        fields >> address >> running >> oid;
        if (running == 0) {
            continue;
        }
        if (printers.empty() || printers.back().address != address) {
            printers.push_back({address, {}});
        }
        if (printers.back().oids.size() < 6) {
            printers.back().oids.push_back(oid);
        }
    }
    return printers;
}

void BM_FleetSnmpClient(benchmark::State& state, std::vector<FleetPrinter> printers) {
    std::int64_t failures = 0;
    std::int64_t queries = 0;
    const telva::bench::AllocationCount before = telva::bench::Allocations();
    for (auto _ : state) {
        for (const FleetPrinter& printer : printers) {
            telva::SnmpClient client; // one client per printer, as an audit run does
            client.timing().receive_timeout_ms = 10000;
            for (const std::string& oid : printer.oids) {
                std::string value;
                failures += client.QueryValue(oid, "quarno", printer.address, value) ? 0 : 1;
                ++queries;
            }
        }
    }
    const telva::bench::AllocationCount allocated = telva::bench::Allocations() - before;
    state.counters["failures"] = static_cast<double>(failures);
    if (queries > 0) {
        // Client creation and socket opening included, spread over the printer's six queries.
        state.counters["allocs_per_query"] =
            static_cast<double>(allocated.calls) / static_cast<double>(queries);
    }
}

void BM_FleetRawUdpFloor(benchmark::State& state, std::vector<FleetPrinter> printers) {
    // The same datagrams, prepared beforehand; one socket; send, wait, receive. Nothing decoded.
    std::vector<std::pair<telva::platform::Ipv4Address, std::vector<Bytes>>> prepared;
    for (const FleetPrinter& printer : printers) {
        std::vector<Bytes> requests;
        for (const std::string& oid : printer.oids) {
            requests.push_back(telva::EncodeMessage(Request(oid)));
        }
        prepared.emplace_back(*telva::ParseDottedIpv4(printer.address), requests);
    }
    telva::platform::UdpSocket socket;
    if (socket.Open() != 0 || socket.Bind(0) != 0) {
        state.SkipWithError("no socket");
        return;
    }
    Bytes buffer(8192);
    std::int64_t failures = 0;
    for (auto _ : state) {
        for (const auto& [address, requests] : prepared) {
            for (const Bytes& request : requests) {
                std::size_t sent = 0;
                socket.SendTo(address, 161, request.data(), request.size(), sent);
                bool ready = false;
                socket.WaitReadable(10000, ready);
                std::size_t received = 0;
                failures +=
                    (ready && socket.ReceiveFrom(buffer.data(), buffer.size(), received) == 0 && received > 0)
                        ? 0
                        : 1;
            }
        }
    }
    state.counters["failures"] = static_cast<double>(failures);
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<FleetPrinter> printers = LoadFleet();
    if (!printers.empty()) {
        benchmark::RegisterBenchmark("BM_FleetSnmpClient", BM_FleetSnmpClient, printers)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.5);
        benchmark::RegisterBenchmark("BM_FleetRawUdpFloor", BM_FleetRawUdpFloor, printers)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.5);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
