/* The ABI header compiled as C: its declarations, static assertions and
 * inline helpers must be plain C. The functions below let the C++ tests
 * compare the helpers' C results with their C++ results. */
#include "heightmesh/job_abi.h"

#include "abi_c_check.h"

int64_t AbiCPointCount(int32_t width, int32_t height) { return HeightmeshPointCount(width, height); }
int64_t AbiCCellCount(int32_t width, int32_t height) { return HeightmeshCellCount(width, height); }
int64_t AbiCTriangleEntryCount(int32_t width, int32_t height) { return HeightmeshTriangleEntryCount(width, height); }
int AbiCGridFits(int64_t width, int64_t height) { return HeightmeshGridFits(width, height); }
size_t AbiCRecordSize(void) { return sizeof(HeightmeshHeightfieldMeshJob); }
int AbiCVersion(void) { return HEIGHTMESH_ABI_VERSION; }
void AbiCCellTriangles(int32_t i, int32_t width, int32_t out[6]) { HeightmeshCellTriangles(i, width, out); }
