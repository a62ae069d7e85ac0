#pragma once
// The real peers of the in-process audit runs, and what they saw: the contract-server simulator
// (tools/contract-server, a python process on 127.0.0.1) with its request records, and the net-snmp printer
// fleet (tools/printer-fleet) a CTest fixture starts on 127.0.0.210...
//
// Natively the program starts its own simulator at first use and ends it by its pid when the program ends
// (or, should the program die, the kernel does: the child gets SIGKILL when its parent goes). The Windows
// build cannot start a POSIX process under Wine, so there a CTest fixture starts one simulator per set of
// credentials and names its directory in TELVA_CONTRACT_SERVER / TELVA_CONTRACT_SERVER_LONG; the tests then
// share it, one after the other, and each begins with a reset.

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace telva::test {

using Field = std::pair<std::string, std::string>;

// One request as the simulator received it; every text holds the bytes that were on the wire.
struct RecordedRequest {
    long long seq = 0;
    std::string endpoint; // login, logout, fetch, update or other
    std::string request_line;
    std::vector<Field> headers; // in arrival order, values without the blanks after the colon
    std::string head_raw;
    std::string body;
    std::string mode; // credentials, session or none
    bool session_valid = false;
    std::optional<int> status; // none when no answer was sent (hang)
    std::vector<Field> fields; // each part as python's email package decoded it
    // Quoted-printable problems and MIME defects of the message and of every part ("name: problem").
    std::vector<std::string> problems;

    // The first value of the header `name` (compared without regard to case); empty when there is none.
    std::string Header(std::string_view name) const;
    std::size_t HeaderCount(std::string_view name) const;
};

// The simulator's reading of one upload form.
struct RecordedUpload {
    long long request_seq = 0;
    bool accepted = false;
    bool layout_ok = false;
    std::string layout_problem;
    std::string count;
    std::string number;
    std::vector<Field> fields;
};

// The contract number and login a simulator expects.
struct Credentials {
    std::string contract;
    std::string user;
    std::string password;
};

class ContractServer {
public:
    // The simulator expecting contract 77, user vrel, password 24680.
    static ContractServer& Standard();
    // One expecting 2047 times "7", "u" and "p": what the settings reader keeps of longer values.
    static ContractServer& LongSettings();
    static Credentials StandardCredentials();
    static Credentials LongCredentials();

    ContractServer(const ContractServer&) = delete;
    ContractServer& operator=(const ContractServer&) = delete;
    ~ContractServer();

    const Credentials& credentials() const { return credentials_; }
    std::uint16_t port() const { return port_; }
    // "127.0.0.1:<port>", as the settings file's "endereco" names it.
    std::string Address() const;
    // The server URL prefix the service derives from that address.
    std::string BaseUrl() const;

    // No behaviours, no sessions, an empty printer list; the records read later begin after this point.
    void Reset();
    // Serves `items_json` verbatim as the fetch answer's "items" (it need not be valid JSON).
    void ServeItems(const std::string& items_json);
    // Installs behaviour `action` on `endpoint`; `parameters` are further members of the command, as JSON
    // text (for example "\"times\": 1").
    void Behave(const std::string& endpoint, const std::string& action, const std::string& parameters = "");

    std::vector<RecordedRequest> Requests() const;
    std::vector<std::string> Endpoints() const;
    std::vector<RecordedUpload> Uploads() const;

    // Ends a simulator this program started; the program's end does it otherwise.
    void Stop();

private:
    ContractServer(Credentials credentials, const char* fixture_variable);
    std::string Control(const std::string& command);

    Credentials credentials_;
    std::filesystem::path directory_;
    std::filesystem::path own_directory_; // removed at the end when this program made it
    std::uint16_t port_ = 0;
    long long pid_ = 0; // of the simulator this program started
    long long first_seq_ = 0;
};

// The printers of the fleet fixture, from its fleet.json.
struct FleetPrinter {
    std::string address;
    bool running = false;
    std::map<std::string, std::string> values; // identifier -> the text the agent holds

    // The value for `oid`, empty when the agent holds none.
    std::string Value(const std::string& oid) const;
};

struct Fleet {
    std::array<std::string, 6> counter_oids; // lifecount, lifecountcolor, ..., scancount
    std::vector<FleetPrinter> printers;      // 127.0.0.210 default values (serial number SN-210),
                                             // .211 typed values besides them (serial " sn-211 "),
                                             // .212 without lifecount or serial, .213 without agent
};

// The fleet named by TELVA_RUN_FLEET (the CTest fixture); natively without it, one this program starts at
// first use and stops when it ends. Fails the calling test when there is none.
const Fleet& RunFleet();

// The six counter identifiers of the fleet; also those a printer without agent is listed with.
const std::array<std::string, 6>& CounterOids();

// The printer objects a test serves as "items", in order, with what the upload should hold for each.
class PrinterTable {
public:
    // `id` is the JSON text of the printer's "id" (a number or a quoted string); empty: "\"<1000 +
    // position>\"".
    std::size_t Add(const std::string& ip, const std::array<std::string, 6>& oids,
                    const std::array<std::string, 6>& readings, std::string id = "", std::string member = "",
                    std::string serial = "");
    // A printer read from a fleet agent with the given identifiers (the counters by default); its expected
    // readings are what the agent holds.
    std::size_t AddAgent(const FleetPrinter& agent, const std::array<std::string, 6>& oids = CounterOids(),
                         std::string id = "", std::string member = "", std::string serial = "");
    // A printer that yields six empty readings (no agent, a host that does not resolve, a silent peer).
    std::size_t AddEmpty(const std::string& ip, const std::array<std::string, 6>& oids = CounterOids());

    std::size_t size() const { return rows_.size(); }
    const std::string& Address(std::size_t position) const { return rows_[position].ip; }
    std::string ItemsJson() const;
    // The upload fields the run must send for these printers and `contract`, in order.
    std::vector<Field> UploadFields(const std::string& contract) const;

private:
    struct Row {
        std::string member;
        std::string id;
        std::string cid;
        std::string ip;
        std::string serial;
        std::array<std::string, 6> oids;
        std::array<std::string, 6> readings;
    };
    std::vector<Row> rows_;
};

// Text between double quotes as JSON writes it.
std::string JsonQuote(std::string_view text);

} // namespace telva::test
