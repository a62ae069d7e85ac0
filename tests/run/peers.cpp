#include "peers.h"

#include "platform/tcp.h"
#include "platform/unicode.h"
#include "server/json.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace telva::test {
namespace {

constexpr std::array<const char*, 6> kUploadKeys = {"lco", "lcc", "lcm", "lccb", "lcmb", "sco"};
constexpr std::array<const char*, 6> kCounterNames = {
    "lifecount", "lifecountcolor", "lifecountmono", "lifecountcolorbig", "lifecountmonobig", "scancount"};
constexpr auto kStartLimit = std::chrono::seconds(20);

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

#ifndef _WIN32
std::filesystem::path FreshDirectory(const std::string& stem) {
    std::random_device seed;
    const auto path = std::filesystem::temp_directory_path() /
                      (stem + std::to_string(seed()) + "-" + std::to_string(seed()));
    std::filesystem::create_directories(path);
    return path;
}
#endif

// The simulator's records hold every wire text read as ISO-8859-1; the JSON reader gives it as UTF-8.
std::string JsonBytes(const JsonValue& value) {
    return platform::Utf8ToLatin1(ValueText(value));
}

std::string MemberBytes(const JsonValue& object, std::string_view name) {
    const JsonValue* value = FindMember(object, name);
    return value != nullptr && (value->IsString() || value->IsNumber()) ? JsonBytes(*value) : std::string();
}

long long MemberNumber(const JsonValue& object, std::string_view name) {
    const JsonValue* value = FindMember(object, name);
    return value != nullptr && value->IsNumber() ? std::stoll(std::string(value->text())) : -1;
}

bool MemberTrue(const JsonValue& object, std::string_view name) {
    const JsonValue* value = FindMember(object, name);
    return value != nullptr && value->kind() == JsonKind::kTrue;
}

// [[name, value], ...]
std::vector<Field> Pairs(const JsonValue* list) {
    std::vector<Field> pairs;
    if (list == nullptr) {
        return pairs;
    }
    for (const JsonValue& pair : list->items()) {
        if (pair.items().size() == 2) {
            pairs.emplace_back(JsonBytes(pair.items()[0]), JsonBytes(pair.items()[1]));
        }
    }
    return pairs;
}

void AppendTexts(const JsonValue* list, const std::string& prefix, std::vector<std::string>& out) {
    if (list != nullptr) {
        for (const JsonValue& item : list->items()) {
            out.push_back(prefix + (item.IsString() ? JsonBytes(item) : "(a problem that is not text)"));
        }
    }
}

// Every record line of the file that parses, of the given kind (every kind when empty).
std::vector<JsonDocument> Records(const std::filesystem::path& path, std::string_view kind) {
    std::vector<JsonDocument> records;
    std::istringstream lines(ReadAll(path));
    std::string line;
    while (std::getline(lines, line)) {
        std::optional<JsonDocument> record = ParseJsonObject(line);
        if (record && (kind.empty() || MemberBytes(record->root(), "kind") == kind)) {
            records.push_back(std::move(*record));
        }
    }
    return records;
}

std::string LowerAscii(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

#ifndef _WIN32
// Starts tools/contract-server in `directory` and yields its pid. The child is killed when this process
// ends, however it ends.
pid_t SpawnSimulator(const std::filesystem::path& directory, const Credentials& credentials) {
    std::ofstream(directory / "printers.json") << "{}";
    const std::vector<std::string> arguments = {
        "python3",     std::string(TELVA_SOURCE_DIR) + "/tools/contract-server",
        "--port",      "0",
        "--printers",  (directory / "printers.json").string(),
        "--contract",  credentials.contract,
        "--user",      credentials.user,
        "--pass",      credentials.password,
        "--record",    (directory / "requests.jsonl").string(),
        "--port-file", (directory / "port.txt").string(),
        "--quiet"};
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    const std::string error_path = (directory / "server.stderr").string();
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        const int input = open("/dev/null", O_RDONLY);
        const int errors = open(error_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (input < 0 || errors < 0 || dup2(input, 0) < 0 || dup2(errors, 1) < 0 || dup2(errors, 2) < 0) {
            _exit(127);
        }
        execvp("python3", argv.data());
        _exit(127);
    }
    if (pid < 0) {
        throw std::runtime_error("cannot start the contract-server simulator");
    }
    return pid;
}
#endif

// Ends what this program started, at its end; a failing test in between does not skip it.
class PeersCleanup : public ::testing::Environment {
public:
    void TearDown() override;
};

[[maybe_unused]] ::testing::Environment* const kCleanup =
    ::testing::AddGlobalTestEnvironment(new PeersCleanup);

std::unique_ptr<ContractServer>& StandardInstance() {
    static std::unique_ptr<ContractServer> instance;
    return instance;
}

std::unique_ptr<ContractServer>& LongInstance() {
    static std::unique_ptr<ContractServer> instance;
    return instance;
}

#ifndef _WIN32
std::string& OwnFleetDirectory() {
    static std::string directory;
    return directory;
}
#endif

void PeersCleanup::TearDown() {
    StandardInstance().reset();
    LongInstance().reset();
#ifndef _WIN32
    if (!OwnFleetDirectory().empty()) {
        const std::string command = std::string("python3 \"") + TELVA_SOURCE_DIR +
                                    "/tools/printer-fleet\" stop --dir \"" + OwnFleetDirectory() + "\"";
        EXPECT_EQ(std::system(command.c_str()), 0);
        std::error_code ignored;
        std::filesystem::remove_all(OwnFleetDirectory(), ignored);
        OwnFleetDirectory().clear();
    }
#endif
}

} // namespace

// --- records ---------------------------------------------------------------------------------------------

std::string RecordedRequest::Header(std::string_view name) const {
    for (const auto& [header, value] : headers) {
        if (LowerAscii(header) == LowerAscii(name)) {
            return value;
        }
    }
    return {};
}

std::size_t RecordedRequest::HeaderCount(std::string_view name) const {
    std::size_t count = 0;
    for (const auto& header : headers) {
        count += LowerAscii(header.first) == LowerAscii(name) ? 1 : 0;
    }
    return count;
}

// --- the simulator ---------------------------------------------------------------------------------------

Credentials ContractServer::StandardCredentials() {
    return {"77", "vrel", "24680"};
}

Credentials ContractServer::LongCredentials() {
    return {std::string(2047, '7'), std::string(2047, 'u'), std::string(2047, 'p')};
}

ContractServer& ContractServer::Standard() {
    if (!StandardInstance()) {
        StandardInstance().reset(new ContractServer(StandardCredentials(), "TELVA_CONTRACT_SERVER"));
    }
    return *StandardInstance();
}

ContractServer& ContractServer::LongSettings() {
    if (!LongInstance()) {
        LongInstance().reset(new ContractServer(LongCredentials(), "TELVA_CONTRACT_SERVER_LONG"));
    }
    return *LongInstance();
}

ContractServer::ContractServer(Credentials credentials, const char* fixture_variable)
    : credentials_(std::move(credentials)) {
    if (const char* given = std::getenv(fixture_variable); given != nullptr && *given != '\0') {
        directory_ = given;
    } else {
#ifdef _WIN32
        throw std::runtime_error(std::string("no contract-server simulator: run through CTest, whose fixture "
                                             "names its directory in ") +
                                 fixture_variable);
#else
        own_directory_ = directory_ = FreshDirectory("telva-run-server-");
        pid_ = SpawnSimulator(directory_, credentials_);
#endif
    }
    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (!std::filesystem::exists(directory_ / "port.txt")) {
#ifndef _WIN32
        int status = 0;
        if (pid_ != 0 && waitpid(static_cast<pid_t>(pid_), &status, WNOHANG) == pid_) {
            pid_ = 0;
            throw std::runtime_error("the contract-server simulator ended at start: " +
                                     ReadAll(directory_ / "server.stderr"));
        }
#endif
        if (std::chrono::steady_clock::now() > deadline) {
            Stop();
            throw std::runtime_error("the contract-server simulator wrote no port file in " +
                                     directory_.string());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    port_ = static_cast<std::uint16_t>(std::stoi(ReadAll(directory_ / "port.txt")));
}

ContractServer::~ContractServer() {
    Stop();
}

void ContractServer::Stop() {
#ifndef _WIN32
    if (pid_ != 0) {
        // Its records are flushed per request and read already; nothing is lost by not waiting for its
        // orderly stop, which takes up to half a second.
        kill(static_cast<pid_t>(pid_), SIGKILL);
        int status = 0;
        waitpid(static_cast<pid_t>(pid_), &status, 0);
        pid_ = 0;
    }
#endif
    if (!own_directory_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(own_directory_, ignored);
        own_directory_.clear();
    }
}

std::string ContractServer::Address() const {
    return "127.0.0.1:" + std::to_string(port_);
}

std::string ContractServer::BaseUrl() const {
    return "http://" + Address() + "/app/index.php/";
}

std::string ContractServer::Control(const std::string& command) {
    const std::string request =
        "POST /__control HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
        "Connection: close\r\nContent-Length: " +
        std::to_string(command.size()) + "\r\n\r\n" + command;
    platform::TcpConnection connection;
    if (connection.Connect("127.0.0.1", port_, Deadline::In(5000)) != 0 ||
        connection.SendAll(request, 5000, Deadline::In(10000)) != 0) {
        throw std::runtime_error("the simulator's control port does not take " + command);
    }
    std::string answer;
    char buffer[4096];
    for (;;) {
        std::size_t received = 0;
        if (connection.Receive(buffer, sizeof buffer, Deadline::In(10000), received) != 0) {
            throw std::runtime_error("no answer to the control command " + command);
        }
        if (received == 0) {
            break;
        }
        answer.append(buffer, received);
    }
    const std::size_t body = answer.find("\r\n\r\n");
    const std::optional<JsonDocument> result = ParseJsonObject(
        body == std::string::npos ? std::string_view() : std::string_view(answer).substr(body + 4));
    if (!result || !MemberTrue(result->root(), "ok")) {
        throw std::runtime_error("control command " + command + " refused: " + answer);
    }
    return answer.substr(body + 4);
}

void ContractServer::Reset() {
    Control(R"({"op": "reset"})");
    Control(R"({"op": "printers", "items_raw": "{}"})");
    first_seq_ = 0;
    for (const JsonDocument& record : Records(directory_ / "requests.jsonl", "")) {
        first_seq_ = std::max(first_seq_, MemberNumber(record.root(), "seq") + 1);
    }
}

void ContractServer::ServeItems(const std::string& items_json) {
    Control(R"({"op": "printers", "items_raw": )" + JsonQuote(items_json) + "}");
}

void ContractServer::Behave(const std::string& endpoint, const std::string& action,
                            const std::string& parameters) {
    Control(R"({"op": "set", "endpoint": )" + JsonQuote(endpoint) + R"(, "action": )" + JsonQuote(action) +
            (parameters.empty() ? "" : ", " + parameters) + "}");
}

std::vector<RecordedRequest> ContractServer::Requests() const {
    std::vector<RecordedRequest> requests;
    for (const JsonDocument& document : Records(directory_ / "requests.jsonl", "request")) {
        const JsonValue& record = document.root();
        RecordedRequest request;
        request.seq = MemberNumber(record, "seq");
        if (request.seq < first_seq_) {
            continue;
        }
        request.endpoint = MemberBytes(record, "endpoint");
        request.request_line = MemberBytes(record, "request_line");
        request.headers = Pairs(FindMember(record, "headers"));
        request.head_raw = MemberBytes(record, "head_raw");
        request.body = MemberBytes(record, "body");
        request.mode = MemberBytes(record, "mode");
        request.session_valid = MemberTrue(record, "session_valid");
        if (const long long status = MemberNumber(record, "status"); status >= 0) {
            request.status = static_cast<int>(status);
        }
        request.fields = Pairs(FindMember(record, "fields"));
        AppendTexts(FindMember(record, "mime_defects"), "message: ", request.problems);
        if (const JsonValue* parts = FindMember(record, "parts"); parts != nullptr) {
            for (const JsonValue& part : parts->items()) {
                const std::string prefix = MemberBytes(part, "name") + ": ";
                AppendTexts(FindMember(part, "qp_problems"), prefix, request.problems);
                AppendTexts(FindMember(part, "defects"), prefix, request.problems);
            }
        }
        requests.push_back(std::move(request));
    }
    return requests;
}

std::vector<std::string> ContractServer::Endpoints() const {
    std::vector<std::string> endpoints;
    for (const RecordedRequest& request : Requests()) {
        endpoints.push_back(request.endpoint);
    }
    return endpoints;
}

std::vector<RecordedUpload> ContractServer::Uploads() const {
    std::vector<RecordedUpload> uploads;
    for (const JsonDocument& document : Records(directory_ / "requests.jsonl", "upload")) {
        const JsonValue& record = document.root();
        RecordedUpload upload;
        upload.request_seq = MemberNumber(record, "request_seq");
        if (upload.request_seq < first_seq_) {
            continue;
        }
        upload.accepted = MemberTrue(record, "accepted");
        upload.layout_ok = MemberTrue(record, "layout_ok");
        upload.layout_problem = MemberBytes(record, "layout_problem");
        upload.count = MemberBytes(record, "count");
        upload.number = MemberBytes(record, "number");
        upload.fields = Pairs(FindMember(record, "fields"));
        uploads.push_back(std::move(upload));
    }
    return uploads;
}

// --- the fleet -------------------------------------------------------------------------------------------

std::string FleetPrinter::Value(const std::string& oid) const {
    const auto found = values.find(oid);
    return found == values.end() ? std::string() : found->second;
}

namespace {

std::string FleetDirectory() {
    if (const char* given = std::getenv("TELVA_RUN_FLEET"); given != nullptr && *given != '\0') {
        return given;
    }
#ifdef _WIN32
    return {};
#else
    if (OwnFleetDirectory().empty()) {
        // The arguments of the CTest fixture (tests/CMakeLists.txt).
        const std::string directory = FreshDirectory("telva-run-fleet-").string();
        const std::string command = std::string("python3 \"") + TELVA_SOURCE_DIR +
                                    "/tools/printer-fleet\" start --count 4 --first-address 127.0.0.210 "
                                    "--lifetime 600 --values-file \"" +
                                    TELVA_SOURCE_DIR + "/tests/run/fleet_values.json\" --dir \"" + directory +
                                    "\" >/dev/null";
        OwnFleetDirectory() = directory; // stopped at the end even when the start fails half way
        if (std::system(command.c_str()) != 0) {
            return {};
        }
    }
    return OwnFleetDirectory();
#endif
}

Fleet LoadFleet() {
    Fleet fleet;
    const std::string directory = FleetDirectory();
    if (directory.empty()) {
        ADD_FAILURE()
            << "no printer fleet: run through CTest, or start tools/printer-fleet as the fixture does "
               "and set TELVA_RUN_FLEET to its directory";
        return fleet;
    }
    const std::optional<JsonDocument> state =
        ParseJsonObject(ReadAll(std::filesystem::path(directory) / "fleet.json"));
    if (!state) {
        ADD_FAILURE() << "no readable fleet.json in " << directory;
        return fleet;
    }
    if (const JsonValue* oids = FindMember(state->root(), "counter_oids"); oids != nullptr) {
        for (std::size_t k = 0; k < kCounterNames.size(); ++k) {
            fleet.counter_oids[k] = MemberBytes(*oids, kCounterNames[k]);
        }
    }
    if (const JsonValue* printers = FindMember(state->root(), "printers"); printers != nullptr) {
        for (const JsonValue& entry : printers->items()) {
            FleetPrinter printer;
            printer.address = MemberBytes(entry, "address");
            printer.running = MemberTrue(entry, "running");
            if (const JsonValue* values = FindMember(entry, "values"); values != nullptr && printer.running) {
                for (const JsonValue& value : values->items()) {
                    // The configured text as UTF-8; an octet string goes over the wire as those bytes.
                    printer.values[std::string(value.name())] =
                        std::string(FindMember(value, "value")->text());
                }
            }
            fleet.printers.push_back(std::move(printer));
        }
    }
    if (fleet.printers.size() != 4 || fleet.counter_oids[0].empty()) {
        ADD_FAILURE() << "the fleet in " << directory << " is not the run tier's four printers";
    }
    return fleet;
}

} // namespace

const Fleet& RunFleet() {
    static const Fleet fleet = LoadFleet();
    if (fleet.printers.size() != 4) {
        throw std::runtime_error("no usable printer fleet");
    }
    return fleet;
}

const std::array<std::string, 6>& CounterOids() {
    // The fleet tool's counter identifiers (tools/printer-fleet COUNTER_OIDS).
    static const std::array<std::string, 6> oids = {
        "1.3.6.1.2.1.43.10.2.1.4.1.1", "1.3.6.1.4.1.32473.43.1.1.0", "1.3.6.1.4.1.32473.43.1.2.0",
        "1.3.6.1.4.1.32473.43.1.3.0",  "1.3.6.1.4.1.32473.43.1.4.0", "1.3.6.1.4.1.32473.43.1.5.0"};
    return oids;
}

// --- printer lists ---------------------------------------------------------------------------------------

std::size_t PrinterTable::Add(const std::string& ip, const std::array<std::string, 6>& oids,
                              const std::array<std::string, 6>& readings, std::string id, std::string member,
                              std::string serial) {
    const std::size_t position = rows_.size();
    Row row;
    row.id = id.empty() ? "\"" + std::to_string(1000 + position) + "\"" : std::move(id);
    row.cid = row.id.front() == '"' ? row.id.substr(1, row.id.size() - 2) : row.id;
    row.member = member.empty() ? "m" + std::to_string(position) : std::move(member);
    row.serial = serial.empty() ? "SN-" + std::to_string(position) : std::move(serial);
    row.ip = ip;
    row.oids = oids;
    row.readings = readings;
    rows_.push_back(std::move(row));
    return position;
}

std::size_t PrinterTable::AddAgent(const FleetPrinter& agent, const std::array<std::string, 6>& oids,
                                   std::string id, std::string member, std::string serial) {
    std::array<std::string, 6> readings;
    for (std::size_t k = 0; k < readings.size(); ++k) {
        readings[k] = agent.Value(oids[k]);
    }
    return Add(agent.address, oids, readings, std::move(id), std::move(member), std::move(serial));
}

std::size_t PrinterTable::AddEmpty(const std::string& ip, const std::array<std::string, 6>& oids) {
    return Add(ip, oids, {});
}

std::string PrinterTable::ItemsJson() const {
    std::string json = "{";
    for (const Row& row : rows_) {
        json += (json.size() > 1 ? ", " : "") + JsonQuote(row.member) + ": {\"id\": " + row.id +
                ", \"ip\": " + JsonQuote(row.ip) + ", \"serial\": " + JsonQuote(row.serial);
        for (std::size_t k = 0; k < kCounterNames.size(); ++k) {
            json += std::string(", \"") + kCounterNames[k] + "\": " + JsonQuote(row.oids[k]);
        }
        json += "}";
    }
    return json + "}";
}

std::vector<Field> PrinterTable::UploadFields(const std::string& contract) const {
    std::vector<Field> fields;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        const std::string prefix = "data[items][" + std::to_string(i) + "][";
        for (std::size_t k = 0; k < kUploadKeys.size(); ++k) {
            fields.emplace_back(prefix + kUploadKeys[k] + "]", rows_[i].readings[k]);
        }
        fields.emplace_back(prefix + "cid]", rows_[i].cid);
    }
    fields.emplace_back("data[count]", std::to_string(rows_.size()));
    fields.emplace_back("data[number]", contract);
    return fields;
}

std::string JsonQuote(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20) {
            static const char* const kHex = "0123456789abcdef";
            quoted += "\\u00";
            quoted += kHex[byte >> 4];
            quoted += kHex[byte & 0xF];
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

} // namespace telva::test
