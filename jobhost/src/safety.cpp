// Safety version words of host buffers and the two checks the library calls
// when a view's version does not match its buffer's word.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "internal.h"
#include "jobhost/jobhost.h"

namespace jobhost {

namespace {

constexpr uint32_t kNoRead = 1u;
constexpr uint32_t kNoWrite = 2u;
constexpr uint32_t kFlagBits = 7u;
constexpr uint32_t kDisposeStep = 8u;

// Version words are handed out from chunks that are never freed: a view that
// outlives its buffer still points at a live word, whose version has moved
// on. Freed words are reused with the version they reached. Names of live
// states are kept for the messages of refused accesses.
class CellPool {
public:
    static CellPool& Get()
    {
        static CellPool* pool = new CellPool;  // outlives every view, including those in statics
        return *pool;
    }

    std::pair<uint32_t*, uint32_t> Acquire(std::string_view name)
    {
        std::lock_guard lock(mutex_);
        if (free_.empty()) {
            chunks_.push_back(std::make_unique<uint32_t[]>(kChunk));
            for (std::size_t i = kChunk; i > 0; --i)
                free_.push_back(&chunks_.back()[i - 1]);
        }
        uint32_t* cell = free_.back();
        free_.pop_back();
        const uint32_t id = nextId_++;
        if (!name.empty())
            names_.emplace(id, std::string(name));
        return {cell, id};
    }

    void Release(uint32_t* cell, uint32_t id)
    {
        std::lock_guard lock(mutex_);
        names_.erase(id);
        free_.push_back(cell);
    }

    std::string Describe(uint32_t id)
    {
        std::lock_guard lock(mutex_);
        auto it = names_.find(id);
        if (it != names_.end())
            return "The buffer '" + it->second + "' (safety id " + std::to_string(id) + ")";
        return "The buffer with safety id " + std::to_string(id);
    }

private:
    static constexpr std::size_t kChunk = 256;
    std::mutex mutex_;
    std::vector<std::unique_ptr<uint32_t[]>> chunks_;
    std::vector<uint32_t*> free_;
    std::unordered_map<uint32_t, std::string> names_;
    uint32_t nextId_ = 1;
};

std::atomic_ref<uint32_t> Word(uint32_t* cell) { return std::atomic_ref<uint32_t>(*cell); }

// Judges one access whose version comparison failed in the library. The
// view's version is compared with the word's version bits alone; the flag
// bits of the word then say whether this kind of access is refused.
void Check(const HeightmeshAtomicSafetyHandle* handle, uint32_t refusedFlag, const char* access)
{
    if (handle == nullptr)
        throw JobError("System.ArgumentNullException", "handle");
    if (handle->versionCell == nullptr)
        throw JobError("System.InvalidOperationException",
                       "The safety handle with safety id " + std::to_string(handle->safetyId) +
                           " has no version word; the view was not issued by this host.");
    const uint32_t word = Word(handle->versionCell).load(std::memory_order_acquire);
    if ((word & ~kFlagBits) != (handle->version & ~kFlagBits))
        throw JobError("System.ObjectDisposedException",
                       CellPool::Get().Describe(handle->safetyId) +
                           " has been disposed; a view issued before may no longer be used.");
    if ((word & refusedFlag) != 0)
        throw JobError("System.InvalidOperationException",
                       CellPool::Get().Describe(handle->safetyId) + " may not be " + access + ".");
}

}  // namespace

SafetyState::SafetyState(std::string name) : name_(std::move(name))
{
    auto [cell, id] = CellPool::Get().Acquire(name_);
    cell_ = cell;
    safetyId_ = id;
    // A reused word keeps its version (views of the earlier owner stay stale)
    // and starts readable and writable.
    Word(cell_).fetch_and(~kFlagBits, std::memory_order_acq_rel);
}

SafetyState::~SafetyState()
{
    Dispose();
    CellPool::Get().Release(cell_, safetyId_);
}

HeightmeshAtomicSafetyHandle SafetyState::Handle() const noexcept
{
    HeightmeshAtomicSafetyHandle handle{};
    handle.versionCell = cell_;
    handle.version = word() & ~kFlagBits;
    handle.safetyId = safetyId_;
    return handle;
}

uint32_t SafetyState::word() const noexcept { return Word(cell_).load(std::memory_order_acquire); }

void SafetyState::SetReadable(bool readable) noexcept
{
    if (readable)
        Word(cell_).fetch_and(~kNoRead, std::memory_order_acq_rel);
    else
        Word(cell_).fetch_or(kNoRead, std::memory_order_acq_rel);
}

void SafetyState::SetWritable(bool writable) noexcept
{
    if (writable)
        Word(cell_).fetch_and(~kNoWrite, std::memory_order_acq_rel);
    else
        Word(cell_).fetch_or(kNoWrite, std::memory_order_acq_rel);
}

bool SafetyState::readable() const noexcept { return (word() & kNoRead) == 0; }
bool SafetyState::writable() const noexcept { return (word() & kNoWrite) == 0; }

void SafetyState::Dispose() noexcept
{
    if (disposed_)
        return;
    disposed_ = true;
    Word(cell_).fetch_add(kDisposeStep, std::memory_order_acq_rel);
}

namespace host {

void CheckRead(HeightmeshAtomicSafetyHandle* handle) { Check(handle, kNoRead, "read"); }
void CheckWrite(HeightmeshAtomicSafetyHandle* handle) { Check(handle, kNoWrite, "written"); }

}  // namespace host

}  // namespace jobhost
