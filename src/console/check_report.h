#pragma once
// The two forms of a check's report: a table for a person at the console, and one JSON document for a
// program (its shape is part of the program's interface: README › Checking an installation).
// check_table.cpp writes the one, check_json.cpp the other; check_words.h holds what they say alike.

#include "console/check.h"

#include <string>
#include <string_view>

namespace telva {

// The settings, the steps, one row per printer (position, id, address, the six readings, the day of the
// last accepted reading, serial, model, outcome, time) and the closing lines. A reading cell holds the
// value, the error status's name for an answer with one ("noSuchName"), "-" for no answer, and nothing for
// a query not made; a value beside a last accepted reading is followed by what it grew since, " (+55)", or
// by " (was 120345) LOWER" when it went back. Ids and addresses
// are whole; readings, serial numbers and models are cut to kTableCellLimit characters. Text from the
// network is made safe (NetworkText) before it is shown.
std::string CheckTable(const CheckReport& report);

inline constexpr std::size_t kTableCellLimit = 24;

// The report as one JSON document (UTF-8) ending in a line feed; `version` is the program's version line.
std::string CheckJson(const CheckReport& report, std::string_view version);

// Milliseconds as seconds with two decimals: 1234 -> "1.23".
std::string SecondsText(long long milliseconds);

} // namespace telva
