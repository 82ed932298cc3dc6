/*
 * heightmesh job ABI: the whole contract between a host and
 * libheightfield_mesh.so, the native library that carries the heightfield mesh
 * job. A host needs nothing else to load the library, serve its host
 * functions, lay out its records and run the job.
 *
 * Naming: UpperCamelCase for types and operations, lowerCamelCase for fields,
 * kCamelCase (or HEIGHTMESH_* macros in C) for constants. Host function names
 * keep their published "Namespace.Type::Method" spelling only in the strings
 * the resolver is asked for.
 *
 * Start-up. dlopen the library and look up its five exports (below). Call
 * "kavex.initialize" once with a resolver, then "kavex.setup_extra" once with
 * an accessor of the calling thread's frame-list head, then call the job
 * entry from any number of worker threads. There is no shutdown call and
 * nothing to release. What a repeated call does is told at each export's
 * type below.
 *
 * One run. The host fills one HeightmeshHeightfieldMeshJob and calls the job
 * entry on each worker with the record, its patch data, its
 * HeightmeshWorkRanges and the worker's index. The entry asks
 * GetWorkStealingRange for ranges [begin, end) of vertex indices until it
 * returns 0; for every range (an empty one too) it first calls
 * PatchBufferMinMaxRanges, then, for a non-empty range, computes the range's
 * vertices in increasing order. The ranges of all workers must be disjoint
 * and cover 0 ... width * height - 1 exactly once; a host that wants the
 * outputs of some rows only may cover just those rows' indices, with output
 * views that allow no index outside them.
 *
 * The record is the worker's own. Right after the patch call of a range the
 * library takes a copy of the record and works from that copy for the whole
 * range: changes the host makes to the record while a range runs are not
 * seen, and the views' allowed ranges are those the patch call left. A host
 * that narrows views per range must therefore give each worker its own copy
 * of the record (and patch that copy), or workers would see one another's
 * ranges.
 *
 * What the job writes, for vertex index i at column x = i % width and row
 * z = i / width (floats are IEEE single precision, every product, sum,
 * quotient and square root rounded on its own, no fused multiply-add):
 *   vertices[i] = (x * scale.x, heights[i] * scale.y, z * scale.z)
 *   uvs[i]      = (x / width, z / height)       (u never reaches 1)
 *   normals[i]  = the unit Sobel normal at (x, z): with neighbours clamped
 *                 onto the grid and t = height * scale.y per sample,
 *                 gx = (t[x+1,z-1] + 2 t[x+1,z] + t[x+1,z+1]) -
 *                      (t[x-1,z-1] + 2 t[x-1,z] + t[x-1,z+1]),
 *                 gz likewise across rows, both summed left to right in
 *                 the order -t[x-1,z-1], -2t[x-1,z], -t[x-1,z+1], t[x+1,z-1],
 *                 2t[x+1,z], t[x+1,z+1] (gz: -t[x-1,z-1], -2t[x,z-1],
 *                 -t[x+1,z-1], t[x-1,z+1], 2t[x,z+1], t[x+1,z+1]);
 *                 n = (-gx / scale.x, 8, -gz / scale.z);
 *                 r = 1 / sqrt((n.x * n.x + 64) + n.z * n.z);
 *                 normals[i] = (n.x * r, 8 * r, n.z * r).
 *   For x < width - 1 and z < height - 1, vertex i is the lower-left corner
 *   of cell c = x + z * (width - 1), and triangles[6c ... 6c + 5] =
 *     (i, i + width + 1, i + 1,  i, i + width, i + width + 1)
 *   (two triangles, both counter-clockwise seen from +y, so that their
 *   geometric normal points up; HeightmeshCellTriangles below) when bit 0
 *   of cellMask[c] is set, else six zeros (degenerate triangles; a writer
 *   drops them).
 * The view lengths this needs are given by the count helpers below.
 *
 * Failures. Every element access is checked against the view's allowed range
 * [minIndex, maxIndex] and its safety version (see Safety versions). A range
 * failure ends the job through the host abort (HeightmeshAbortFn) with one of
 * these type names and messages:
 *   "System.IndexOutOfRangeException"
 *       "Index <i> is out of range of '<length>' Length."          or, when
 *       i < length and the host narrowed the view (minIndex != 0 or
 *       maxIndex != length - 1):
 *       "Index <i> is out of restricted IJobParallelFor range [<min>...<max>]
 *       in ReadWriteBuffer.\n" followed by "ReadWriteBuffers are restricted to
 *       only read & write the element at the job index. You can use double
 *       buffering strategies to avoid race conditions due to reading &
 *       writing in parallel to the same elements from a job."
 *   "System.DivideByZeroException"  "Attempted to divide by zero."  (width 0)
 *   "System.OverflowException"      "Arithmetic operation resulted in an
 *                                    overflow."  (width -1, index INT32_MIN)
 * Integers print in plain signed decimal. Outputs written before a failure
 * stay written; nothing after it is.
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

/* The version of this contract; it changes with any change a host must follow. */
#define HEIGHTMESH_ABI_VERSION 1

