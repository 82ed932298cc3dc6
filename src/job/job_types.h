// The job's vocabulary: the host-laid records the kernel reads and writes,
// under the names the library's code uses. They are the ABI's own types, so a
// record is read in place exactly as the host laid it out.
#pragma once

#include "heightmesh/job_abi.h"

namespace heightmesh {

using AtomicSafetyHandle = HeightmeshAtomicSafetyHandle;
using BufferView = HeightmeshBufferView;
using HeightfieldMeshJob = HeightmeshHeightfieldMeshJob;
using WorkRanges = HeightmeshWorkRanges;
using Float2 = HeightmeshFloat2;
using Float3 = HeightmeshFloat3;

}  // namespace heightmesh
