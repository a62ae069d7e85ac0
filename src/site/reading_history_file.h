#pragma once
// The reading history on disk: one small text file in the program's state directory, written only after an
// accepted upload and replaced whole (a work file flushed, then renamed over it), so that a crash or a power
// cut leaves the old history or the new one. The file is read once per run and trusted in nothing: a file
// that is larger than any the service writes, cut short, or not exactly in the form below is not used.
//
//   TELVA4Audit reading history 1
//   # comment lines
//   contract 77
//   printer 101 2026-12-09 2026-12-09T03:04 120345 - 10 0 0 77
//   end 1
//
// A printer line holds the id, the day of the last accepted upload that listed the printer, when its
// readings were taken, and its six counters in the upload's order (lco lcc lcm lccb lcmb sco; "-" where no
// reading is kept). Contract numbers and ids are written with every byte outside visible ASCII, and "%",
// as "%" and two hexadecimal digits. "end" counts the printer lines: a file without it was cut short.

#include "site/reading_history.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace telva {

inline constexpr const char* kHistoryFileName = "reading_history.txt";

// The most bytes a history file may have: more than the service writes for kHistoryMaxPrinters printers
// with the longest ids and readings, each of a contract of its own.
inline constexpr std::size_t kHistoryFileLimit = 12 * 1024 * 1024;

// The history file in the program's state directory.
std::string ReadingHistoryPath();

// The work file a save writes, flushes and then renames over the history at `path`.
std::string HistoryWorkPath(const std::string& path);

// The history as the file's text, and back. A text that is not a whole, valid history gives an empty
// history and `problem` saying why ("line 7: ...", "cut short: no end line").
std::string EncodeReadingHistory(const ReadingHistory& history);
struct HistoryRead {
    ReadingHistory history;
    std::string problem; // empty when the history is usable (or there was no file)
};
HistoryRead ParseReadingHistory(std::string_view text);

// Reads the history at `path`. A missing file is an empty history without a problem (the first run); a
// file that cannot be read, is too large or does not parse gives an empty history and the problem.
HistoryRead LoadReadingHistory(const std::string& path);

// Replaces the history at `path` with `history`, creating its directory when missing. Empty text when it
// did, else why not; the old history is then still there, whole.
std::string SaveReadingHistory(const std::string& path, const ReadingHistory& history);

// The daily log's lines for a history that cannot be used (the run goes on without it) or saved.
std::string HistoryNotUsableLine(const std::string& path, const std::string& why);
std::string HistoryNotSavedLine(const std::string& path, const std::string& why);

} // namespace telva
