// Two well-known JSON parsers on the same 2000-printer fetch answer our reader is timed on, used only here
// to put our figures beside theirs. This executable also holds our own benchmarks (json_bench.cpp is
// compiled into it), so one run times all three side by side; on the console it ends with the ratios of
// their times. Built only when both Debian packages nlohmann-json3-dev and rapidjson-dev are installed.

#include "printer.h"
#include "printer_list.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <rapidjson/document.h>

#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace {

void SetThroughput(benchmark::State& state, const std::string& text) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(text.size()));
    state.counters["bytes"] = static_cast<double>(text.size());
}

// Each value is copied into a std::string of its own, as our reader's ValueText yields one and the audit
// keeps it in its printer record.
std::size_t KeepText(std::string_view text) {
    std::string kept(text);
    benchmark::DoNotOptimize(kept.data());
    return kept.size();
}

void BM_NlohmannParsePrinterList(benchmark::State& state) {
    const std::string text = telva::bench::PrinterListAnswer(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        nlohmann::json value = nlohmann::json::parse(text);
        benchmark::DoNotOptimize(value);
    }
    SetThroughput(state, text);
}
BENCHMARK(BM_NlohmannParsePrinterList)->Arg(2000)->Unit(benchmark::kMillisecond);

void BM_NlohmannParseAndReadPrinterList(benchmark::State& state) {
    const std::string text = telva::bench::PrinterListAnswer(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        const nlohmann::json answer = nlohmann::json::parse(text);
        const nlohmann::json& items = answer.at("data").at("items");
        std::size_t total = 0;
        for (auto printer = items.begin(); printer != items.end(); ++printer) {
            for (const char* name : telva::kPrinterMembers) {
                total += KeepText(printer.value().at(name).get_ref<const std::string&>());
            }
        }
        benchmark::DoNotOptimize(total);
    }
    SetThroughput(state, text);
}
BENCHMARK(BM_NlohmannParseAndReadPrinterList)->Arg(2000)->Unit(benchmark::kMillisecond);

// rapidjson's default parse does not check that strings are valid UTF-8; ours always does, so the
// validating variant is the like-for-like one.
template <unsigned Flags> void RapidJsonParse(benchmark::State& state) {
    const std::string text = telva::bench::PrinterListAnswer(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        rapidjson::Document document;
        document.Parse<Flags>(text.data(), text.size());
        if (document.HasParseError()) {
            state.SkipWithError("rapidjson rejected the printer list");
            return;
        }
        benchmark::DoNotOptimize(document);
    }
    SetThroughput(state, text);
}

void BM_RapidJsonParsePrinterList(benchmark::State& state) {
    RapidJsonParse<rapidjson::kParseDefaultFlags>(state);
}
BENCHMARK(BM_RapidJsonParsePrinterList)->Arg(2000)->Unit(benchmark::kMillisecond);

void BM_RapidJsonParseValidatingPrinterList(benchmark::State& state) {
    RapidJsonParse<rapidjson::kParseValidateEncodingFlag>(state);
}
BENCHMARK(BM_RapidJsonParseValidatingPrinterList)->Arg(2000)->Unit(benchmark::kMillisecond);

void BM_RapidJsonParseAndReadPrinterList(benchmark::State& state) {
    const std::string text = telva::bench::PrinterListAnswer(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        rapidjson::Document answer;
        answer.Parse(text.data(), text.size());
        if (answer.HasParseError()) {
            state.SkipWithError("rapidjson rejected the printer list");
            return;
        }
        const rapidjson::Value& items = answer["data"]["items"];
        std::size_t total = 0;
        for (auto printer = items.MemberBegin(); printer != items.MemberEnd(); ++printer) {
            for (const char* name : telva::kPrinterMembers) {
                const rapidjson::Value& value = printer->value[name];
                total += KeepText(std::string_view(value.GetString(), value.GetStringLength()));
            }
        }
        benchmark::DoNotOptimize(total);
    }
    SetThroughput(state, text);
}
BENCHMARK(BM_RapidJsonParseAndReadPrinterList)->Arg(2000)->Unit(benchmark::kMillisecond);

// The console report, followed by how many times faster our reader was than each peer on the same text.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : benchmark::ConsoleReporter(OO_None) {}

    void ReportRuns(const std::vector<Run>& reports) override {
        benchmark::ConsoleReporter::ReportRuns(reports);
        for (const Run& run : reports) {
            if (run.error_occurred) {
                continue;
            }
            // CPU time, as bytes_per_second uses: on a shared machine it varies less than wall time. With
            // repetitions the median stands for the benchmark; otherwise its single run.
            const std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                medians_[name] = run.GetAdjustedCPUTime();
            } else if (run.run_type == Run::RT_Iteration && medians_.count(name) == 0) {
                times_[name] = run.GetAdjustedCPUTime();
            }
        }
    }

    void Finalize() override {
        static constexpr const char* kPairs[][2] = {
            {"BM_ParsePrinterList/2000", "BM_NlohmannParsePrinterList/2000"},
            {"BM_ParsePrinterList/2000", "BM_RapidJsonParsePrinterList/2000"},
            {"BM_ParsePrinterList/2000", "BM_RapidJsonParseValidatingPrinterList/2000"},
            {"BM_ParseAndReadPrinterList/2000", "BM_NlohmannParseAndReadPrinterList/2000"},
            {"BM_ParseAndReadPrinterList/2000", "BM_RapidJsonParseAndReadPrinterList/2000"}};
        bool header = false;
        for (const auto& [ours, theirs] : kPairs) {
            const double our_time = Time(ours);
            const double their_time = Time(theirs);
            if (our_time <= 0 || their_time <= 0) {
                continue;
            }
            if (!header) {
                GetOutputStream()
                    << "\nSpeed of ours relative to the peer (their CPU time / ours; above 1: ours "
                       "is faster)\n";
                header = true;
            }
            char line[160];
            std::snprintf(line, sizeof line, "  %-32s vs %-44s %6.2fx\n", ours, theirs,
                          their_time / our_time);
            GetOutputStream() << line;
        }
    }

private:
    double Time(const std::string& name) const {
        if (const auto found = medians_.find(name); found != medians_.end()) {
            return found->second;
        }
        const auto found = times_.find(name);
        return found == times_.end() ? 0.0 : found->second;
    }

    std::map<std::string, double> medians_;
    std::map<std::string, double> times_;
};

} // namespace

int main(int argc, char** argv) {
    // The ratios are printed under the console report only; any other format is left as the library makes it.
    bool console = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument.starts_with("--benchmark_format=") && argument != "--benchmark_format=console") {
            console = false;
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    if (console) {
        RatioReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
    } else {
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    return 0;
}
