#include "host/host_binding.h"

#include "text/text_writer.h"

#define HEIGHTMESH_EXPORT __attribute__((visibility("default")))

// Zero until the host initialises the library.
heightmesh::HostFunctionTable heightmesh_host_functions;

namespace heightmesh {
namespace {

// Five look-ups, in a fixed order the host may observe; the results are stored
// as returned: a name the host cannot serve must still yield a callable function.
void InitializeExternals(HeightmeshHostResolver resolver)
{
    HostFunctionTable& table = heightmesh_host_functions;
    const auto hostAbort = reinterpret_cast<HeightmeshAbortFn>(resolver(HEIGHTMESH_HOST_ABORT));
    // Once setup has armed the slot, the new host abort becomes the
    // trampoline's target and the slot stays armed: a failure still pops its
    // entry's frame, even before setup is called again.
    if (table.abort == &heightmesh_abort_trampoline)
        table.savedAbort = hostAbort;
    else
        table.abort = hostAbort;
    table.getWorkStealingRange =
        reinterpret_cast<HeightmeshGetWorkStealingRangeFn>(resolver(HEIGHTMESH_HOST_GET_WORK_STEALING_RANGE));
    table.patchBufferMinMaxRanges =
        reinterpret_cast<HeightmeshPatchBufferMinMaxRangesFn>(resolver(HEIGHTMESH_HOST_PATCH_BUFFER_MIN_MAX_RANGES));
    table.checkReadAndThrowNoEarlyOut = reinterpret_cast<HeightmeshSafetyCheckFn>(resolver(HEIGHTMESH_HOST_CHECK_READ));
    table.checkWriteAndThrowNoEarlyOut =
        reinterpret_cast<HeightmeshSafetyCheckFn>(resolver(HEIGHTMESH_HOST_CHECK_WRITE));
}

// The job has no static data to prepare.
void InitializeStatics() {}

}  // namespace
}  // namespace heightmesh

// The exports call the library's own functions directly, never through the
// symbol table, so nothing another module defines can stand in for them.
extern "C" {

HEIGHTMESH_EXPORT void heightmesh_initialize(HeightmeshHostResolver resolver)
{
    heightmesh::InitializeExternals(resolver);
    heightmesh::InitializeStatics();
}

HEIGHTMESH_EXPORT void heightmesh_initialize_externals(HeightmeshHostResolver resolver)
{
    heightmesh::InitializeExternals(resolver);
}

HEIGHTMESH_EXPORT void heightmesh_initialize_statics() { heightmesh::InitializeStatics(); }

// Arms the abort slot with the trampoline. The host's abort is kept as the
// saved abort; a repeated call keeps it too, rather than saving the trampoline
// as its own target (which would make any failure recurse without end).
HEIGHTMESH_EXPORT void heightmesh_setup_extra(HeightmeshFrameListAccessor accessor)
{
    using namespace heightmesh;
    HostFunctionTable& table = heightmesh_host_functions;
    table.frameListAccessor = accessor;
    if (table.abort != &heightmesh_abort_trampoline)
        table.savedAbort = table.abort;
    table.abort = &heightmesh_abort_trampoline;
}

}  // extern "C"

namespace heightmesh {

void text_detail::RaiseArgumentNull(const char* parameterName)
{
    RaiseAbort("System.ArgumentNullException", parameterName);
}

void PushAbortFrame(AbortFrame* frame)
{
    AbortFrame** head = heightmesh_host_functions.frameListAccessor();
    frame->next = *head;
    *head = frame;
    heightmesh_capture_preserved_vectors(frame->preservedVectors);
}

void PopAbortFrame()
{
    AbortFrame** head = heightmesh_host_functions.frameListAccessor();
    *head = (*head)->next;
}

}  // namespace heightmesh
