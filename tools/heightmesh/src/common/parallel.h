// Work spread over the cores for the tool's own stages (terrain, mesh
// checks and compaction, shaping and simplification, formatting, pictures).
// Every thread the tool starts for its own work starts here, and a worker's
// exception reaches the caller.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace heightmesh::tool {

// The number of threads for `requested` (0: every core).
inline unsigned ThreadCount(unsigned requested)
{
    return requested != 0 ? requested : std::max(1u, std::thread::hardware_concurrency());
}

// Runs work(part) for part 0..parts-1, part 0 on the calling thread and each
// other on a thread of its own; returns when all are done and rethrows the
// first exception any of them threw.
template <class Work>
void RunParts(unsigned parts, Work&& work)
{
    if (parts <= 1) {
        work(0u);
        return;
    }
    std::mutex mutex;
    std::exception_ptr failure;
    const auto guarded = [&](unsigned part) {
        try {
            work(part);
        } catch (...) {
            std::lock_guard lock(mutex);
            if (!failure)
                failure = std::current_exception();
        }
    };
    std::vector<std::thread> helpers;
    helpers.reserve(parts - 1);
    for (unsigned part = 1; part < parts; ++part)
        helpers.emplace_back(guarded, part);
    guarded(0);
    for (std::thread& helper : helpers)
        helper.join();
    if (failure)
        std::rethrow_exception(failure);
}

// Calls task(i), or task(i, part), for every i in [0, count) on `threads`
// threads (the calling one among them, as part 0), each taking the next i when it is done with
// one; every thread works on its own copy of `task`. Once a task throws, the
// others take no new i, and the first exception is rethrown.
template <class Task>
void ForEachIndex(int64_t count, unsigned threads, const Task& task)
{
    std::atomic<int64_t> next{0};
    std::atomic<bool> failed{false};
    const unsigned parts = static_cast<unsigned>(std::clamp<int64_t>(count, 1, std::max(1u, threads)));
    RunParts(parts, [&](unsigned part) {
        Task own = task;
        try {
            for (int64_t i = next++; i < count && !failed.load(std::memory_order_relaxed); i = next++) {
                if constexpr (std::is_invocable_v<Task&, int64_t, unsigned>)
                    own(i, part);
                else
                    own(i);
            }
        } catch (...) {
            failed = true;
            throw;
        }
    });
}

// The part-th of `parts` nearly equal pieces of [0, count): [begin, end).
struct Range {
    int64_t begin = 0;
    int64_t end = 0;
};
inline Range PartOf(int64_t count, unsigned parts, unsigned part)
{
    return {count * part / parts, count * (part + 1) / parts};
}

// Splits [0, count) into one contiguous piece per thread (fewer when count
// is small) and runs work(begin, end, part) on each.
template <class Work>
void ParallelRanges(int64_t count, unsigned threads, Work&& work, int64_t minimumPerThread = 4096)
{
    const int64_t most = std::max<int64_t>(1, count / std::max<int64_t>(1, minimumPerThread));
    const unsigned parts = static_cast<unsigned>(std::clamp<int64_t>(most, 1, std::max(1u, threads)));
    RunParts(parts, [&](unsigned part) {
        const Range r = PartOf(count, parts, part);
        work(r.begin, r.end, part);
    });
}

}  // namespace heightmesh::tool
