// Internals shared by the runtime's sources: the per-run work-stealing state
// and patch data, and the host functions served to job libraries.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>

#include "heightmesh/job_abi.h"
#include "jobhost/jobhost.h"

namespace jobhost::detail {

inline constexpr std::size_t kCacheLine = 64;

// One worker's share of a run and its progress. The share is the half-open
// index interval [front, back), packed as front in the low 32 bits and back
// in the high 32 bits, so that owner (taking from the front) and thieves
// (taking from the back) shrink it with one compare-and-swap each.
struct alignas(kCacheLine) WorkerSlot {
    std::atomic<uint64_t> share{0};
    std::atomic<int64_t> completed{0};  // indices of finished batches; read by the waiting caller
    int32_t running = 0;                // size of the batch handed out last; owner only
};

// What GetWorkStealingRange is handed as the run's WorkRanges.
struct WorkRanges {
    WorkerSlot* slots = nullptr;
    int32_t workerCount = 0;
    uint32_t batchSize = 1;
    std::atomic<bool> cancelled{false};  // set by the first failure: hand out nothing more
};

// The patch data passed to the job entry: which views of the record are
// narrowed to each batch and which are reset to their whole length.
struct PatchInfo {
    const std::size_t* restricted = nullptr;
    std::size_t restrictedCount = 0;
    const std::size_t* other = nullptr;
    std::size_t otherCount = 0;
};

struct RunState {
    HeightmeshJobEntryFn entry = nullptr;
    std::byte* copies = nullptr;  // one record copy per worker
    std::size_t stride = 0;
    int64_t count = 0;
    WorkRanges ranges;
    PatchInfo patch;

    std::atomic<bool> failed{false};
    std::exception_ptr failure;  // written once, by whoever sets failed first

    // Keeps the first failure and stops the handing out of batches.
    void RecordFailure(std::exception_ptr error) noexcept
    {
        bool expected = false;
        if (failed.compare_exchange_strong(expected, true, std::memory_order_acq_rel))
            failure = std::move(error);
        ranges.cancelled.store(true, std::memory_order_relaxed);
    }
};

uint8_t GetWorkStealingRange(HeightmeshWorkRanges* ranges, int32_t jobIndex, int32_t* begin, int32_t* end);
void PatchBufferMinMaxRanges(void* patchData, void* job, int32_t begin, int32_t count);
[[noreturn]] void Abort(const char* typeName, const char* message);

}  // namespace jobhost::detail
