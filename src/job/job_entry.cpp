// The heightfield mesh job's entry point and its two arithmetic failures.
#include "host/batch_driver.h"
#include "job/vertex_kernel.h"

namespace heightmesh {

void ReportDivideByZero() { RaiseAbort("System.DivideByZeroException", "Attempted to divide by zero."); }

void ReportOverflow() { RaiseAbort("System.OverflowException", "Arithmetic operation resulted in an overflow."); }

}  // namespace heightmesh

extern "C" {

void heightmesh_job_entry(HeightmeshHeightfieldMeshJob* job, void* additional, void* patchData,
                          HeightmeshWorkRanges* ranges, int32_t jobIndex) __asm__(HEIGHTMESH_EXPORT_JOB_ENTRY);

// Runs this worker's share of the job inside an abort frame. A failure leaves
// through the abort trampoline, which pops the frame instead.
__attribute__((visibility("default"))) void heightmesh_job_entry(HeightmeshHeightfieldMeshJob* job,
                                                                 void* /*additional*/, void* patchData,
                                                                 HeightmeshWorkRanges* ranges, int32_t jobIndex)
{
    using namespace heightmesh;
    AbortFrame frame;
    PushAbortFrame(&frame);
    const Road road = FastestRoad();
    ExecuteBatchRanges(job, patchData, ranges, jobIndex,
                       [road](HeightfieldMeshJob* batchJob, int32_t begin, int32_t end) {
                           ExecuteVertexBatch(batchJob, begin, end, road);
                       });
    PopAbortFrame();
}

}  // extern "C"
