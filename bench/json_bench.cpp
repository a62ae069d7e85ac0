// Parsing the answer to a fetch of a 2000-printer contract (about 1.2 MB, bench/printer_list.h), and
// reading every printer's nine values from it. bench/json_peers_bench.cpp times two well-known parsers on
// the same text. BM_ParseDenseAnswer gives the memory a parse takes at its worst: its figure is the peak.

#include "printer.h"
#include "printer_list.h"
#include "server/json.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

namespace {

void BM_ParsePrinterList(benchmark::State& state) {
    const std::string text = telva::bench::PrinterListAnswer(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        auto value = telva::ParseJsonObject(text);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(text.size()));
    state.counters["bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_ParsePrinterList)->Arg(2000)->Unit(benchmark::kMillisecond);

void BM_ParseAndReadPrinterList(benchmark::State& state) {
    const std::string text = telva::bench::PrinterListAnswer(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        const auto answer = telva::ParseJsonObject(text);
        const telva::JsonValue& items =
            *telva::FindMember(*telva::FindMember(answer->root(), "data"), "items");
        std::size_t total = 0;
        for (std::size_t i = 0; i < telva::MemberCount(items); ++i) {
            const telva::JsonValue& printer = telva::MemberAt(items, i);
            for (const char* name : telva::kPrinterMembers) {
                total += telva::ValueText(*telva::FindMember(printer, name)).size();
            }
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_ParseAndReadPrinterList)->Arg(2000)->Unit(benchmark::kMillisecond);

// The process's peak resident memory so far (VmHWM) in MiB; 0 where /proc is missing.
double PeakResidentMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmHWM:")) {
            return static_cast<double>(std::strtol(line.c_str() + 6, nullptr, 10)) / 1024.0;
        }
    }
    return 0;
}

// The densest answer there is, the shape that needs the most memory per byte: a fetch answer of N MiB
// whose printer list is one array of one-digit numbers (48 MiB: 24 million of them). Run alone, its
// "peak_rss_mib" is the process's peak while the text (N MiB of it) is parsed; bench/perf-table reports it.
void BM_ParseDenseAnswer(benchmark::State& state) {
    const std::string_view head = R"({"status":"SUCCESS","data":{"items":[)";
    const std::string_view tail = R"(1]},"errors":null})";
    const std::size_t numbers = (static_cast<std::size_t>(state.range(0)) << 20) / 2;
    std::string text;
    text.reserve(head.size() + 2 * numbers + tail.size());
    text += head;
    for (std::size_t i = 1; i < numbers; ++i) {
        text += "1,";
    }
    text += tail;
    std::size_t values = 0;
    for (auto _ : state) {
        const auto document = telva::ParseJsonObject(text);
        if (!document) {
            state.SkipWithError("the dense answer was not read");
            return;
        }
        values = telva::FindMember(*telva::FindMember(document->root(), "data"), "items")->items().size();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(text.size()));
    state.counters["numbers"] = static_cast<double>(values);
    state.counters["text_mib"] = static_cast<double>(text.size()) / (1024.0 * 1024.0);
    state.counters["peak_rss_mib"] = PeakResidentMiB();
}
BENCHMARK(BM_ParseDenseAnswer)->Arg(48)->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace
