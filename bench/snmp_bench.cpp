// Encoding and decoding cost of the SNMP codec, and (when TELVA_BENCH_FLEET names a running printer fleet
// directory, see bench/perf-table) one audit's worth of queries: six values from every printer of
// the fleet, through SnmpClient and through a bare UDP request/response loop that is the floor.

#include "platform/udp.h"
#include "snmp/ber_decode.h"
#include "snmp/ber_encode.h"
#include "snmp/host_address.h"
#include "snmp/snmp_client.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using telva::TSNMPInfo;

TSNMPInfo Request(const std::string& oid) {
    TSNMPInfo query;
    query.Community = "quarno";
    query.PDUType = telva::kPduGetRequest;
    telva::MIBAdd(query, oid, "", telva::kTagOctetString);
    return query;
}

Bytes Tlv(std::uint8_t tag, const Bytes& content) {
    Bytes out{tag};
    telva::AppendBerLength(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

// A GetResponse holding `count` Counter bindings.
Bytes Answer(int count) {
    Bytes bindings;
    for (int i = 0; i < count; ++i) {
        Bytes binding =
            Tlv(0x06, telva::EncodeOidContent("1.3.6.1.2.1.43.10.2.1.4.1." + std::to_string(i + 1)));
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

void BM_EncodeGetRequest(benchmark::State& state) {
    const TSNMPInfo query = Request("1.3.6.1.2.1.43.10.2.1.4.1.1");
    for (auto _ : state) {
        benchmark::DoNotOptimize(telva::EncodeBuf(query));
    }
}
BENCHMARK(BM_EncodeGetRequest);

void BM_DecodeAnswer(benchmark::State& state) {
    const Bytes answer = Answer(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        TSNMPInfo reply;
        telva::DecodeBuf(answer.data(), answer.size(), reply);
        benchmark::DoNotOptimize(reply.MIBValue.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(answer.size()));
}
BENCHMARK(BM_DecodeAnswer)->Arg(1)->Arg(300); // one binding; a datagram near the 8192-byte buffer

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
    for (auto _ : state) {
        for (const FleetPrinter& printer : printers) {
            telva::SnmpClient client; // one client per printer, as an audit run does
            client.ReceiveTimeout = 10000;
            for (const std::string& oid : printer.oids) {
                std::string value;
                failures += client.QuerySnmpValue(oid, "quarno", printer.address, value) ? 0 : 1;
            }
        }
    }
    state.counters["failures"] = static_cast<double>(failures);
}

void BM_FleetRawUdpFloor(benchmark::State& state, std::vector<FleetPrinter> printers) {
    // The same datagrams, prepared beforehand; one socket; send, wait, receive. Nothing decoded.
    std::vector<std::pair<telva::platform::Ipv4Address, std::vector<Bytes>>> prepared;
    for (const FleetPrinter& printer : printers) {
        std::vector<Bytes> requests;
        for (const std::string& oid : printer.oids) {
            requests.push_back(telva::EncodeBuf(Request(oid)));
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
