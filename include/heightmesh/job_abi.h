/*
 * heightmesh job ABI: everything a host needs to load libheightfield_mesh.so
 * and run its heightfield mesh job.
 *
 * Naming: UpperCamelCase for types and operations, lowerCamelCase for fields,
 * kCamelCase (or HEIGHTMESH_* macros in C) for constants. Host function names
 * keep their published "Namespace.Type::Method" spelling only in the strings
 * the resolver is asked for.
 *
 * Start-up: dlopen the library, call "kavex.initialize" with a resolver that
 * answers the five host function names below, then "kavex.setup_extra" with an
 * accessor of the calling thread's frame-list head. Then call the job entry
 * from each worker thread. There is no shutdown call.
 *
 * All records below are laid out by the host and read by the library in place;
 * every size and offset is pinned by a static assertion. Little-endian x86-64.
 */
#ifndef HEIGHTMESH_JOB_ABI_H
#define HEIGHTMESH_JOB_ABI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Export names --------------------------------------------------------- */

#define HEIGHTMESH_JOB_NAME "a4b760b874bcc0dd6a3a8c57b4694fd0"

#define HEIGHTMESH_EXPORT_INITIALIZE "kavex.initialize"
#define HEIGHTMESH_EXPORT_INITIALIZE_EXTERNALS "kavex.initialize.externals." HEIGHTMESH_JOB_NAME
#define HEIGHTMESH_EXPORT_INITIALIZE_STATICS "kavex.initialize.statics." HEIGHTMESH_JOB_NAME
#define HEIGHTMESH_EXPORT_SETUP_EXTRA "kavex.setup_extra"
#define HEIGHTMESH_EXPORT_JOB_ENTRY HEIGHTMESH_JOB_NAME

/* ---- Host function names, in the order the library asks for them --------- */

#define HEIGHTMESH_HOST_ABORT "kavex_abort"
#define HEIGHTMESH_HOST_GET_WORK_STEALING_RANGE "Orvin.Jobs.LowLevel.Unsafe.JobsUtility::GetWorkStealingRange"
#define HEIGHTMESH_HOST_PATCH_BUFFER_MIN_MAX_RANGES "Orvin.Jobs.LowLevel.Unsafe.JobsUtility::PatchBufferMinMaxRanges"
#define HEIGHTMESH_HOST_CHECK_READ "Orvin.Collections.LowLevel.Unsafe.AtomicSafetyHandle::CheckReadAndThrowNoEarlyOut_Injected"
#define HEIGHTMESH_HOST_CHECK_WRITE "Orvin.Collections.LowLevel.Unsafe.AtomicSafetyHandle::CheckWriteAndThrowNoEarlyOut_Injected"

/* ---- Safety versions ------------------------------------------------------ */

/* An access goes ahead without asking the host when
 *   version == (*versionCell & mask).
 * The host's convention for its version word: bit 0 set = the buffer may not
 * be read, bit 1 set = it may not be written, and a disposal moves the word on
 * by 8. The read mask therefore ignores bits 1 and 2, the write mask bits 0
 * and 2; on a mismatch the library calls the host's check function. */
#define HEIGHTMESH_READ_VERSION_MASK 0xFFFFFFF9u
#define HEIGHTMESH_WRITE_VERSION_MASK 0xFFFFFFFAu

/* ---- Host-laid records ---------------------------------------------------- */

/* The safety record of one buffer view (16 bytes). */
typedef struct HeightmeshAtomicSafetyHandle {
    uint32_t* versionCell; /* 0: the host's version word of the buffer, shared by all its views */
    uint32_t version;      /* 8: the version this view was issued with */
    uint32_t safetyId;     /* 12: host identifier, passed back to the check functions only */
} HeightmeshAtomicSafetyHandle;

/* One buffer as the job sees it (48 bytes). The host owns the memory. */
typedef struct HeightmeshBufferView {
    void* data;        /* 0: element 0 */
    int32_t length;    /* 8: number of elements */
    int32_t minIndex;  /* 12: smallest index the job may touch */
    int32_t maxIndex;  /* 16: largest index the job may touch */
    uint32_t reserved; /* 20: unused gap */
    HeightmeshAtomicSafetyHandle safety; /* 24: safety record */
    uint64_t hostField; /* 40: the host's own; copied with the view, never read by the library */
} HeightmeshBufferView;

typedef struct HeightmeshFloat3 {
    float x, y, z;
} HeightmeshFloat3;

typedef struct HeightmeshFloat2 {
    float x, y;
} HeightmeshFloat2;

/* The job record (312 bytes). Grid points are stored row by row:
 * index = column + row * width; cells: column + row * (width - 1). */
typedef struct HeightmeshHeightfieldMeshJob {
    HeightmeshBufferView heights;   /* 0: float per grid point, read */
    HeightmeshBufferView cellMask;  /* 48: uint8 per cell, read; bit 0 set = the cell gets triangles */
    int32_t width;                  /* 96: grid columns (points along x), at least 1 */
    int32_t height;                 /* 100: grid rows (points along z) */
    HeightmeshFloat3 scale;         /* 104: x and z spacing, height multiplier in y */
    uint32_t reserved;              /* 116: unused gap */
    HeightmeshBufferView vertices;  /* 120: float3 per grid point, written */
    HeightmeshBufferView uvs;       /* 168: float2 per grid point, written */
    HeightmeshBufferView normals;   /* 216: float3 per grid point, written */
    HeightmeshBufferView triangles; /* 264: int32, six per cell, written */
} HeightmeshHeightfieldMeshJob;

/* The top of a thread's frame list. Its layout is the library's own; the host
 * only keeps, per thread, a slot holding the address of the top frame. */
