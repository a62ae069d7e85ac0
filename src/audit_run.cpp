#include "audit_run.h"

#include "server/api_endpoints.h"
#include "server/form_fields.h"
#include "snmp/snmp_client.h"

#include <exception>
#include <optional>

namespace telva {
namespace {

// The text of member `name` of `printer` into `target`; on a failure, the problem's text.
std::string ReadMember(const JsonValue& printer, std::size_t position, const char* name,
                       std::string& target) {
    const JsonValue* value = FindMember(printer, name);
    if (value == nullptr) {
        return "printer " + std::to_string(position) + " has no \"" + name + "\"";
    }
    try {
        target = ValueText(*value);
    } catch (const std::exception& error) {
        return "printer " + std::to_string(position) + " \"" + name + "\" cannot be read: " + error.what();
    }
    return {};
}

// Reads the six counters of one printer; an error ends this printer's queries only.
CounterReadings ReadPrinter(RunContext& context, const Printer& printer) {
    CounterReadings readings;
    std::optional<SnmpClient> client;
    try {
        context.Log("SNMP trying IP " + printer.address);
        client.emplace(context.snmp);
        for (std::size_t k = 0; k < kCounterCount; ++k) {
            client->QueryValue(printer.counter_oids[k], kCommunity, printer.address, readings[k]);
        }
        context.Log("SNMP OK IP " + printer.address);
    } catch (const std::exception& error) {
        const std::int32_t status = client ? client->error_status() : 0;
        context.Log("Error " + std::to_string(status) + " - " + error.what());
    }
    return readings;
}

} // namespace

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
    list.printers.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const JsonValue& object = MemberAt(*items, i);
        if (!object.IsObject()) {
            list.problem = "printer " + std::to_string(i) + " is not an object";
            return list;
        }
        Printer& printer = list.printers[i];
        std::array<std::string*, kPrinterMembers.size()> targets = {&printer.id, &printer.address,
                                                                    &printer.serial};
        for (std::size_t k = 0; k < kCounterCount; ++k) {
            targets[3 + k] = &printer.counter_oids[k];
        }
        for (std::size_t m = 0; m < kPrinterMembers.size(); ++m) {
            list.problem = ReadMember(object, i, kPrinterMembers[m], *targets[m]);
            if (!list.problem.empty()) {
                return list;
            }
        }
    }
    return list;
}

void RunAudit(RunContext& context) {
    if (!LogIn(context)) {
        context.Log("Erro no login");
        return;
    }
    // Every printer is read from the list before any is queried: a list the run cannot use is reported and
    // nothing is uploaded, without spending time on the printers. The parsed answer is let go as soon as the
    // printers hold what the run needs.
    PrinterList list;
    {
        const std::optional<JsonDocument> data = FetchItemData(context, context.settings.contract_number);
        if (!data) {
            LogOut(context);
            return;
        }
        list = ReadPrinterList(data->root());
    }
    if (!list.problem.empty()) {
        context.Log("Printer list not usable, nothing uploaded: " + list.problem);
        LogOut(context);
        return;
    }
    const std::size_t count = list.printers.size();
    FormFields form(context.clock.Now());
    context.Log("Printer count " + std::to_string(count));
    for (std::size_t i = 0; i < count; ++i) {
        const CounterReadings readings = ReadPrinter(context, list.printers[i]);
        const std::string prefix = "data[items][" + std::to_string(i) + "][";
        for (std::size_t k = 0; k < kCounterCount; ++k) {
            form.AddField(prefix + kCounterFields[k].upload_key + "]", readings[k]);
        }
        form.AddField(prefix + "cid]", list.printers[i].id);
        list.printers[i] = Printer(); // done with: the memory passes to the form as the run goes on
    }
    form.AddField("data[count]", std::to_string(count));
    form.AddField("data[number]", context.settings.contract_number);
    UpdateItemData(context, form);
    context.Log("Update()");
    LogOut(context);
}

} // namespace telva
