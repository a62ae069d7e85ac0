#include "site/reading_history.h"

#include <algorithm>
#include <vector>

namespace telva {
namespace {

std::chrono::year_month_day DayOf(const platform::LocalDateTime& time) {
    return std::chrono::year_month_day{std::chrono::year{time.year},
                                       std::chrono::month{static_cast<unsigned>(time.month)},
                                       std::chrono::day{static_cast<unsigned>(time.day)}};
}

bool Keepable(std::string_view key) {
    return !key.empty() && key.size() <= kHistoryMaxKeyBytes;
}

std::string_view WithoutLeadingZeros(std::string_view number) {
    const auto first = number.find_first_not_of('0');
    return first == std::string_view::npos ? std::string_view("0") : number.substr(first);
}

} // namespace

bool IsWholeNumber(std::string_view text) {
    return !text.empty() && text.size() <= kHistoryMaxDigits &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool WholeNumberLess(std::string_view a, std::string_view b) {
    a = WithoutLeadingZeros(a);
    b = WithoutLeadingZeros(b);
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

const PrinterHistory* ReadingHistory::Find(std::string_view contract, std::string_view printer_id) const {
    const auto found = entries_.find(HistoryKey{std::string(contract), std::string(printer_id)});
    return found == entries_.end() ? nullptr : &found->second;
}

bool ReadingHistory::Add(HistoryKey key, PrinterHistory entry) {
    return entries_.emplace(std::move(key), std::move(entry)).second;
}

HistoryUpdate::HistoryUpdate(ReadingHistory kept, std::string contract,
                             const platform::LocalDateTime& upload_time)
    : next_(std::move(kept)), contract_(std::move(contract)), time_(upload_time) {
    time_.second = 0;
    time_.millisecond = 0;
}

void HistoryUpdate::Add(std::string_view printer_id, const CounterReadings& readings) {
    if (!Keepable(contract_) || !Keepable(printer_id)) {
        return;
    }
    if (!seen_.emplace(printer_id).second) {
        twice_.emplace(printer_id);
        return;
    }
    HistoryKey key{contract_, std::string(printer_id)};
    auto found = next_.entries_.find(key);
    const bool any_reading = std::any_of(readings.begin(), readings.end(), IsWholeNumber);
    if (found == next_.entries_.end()) {
        if (!any_reading) {
            return; // nothing to compare with later
        }
        found = next_.entries_.emplace(std::move(key), PrinterHistory{}).first;
    }
    PrinterHistory& entry = found->second;
    entry.listed = DayOf(time_);
    if (any_reading) {
        entry.read = time_;
    }
    for (std::size_t k = 0; k < kCounterCount; ++k) {
        if (IsWholeNumber(readings[k])) {
            entry.readings[k] = readings[k];
        }
    }
}

ReadingHistory HistoryUpdate::Finish() && {
    auto& entries = next_.entries_;
    for (const std::string& id : twice_) {
        entries.erase(HistoryKey{contract_, id});
    }
    const std::chrono::sys_days today{DayOf(time_)};
    std::erase_if(entries, [&](const auto& item) {
        return today - std::chrono::sys_days{item.second.listed} > std::chrono::days{kHistoryKeepDays};
    });
    if (entries.size() > kHistoryMaxPrinters) {
        std::vector<ReadingHistory::Entries::iterator> order;
        order.reserve(entries.size());
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            order.push_back(it);
        }
        std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
            return std::chrono::sys_days{a->second.listed} < std::chrono::sys_days{b->second.listed};
        });
        const std::size_t excess = entries.size() - kHistoryMaxPrinters;
        for (std::size_t i = 0; i < excess; ++i) {
            entries.erase(order[i]);
        }
    }
    return std::move(next_);
}

} // namespace telva
