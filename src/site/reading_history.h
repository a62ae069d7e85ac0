#pragma once
// The reading history: per contract and printer id, the counters of the last uploads the contract server
// accepted, so that a run can tell a counter that went back (a swapped printer, a replaced board, another
// device at the address). It changes only after an accepted upload; reading_history_file.h keeps it on disk.

#include "platform/clock.h"
#include "printer.h"

#include <chrono>
#include <compare>
#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <string_view>

namespace telva {

// A printer no longer listed in an accepted upload for more than this many days is dropped.
inline constexpr int kHistoryKeepDays = 90;
// The most printers the history holds; beyond it, those listed longest ago are dropped.
inline constexpr std::size_t kHistoryMaxPrinters = 20000;
// A contract number or printer id longer than this is not kept (nothing to compare it with later).
inline constexpr std::size_t kHistoryMaxKeyBytes = 64;
// The longest whole number kept: a 64-bit counter has at most 20 digits.
inline constexpr std::size_t kHistoryMaxDigits = 20;

// Whether `text` is a whole number the history keeps and compares: 1 to kHistoryMaxDigits ASCII digits.
bool IsWholeNumber(std::string_view text);
// Whether whole number `a` is less than whole number `b` (leading zeros do not count).
bool WholeNumberLess(std::string_view a, std::string_view b);

struct HistoryKey {
    std::string contract;
    std::string printer_id;
    auto operator<=>(const HistoryKey&) const = default;
};

// What the history holds for one printer of one contract.
struct PrinterHistory {
    // The day of the last accepted upload that listed the printer.
    std::chrono::year_month_day listed{};
    // When the last accepted upload that carried a reading of the printer was made (to the minute).
    platform::LocalDateTime read{};
    // Per counter, the last whole number an accepted upload carried; empty where none was.
    CounterReadings readings;
};

class ReadingHistory {
public:
    using Entries = std::map<HistoryKey, PrinterHistory>;

    // The printer's entry, or null when the history has none.
    const PrinterHistory* Find(std::string_view contract, std::string_view printer_id) const;
    // Adds an entry; false (and nothing changes) when the key is there already.
    bool Add(HistoryKey key, PrinterHistory entry);

    const Entries& entries() const { return entries_; }
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

private:
    friend class HistoryUpdate;
    Entries entries_;
};

// The history an upload leaves once the server has accepted it. Begun from the kept history, told every
// printer of the upload with its readings, and finished only after the server accepted the upload:
// - a listed printer's listed day becomes the upload's, and each of its readings that is a whole number
//   replaces the kept one (a counter not read this time keeps its last reading);
// - a printer id listed twice in one upload is ambiguous: nothing is kept for it;
// - printers not listed for more than kHistoryKeepDays days are dropped, then, beyond kHistoryMaxPrinters,
//   the ones listed longest ago.
class HistoryUpdate {
public:
    HistoryUpdate(ReadingHistory kept, std::string contract, const platform::LocalDateTime& upload_time);

    void Add(std::string_view printer_id, const CounterReadings& readings);
    ReadingHistory Finish() &&;

private:
    ReadingHistory next_;
    std::string contract_;
    platform::LocalDateTime time_;
    std::set<std::string, std::less<>> seen_;
    std::set<std::string, std::less<>> twice_;
};

} // namespace telva
