// The upload form of an audit of N printers: seven fields per printer, named as the audit run names them
// (data[items][i][lco], lcc, lcm, lccb, lcmb, sco, then cid), then data[count] and data[number]. Timed for
// 1000, 10000 and 50000 printers; the per-printer counters stay flat when the cost grows linearly. The body
// is never held whole: it is encoded once for its length and once into the send buffer.

#include "clock.h"
#include "printer.h"
#include "server/form_fields.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// The form as the audit run builds it; readings are seven-digit counters, one printer in 50 unread
// (an empty value, as when the printer did not answer).
telva::FormFields UploadForm(int printers) {
    telva::FormFields form(telva::SystemClock().Now());
    for (int i = 0; i < printers; ++i) {
        const std::string prefix = "data[items][" + std::to_string(i) + "][";
        for (std::size_t k = 0; k < telva::kCounterCount; ++k) {
            form.AddField(prefix + telva::kCounterFields[k].upload_key + "]",
                          i % 50 == 49 ? "" : std::to_string(1234567 + i * 31 + static_cast<int>(k) * 7));
        }
        form.AddField(prefix + "cid]", std::to_string(10000 + i));
    }
    form.AddField("data[count]", std::to_string(printers));
    form.AddField("data[number]", "CT-2024-0042");
    return form;
}

// Per-printer figures: body bytes, and time (a rate counter inverted, so it reads as time per printer).
void SetPerPrinterCounters(benchmark::State& state, std::size_t body_bytes) {
    const auto printers = static_cast<double>(state.range(0));
    state.counters["bytes"] = static_cast<double>(body_bytes);
    state.counters["bytes_per_printer"] = static_cast<double>(body_bytes) / printers;
    state.counters["time_per_printer"] = benchmark::Counter(
        printers, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// What sending the form costs the client: the length for the request head, then the body through one
// 64 KiB buffer, as HttpClient::PostForm sends it (here the buffer's contents go nowhere). Returns the
// body's length.
std::size_t StreamBody(const telva::FormFields& form, std::string& buffer) {
    const std::size_t length = form.BodyLength();
    std::size_t streamed = 0;
    buffer.clear();
    form.WriteBody([&](std::string_view piece) {
        buffer.append(piece);
        if (buffer.size() >= 64 * 1024) {
            benchmark::DoNotOptimize(buffer.data());
            streamed += buffer.size();
            buffer.clear();
        }
    });
    streamed += buffer.size();
    if (streamed != length) {
        std::abort(); // the streamed body must be exactly as long as the head announces
    }
    return length;
}

void BM_EncodeUploadForm(benchmark::State& state) {
    const telva::FormFields form = UploadForm(static_cast<int>(state.range(0)));
    std::string buffer;
    std::size_t size = 0;
    for (auto _ : state) {
        size = StreamBody(form, buffer);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(size));
    SetPerPrinterCounters(state, size);
}
BENCHMARK(BM_EncodeUploadForm)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);

// Building the form (what the audit run does while it reads the printers) and sending it once.
void BM_BuildAndEncodeUploadForm(benchmark::State& state) {
    std::string buffer;
    std::size_t size = 0;
    for (auto _ : state) {
        const telva::FormFields form = UploadForm(static_cast<int>(state.range(0)));
        size = StreamBody(form, buffer);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(size));
    SetPerPrinterCounters(state, size);
}
BENCHMARK(BM_BuildAndEncodeUploadForm)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);

void BM_UploadFormLength(benchmark::State& state) {
    const telva::FormFields form = UploadForm(static_cast<int>(state.range(0)));
    const std::size_t size = form.BodyLength();
    for (auto _ : state) {
        benchmark::DoNotOptimize(form.BodyLength());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(size));
    SetPerPrinterCounters(state, size);
}
BENCHMARK(BM_UploadFormLength)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);

} // namespace
