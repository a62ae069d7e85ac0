#pragma once
// One printer of the contract as the server lists it, its six counters, and how each counter travels: the
// member of the printer object that names its SNMP identifier, and the key of its upload field; the
// community every printer is read with; and the printer list read from the server's fetched data
// (printer_list.cpp).

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace telva {

class JsonValue;

// The SNMP community every printer is read with.
inline constexpr const char* kCommunity = "quarno";

inline constexpr std::size_t kCounterCount = 6;

struct CounterField {
    const char* member;     // member of the printer object holding the counter's identifier
    const char* upload_key; // the reading goes to "data[items][<position>][<upload_key>]"
};

// In the order the counters are read and uploaded.
inline constexpr std::array<CounterField, kCounterCount> kCounterFields = {{
    {"lifecount", "lco"},
    {"lifecountcolor", "lcc"},
    {"lifecountmono", "lcm"},
    {"lifecountcolorbig", "lccb"},
    {"lifecountmonobig", "lcmb"},
    {"scancount", "sco"},
}};

// Every member a printer object must hold, in the order they are read: "id", "ip", "serial", then the six
// counters' members.
inline constexpr std::array<const char*, 3 + kCounterCount> kPrinterMembers = {
    "id",
    "ip",
    "serial",
    kCounterFields[0].member,
    kCounterFields[1].member,
    kCounterFields[2].member,
    kCounterFields[3].member,
    kCounterFields[4].member,
    kCounterFields[5].member,
};

struct Printer {
    std::string id;      // "id": identifies the printer in the upload
    std::string address; // "ip": a dotted IPv4 address or a host name
    std::string serial;  // "serial": never sent; the check compares it with what the printer says
    std::array<std::string, kCounterCount> counter_oids;
};

// What a printer answered for each counter, in kCounterFields order; empty text where nothing was read.
using CounterReadings = std::array<std::string, kCounterCount>;

// The printers of the fetched data: its member "items", an object whose member values are the printers.
// On a shape the run cannot use, `problem` says what was wrong and `printers` is not to be used.
struct PrinterList {
    std::vector<Printer> printers;
    std::string problem; // empty when the list is usable
};
PrinterList ReadPrinterList(const JsonValue& data);

} // namespace telva
