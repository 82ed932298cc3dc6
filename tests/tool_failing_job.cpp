// A job library for the tool's tests whose job entry reports an index out of
// range on its first index, through the host's abort, as the real library
// does when a check fails. Everything else follows the real library's start-up.
#include "heightmesh/job_abi.h"

#define FAILING_EXPORT __attribute__((visibility("default")))

namespace {
HeightmeshAbortFn hostAbort;
HeightmeshGetWorkStealingRangeFn getWorkStealingRange;
}  // namespace

extern "C" {

FAILING_EXPORT void FailingInitializeExternals(HeightmeshHostResolver resolver) __asm__(
    HEIGHTMESH_EXPORT_INITIALIZE_EXTERNALS);
FAILING_EXPORT void FailingInitializeStatics() __asm__(HEIGHTMESH_EXPORT_INITIALIZE_STATICS);
FAILING_EXPORT void FailingInitialize(HeightmeshHostResolver resolver) __asm__(HEIGHTMESH_EXPORT_INITIALIZE);
FAILING_EXPORT void FailingSetupExtra(HeightmeshFrameListAccessor accessor) __asm__(HEIGHTMESH_EXPORT_SETUP_EXTRA);
FAILING_EXPORT void FailingEntry(HeightmeshHeightfieldMeshJob* job, void* additional, void* patchData,
                                 HeightmeshWorkRanges* ranges, int32_t jobIndex) __asm__(HEIGHTMESH_EXPORT_JOB_ENTRY);

void FailingInitializeExternals(HeightmeshHostResolver resolver)
{
    hostAbort = reinterpret_cast<HeightmeshAbortFn>(resolver(HEIGHTMESH_HOST_ABORT));
    getWorkStealingRange =
        reinterpret_cast<HeightmeshGetWorkStealingRangeFn>(resolver(HEIGHTMESH_HOST_GET_WORK_STEALING_RANGE));
}

void FailingInitializeStatics() {}

void FailingInitialize(HeightmeshHostResolver resolver) { FailingInitializeExternals(resolver); }

void FailingSetupExtra(HeightmeshFrameListAccessor) {}

void FailingEntry(HeightmeshHeightfieldMeshJob*, void*, void*, HeightmeshWorkRanges* ranges, int32_t jobIndex)
{
    int32_t begin = 0;
    int32_t end = 0;
    if (getWorkStealingRange(ranges, jobIndex, &begin, &end) != 0)
        hostAbort("System.IndexOutOfRangeException", "Index 4 is out of range of '4' Length.");
}

}  // extern "C"
