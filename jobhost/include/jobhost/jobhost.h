// jobhost: a reference host engine for job libraries built against
// heightmesh/job_abi.h. It loads a library, serves its host functions, runs
// its job entry on a pool of worker threads over work-stealing ranges, owns
// buffers with safety versions, and turns a job's abort into a C++ exception.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "heightmesh/job_abi.h"

namespace jobhost {

// A failure a job reported through the host abort, or a host safety check
// refused: the exception type name and the exact message. what() is
// "<typeName>: <message>".
class JobError : public std::runtime_error {
public:
    JobError(std::string typeName, std::string message);
    const std::string& typeName() const noexcept { return typeName_; }
    const std::string& message() const noexcept { return message_; }

private:
    std::string typeName_;
    std::string message_;
};

// A job library that cannot be found or opened, or lacks an export: names the
// path and what is missing.
class LoadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The library file name the heightfield mesh job is built to.
#ifdef _WIN32
inline constexpr const char* kLibraryFileName = "heightfield_mesh.dll";
#else
inline constexpr const char* kLibraryFileName = "libheightfield_mesh.so";
#endif

// Where kLibraryFileName is looked for when no path is given: next to
// the running executable, in ../lib beside it (a build or install tree, or
// the install's own library directory relative to its bin, e.g. ../lib64),
// then in the configured prefix's library directory. Returns the first that exists;
// throws LoadError listing every place searched when none does.
std::filesystem::path DefaultLibraryPath();

// A loaded job library, initialised with this host's functions.
//
// Opening checks that the file loads and exports all five names, then calls
// "kavex.initialize" with this host's resolver and "kavex.setup_extra" with
// its frame-list accessor. The same file opened again shares the loaded image
// and is initialised only once; the image is unloaded when the last
// JobLibrary for it is destroyed. A library must outlive every run of it.
class JobLibrary {
public:
    static std::shared_ptr<JobLibrary> Open(const std::filesystem::path& path);  // throws LoadError
    ~JobLibrary();
    JobLibrary(const JobLibrary&) = delete;
    JobLibrary& operator=(const JobLibrary&) = delete;

    const std::filesystem::path& path() const noexcept { return path_; }
    HeightmeshJobEntryFn entry() const noexcept { return entry_; }

private:
    JobLibrary(std::filesystem::path libraryPath, void* libraryHandle, HeightmeshJobEntryFn jobEntry);

    std::filesystem::path path_;
    void* handle_;
    HeightmeshJobEntryFn entry_;
};

// The functions this host hands to a job library, for hosts and tests that
// drive an entry themselves.
namespace host {
// The resolver given to "kavex.initialize". Answers the five host function
// names of the job ABI; any other name gets a function that raises a JobError
// "System.MissingMethodException" naming it. Never returns null.
void* Resolve(const char* name);
// The accessor given to "kavex.setup_extra": the calling thread's own
// frame-list head slot.
HeightmeshAbortFrame** FrameListHead();
}  // namespace host

// The safety version word of one host buffer, shared by every view issued.
//
// Bit 0 of the word set: the buffer may not be read. Bit 1 set: it may not
// be written. Bits 3 and up are the version; disposal moves it on by 8, so
// every view issued before no longer matches. Words live in a process-wide
// pool and are reused, never freed, so that a view outliving its buffer meets
// a version mismatch rather than freed memory.
class SafetyState {
public:
    // name (optional) appears in the messages of refused accesses.
    explicit SafetyState(std::string name = {});
    ~SafetyState();  // disposes
    SafetyState(const SafetyState&) = delete;
    SafetyState& operator=(const SafetyState&) = delete;

    // The handle a new view carries: {&word, current version, id}.
    HeightmeshAtomicSafetyHandle Handle() const noexcept;
    uint32_t word() const noexcept;
    uint32_t safetyId() const noexcept { return safetyId_; }
    const std::string& name() const noexcept { return name_; }

