// The memory a run needs, estimated from the grid's size and the outputs
// asked for before anything large is allocated, and the limit it must stay
// under.
#pragma once

#include <cstdint>
#include <string>

namespace heightmesh::tool {

struct RunShape {
    int64_t points = 0;     // grid points meshed
    int64_t readBytes = 0;  // working memory of the read beyond the heights (buffers, decoded windows)
    bool mask = false;      // --mask image
    bool mesh = false;      // -o
    bool normalMap = false;
    bool preview = false;
    bool banded = false;      // a shaped mesh made band by band: the job's full outputs never exist
    bool simplified = false;  // (banded) the surface is simplified, not every kept cell
    bool solid = false;       // (banded) --base
    bool streamed = false;    // the mesh file written band by band as the job makes it: no full outputs either
};

// Bytes the run holds at its peak, as a sum over what stays alive at once.
int64_t EstimateRunBytes(const RunShape& shape);

// Half the machine's physical memory, or less when the process has a lower
// address-space or data limit.
int64_t DefaultMemoryLimit();

// Parses a byte count with an optional K, M, G or T suffix (powers of 1024),
// e.g. 512M or 2G; throws UsageError.
int64_t ParseByteCount(const std::string& text, const std::string& what);

// The process's peak resident memory so far, in bytes (0 when unknown).
uint64_t PeakMemoryBytes();

// Gives the memory freed so far back to the system: what worker threads
// free stays in their allocator's pools, counted in the process's size, until
// then.
void ReleaseFreedMemory();

// "1.5 GiB"-style text.
std::string ByteText(int64_t bytes);

// Throws ToolError when `need` is above `limit`, naming both and suggesting
// --window or --resample.
void CheckMemory(int64_t need, int64_t limit, const std::string& what);

}  // namespace heightmesh::tool
