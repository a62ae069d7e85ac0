// Parsing the answer to a fetch of a 2000-printer contract (about 1.2 MB), and reading every printer's
// nine values from it.

#include "commons/json.h"

#include <benchmark/benchmark.h>

#include <initializer_list>
#include <string>
#include <string_view>

namespace {

std::string PrinterListAnswer(int printers) {
    static const char* const kOids[6] = {"1.3.6.1.2.1.43.10.2.1.4.1.1",     "1.3.6.1.4.1.1347.42.3.1.1.1.1.1",
                                         "1.3.6.1.4.1.1347.42.3.1.1.1.1.2", "1.3.6.1.4.1.1347.42.3.1.2.1.1.1",
                                         "1.3.6.1.4.1.1347.42.3.1.2.1.1.2", "1.3.6.1.4.1.1347.46.10.1.1.5.3"};
    static const char* const kNames[6] = {"lifecount",         "lifecountcolor",   "lifecountmono",
                                          "lifecountcolorbig", "lifecountmonobig", "scancount"};
    std::string text = "{\"status\":\"SUCCESS\",\"data\":{\"items\":{";
    const auto add = [&text](std::initializer_list<std::string_view> pieces) {
        for (const std::string_view piece : pieces) {
            text.append(piece);
        }
    };
    for (int i = 0; i < printers; ++i) {
        const std::string id = std::to_string(10000 + i);
        add({i ? "," : "", "\"", id, "\":{\"id\":\"", id, "\",\"ip\":\"10.1.", std::to_string(i / 250), ".",
             std::to_string(i % 250 + 1), "\",\"serial\":\"SN-", std::to_string(7300000 + i * 7),
             "-XK\",\"model\":\"Office Color MFP 4500\",\"location\":\"Building 3, floor 2, room 2",
             std::to_string(i % 40),
             "\",\"community\":\"public\",\"active\":true,\"lastreading\":", std::to_string(123456 + i * 13),
             ",\"notes\":\"Toner \\u00e9 replaced\\n(2024-02-0", std::to_string(i % 9 + 1), ")\""});
        for (int k = 0; k < 6; ++k) {
            add({",\"", kNames[k], "\":\"", kOids[k], "\""});
        }
        text.push_back('}');
    }
    text.append("}},\"errors\":null}");
    return text;
}

void BM_ParsePrinterList(benchmark::State& state) {
    const std::string text = PrinterListAnswer(static_cast<int>(state.range(0)));
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
    const std::string text = PrinterListAnswer(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        const auto answer = telva::ParseJsonObject(text);
        const telva::JsonValue& items =
            *telva::FindMember(*telva::FindMember(answer->root(), "data"), "items");
        std::size_t total = 0;
        for (std::size_t i = 0; i < telva::MemberCount(items); ++i) {
            const telva::JsonValue& printer = telva::MemberAt(items, i);
            for (const char* name : {"id", "ip", "serial", "lifecount", "lifecountcolor", "lifecountmono",
                                     "lifecountcolorbig", "lifecountmonobig", "scancount"}) {
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
