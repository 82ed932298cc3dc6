// A small job library used only by the jobhost tests. It speaks the same ABI
// as the real one (five exports, the host functions resolved by name, frames
// on the host's per-thread list, checked element access) but runs a trivial
// job, so that the runtime can be tested on its own.
#pragma once

#include <stdint.h>

#include "heightmesh/job_abi.h"

// The record of the generic fake job. Per index i, in this order:
//   1. i == failAt (or failAt == kFailEveryIndex): abort with
//      "Fake.JobFailureException" / "The job failed at index <i>.";
//   2. i == unknownAt: call the host function named kFakeUnknownName;
//   3. sleep sleepMicros;
//   4. read input[i], write output[i] := 2 * input[i];
//   5. add 1 to hits[i];
//   6. writeAhead != 0: write output[i + writeAhead] := -1;
//   7. seen not empty: write seen[4i .. 4i+3] := output's minIndex and
//      maxIndex, input's minIndex and maxIndex, as this worker sees them.
// A failed range check aborts with "System.IndexOutOfRangeException" and
// "Index <k> is out of range [<min>...<max>] of length <length>."
struct FakeJob {
    HeightmeshBufferView input;   // int32, read
    HeightmeshBufferView output;  // int32, written
    HeightmeshBufferView hits;    // int32, incremented
    HeightmeshBufferView seen;    // int32, four per index, written
    int32_t failAt;
    int32_t unknownAt;
    int32_t writeAhead;
    int32_t sleepMicros;
};

#define FAKE_JOB_FAIL_EVERY_INDEX (-2)
#define FAKE_JOB_NOWHERE (-1)
// Asked of the resolver after the five real names.
#define FAKE_JOB_UNKNOWN_NAME "Fake.Host::NotProvided"

// Test-only exports of the fake library.
typedef int32_t (*FakeCounterFn)(void);
#define FAKE_JOB_ACTIVE_ENTRIES "fake_job_active_entries"      // entry calls begun and not yet returned or failed
#define FAKE_JOB_INITIALIZE_CALLS "fake_job_initialize_calls"  // kavex.initialize calls so far
#define FAKE_JOB_SETUP_CALLS "fake_job_setup_calls"            // kavex.setup_extra calls so far

// The mesh flavour (built with FAKE_MESH_JOB) reads a HeightmeshHeightfieldMeshJob
// and writes, per grid point i with x = i % width, z = i / width:
//   vertices[i]  = (heights[i], heights[(i + 1) % points], scale.x)
//   uvs[i]       = (scale.y, scale.z)
//   normals[i]   = (vertices.minIndex, vertices.maxIndex, heights.maxIndex)
//   and for the cell c whose lower-left corner is i:
//   triangles[6c .. 6c+5] = (i, width, height, cellMask[c], triangles.maxIndex, cellMask.maxIndex)