/* ---- Export names --------------------------------------------------------- */

#define HEIGHTMESH_JOB_NAME "a4b760b874bcc0dd6a3a8c57b4694fd0"

#define HEIGHTMESH_EXPORT_INITIALIZE "kavex.initialize"
#define HEIGHTMESH_EXPORT_INITIALIZE_EXTERNALS "kavex.initialize.externals." HEIGHTMESH_JOB_NAME
#define HEIGHTMESH_EXPORT_INITIALIZE_STATICS "kavex.initialize.statics." HEIGHTMESH_JOB_NAME
#define HEIGHTMESH_EXPORT_SETUP_EXTRA "kavex.setup_extra"
#define HEIGHTMESH_EXPORT_JOB_ENTRY HEIGHTMESH_JOB_NAME

/* ---- Host function names, in the order the library asks for them --------- */
/* The function each name stands for and its type are described under Host
 * functions below. */

#define HEIGHTMESH_HOST_ABORT "kavex_abort"
#define HEIGHTMESH_HOST_GET_WORK_STEALING_RANGE "Orvin.Jobs.LowLevel.Unsafe.JobsUtility::GetWorkStealingRange"
#define HEIGHTMESH_HOST_PATCH_BUFFER_MIN_MAX_RANGES "Orvin.Jobs.LowLevel.Unsafe.JobsUtility::PatchBufferMinMaxRanges"
#define HEIGHTMESH_HOST_CHECK_READ \
    "Orvin.Collections.LowLevel.Unsafe.AtomicSafetyHandle::CheckReadAndThrowNoEarlyOut_Injected"
#define HEIGHTMESH_HOST_CHECK_WRITE \
    "Orvin.Collections.LowLevel.Unsafe.AtomicSafetyHandle::CheckWriteAndThrowNoEarlyOut_Injected"

/* ---- Safety versions ------------------------------------------------------ */

/* Every access loads the view's version word afresh (a relaxed atomic load;
 * the host may change it at any time) and goes ahead without asking the host
 * when
 *   version == (*versionCell & mask).
 * The host's convention for its version word: bit 0 set = the buffer may not
 * be read, bit 1 set = it may not be written, and a disposal moves the word on
 * by 8. The read mask therefore ignores bits 1 and 2, the write mask bits 0
 * and 2; on a mismatch the library calls the host's check function with a
 * copy of the view's safety record, before the access concerned, and makes
 * the access if the check returns. A view whose version has a bit its mask
 * clears never matches: every access asks the host. */
#define HEIGHTMESH_READ_VERSION_MASK 0xFFFFFFF9u
#define HEIGHTMESH_WRITE_VERSION_MASK 0xFFFFFFFAu

/* ---- Failure texts -------------------------------------------------------- */

/* The longest message the library passes to the host abort, in bytes, not
 * counting the zero terminator: the restricted-range message with three
 * eleven-character numbers (index -2147483648, range [-1000000000 ...
 * -1000000000]), 109 bytes of its first line and 217 of the advice. The
 * plain range message is at most 58 bytes. */
