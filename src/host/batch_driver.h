// The main loop of one worker's share of a parallel-for run.
#pragma once

#include <stdint.h>

#include "host/host_binding.h"

namespace heightmesh {

// Takes ranges from the host until the worker's share is done. Each range is
// first handed to the host's patcher (an empty one too); then, for a range
// that is not empty, runBatch(job, begin, end) processes its indices in
// increasing order. The next range is asked for only after it returns.
template <typename Job, typename RunBatch>
inline void ExecuteBatchRanges(Job* job, void* patchData, HeightmeshWorkRanges* ranges, int32_t jobIndex,
                               RunBatch runBatch)
{
    int32_t begin = 0;
    int32_t end = 0;
    const HostFunctionTable& host = HostFunctions();
    while (host.getWorkStealingRange(ranges, jobIndex, &begin, &end) != 0) {
        // The host's 32-bit subtraction wraps; so does ours.
        const int32_t count = static_cast<int32_t>(static_cast<uint32_t>(end) - static_cast<uint32_t>(begin));
        host.patchBufferMinMaxRanges(patchData, job, begin, count);
        if (begin < end)
            runBatch(job, begin, end);
    }
}

// The driver with a per-index operation: perIndex(job, i) for every index of
// every range, in increasing order. perIndex is a template parameter so that
// the per-index call is direct and can be inlined.
template <typename Job, typename PerIndex>
inline void ExecuteBatches(Job* job, void* patchData, HeightmeshWorkRanges* ranges, int32_t jobIndex, PerIndex perIndex)
{
    ExecuteBatchRanges(job, patchData, ranges, jobIndex, [&perIndex](Job* batchJob, int32_t begin, int32_t end) {
        for (int32_t index = begin; index < end; ++index)
            perIndex(batchJob, index);
    });
}

}  // namespace heightmesh
