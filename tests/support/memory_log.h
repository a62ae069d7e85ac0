#pragma once
// A log sink that keeps the lines in memory, for tests that read what a run wrote without the daily file.

#include "site/collected_lines.h"

namespace telva::test {

using MemoryLog = CollectedLines;

} // namespace telva::test