#define HEIGHTMESH_MAX_MESSAGE_LENGTH 326
/* The longest exception type name, "System.IndexOutOfRangeException". */
#define HEIGHTMESH_MAX_TYPE_NAME_LENGTH 31

/* ---- Host-laid records ---------------------------------------------------- */

/* The safety record of one buffer view (16 bytes). */
typedef struct HeightmeshAtomicSafetyHandle {
    uint32_t* versionCell; /* 0: the host's version word of the buffer, shared by all its views */
    uint32_t version;      /* 8: the version this view was issued with */
    uint32_t safetyId;     /* 12: host identifier, passed back to the check functions only */
} HeightmeshAtomicSafetyHandle;

/* One buffer as the job sees it (48 bytes). The host owns the memory. */
typedef struct HeightmeshBufferView {
    void* data;                          /* 0: element 0 */
    int32_t length;                      /* 8: number of elements */
    int32_t minIndex;                    /* 12: smallest index the job may touch */
    int32_t maxIndex;                    /* 16: largest index the job may touch */
    uint32_t reserved;                   /* 20: unused gap */
    HeightmeshAtomicSafetyHandle safety; /* 24: safety record */
    uint64_t hostField;                  /* 40: the host's own; copied with the view, never read by the library */
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

/* One entry of a thread's frame list (each job entry call pushes one and pops
 * it, or the abort trampoline does). Its layout is the library's own; the host
 * only keeps, per thread, a slot holding the address of the top frame, null
 * while the list is empty. */
typedef struct HeightmeshAbortFrame HeightmeshAbortFrame;

/* The host's record of how one run's index space is split among workers;
 * opaque to the library. */
typedef struct HeightmeshWorkRanges HeightmeshWorkRanges;

/* ---- View lengths ---------------------------------------------------------- */

/* Every view length and index is a signed 32-bit value. */
#define HEIGHTMESH_MAX_VIEW_LENGTH 2147483647

/* Grid points of a width x height grid: the length heights, vertices, uvs
 * and normals need. 0 when width or height is below 1. */
static inline int64_t HeightmeshPointCount(int32_t width, int32_t height)
{
    return width < 1 || height < 1 ? 0 : (int64_t)width * (int64_t)height;
}

/* Cells, (width - 1) x (height - 1): the length cellMask needs. 0 when width
 * or height is below 2. */
static inline int64_t HeightmeshCellCount(int32_t width, int32_t height)
{
    return width < 2 || height < 2 ? 0 : (int64_t)(width - 1) * (int64_t)(height - 1);
}

/* Triangle entries, six per cell: the length triangles needs. Exact for
 * every grid whose cell count fits 32 bits. */
static inline int64_t HeightmeshTriangleEntryCount(int32_t width, int32_t height)
{
    const int64_t cells = HeightmeshCellCount(width, height);
    return cells > INT64_MAX / 6 ? INT64_MAX : 6 * cells;
}

/* Non-zero when a width x height grid (taken as 64-bit values, so that a
 * reader's sizes can be tested before narrowing) has at least one point and
 * every view it needs, triangles included, fits a 32-bit length. */
static inline int HeightmeshGridFits(int64_t width, int64_t height)
{
    if (width < 1 || height < 1 || width > HEIGHTMESH_MAX_VIEW_LENGTH || height > HEIGHTMESH_MAX_VIEW_LENGTH)
        return 0;
    if (width * height > HEIGHTMESH_MAX_VIEW_LENGTH)
        return 0;
    return (width - 1) * (height - 1) <= HEIGHTMESH_MAX_VIEW_LENGTH / 6;
}

/* ---- Triangle layout ------------------------------------------------------ */

/* The int32 whose two's-complement bits are bits, without the
 * implementation-defined conversion of an unsigned value above INT32_MAX. */
static inline int32_t HeightmeshInt32FromBits(uint32_t bits)
{
    return bits <= 0x7FFFFFFFu ? (int32_t)bits : -(int32_t)(~bits) - 1;
}

/* The six triangle entries the job writes for a kept cell whose lower-left
 * grid point is i in a grid width points wide (i = x + z * width for the
 * cell at column x and row z): out = (i, i + width + 1, i + 1,
 * i, i + width, i + width + 1), two triangles, both counter-clockwise seen
 * from +y. The sums wrap in 32 bits as the job's do (a grid whose point count
 * fits 32 bits never wraps); there is no signed overflow. A masked cell's
 * entries are six zeros instead. */
static inline void HeightmeshCellTriangles(int32_t i, int32_t width, int32_t out[6])
{
    const uint32_t corner = (uint32_t)i;
    const uint32_t up = corner + (uint32_t)width;
    out[0] = HeightmeshInt32FromBits(corner);
    out[1] = HeightmeshInt32FromBits(up + 1u);
    out[2] = HeightmeshInt32FromBits(corner + 1u);
    out[3] = HeightmeshInt32FromBits(corner);
    out[4] = HeightmeshInt32FromBits(up);
    out[5] = HeightmeshInt32FromBits(up + 1u);
}

/* ---- Host functions ------------------------------------------------------- */
/* Functions the host provides. The library calls them on the thread that
 * called the export concerned, never concurrently on one thread, and passes
 * any pointer it was given back unchanged. */

/* Resolves one host function for "kavex.initialize".
 *   name: one of the five HEIGHTMESH_HOST_* names below, zero-terminated,
 *         valid during the call only.
 * Returns the function's address, which the library stores without testing
 * and casts to the type given below for that name. It must never be null: a
 * host that cannot serve a name returns a function that raises its own error
 * (through the abort, for instance) when called. */
typedef void* (*HeightmeshHostResolver)(const char* name);

/* Gives the address of the calling thread's frame-list head slot, for
 * "kavex.setup_extra". Called on the job entry's thread, at the start and at
 * the end of each call and by the abort trampoline. Must return the same
 * address every time on one thread, a different one on each thread; the slot
 * holds null until the first frame is pushed and is written by the library
 * only. */
typedef HeightmeshAbortFrame** (*HeightmeshFrameListAccessor)(void);

/* HEIGHTMESH_HOST_ABORT: raises the host exception named typeName with
 * message, on the failing worker's thread.
 *   typeName: one of the type names under Failures above, at most
 *             HEIGHTMESH_MAX_TYPE_NAME_LENGTH bytes.
 *   message:  its message, at most HEIGHTMESH_MAX_MESSAGE_LENGTH bytes.
 * Both are zero-terminated and live in the library's own storage (on the
 * failing entry's stack): valid only during the call, so a host that keeps
 * them copies them before it returns or throws. By the time it is called
 * the library has popped the failing entry's frame and restored the
 * callee-saved vector registers xmm6 ... xmm15 as they were when the entry
 * began. It must not return: leave by C++ exception (the library has unwind
 * tables) or longjmp. One that returns anyway stops the process at a trap
 * instruction (SIGILL) rather than letting the refused access happen. */
typedef void (*HeightmeshAbortFn)(const char* typeName, const char* message);

/* HEIGHTMESH_HOST_GET_WORK_STEALING_RANGE: hands a worker its next range.
 *   ranges:   the HeightmeshWorkRanges pointer the job entry was given.
 *   jobIndex: the worker index the job entry was given.
 *   begin, end: where to store the range [*begin, *end); the library's own
 *             variables, valid during the call only.
 * Returns non-zero when [*begin, *end) is the worker's next range, zero when
 * its share is done; only the low byte of the result is tested. The library
 * asks again only after the previous range's vertices are written. A range
 * with *end <= *begin is patched and then skipped. */
typedef uint8_t (*HeightmeshGetWorkStealingRangeFn)(HeightmeshWorkRanges* ranges, int32_t jobIndex, int32_t* begin,
                                                    int32_t* end);

/* HEIGHTMESH_HOST_PATCH_BUFFER_MIN_MAX_RANGES: prepares the record for one
 * range, called once per range before its first index, an empty range too.
 *   patchData: the pointer the job entry was given, untouched.
 *   job:       the HeightmeshHeightfieldMeshJob the job entry was given; the
 *              host may rewrite minIndex and maxIndex of its views.
 *   begin:     the range's first index.
 *   count:     end - begin in wrapping 32-bit arithmetic.
 * The library copies the record when this returns and works from the copy
 * for the whole range. */
typedef void (*HeightmeshPatchBufferMinMaxRangesFn)(void* patchData, void* job, int32_t begin, int32_t count);

/* HEIGHTMESH_HOST_CHECK_READ, HEIGHTMESH_HOST_CHECK_WRITE: decide an access
 * whose version comparison failed (see Safety versions), before it is made.
 *   handle: a copy of the view's safety record on the library's stack,
 *           valid during the call only.
 * Returns when the access may go ahead after all. To refuse it, the host
 * raises its own error by C++ exception or longjmp; that leaves the job entry
 * without its pop (see HeightmeshJobEntryFn). */
typedef void (*HeightmeshSafetyCheckFn)(HeightmeshAtomicSafetyHandle* handle);

/* ---- Exports -------------------------------------------------------------- */
/* The library's five functions, looked up by the HEIGHTMESH_EXPORT_* names. */

/* "kavex.initialize": asks resolver, once each and in the order of the
 * HEIGHTMESH_HOST_* names below, for the five host functions and stores them;
 * then prepares the job's static data (it has none).
 *   resolver: not null.
 * Must not run while any job entry runs: the stored functions are read
 * without synchronisation. A repeated call asks again and replaces all five;
 * once "kavex.setup_extra" has armed the abort, the new host abort becomes
 * the trampoline's target and failures keep popping their frames, with or
 * without a new setup call. */
typedef void (*HeightmeshInitializeFn)(HeightmeshHostResolver resolver);

/* The first half of "kavex.initialize": the five look-ups, with the same
 * order, storage and repeated-call behaviour. */
typedef void (*HeightmeshInitializeExternalsFn)(HeightmeshHostResolver resolver);

/* The second half of "kavex.initialize": the job has no static data, so this
 * does nothing, however often it is called. */
typedef void (*HeightmeshInitializeStaticsFn)(void);

/* "kavex.setup_extra": stores accessor and arms the abort: from now on the
 * library's failures go through its trampoline, which pops the failing
 * entry's frame and restores the vector registers before calling the host
 * abort the resolver gave.
 *   accessor: not null; called from every worker thread.
 * Must follow "kavex.initialize" and precede the first job entry (an entry
 * before it calls a null accessor and crashes). A repeated call replaces the
 * accessor and keeps the host abort as the target; it never makes the
 * trampoline its own target. */
typedef void (*HeightmeshSetupExtraFn)(HeightmeshFrameListAccessor accessor);

/* The job entry, named HEIGHTMESH_EXPORT_JOB_ENTRY: runs one worker's share of
 * a run (see One run above).
 *   job:        the worker's own record, laid out by the host; every view's
 *               data must be valid for every index its allowed range admits,
 *               and its versionCell for loads; the library only reads the
 *               record (the patch call may change it).
 *   additional: never read.
 *   patchData:  passed to PatchBufferMinMaxRanges as given.
 *   ranges, jobIndex: passed to GetWorkStealingRange as given.
 * Returns when GetWorkStealingRange reports the share done, or leaves through
 * the host abort on a failure. Each call pushes a frame on the calling
 * thread's frame list and pops it on return; on a failure the trampoline pops
 * it. Entries may nest (a host function may call the entry again on the same
 * thread): each pushes its own frame, a failure pops only the innermost, and
 * a finished entry leaves the list as it found it. Leaving by any other road
 * (a host function that throws or long-jumps itself, or lets an inner entry's
 * failure pass through an outer one) skips the pops of the entries it leaves:
 * the host then restores its head slot to the value it had before the call. */
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
