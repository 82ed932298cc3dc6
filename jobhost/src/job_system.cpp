// The worker pool, the work-stealing range provider and the per-batch
// patching of the workers' record copies.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <string>

#include "internal.h"
#include "jobhost/jobhost.h"

namespace jobhost {

namespace detail {

namespace {

constexpr uint64_t Pack(uint32_t front, uint32_t back) { return (uint64_t{back} << 32) | front; }
constexpr uint32_t Front(uint64_t share) { return static_cast<uint32_t>(share); }
constexpr uint32_t Back(uint64_t share) { return static_cast<uint32_t>(share >> 32); }

// Takes up to batch indices from a share: from its front (the owner's side)
// or from its back (a thief's side).
bool Take(std::atomic<uint64_t>& share, uint32_t batch, bool fromBack, int32_t* begin, int32_t* end)
{
    uint64_t current = share.load(std::memory_order_acquire);
    for (;;) {
        const uint32_t front = Front(current);
        const uint32_t back = Back(current);
        if (front >= back)
            return false;
        const uint32_t taken = std::min(batch, back - front);
        const uint32_t first = fromBack ? back - taken : front;
        const uint64_t rest = fromBack ? Pack(front, back - taken) : Pack(front + taken, back);
        if (share.compare_exchange_weak(current, rest, std::memory_order_acq_rel, std::memory_order_acquire)) {
            *begin = static_cast<int32_t>(first);
            *end = static_cast<int32_t>(first + taken);
            return true;
        }
    }
}

int32_t ReadInt(const std::byte* at)
{
    int32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

void WriteInt(std::byte* at, int32_t value) { std::memcpy(at, &value, sizeof value); }

constexpr std::size_t kLengthOffset = offsetof(HeightmeshBufferView, length);
constexpr std::size_t kMinOffset = offsetof(HeightmeshBufferView, minIndex);
constexpr std::size_t kMaxOffset = offsetof(HeightmeshBufferView, maxIndex);

// The last index a view may allow: length - 1, or -1 for an empty (or
// nonsensical negative) length.
int64_t LastIndex(const std::byte* view)
{
    const int32_t length = ReadInt(view + kLengthOffset);
    return length > 0 ? int64_t{length} - 1 : -1;
}

}  // namespace

// Hands worker jobIndex its next batch: from the front of its own share
// while it lasts, then from the back of the other shares, starting with the
// next worker's. Also counts the worker's previous batch as done.
uint8_t GetWorkStealingRange(HeightmeshWorkRanges* opaque, int32_t jobIndex, int32_t* begin, int32_t* end)
{
    auto* ranges = reinterpret_cast<WorkRanges*>(opaque);
    if (ranges == nullptr || begin == nullptr || end == nullptr || jobIndex < 0 || jobIndex >= ranges->workerCount)
        return 0;
    WorkerSlot& own = ranges->slots[jobIndex];
    own.completed.store(own.completed.load(std::memory_order_relaxed) + own.running, std::memory_order_relaxed);
    own.running = 0;
    if (ranges->cancelled.load(std::memory_order_relaxed))
        return 0;

    bool found = Take(own.share, ranges->batchSize, false, begin, end);
    for (int32_t step = 1; !found && step < ranges->workerCount; ++step) {
        const int32_t victim = (jobIndex + step) % ranges->workerCount;
        found = Take(ranges->slots[victim].share, ranges->batchSize, true, begin, end);
    }
    if (!found)
        return 0;
    own.running = *end - *begin;
    return 1;
}

// Narrows the restricted views of the worker's record copy to [begin,
// begin + count - 1] and resets the others to [0, length - 1]; views in
// neither list keep the allowed range the record gave them. A narrowed
// range never reaches outside [0, length - 1]: a view shorter than the run
// then refuses the indices it lacks instead of exposing memory past its end.
void PatchBufferMinMaxRanges(void* patchData, void* job, int32_t begin, int32_t count)
{
    const auto* patch = static_cast<const PatchInfo*>(patchData);
    if (patch == nullptr || job == nullptr)
        return;
    auto* record = static_cast<std::byte*>(job);
    for (std::size_t i = 0; i < patch->restrictedCount; ++i) {
        std::byte* view = record + patch->restricted[i];
        const int64_t first = std::max<int64_t>(begin, 0);
        int64_t last = std::min<int64_t>(int64_t{begin} + count - 1, LastIndex(view));
        if (last < first)
            last = first - 1;  // empty: first >= 0, so this still fits 32 bits
        WriteInt(view + kMinOffset, static_cast<int32_t>(first));
        WriteInt(view + kMaxOffset, static_cast<int32_t>(last));
    }
    for (std::size_t i = 0; i < patch->otherCount; ++i) {
        std::byte* view = record + patch->other[i];
        WriteInt(view + kMinOffset, 0);
        WriteInt(view + kMaxOffset, static_cast<int32_t>(LastIndex(view)));
    }
}

}  // namespace detail

namespace {

thread_local const JobSystem* tWorkerOf = nullptr;

constexpr std::chrono::milliseconds kProgressInterval{100};
// How long an idle worker watches for the next run before it sleeps.
constexpr std::chrono::microseconds kWatchAfterRun{200};

inline void CpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

std::size_t RoundUp(std::size_t value, std::size_t to) { return (value + to - 1) / to * to; }

void CheckViews(std::span<const std::size_t> restricted, std::span<const std::size_t> other, std::size_t recordSize)
{
    std::vector<std::size_t> all(restricted.begin(), restricted.end());
    all.insert(all.end(), other.begin(), other.end());
    for (std::size_t offset : all) {
        if (offset > recordSize || recordSize - offset < sizeof(HeightmeshBufferView))
            throw std::invalid_argument("a view at offset " + std::to_string(offset) + " does not fit a record of " +
                                        std::to_string(recordSize) + " bytes");
        if (offset % alignof(HeightmeshBufferView) != 0)
            throw std::invalid_argument("a view at offset " + std::to_string(offset) + " is not aligned to " +
                                        std::to_string(alignof(HeightmeshBufferView)) + " bytes");
    }
    std::sort(all.begin(), all.end());
    for (std::size_t i = 1; i < all.size(); ++i) {
        if (all[i] - all[i - 1] < sizeof(HeightmeshBufferView))
            throw std::invalid_argument("the views at offsets " + std::to_string(all[i - 1]) + " and " +
                                        std::to_string(all[i]) + " overlap");
    }
}

uint32_t ChooseBatchSize(int32_t requested, int32_t count, unsigned workers)
{
    if (requested > 0)
        return static_cast<uint32_t>(requested);
    // About eight batches per worker, so that stealing evens out the end of a
    // run, but large enough that the per-batch calls stay negligible.
    const uint64_t perWorker = (static_cast<uint64_t>(count) + workers * 8u - 1) / (workers * 8u);
    return static_cast<uint32_t>(std::clamp<uint64_t>(perWorker, 1, 2048));
}

}  // namespace

void JobSystem::AlignedFree::operator()(std::byte* p) const noexcept
{
    ::operator delete[](p, std::align_val_t{detail::kCacheLine});
}

JobSystem::JobSystem(unsigned workerCount)
{
    if (workerCount == 0)
        workerCount = std::max(1u, std::thread::hardware_concurrency());
    if (workerCount > kMaxWorkers)
        throw std::invalid_argument("a job system has at most " + std::to_string(kMaxWorkers) + " workers, not " +
                                    std::to_string(workerCount));
    workerCount_ = workerCount;
    slots_ = std::make_unique<detail::WorkerSlot[]>(workerCount_);
    threads_.reserve(workerCount_);
    try {
        for (unsigned i = 0; i < workerCount_; ++i)
            threads_.emplace_back(&JobSystem::WorkerMain, this, i);
    } catch (...) {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& thread : threads_)
            thread.join();
        throw;
    }
}

JobSystem::~JobSystem()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_)
        thread.join();
}

