// Fetching and parsing a contract's printer list from a running contract server, as an audit run does:
// login once, then every iteration is one FetchItemData (POST, read the whole answer, parse it). The heap
// traffic of each fetch is counted against the size of the answer.
//
// Configured by the environment (nothing runs without a server):
//   TELVA_BENCH_SERVER    base URL of the server, e.g. http://127.0.0.1:8123 (loopback only)
//   TELVA_BENCH_CONTRACT  contract number (default 77)
//   TELVA_BENCH_USER      user name (default vrel)
//   TELVA_BENCH_PASS      password (default 24680)
// The printer count is whatever the server serves: start tools/contract-server with a list of the size
// wanted. The daily log of the run goes to a temporary directory, removed at the end.

#include "clock.h"
#include "counting_new.h"
#include "server/api_call.h"
#include "server/api_endpoints.h"
#include "server/http_client.h"
#include "site/daily_log.h"
#include "site/settings.h"
#include "snmp/host_address.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <string_view>

namespace {

std::string Environment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

// True when the URL's host is a dotted IPv4 address in 127.0.0.0/8: the benchmark talks to nothing else.
bool IsLoopbackUrl(std::string_view url) {
    constexpr std::string_view kScheme = "http://";
    if (!url.starts_with(kScheme)) {
        return false;
    }
    url.remove_prefix(kScheme.size());
    const std::string_view host = url.substr(0, url.find_first_of(":/"));
    const auto address = telva::ParseDottedIpv4(host);
    return address && (*address)[0] == 127;
}

// A fresh directory for the daily log under the system's temporary directory, removed when this ends.
class TemporaryLogDirectory {
public:
    TemporaryLogDirectory() {
        std::random_device random;
        path_ = std::filesystem::temp_directory_path() / ("telva4-fetch-bench-" + std::to_string(random()));
        std::filesystem::create_directories(path_);
    }
    ~TemporaryLogDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryLogDirectory(const TemporaryLogDirectory&) = delete;
    TemporaryLogDirectory& operator=(const TemporaryLogDirectory&) = delete;

    std::string dir() const { return path_.string() + "/"; }

private:
    std::filesystem::path path_;
};

// The size of one fetch's answer text, from a request of its own outside the timed loop.
std::optional<std::size_t> AnswerBytes(telva::RunContext& context, const std::string& contract) {
    try {
        telva::FormFields form(context.clock.Now());
        form.AddField("data[number]", contract);
        const std::string url = context.settings.base_url + std::string(telva::kFetchItemDataPath);
        return telva::PrepareHttpClient(context).PostForm(url, form).size();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void BM_FetchPrinterList(benchmark::State& state) {
    const char* server = std::getenv("TELVA_BENCH_SERVER");
    if (server == nullptr || *server == '\0') {
        state.SkipWithError(
            "TELVA_BENCH_SERVER is not set: start tools/contract-server and set it to "
            "http://127.0.0.1:<port> (TELVA_BENCH_CONTRACT, TELVA_BENCH_USER, TELVA_BENCH_PASS "
            "default to 77, vrel, 24680)");
        return;
    }
    if (!IsLoopbackUrl(server)) {
        state.SkipWithError(
            "TELVA_BENCH_SERVER must be http://127.x.y.z[:port]: the benchmark talks to loopback "
            "only");
        return;
    }
    const TemporaryLogDirectory log_directory;
    telva::DailyLog log(log_directory.dir(), telva::SystemClock());
    telva::RunContext context(telva::SystemClock(), log);
    const std::string contract = Environment("TELVA_BENCH_CONTRACT", "77");
    context.settings.server_address = server;
    context.settings.base_url = telva::DeriveBaseUrl(server);
    context.settings.contract_number = contract;
    context.settings.user_name = Environment("TELVA_BENCH_USER", "vrel");
    context.settings.password = Environment("TELVA_BENCH_PASS", "24680");
    if (!telva::LogIn(context).succeeded()) {
        state.SkipWithError("login refused or server not answering");
        return;
    }
    const std::optional<std::size_t> answer_bytes = AnswerBytes(context, contract);
    if (!answer_bytes) {
        state.SkipWithError("the fetch answer could not be read");
        return;
    }

    std::size_t printers = 0;
    const telva::bench::AllocationCount before = telva::bench::Allocations();
    for (auto _ : state) {
        const auto data = telva::FetchItemData(context, contract).data;
        if (!data) {
            state.SkipWithError("FetchItemData failed (see the server's record)");
            break;
        }
        const telva::JsonValue* items = telva::FindMember(data->root(), "items");
        printers = items != nullptr ? telva::MemberCount(*items) : 0;
        benchmark::DoNotOptimize(printers);
    }
    const telva::bench::AllocationCount allocated = telva::bench::Allocations() - before;
    telva::LogOut(context);

    const double iterations = static_cast<double>(state.iterations());
    if (iterations > 0) {
        state.counters["allocations"] = static_cast<double>(allocated.calls) / iterations;
        state.counters["allocated_bytes_per_answer_byte"] =
            static_cast<double>(allocated.bytes) / iterations / static_cast<double>(*answer_bytes);
    }
    state.counters["answer_bytes"] = static_cast<double>(*answer_bytes);
    state.counters["printers"] = static_cast<double>(printers);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(*answer_bytes));
}
BENCHMARK(BM_FetchPrinterList)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime(); // the wait for the server counts

} // namespace
