// See fake_job.h. Built three ways: the generic job, the mesh flavour
// (FAKE_MESH_JOB) and one without its job entry (FAKE_JOB_NO_ENTRY).
#include "fake_job.h"

#include <stdio.h>
#include <unistd.h>

#define FAKE_EXPORT __attribute__((visibility("default")))

namespace {

struct Frame {
    Frame* next;
};

using AbortFn = void (*)(const char*, const char*);
using AccessorFn = Frame** (*)();

struct Table {
    AbortFn abort;
    HeightmeshGetWorkStealingRangeFn getWorkStealingRange;
    HeightmeshPatchBufferMinMaxRangesFn patchBufferMinMaxRanges;
    HeightmeshSafetyCheckFn checkRead;
    HeightmeshSafetyCheckFn checkWrite;
    void (*unknown)();
    AccessorFn accessor;
} table;

int32_t activeEntries;
int32_t initializeCalls;
int32_t setupCalls;

// Pops the calling thread's top frame and hands the failure to the host,
// as the real library's trampoline does. The entry call ends here, so it no
// longer counts as running. (A host check that raises directly leaves the
// count and the frame behind; the frame is the host's to clean up.)
[[noreturn]] void Fail(const char* typeName, const char* message)
{
    __atomic_fetch_sub(&activeEntries, 1, __ATOMIC_SEQ_CST);
    Frame** head = table.accessor();
    if (*head != nullptr)
        *head = (*head)->next;
    table.abort(typeName, message);
    __builtin_trap();
}

template <class T>
T* Element(const HeightmeshBufferView& view, int32_t index, bool write)
{
    if (index < view.minIndex || index > view.maxIndex) {
        char message[128];
        snprintf(message, sizeof message, "Index %d is out of range [%d...%d] of length %d.", index, view.minIndex,
                 view.maxIndex, view.length);
        Fail("System.IndexOutOfRangeException", message);
    }
    const uint32_t word = __atomic_load_n(view.safety.versionCell, __ATOMIC_RELAXED);
    const uint32_t mask = write ? HEIGHTMESH_WRITE_VERSION_MASK : HEIGHTMESH_READ_VERSION_MASK;
    if (view.safety.version != (word & mask)) {
        HeightmeshAtomicSafetyHandle copy = view.safety;
        (write ? table.checkWrite : table.checkRead)(&copy);
    }
    return static_cast<T*>(view.data) + index;
}

template <class T>
T Read(const HeightmeshBufferView& view, int32_t index)
{
    return *Element<T>(view, index, false);
}

template <class T>
void Write(const HeightmeshBufferView& view, int32_t index, T value)
{
    *Element<T>(view, index, true) = value;
}

#ifndef FAKE_MESH_JOB
[[maybe_unused]] void ExecuteIndex(FakeJob* job, int32_t i)
{
    if (i == job->failAt || job->failAt == FAKE_JOB_FAIL_EVERY_INDEX) {
        char message[64];
        snprintf(message, sizeof message, "The job failed at index %d.", i);
        Fail("Fake.JobFailureException", message);
    }
    if (i == job->unknownAt)
        table.unknown();
    if (job->sleepMicros > 0)
        usleep(static_cast<useconds_t>(job->sleepMicros));
    Write<int32_t>(job->output, i, 2 * Read<int32_t>(job->input, i));
    __atomic_fetch_add(Element<int32_t>(job->hits, i, true), 1, __ATOMIC_RELAXED);
    if (job->writeAhead != 0)
        Write<int32_t>(job->output, i + job->writeAhead, -1);
    if (job->seen.length > 0) {
        Write<int32_t>(job->seen, 4 * i, job->output.minIndex);
        Write<int32_t>(job->seen, 4 * i + 1, job->output.maxIndex);
        Write<int32_t>(job->seen, 4 * i + 2, job->input.minIndex);
        Write<int32_t>(job->seen, 4 * i + 3, job->input.maxIndex);
    }
}
using Record = FakeJob;
#else
[[maybe_unused]] void ExecuteIndex(HeightmeshHeightfieldMeshJob* job, int32_t i)
{
    const int32_t points = job->width * job->height;
    const int32_t x = i % job->width;
    const int32_t z = i / job->width;
    const float h = Read<float>(job->heights, i);
    const float next = Read<float>(job->heights, (i + 1) % points);
    Write(job->vertices, i, HeightmeshFloat3{h, next, job->scale.x});
    Write(job->uvs, i, HeightmeshFloat2{job->scale.y, job->scale.z});
    Write(job->normals, i,
          HeightmeshFloat3{static_cast<float>(job->vertices.minIndex), static_cast<float>(job->vertices.maxIndex),
                           static_cast<float>(job->heights.maxIndex)});
    if (x < job->width - 1 && z < job->height - 1) {
        const int32_t cell = x + z * (job->width - 1);
        const int32_t values[6] = {i,
                                   job->width,
                                   job->height,
                                   Read<uint8_t>(job->cellMask, cell),
                                   job->triangles.maxIndex,
                                   job->cellMask.maxIndex};
        for (int32_t k = 0; k < 6; ++k)
            Write<int32_t>(job->triangles, 6 * cell + k, values[k]);
    }
}
using Record = HeightmeshHeightfieldMeshJob;
#endif

}  // namespace