// Waits for the run after the one numbered seen: first by watching the run
// number for a short while (runs that follow one another, as in a loop over
// frames, then start without a wake-up through the kernel, which on a small
// run costs as much as the run), then asleep on the condition variable.
// Returns null when the system is stopping.
detail::RunState* JobSystem::NextRun(uint64_t& seen)
{
    const auto until = std::chrono::steady_clock::now() + kWatchAfterRun;
    for (unsigned spin = 1; generation_.load(std::memory_order_acquire) == seen; ++spin) {
        if (spin % 64 == 0) {
            if (std::chrono::steady_clock::now() > until)
                break;
            std::this_thread::yield();  // leave the core to a thread that has work
        }
        CpuRelax();
    }
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [&] { return stopping_ || generation_.load(std::memory_order_relaxed) != seen; });
    if (stopping_)
        return nullptr;
    seen = generation_.load(std::memory_order_relaxed);
    return current_.load(std::memory_order_relaxed);
}

void JobSystem::WorkerMain(unsigned index)
{
    tWorkerOf = this;
    uint64_t seen = 0;
    for (;;) {
        detail::RunState* run = NextRun(seen);
        if (run == nullptr)
            return;

        // A failure that leaves the library without its own unwinding (a
        // host check raising directly) may leave its frame on this thread's
        // list; the list is put back as it was before the entry.
        HeightmeshAbortFrame** head = host::FrameListHead();
        HeightmeshAbortFrame* const saved = *head;
        try {
            run->entry(reinterpret_cast<HeightmeshHeightfieldMeshJob*>(run->copies + index * run->stride), nullptr,
                       &run->patch, reinterpret_cast<HeightmeshWorkRanges*>(&run->ranges), static_cast<int32_t>(index));
        } catch (...) {
            *head = saved;
            run->RecordFailure(std::current_exception());
        }

        std::lock_guard lock(mutex_);
        if (--pending_ == 0)
            done_.notify_all();
    }
}