    void SetReadable(bool readable) noexcept;
    void SetWritable(bool writable) noexcept;
    bool readable() const noexcept;
    bool writable() const noexcept;
    // Invalidates every view issued so far. Idempotent per state: a disposed
    // state stays disposed and issues no new views.
    void Dispose() noexcept;
    bool disposed() const noexcept { return disposed_; }

private:
    uint32_t* cell_;
    uint32_t safetyId_;
    bool disposed_ = false;
    std::string name_;
};

// The two host safety checks the library calls when a view's version does
// not match its buffer's word. Each raises a JobError
// ("System.ObjectDisposedException" for a disposed buffer,
// "System.InvalidOperationException" for a refused read or write) or returns
// when the access is allowed after all.
namespace host {
void CheckRead(HeightmeshAtomicSafetyHandle* handle);
void CheckWrite(HeightmeshAtomicSafetyHandle* handle);
}  // namespace host

// Memory for host buffers. Blocks of kLargeBlock bytes or more are fresh
// anonymous mappings that the kernel hands out zeroed, so a buffer the job
// writes once costs no zero fill of its own; their pages are faulted in up
// front on every core at once rather than one fault at a time inside the
// job. (Huge pages are not asked for: on virtual machines their faults
// cost more than they save.) Smaller blocks are calloc'ed. Elements made
// without a value are left as the memory holds them (zero).
namespace detail {
void* AllocateHostBlock(std::size_t bytes);
void FreeHostBlock(void* block, std::size_t bytes) noexcept;
}  // namespace detail

template <class T>
struct HostAllocator {
    using value_type = T;
    static constexpr std::size_t kLargeBlock = std::size_t{1} << 20;

    HostAllocator() noexcept = default;
    template <class U>
    HostAllocator(const HostAllocator<U>&) noexcept
    {
    }

