#pragma once
// Counters that went back: a page or scan counter only grows, so a reading lower than the one the server
// last accepted for the same printer id means another machine answers there (a swapped printer, a replaced
// board, a moved address). Only readings that are whole numbers on both sides are compared.

#include "printer.h"
#include "site/reading_history.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace telva {

struct LowerCounter {
    std::size_t counter = 0; // index into kCounterFields
    std::string kept;        // the last accepted reading
    std::string read;        // this run's, lower
};

// The counters of `readings` lower than those `kept` for the printer (none when nothing is kept), in
// kCounterFields order.
std::vector<LowerCounter> LowerCounters(const PrinterHistory* kept, const CounterReadings& readings);

// "Counters lower than last run: printer " + id + " at " + address + ": " + key + " " + kept + " -> " +
// read, further counters after ", ", with the upload's keys (lco, lcc, ...); id and address are network text.
std::string LowerCountersLine(const Printer& printer, const std::vector<LowerCounter>& lower);

// The line for `printer` of `contract` when one of its counters went back since the history's reading.
std::optional<std::string> CheckCounters(const ReadingHistory& history, std::string_view contract,
                                         const Printer& printer, const CounterReadings& readings);

} // namespace telva
