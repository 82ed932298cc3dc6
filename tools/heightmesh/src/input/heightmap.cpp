#include "input/heightmap.h"

#include <algorithm>
#include <charconv>
#include <deque>
#include <limits>

#include <fmt/format.h>

#include "common/tool_error.h"
#include "heightmesh/job_abi.h"

namespace heightmesh::tool {

namespace {

constexpr int64_t kMaxLength = HEIGHTMESH_MAX_VIEW_LENGTH;

}  // namespace

void SetRangeFromSamples(Heightmap& map)
{
    float low = std::numeric_limits<float>::infinity();
    float high = -std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < map.heights.size(); ++i) {
        if (map.HasNoData() && map.noData[i])
            continue;
        low = std::min(low, map.heights[i]);
        high = std::max(high, map.heights[i]);
    }
    if (low > high)
        low = high = 0.0f;
    map.rangeLow = low;
    map.rangeHigh = high;
}

// ---- Sizes ----------------------------------------------------------------

GridSize ParseGridSize(const std::string& text)
{
    const auto bad = [&] {
        return UsageError(fmt::format("bad grid size '{}': expected WIDTHxHEIGHT, e.g. 512x512", text));
    };
    const std::size_t cross = text.find_first_of("xX");
    const std::string first = text.substr(0, cross);
    const std::string second = cross == std::string::npos ? first : text.substr(cross + 1);
    const auto parse = [&](const std::string& part) {
        int64_t value = 0;
        if (part.empty() || part.size() > 12)
            throw bad();
        const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (error != std::errc() || end != part.data() + part.size() || value < 0)
            throw bad();
        return value;
    };
    const int64_t width = parse(first);
    const int64_t height = parse(second);
    // A size on the command line that the job cannot mesh is a usage error.
    try {
        CheckGridSize(width, height, fmt::format("grid {}x{}", width, height));
    } catch (const ToolError& error) {
        throw UsageError(error.what());
    }
    return GridSize{static_cast<int32_t>(width), static_cast<int32_t>(height)};
}

bool GridFitsIndices(int64_t width, int64_t height) { return HeightmeshGridFits(width, height) != 0; }

void CheckGridSize(int64_t width, int64_t height, const std::string& what)
{
    if (width < 2 || height < 2)
        throw ToolError(fmt::format("{} is too small: a mesh needs at least 2 x 2 points", what));
    if (!GridFitsIndices(width, height))
        throw ToolError(
            fmt::format("{} is too large: the job addresses at most {} points and {} cells with 32-bit indices", what,
                        kMaxLength, kMaxLength / 6));
}

// ---- Edits ----------------------------------------------------------------

void InvertHeights(Heightmap& map)
{
    const double sum = static_cast<double>(map.rangeLow) + map.rangeHigh;
    for (std::size_t i = 0; i < map.heights.size(); ++i) {
        if (map.HasNoData() && map.noData[i])
            continue;
        map.heights[i] = static_cast<float>(sum - map.heights[i]);
    }
}

void LevelHeights(Heightmap& map)
{
    SetRangeFromSamples(map);
    const double low = map.rangeLow;
    const double span = static_cast<double>(map.rangeHigh) - low;
    for (std::size_t i = 0; i < map.heights.size(); ++i) {
        if (map.HasNoData() && map.noData[i])
            continue;
        map.heights[i] = span > 0.0 ? static_cast<float>((map.heights[i] - low) / span) : 0.0f;
    }
    map.rangeLow = 0.0f;
    map.rangeHigh = 1.0f;
}

void FillNoData(Heightmap& map, const std::string& name)
{
    if (!map.HasNoData())
        return;
    const std::size_t count = map.heights.size();
    const std::size_t width = static_cast<std::size_t>(map.width);
    const std::size_t height = static_cast<std::size_t>(map.height);
    std::vector<uint8_t> filled(count);
    bool anyValue = false;
    for (std::size_t i = 0; i < count; ++i) {
        filled[i] = map.noData[i] ? 0 : 1;
        anyValue |= filled[i] != 0;
    }
    if (!anyValue)
        throw ToolError(fmt::format("{} has no samples with a value", name));
    // A breadth-first fill from every sample with a value, in index order.
    // Only those beside a hole can give a value to anything, and the order
    // among them is what it would be among all: they alone start the queue,
    // which then holds the fill's front instead of the whole grid.
    const auto besideHole = [&](std::size_t i) {
        const std::size_t column = i % width, row = i / width;
        return (column > 0 && !filled[i - 1]) || (column + 1 < width && !filled[i + 1]) ||
               (row > 0 && !filled[i - width]) || (row + 1 < height && !filled[i + width]);
    };
    std::deque<std::size_t> queue;
    for (std::size_t i = 0; i < count; ++i)
        if (filled[i] && besideHole(i))
            queue.push_back(i);
    while (!queue.empty()) {
        const std::size_t i = queue.front();
        queue.pop_front();
        const std::size_t column = i % width;
        const std::size_t row = i / width;
        const auto visit = [&](std::size_t j) {
            if (filled[j])
                return;
            filled[j] = 1;
            map.heights[j] = map.heights[i];
            queue.push_back(j);
        };
        if (column > 0)
            visit(i - 1);
        if (column + 1 < width)
            visit(i + 1);
        if (row > 0)
            visit(i - width);
        if (row + 1 < height)
            visit(i + width);
    }
}

}  // namespace heightmesh::tool
