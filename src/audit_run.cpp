// One complete audit run: login, fetch the printers, read six counters of each by SNMP, upload all
// readings in one form, logout.

#include "commons/api_endpoints.h"
#include "commons/daily_log.h"
#include "commons/form_fields.h"
#include "commons/json.h"
#include "main.h"
#include "snmp/snmp_client.h"

#include <array>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace telva {
namespace {

constexpr std::int32_t kSnmpReceiveTimeoutMs = 10000;
constexpr const char* kCommunity = "quarno";

constexpr std::size_t kIdField = 0;
constexpr std::size_t kIpField = 1;
constexpr std::size_t kFirstCounterField = 3;

// Upload field suffixes for the six readings (fields 3 to 8), then the identifier.
constexpr std::array<const char*, 6> kReadingSuffixes = {"][lco]",  "][lcc]",  "][lcm]",
                                                         "][lccb]", "][lcmb]", "][sco]"};

// Reads the printer list out of the fetched data. On a shape the run cannot use, says what was wrong.
struct PrinterList {
    std::vector<PrinterRecord> records;
    std::string problem; // empty when the list is usable
};

PrinterList ReadPrinterList(const JsonValue& data) {
    PrinterList list;
    if (!data.IsObject()) {
        list.problem = "the fetched data is not an object";
        return list;
    }
    const JsonValue* items = FindMember(data, "items");
    if (items == nullptr || !items->IsObject()) {
        list.problem = "\"items\" is missing or not an object";
        return list;
    }
    const std::size_t count = MemberCount(*items);
    list.records.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const JsonValue& printer = MemberAt(*items, i);
        if (!printer.IsObject()) {
            list.problem = "printer " + std::to_string(i) + " is not an object";
            return list;
        }
        for (std::size_t field = 0; field < kPrinterMembers.size(); ++field) {
            const JsonValue* value = FindMember(printer, kPrinterMembers[field]);
            if (value == nullptr) {
                list.problem = "printer " + std::to_string(i) + " has no \"" + kPrinterMembers[field] + "\"";
                return list;
            }
            try {
                list.records[i].Fields[field] = ValueText(*value);
            } catch (const std::exception& error) {
                list.problem = "printer " + std::to_string(i) + " \"" + kPrinterMembers[field] +
                               "\" cannot be read: " + error.what();
                return list;
            }
        }
    }
    return list;
}

// Reads the six counters of one printer into reading; an error ends this printer's queries only.
void ReadPrinter(const PrinterRecord& request, PrinterRecord& reading) {
    const std::string& ip = request.Fields[kIpField];
    std::optional<SnmpClient> client;
    try {
        WriteLog("SNMP trying IP " + ip);
        client.emplace();
        client->ReceiveTimeout = kSnmpReceiveTimeoutMs;
        for (std::size_t field = kFirstCounterField; field < kPrinterMembers.size(); ++field) {
            client->QuerySnmpValue(request.Fields[field], kCommunity, ip, reading.Fields[field]);
        }
        WriteLog("SNMP OK IP " + ip);
    } catch (const std::exception& error) {
        const std::int32_t status = client ? client->Reply.ErrorStatus : 0;
        WriteLog("Error " + std::to_string(status) + " - " + error.what());
    }
}

} // namespace

void TTELVA4Audit::RunAudit() {
    if (!ApiLogin()) {
        WriteLog("Erro no login");
        return;
    }
    // Every printer is read from the list before any is queried: a list the run cannot use is reported
    // and nothing is uploaded, without spending time on the printers. The parsed answer is let go as soon
    // as the records hold what the run needs.
    PrinterList list;
    {
        const std::optional<JsonDocument> data = FetchItemData(AuditSettings.ContractNumber);
        if (!data) {
            ApiLogout();
            return;
        }
        list = ReadPrinterList(data->root());
    }
    if (!list.problem.empty()) {
        WriteLog("Printer list not usable, nothing uploaded: " + list.problem);
        ApiLogout();
        return;
    }
    const std::size_t count = list.records.size();
    FormFields form;
    WriteLog("Printer count " + std::to_string(count));
    for (std::size_t i = 0; i < count; ++i) {
        PrinterRecord reading;
        ReadPrinter(list.records[i], reading);
        const std::string prefix = "data[items][" + std::to_string(i);
        for (std::size_t k = 0; k < kReadingSuffixes.size(); ++k) {
            form.AddField(prefix + kReadingSuffixes[k], reading.Fields[kFirstCounterField + k]);
        }
        form.AddField(prefix + "][cid]", list.records[i].Fields[kIdField]);
        list.records[i] = PrinterRecord(); // done with: the memory passes to the form as the run goes on
    }
    form.AddField("data[count]", std::to_string(count));
    form.AddField("data[number]", AuditSettings.ContractNumber);
    UpdateItemData(form);
    WriteLog("Update()");
    ApiLogout();
}

} // namespace telva
