// Parsing the answer to a fetch of a 2000-printer contract (about 1.2 MB, bench/printer_list.h), and
// reading every printer's nine values from it. bench/json_peers_bench.cpp times two well-known parsers on
// the same text.

#include "printer.h"
#include "printer_list.h"
#include "server/json.h"

#include <benchmark/benchmark.h>

#include <string>

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

} // namespace
