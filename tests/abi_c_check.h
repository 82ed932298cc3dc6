/* The C translation unit's view of the ABI header, for the C++ tests. */
#ifndef HEIGHTMESH_ABI_C_CHECK_H
#define HEIGHTMESH_ABI_C_CHECK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

int64_t AbiCPointCount(int32_t width, int32_t height);
int64_t AbiCCellCount(int32_t width, int32_t height);
int64_t AbiCTriangleEntryCount(int32_t width, int32_t height);
int AbiCGridFits(int64_t width, int64_t height);
size_t AbiCRecordSize(void);
int AbiCVersion(void);
void AbiCCellTriangles(int32_t i, int32_t width, int32_t out[6]);

#ifdef __cplusplus
}
#endif

#endif
