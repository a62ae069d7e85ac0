// The printer list out of the server's fetched data: every printer's nine values, or what made the list
// unusable.

#include "printer.h"

#include "server/json.h"

#include <array>
#include <exception>
#include <string>

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

} // namespace telva