void JobSystem::Run(HeightmeshJobEntryFn entry, const void* record, std::size_t recordSize,
                    std::span<const std::size_t> restrictedViewOffsets, std::span<const std::size_t> otherViewOffsets,
                    int32_t count, const RunOptions& options)
{
    Run(entry, record, recordSize, restrictedViewOffsets, otherViewOffsets, 0, count, options);
}

void JobSystem::Run(HeightmeshJobEntryFn entry, const void* record, std::size_t recordSize,
                    std::span<const std::size_t> restrictedViewOffsets, std::span<const std::size_t> otherViewOffsets,
                    int32_t first, int32_t count, const RunOptions& options)
{
    if (tWorkerOf == this)
        throw std::logic_error("JobSystem::Run was called from one of its own workers");
    if (entry == nullptr)
        throw std::invalid_argument("no job entry was given");
    if (record == nullptr || recordSize == 0)
        throw std::invalid_argument("no job record was given");
    if (count < 0)
        throw std::invalid_argument("a run cannot have a negative index count (" + std::to_string(count) + ")");
    if (first < 0 || int64_t{first} + count > INT32_MAX)
        throw std::invalid_argument("a run's indices [" + std::to_string(first) + ", " +
                                    std::to_string(int64_t{first} + count) + ") must lie in [0, " +
                                    std::to_string(INT32_MAX) + "]");
    if (options.batchSize < 0)
        throw std::invalid_argument("a batch size cannot be negative (" + std::to_string(options.batchSize) + ")");
    CheckViews(restrictedViewOffsets, otherViewOffsets, recordSize);

    std::lock_guard runLock(runMutex_);

    detail::RunState run;
    run.entry = entry;
    run.count = count;
    run.stride = RoundUp(recordSize, detail::kCacheLine);
    const std::size_t needed = run.stride * workerCount_;
    if (needed > copiesCapacity_) {
        copies_.reset(static_cast<std::byte*>(::operator new[](needed, std::align_val_t{detail::kCacheLine})));
        copiesCapacity_ = needed;
    }
    run.copies = copies_.get();
    for (unsigned w = 0; w < workerCount_; ++w)
        std::memcpy(run.copies + w * run.stride, record, recordSize);

    run.patch.restricted = restrictedViewOffsets.data();
    run.patch.restrictedCount = restrictedViewOffsets.size();
    run.patch.other = otherViewOffsets.data();
    run.patch.otherCount = otherViewOffsets.size();

    run.ranges.slots = slots_.get();
    run.ranges.workerCount = static_cast<int32_t>(workerCount_);
    run.ranges.batchSize = ChooseBatchSize(options.batchSize, count, workerCount_);
    for (unsigned w = 0; w < workerCount_; ++w) {
        const auto front = static_cast<uint32_t>(static_cast<uint64_t>(first) +
                                                 uint64_t{w} * static_cast<uint64_t>(count) / workerCount_);
        const auto back = static_cast<uint32_t>(static_cast<uint64_t>(first) +
                                                uint64_t{w + 1} * static_cast<uint64_t>(count) / workerCount_);
        slots_[w].share.store((uint64_t{back} << 32) | front, std::memory_order_relaxed);
        slots_[w].completed.store(0, std::memory_order_relaxed);
        slots_[w].running = 0;
    }

    if (count > 0) {
        Dispatch(run);
        WaitForWorkers(run, options);
    }
    if (run.failure)
        std::rethrow_exception(run.failure);
    if (options.progress)
        options.progress(1.0);
}

void JobSystem::Dispatch(detail::RunState& run)
{
    {
        std::lock_guard lock(mutex_);
        current_.store(&run, std::memory_order_relaxed);
        pending_ = workerCount_;
        generation_.store(generation_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
    wake_.notify_all();
}

void JobSystem::WaitForWorkers(detail::RunState& run, const RunOptions& options)
{
    std::unique_lock lock(mutex_);
    bool reporting = static_cast<bool>(options.progress);
    while (pending_ != 0) {
        if (!reporting) {
            done_.wait(lock, [&] { return pending_ == 0; });
            break;
        }
        if (done_.wait_for(lock, kProgressInterval, [&] { return pending_ == 0; }))
            break;
        int64_t completed = 0;
        for (unsigned w = 0; w < workerCount_; ++w)
            completed += slots_[w].completed.load(std::memory_order_relaxed);
        lock.unlock();
        try {
            options.progress(static_cast<double>(completed) / static_cast<double>(run.count));
        } catch (...) {
            // The run stops as for a failed job; the workers still finish
            // their current batch before the failure is reported.
            run.RecordFailure(std::current_exception());
            reporting = false;
        }
        lock.lock();
    }
    current_.store(nullptr, std::memory_order_relaxed);
}

}  // namespace jobhost