typedef struct HeightmeshAbortFrame HeightmeshAbortFrame;

/* The host's record of how one run's index space is split among workers;
 * opaque to the library. */
typedef struct HeightmeshWorkRanges HeightmeshWorkRanges;

/* ---- Host functions ------------------------------------------------------- */

/* Returns the address of the host function of that name; never null. */
typedef void* (*HeightmeshHostResolver)(const char* name);
/* Returns the address of the calling thread's frame-list head slot. */
typedef HeightmeshAbortFrame** (*HeightmeshFrameListAccessor)(void);
/* Raises the host exception typeName with message; does not return. */
typedef void (*HeightmeshAbortFn)(const char* typeName, const char* message);
/* Non-zero: [*begin, *end) is the worker's next range. Zero: its share is done.
 * Only the low byte of the result is tested. */
typedef uint8_t (*HeightmeshGetWorkStealingRangeFn)(HeightmeshWorkRanges* ranges, int32_t jobIndex,
                                                   int32_t* begin, int32_t* end);
/* Called once per range before its first index; may rewrite minIndex and
 * maxIndex of the record's views. */
typedef void (*HeightmeshPatchBufferMinMaxRangesFn)(void* patchData, void* job, int32_t begin, int32_t count);
/* Called with a copy of the view's safety record when its version check fails:
 * raises the host's error, or returns and the access goes ahead. */
typedef void (*HeightmeshSafetyCheckFn)(HeightmeshAtomicSafetyHandle* handle);

/* ---- Exports -------------------------------------------------------------- */

typedef void (*HeightmeshInitializeFn)(HeightmeshHostResolver resolver);
typedef void (*HeightmeshInitializeExternalsFn)(HeightmeshHostResolver resolver);
typedef void (*HeightmeshInitializeStaticsFn)(void);
typedef void (*HeightmeshSetupExtraFn)(HeightmeshFrameListAccessor accessor);
/* The job entry: called on each worker with the same record; `additional` is
 * never read. */
typedef void (*HeightmeshJobEntryFn)(HeightmeshHeightfieldMeshJob* job, void* additional, void* patchData,
                                     HeightmeshWorkRanges* ranges, int32_t jobIndex);

#ifdef __cplusplus
} /* extern "C" */
#define HEIGHTMESH_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define HEIGHTMESH_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

HEIGHTMESH_STATIC_ASSERT(sizeof(void*) == 8, "the job ABI is 64-bit");

HEIGHTMESH_STATIC_ASSERT(sizeof(HeightmeshAtomicSafetyHandle) == 16, "AtomicSafetyHandle size");
HEIGHTMESH_STATIC_ASSERT(offsetof(HeightmeshAtomicSafetyHandle, versionCell) == 0, "versionCell offset");
HEIGHTMESH_STATIC_ASSERT(offsetof(HeightmeshAtomicSafetyHandle, version) == 8, "version offset");
HEIGHTMESH_STATIC_ASSERT(offsetof(HeightmeshAtomicSafetyHandle, safetyId) == 12, "safetyId offset");

HEIGHTMESH_STATIC_ASSERT(sizeof(HeightmeshBufferView) == 48, "BufferView size");
HEIGHTMESH_STATIC_ASSERT(offsetof(HeightmeshBufferView, data) == 0, "data offset");
HEIGHTMESH_STATIC_ASSERT(offsetof(HeightmeshBufferView, length) == 8, "length offset");
HEIGHTMESH_STATIC_ASSERT(offsetof(HeightmeshBufferView, minIndex) == 12, "minIndex offset");
HEIGHTMESH_STATIC_ASSERT(offsetof(HeightmeshBufferView, maxIndex) == 16, "maxIndex offset");
HEIGHTMESH_STATIC_ASSERT(offsetof(HeightmeshBufferView, safety) == 24, "safety offset");
HEIGHTMESH_STATIC_ASSERT(offsetof(HeightmeshBufferView, hostField) == 40, "hostField offset");

HEIGHTMESH_STATIC_ASSERT(sizeof(HeightmeshFloat2) == 8, "float2 size");
HEIGHTMESH_STATIC_ASSERT(sizeof(HeightmeshFloat3) == 12, "float3 size");

HEIGHTMESH_STATIC_ASSERT(sizeof(HeightmeshHeightfieldMeshJob) == 312, "HeightfieldMeshJob size");
HEIGHTMESH_STATIC_ASSERT(offsetof(HeightmeshHeightfieldMeshJob, heights) == 0, "heights offset");
HEIGHTMESH_STATIC_ASSERT(offsetof(HeightmeshHeightfieldMeshJob, cellMask) == 48, "cellMask offset");
HEIGHTMESH_STATIC_ASSERT(offsetof(HeightmeshHeightfieldMeshJob, width) == 96, "width offset");
HEIGHTMESH_STATIC_ASSERT(offsetof(HeightmeshHeightfieldMeshJob, height) == 100, "height offset");
HEIGHTMESH_STATIC_ASSERT(offsetof(HeightmeshHeightfieldMeshJob, scale) == 104, "scale offset");
HEIGHTMESH_STATIC_ASSERT(offsetof(HeightmeshHeightfieldMeshJob, vertices) == 120, "vertices offset");
HEIGHTMESH_STATIC_ASSERT(offsetof(HeightmeshHeightfieldMeshJob, uvs) == 168, "uvs offset");
HEIGHTMESH_STATIC_ASSERT(offsetof(HeightmeshHeightfieldMeshJob, normals) == 216, "normals offset");
HEIGHTMESH_STATIC_ASSERT(offsetof(HeightmeshHeightfieldMeshJob, triangles) == 264, "triangles offset");

#endif /* HEIGHTMESH_JOB_ABI_H */
