#pragma once
// Heap allocation counts of the whole process, kept by the replaced global operator new of
// bench/counting_new.cpp (linked into the benchmarks that report allocations, nowhere else). The counts
// are atomic, so they stay exact with the benchmark library's own threads about, but only a benchmark's
// single thread should be allocating while it reads them.

#include <cstdint>

namespace telva::bench {

struct AllocationCount {
    std::uint64_t calls = 0; // operator new calls of every form
    std::uint64_t bytes = 0; // bytes those calls asked for
};

// The totals since the process started.
AllocationCount Allocations();

// What happened between two readings.
inline AllocationCount operator-(const AllocationCount& later, const AllocationCount& earlier) {
    return {later.calls - earlier.calls, later.bytes - earlier.bytes};
}

} // namespace telva::bench
