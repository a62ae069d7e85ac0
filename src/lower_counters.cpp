#include "lower_counters.h"

#include "text/network_text.h"

namespace telva {

std::vector<LowerCounter> LowerCounters(const PrinterHistory* kept, const CounterReadings& readings) {
    std::vector<LowerCounter> lower;
    if (kept == nullptr) {
        return lower;
    }
    for (std::size_t k = 0; k < kCounterCount; ++k) {
        const std::string& before = kept->readings[k];
        if (IsWholeNumber(before) && IsWholeNumber(readings[k]) && WholeNumberLess(readings[k], before)) {
            lower.push_back(LowerCounter{k, before, readings[k]});
        }
    }
    return lower;
}

std::string LowerCountersLine(const Printer& printer, const std::vector<LowerCounter>& lower) {
    std::string line = "Counters lower than last run: printer " + NetworkText(printer.id) + " at " +
                       NetworkText(printer.address) + ": ";
    for (std::size_t i = 0; i < lower.size(); ++i) {
        if (i > 0) {
            line += ", ";
        }
        line += std::string(kCounterFields[lower[i].counter].upload_key) + " " + lower[i].kept + " -> " +
                lower[i].read;
    }
    return line;
}

std::optional<std::string> CheckCounters(const ReadingHistory& history, std::string_view contract,
                                         const Printer& printer, const CounterReadings& readings) {
    const std::vector<LowerCounter> lower = LowerCounters(history.Find(contract, printer.id), readings);
    if (lower.empty()) {
        return std::nullopt;
    }
    return LowerCountersLine(printer, lower);
}

} // namespace telva