extern "C" {

FAKE_EXPORT void FakeInitializeExternals(HeightmeshHostResolver resolver) __asm__(
    HEIGHTMESH_EXPORT_INITIALIZE_EXTERNALS);
FAKE_EXPORT void FakeInitializeStatics() __asm__(HEIGHTMESH_EXPORT_INITIALIZE_STATICS);
FAKE_EXPORT void FakeInitialize(HeightmeshHostResolver resolver) __asm__(HEIGHTMESH_EXPORT_INITIALIZE);
FAKE_EXPORT void FakeSetupExtra(HeightmeshFrameListAccessor accessor) __asm__(HEIGHTMESH_EXPORT_SETUP_EXTRA);

void FakeInitializeExternals(HeightmeshHostResolver resolver)
{
    table.abort = reinterpret_cast<AbortFn>(resolver(HEIGHTMESH_HOST_ABORT));
    table.getWorkStealingRange =
        reinterpret_cast<HeightmeshGetWorkStealingRangeFn>(resolver(HEIGHTMESH_HOST_GET_WORK_STEALING_RANGE));
    table.patchBufferMinMaxRanges =
        reinterpret_cast<HeightmeshPatchBufferMinMaxRangesFn>(resolver(HEIGHTMESH_HOST_PATCH_BUFFER_MIN_MAX_RANGES));
    table.checkRead = reinterpret_cast<HeightmeshSafetyCheckFn>(resolver(HEIGHTMESH_HOST_CHECK_READ));
    table.checkWrite = reinterpret_cast<HeightmeshSafetyCheckFn>(resolver(HEIGHTMESH_HOST_CHECK_WRITE));
    table.unknown = reinterpret_cast<void (*)()>(resolver(FAKE_JOB_UNKNOWN_NAME));
}

void FakeInitializeStatics() {}

void FakeInitialize(HeightmeshHostResolver resolver)
{
    __atomic_fetch_add(&initializeCalls, 1, __ATOMIC_SEQ_CST);
    FakeInitializeExternals(resolver);
    FakeInitializeStatics();
}

void FakeSetupExtra(HeightmeshFrameListAccessor accessor)
{
    __atomic_fetch_add(&setupCalls, 1, __ATOMIC_SEQ_CST);
    table.accessor = reinterpret_cast<AccessorFn>(accessor);
}

#ifndef FAKE_JOB_NO_ENTRY
FAKE_EXPORT void FakeEntry(HeightmeshHeightfieldMeshJob* job, void* additional, void* patchData,
                           HeightmeshWorkRanges* ranges, int32_t jobIndex) __asm__(HEIGHTMESH_EXPORT_JOB_ENTRY);

// Pushes a frame, runs the batches, pops the frame. A thread whose list is
// not empty at entry has been left a stale frame by an earlier failure.
void FakeEntry(HeightmeshHeightfieldMeshJob* job, void*, void* patchData, HeightmeshWorkRanges* ranges,
               int32_t jobIndex)
{
    __atomic_fetch_add(&activeEntries, 1, __ATOMIC_SEQ_CST);
    Frame frame;
    Frame** head = table.accessor();
    frame.next = *head;
    *head = &frame;
    if (frame.next != nullptr)
        Fail("Fake.FrameListException", "The frame list was not empty at entry.");

    auto* record = reinterpret_cast<Record*>(job);
    int32_t begin = 0;
    int32_t end = 0;
    while (table.getWorkStealingRange(ranges, jobIndex, &begin, &end) != 0) {
        table.patchBufferMinMaxRanges(patchData, job, begin, end - begin);
        for (int32_t i = begin; i < end; ++i)
            ExecuteIndex(record, i);
    }
    *head = frame.next;
    __atomic_fetch_sub(&activeEntries, 1, __ATOMIC_SEQ_CST);
}
#endif

FAKE_EXPORT int32_t fake_job_active_entries() { return __atomic_load_n(&activeEntries, __ATOMIC_SEQ_CST); }
FAKE_EXPORT int32_t fake_job_initialize_calls() { return __atomic_load_n(&initializeCalls, __ATOMIC_SEQ_CST); }
FAKE_EXPORT int32_t fake_job_setup_calls() { return __atomic_load_n(&setupCalls, __ATOMIC_SEQ_CST); }

}  // extern "C"
