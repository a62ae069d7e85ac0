#pragma once
// The answer text of a fetch for a contract of `printers` printers, as the contract server sends it:
// {"status":"SUCCESS","data":{"items":{...}},"errors":null}. Each printer is a realistic record of about
// 600 bytes (identifier, address, serial, model, location, community, active flag, last reading, free-text
// notes with escapes, and the six counter OIDs), so 2000 printers make about 1.2 MB. Header-only, so every
// benchmark executable (ours and the peer parsers') reads exactly the same bytes.

#include "printer.h"

#include <array>
#include <initializer_list>
#include <string>
#include <string_view>

namespace telva::bench {

// The identifiers a printer's six counters are read at, in the order of their members (lifecount first).
inline constexpr std::array<const char*, 6> kCounterOids = {
    "1.3.6.1.2.1.43.10.2.1.4.1.1",      "1.3.6.1.4.1.32473.42.3.1.1.1.1.1",
    "1.3.6.1.4.1.32473.42.3.1.1.1.1.2", "1.3.6.1.4.1.32473.42.3.1.2.1.1.1",
    "1.3.6.1.4.1.32473.42.3.1.2.1.1.2", "1.3.6.1.4.1.32473.46.10.1.1.5.3"};

inline std::string PrinterListAnswer(int printers) {
    static constexpr const char* kModels[4] = {"Office Color MFP 4500 PS", "Workgroup Mono Laser 3320dn",
                                               "Production Color Press C710", "Compact Mono MFP 2210w"};
    std::string text = "{\"status\":\"SUCCESS\",\"data\":{\"items\":{";
    const auto add = [&text](std::initializer_list<std::string_view> pieces) {
        for (const std::string_view piece : pieces) {
            text.append(piece);
        }
    };
    for (int i = 0; i < printers; ++i) {
        const std::string id = std::to_string(10000 + i);
        add({i ? "," : "",
             "\"",
             id,
             "\":{\"id\":\"",
             id,
             "\",\"ip\":\"10.1.",
             std::to_string(i / 250),
             ".",
             std::to_string(i % 250 + 1),
             "\",\"serial\":\"SN-",
             std::to_string(7300000 + i * 7),
             "-XK\",\"model\":\"",
             kModels[i % 4],
             "\",\"location\":\"Building ",
             std::to_string(i % 7 + 1),
             ", floor ",
             std::to_string(i % 5),
             ", room 2",
             std::to_string(i % 40),
             " \\u2013 east wing, by the reception\",\"community\":\"public\",\"active\":",
             i % 13 == 0 ? "false" : "true",
             ",\"lastreading\":",
             std::to_string(123456 + i * 13),
             ",\"notes\":\"Toner \\u00e9 replaced\\n(2024-02-0",
             std::to_string(i % 9 + 1),
             "), drum at 40%; contact \\\"facilities\\\" before moving\""});
        for (std::size_t k = 0; k < kCounterOids.size(); ++k) { // the counter members follow id, ip, serial
            add({",\"", kPrinterMembers[3 + k], "\":\"", kCounterOids[k], "\""});
        }
        text.push_back('}');
    }
    text.append("}},\"errors\":null}");
    return text;
}

} // namespace telva::bench
