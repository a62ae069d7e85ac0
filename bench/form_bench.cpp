// Encoding the upload form of a 2000-printer audit: seven fields per printer, then count and number.

#include "commons/form_fields.h"

#include <benchmark/benchmark.h>

namespace {

telva::FormFields UploadForm(int printers) {
    static const char* const kCounters[6] = {"lco", "lcc", "lcm", "lcb", "lmb", "scc"};
    telva::FormFields form;
    for (int i = 0; i < printers; ++i) {
        std::string prefix = "data[items][";
        prefix.append(std::to_string(i)).append("][");
        for (int k = 0; k < 6; ++k) {
            form.AddField(std::string(prefix).append(kCounters[k]).append("]"),
                          std::to_string(1234567 + i * 31 + k * 7));
        }
        form.AddField(std::string(prefix).append("id]"), std::to_string(10000 + i));
    }
    form.AddField("data[count]", std::to_string(printers));
    form.AddField("data[number]", "CT-2024-0042");
    return form;
}

void BM_EncodeUploadForm(benchmark::State& state) {
    const telva::FormFields form = UploadForm(static_cast<int>(state.range(0)));
    std::size_t size = 0;
    for (auto _ : state) {
        const std::string body = form.Body();
        size = body.size();
        benchmark::DoNotOptimize(body.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(size));
    state.counters["bytes"] = static_cast<double>(size);
}
BENCHMARK(BM_EncodeUploadForm)->Arg(2000)->Unit(benchmark::kMillisecond);

void BM_UploadFormLength(benchmark::State& state) {
    const telva::FormFields form = UploadForm(static_cast<int>(state.range(0)));
    const std::size_t size = form.BodyLength();
    for (auto _ : state) {
        benchmark::DoNotOptimize(form.BodyLength());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(size));
}
BENCHMARK(BM_UploadFormLength)->Arg(2000)->Unit(benchmark::kMillisecond);

} // namespace
