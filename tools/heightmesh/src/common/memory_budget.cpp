#include "common/memory_budget.h"

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <limits>

#include <fmt/format.h>

#include "common/tool_error.h"

namespace heightmesh::tool {

namespace {

// Bytes per grid point of each part of a run, from the buffers the tool
// holds: the heights (float) with their no-data flags and the fill's flags
// and queue; the per-point pass flags and per-cell mask; the job's four
// outputs (position, normal, UV, six 32-bit indices per cell); the kept
// mesh's vertex tables; and what the optional outputs add. The mesh writers
// stream from the job's buffers in slices, so a mesh file adds only their
// blocks, a fixed amount.
constexpr int64_t kHeightsPerPoint = 4 + 1 + 1 + 8;
constexpr int64_t kCellMaskPerPoint = 1 + 1;
constexpr int64_t kJobPerPoint = 12 + 12 + 8 + 24;
constexpr int64_t kKeptMeshPerPoint = 4 + 4 + 1;
constexpr int64_t kMaskImagePerPoint = 4 + 1;
constexpr int64_t kNormalMapPerPoint = 3 + 3;
constexpr int64_t kPreviewPerPoint = 4 + 4;
constexpr int64_t kWriterBlockBytes = int64_t{64} << 20;
// A banded run holds instead: the y values; the simplification's marks, or
// for an unsimplified surface its vertex numbers, triangles, gathered vertex
// records and their order; the solid base's marks and outline lookup; and
// one band of the job's outputs (or of the error measure's table).
constexpr int64_t kBandedHeightsPerPoint = 4;
constexpr int64_t kSimplifiedPerPoint = 1;
constexpr int64_t kFullSurfacePerPoint = 4 + 4 + 24 + 32 + 4 + 4;
constexpr int64_t kSolidBasePerPoint = 1 + 4;
constexpr int64_t kBandBytes = int64_t{16} << 20;
// A streamed run holds two bands of the job's outputs, their written
// numbers and their packed records (STL's the largest), in place of the
// writer's blocks.
constexpr int64_t kStreamBandBytes = int64_t{96} << 20;

}  // namespace

int64_t EstimateRunBytes(const RunShape& shape)
{
    int64_t perPoint = kHeightsPerPoint + kCellMaskPerPoint;
    int64_t fixed = shape.readBytes + (shape.mesh && !shape.streamed ? kWriterBlockBytes : 0);
    if (shape.banded) {
        perPoint += kBandedHeightsPerPoint + (shape.simplified ? kSimplifiedPerPoint : kFullSurfacePerPoint) +
                    (shape.solid ? kSolidBasePerPoint : 0);
        fixed += kBandBytes;
    } else if (shape.streamed) {
        fixed += kStreamBandBytes;
    } else {
        perPoint += kJobPerPoint + kKeptMeshPerPoint;
    }
    if (shape.mask)
        perPoint += kMaskImagePerPoint;
    if (shape.normalMap)
        perPoint += kNormalMapPerPoint;
    if (shape.preview)
        perPoint += kPreviewPerPoint;
    return shape.points * perPoint + fixed;
}

int64_t DefaultMemoryLimit()
{
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    int64_t limit = pages > 0 && pageSize > 0 ? static_cast<int64_t>(pages) * pageSize / 2 : int64_t{4} << 30;
    for (const int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        rlimit current{};
        if (::getrlimit(resource, &current) == 0 && current.rlim_cur != RLIM_INFINITY)
            limit = std::min(limit, static_cast<int64_t>(current.rlim_cur / 2));
    }
    return limit;
}

int64_t ParseByteCount(const std::string& text, const std::string& what)
{
    const auto bad = [&] {
        return UsageError(fmt::format("{}: '{}' is not a byte count such as 512M or 2G", what, text));
    };
    int64_t value = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(first, last, value);
    if (first == end || error != std::errc() || value <= 0)
        throw bad();
    int shift = 0;
    const std::string suffix(end, last);
    if (suffix.empty() || suffix == "B")
        shift = 0;
    else if (suffix == "K" || suffix == "k" || suffix == "KiB")
        shift = 10;
    else if (suffix == "M" || suffix == "MiB")
        shift = 20;
    else if (suffix == "G" || suffix == "GiB")
        shift = 30;
    else if (suffix == "T" || suffix == "TiB")
        shift = 40;
    else
        throw bad();
    if (value > (std::numeric_limits<int64_t>::max() >> shift))
        throw bad();
    return value << shift;
}

uint64_t PeakMemoryBytes()
{
    rusage usage{};
    return ::getrusage(RUSAGE_SELF, &usage) == 0 ? static_cast<uint64_t>(usage.ru_maxrss) * 1024 : 0;
}

void ReleaseFreedMemory()
{
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}

std::string ByteText(int64_t bytes)
{
    const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 4) {
        value /= 1024.0;
        ++unit;
    }
    return unit == 0 ? fmt::format("{} bytes", bytes) : fmt::format("{:.1f} {}", value, units[unit]);
}

void CheckMemory(int64_t need, int64_t limit, const std::string& what)
{
    if (need <= limit)
        return;
    throw ToolError(fmt::format(
        "{} would need about {} of memory, above the limit of {}; read less of it with --window or --bounds, reduce "
        "it with --resample or --max-size, or raise --max-memory",
        what, ByteText(need), ByteText(limit)));
}

}  // namespace heightmesh::tool