    T* allocate(std::size_t n)
    {
        if (n > SIZE_MAX / sizeof(T))
            throw std::bad_alloc();
        return static_cast<T*>(detail::AllocateHostBlock(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { detail::FreeHostBlock(p, n * sizeof(T)); }

    // Default-initialises: the block is already zero.
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>)
    {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args)
    {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    template <class U>
    bool operator==(const HostAllocator<U>&) const noexcept
    {
        return true;
    }
};

// The storage of host buffers and of the outputs a run returns.
template <class T>
using HostVector = std::vector<T, HostAllocator<T>>;

// A host-owned array of elements with its safety state, or a borrowed view of
// the caller's elements (see Borrow). Views issued by View() address the
// elements; Dispose() or destruction invalidates them.
template <class T>
class Buffer {
public:
    // length zero-initialised elements; length must fit a view's 32-bit
    // length (std::invalid_argument otherwise).
    explicit Buffer(std::size_t length, std::string name = {})
        : elements_(CheckedLength(length)), safety_(std::make_unique<SafetyState>(std::move(name)))
    {
        Point();
    }
    Buffer(std::span<const T> values, std::string name = {})
        : elements_(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(CheckedLength(values.size()))),
          safety_(std::make_unique<SafetyState>(std::move(name)))
    {
        Point();
    }

    // A buffer over the caller's elements, without a copy, for inputs a job
    // only reads: it is made read-only, and the elements must outlive it.
    static Buffer Borrow(std::span<const T> values, std::string name = {})
    {
        Buffer buffer(0, std::move(name));
        buffer.data_ = const_cast<T*>(values.data());
        buffer.size_ = CheckedLength(values.size());
        buffer.borrowed_ = true;
        buffer.safety_->SetWritable(false);
        return buffer;
    }
    Buffer(Buffer&&) noexcept = default;

    std::size_t size() const noexcept { return size_; }
    std::span<T> span() noexcept { return {data_, size_}; }
    std::span<const T> span() const noexcept { return {data_, size_}; }
    SafetyState& safety() noexcept { return *safety_; }
    const SafetyState& safety() const noexcept { return *safety_; }

    // A view of every element: allowed range [0, length - 1], the current
    // safety handle. Throws std::logic_error once the buffer is disposed.
    HeightmeshBufferView View()
    {
        if (safety_->disposed())
            throw std::logic_error("a view of a disposed buffer was asked for");
        HeightmeshBufferView view{};
        view.data = data_;
        view.length = static_cast<int32_t>(size_);
        view.minIndex = 0;
        view.maxIndex = view.length - 1;
        view.safety = safety_->Handle();
        return view;
    }

    // Moves the elements out and disposes the buffer (a borrowed buffer
    // gives a copy of its elements).
    HostVector<T> Release()
    {
        safety_->Dispose();
        HostVector<T> out = borrowed_ ? HostVector<T>(data_, data_ + size_) : std::move(elements_);
        Forget();
        return out;
    }

    // Frees the elements and invalidates every view issued.
    void Dispose() noexcept
    {
        safety_->Dispose();
        HostVector<T>().swap(elements_);
        Forget();
    }

private:
    static std::size_t CheckedLength(std::size_t length)
    {
        if (length > static_cast<std::size_t>(INT32_MAX))
            throw std::invalid_argument("a buffer of " + std::to_string(length) +
                                        " elements does not fit a 32-bit view length");
        return length;
    }

    void Point() noexcept
    {
        data_ = elements_.data();
        size_ = elements_.size();
    }
    void Forget() noexcept
    {
        data_ = nullptr;
        size_ = 0;
        borrowed_ = false;
    }

    HostVector<T> elements_;
    std::unique_ptr<SafetyState> safety_;
    T* data_ = nullptr;
    std::size_t size_ = 0;
    bool borrowed_ = false;
};

struct RunOptions {
    int32_t batchSize = 0;                          // 0: chosen by the job system
    std::function<void(double fraction)> progress;  // called on the calling thread while the run goes on
};

namespace detail {
struct WorkerSlot;
struct RunState;
}  // namespace detail

// A persistent pool of worker threads.
class JobSystem {
public:
    explicit JobSystem(unsigned workerCount = 0);  // 0: all cores; at most kMaxWorkers
    ~JobSystem();
    JobSystem(const JobSystem&) = delete;
    JobSystem& operator=(const JobSystem&) = delete;

    static constexpr unsigned kMaxWorkers = 1024;

    unsigned workerCount() const noexcept { return workerCount_; }

    // Runs the entry for indices [first, first + count) on every worker, each
    // with its own copy of the record (recordSize bytes). The views at
    // restrictedViewOffsets are narrowed per batch to that batch's indices
    // (never beyond [0, length - 1]); those at otherViewOffsets are reset to
    // [0, length - 1]; any other view of the record keeps the allowed range
    // the record gives it for the whole run (a fixed window, see
    // RunHeightfieldMeshRows). Batches come from the front of a worker's own
    // share of the indices, then from the back of the others' shares.
    //
    // A worker whose entry fails stops, and no further batches are handed
    // out. Run returns after every worker has returned, and then throws the
    // first failure (a JobError from the job, or whatever progress threw).
    // progress, if given, is called on the calling thread about every 100 ms
    // with the fraction of indices done, and with 1.0 at the end of a
    // successful run. Runs are serialised; calling Run from one of this
    // system's own workers throws std::logic_error. Bad arguments throw
    // std::invalid_argument before anything runs (a negative first, or
    // first + count above INT32_MAX, too).
    void Run(HeightmeshJobEntryFn entry, const void* record, std::size_t recordSize,
             std::span<const std::size_t> restrictedViewOffsets, std::span<const std::size_t> otherViewOffsets,
             int32_t first, int32_t count, const RunOptions& options = {});
    // The same over [0, count).
    void Run(HeightmeshJobEntryFn entry, const void* record, std::size_t recordSize,
             std::span<const std::size_t> restrictedViewOffsets, std::span<const std::size_t> otherViewOffsets,
             int32_t count, const RunOptions& options = {});

private:
    void WorkerMain(unsigned index);
    detail::RunState* NextRun(uint64_t& seen);
    void Dispatch(detail::RunState& run);
    void WaitForWorkers(detail::RunState& run, const RunOptions& options);

    unsigned workerCount_;
    std::unique_ptr<detail::WorkerSlot[]> slots_;
    std::vector<std::thread> threads_;

    std::mutex runMutex_;  // one Run at a time

    std::mutex mutex_;  // guards the fields below; the two atomics are written only under it
    std::condition_variable wake_;
    std::condition_variable done_;
    // The run being dispatched and its number: published by the release
    // store of generation_, so that a worker watching generation_ without
    // the lock (after a run, for a short while) sees current_ with it.
    std::atomic<detail::RunState*> current_{nullptr};
    std::atomic<uint64_t> generation_{0};
    unsigned pending_ = 0;
    bool stopping_ = false;

    // Record copies, one per worker, each on its own cache lines; grown as
    // needed and kept between runs.
    struct AlignedFree {
        void operator()(std::byte* p) const noexcept;
    };
    std::unique_ptr<std::byte[], AlignedFree> copies_;
    std::size_t copiesCapacity_ = 0;
};

// The heightfield mesh job, typed.
struct HeightfieldMeshInput {
    std::span<const float> heights;     // width * height, row by row
    std::span<const uint8_t> cellMask;  // (width - 1) * (height - 1); bit 0 = keep
    int32_t width = 0;
    int32_t height = 0;
    HeightmeshFloat3 scale{1.0f, 1.0f, 1.0f};
};

struct HeightfieldMesh {
    HostVector<HeightmeshFloat3> vertices;
    HostVector<HeightmeshFloat2> uvs;
    HostVector<HeightmeshFloat3> normals;
    HostVector<int32_t> triangles;  // six per cell; masked cells hold six zeros
};

// Runs the library's job entry over every grid point of input and returns
// the four outputs (width * height vertices, UVs and normals, six triangle
// indices per cell). The vertex, UV and normal views are narrowed to each
// batch; heights, mask and triangles are not. Throws std::invalid_argument
// for a grid smaller than 1 x 1, spans that do not match the grid, or a grid
// whose vertex or triangle-entry count does not fit 32 bits; JobError for a
// failure inside the job.
HeightfieldMesh RunHeightfieldMesh(JobSystem& jobs, const JobLibrary& library, const HeightfieldMeshInput& input,
                                   const RunOptions& options = {});

// The outputs of grid rows [rowBegin, rowEnd), in the caller's memory:
// element i of the full run's vertices, UVs and normals lands at
// vertices[i - rowBegin * width] (and so on), triangle entry j at
// triangles[j - 6 * rowBegin * (width - 1)]. Sizes: (rowEnd - rowBegin) *
// width points; 6 * (width - 1) entries per row that starts cells, i.e.
// every row but the grid's last.
struct HeightfieldMeshBand {
    std::span<HeightmeshFloat3> vertices;
    std::span<HeightmeshFloat2> uvs;
    std::span<HeightmeshFloat3> normals;
    std::span<int32_t> triangles;
    // The mask of the band's cells alone ((width - 1) per row that starts
    // cells), in place of the input's, which may then be empty: a caller
    // that holds no mask for the whole grid. Empty: the input's (or, when
    // the input's is empty too, a band without cells).
    std::span<const uint8_t> cellMask = {};
};

// Runs the library's job entry over the grid points of rows [rowBegin,
// rowEnd) only, on every worker, into band: bit for bit the values the full
// run (RunHeightfieldMesh) writes there, so that a caller can mesh a large
// grid band by band in small buffers it reuses.
//
// The library sees window views: each output view has the full grid's length
// (so that its checks, and their messages, are those of a full run) and a
// data address placed (computed as an integer, never dereferenced) so that
// element i lands in the band's memory; its allowed range covers the band
// alone: the vertex, UV and normal views are narrowed per batch as in a full
// run, and the triangle view is fixed to the band's cells' entries [6 * c0,
// 6 * c1 - 1] (empty for a band of the last row alone). The library checks
// every access against that range, so it never touches memory outside the
// band's buffers: an access outside them fails with the restricted-range
// JobError instead. Heights are a whole view; so is the mask, unless the
// band brings its own, whose window view covers the band's cells. Throws
// std::invalid_argument as RunHeightfieldMesh does, and for rows outside
// [0, height], rowBegin > rowEnd or band spans of other sizes; JobError for a
// failure inside the job (outputs written before it stay written).
void RunHeightfieldMeshRows(JobSystem& jobs, const JobLibrary& library, const HeightfieldMeshInput& input,
                            int32_t rowBegin, int32_t rowEnd, const HeightfieldMeshBand& band,
                            const RunOptions& options = {});

}  // namespace jobhost
