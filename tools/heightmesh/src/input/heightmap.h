// Height grids and the height edits the command line asks for. Reading them
// from files is readers.h, the built-in terrain terrain.h.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace heightmesh::tool {

struct GridSize {
    int32_t width = 0;
    int32_t height = 0;
    friend bool operator==(const GridSize&, const GridSize&) = default;
};

// Parses "WxH" (or "N" for N x N); throws UsageError.
GridSize ParseGridSize(const std::string& text);

// Throws ToolError unless the grid has at least 2 x 2 points and its vertex
// and triangle-index counts fit the job's signed 32-bit indices and lengths.
void CheckGridSize(int64_t width, int64_t height, const std::string& what);

// The largest grid side product the job can address: 6 x cells must fit a
// signed 32-bit length, and so must the vertex count.
bool GridFitsIndices(int64_t width, int64_t height);

struct Heightmap {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<float> heights;   // width * height, row by row; row 0 is the image's top row
    std::vector<uint8_t> noData;  // empty, or width * height with 1 where the sample has no value
    // The value range the input format spans (0..1 for images, the samples'
    // own lowest and highest otherwise); --invert mirrors within it.
    float rangeLow = 0.0f;
    float rangeHigh = 1.0f;

    std::size_t size() const noexcept { return heights.size(); }
    bool HasNoData() const noexcept { return !noData.empty(); }
};

// Sets rangeLow and rangeHigh to the lowest and highest sample with a value
// (both 0 when none has one).
void SetRangeFromSamples(Heightmap& map);

// h -> rangeLow + rangeHigh - h for every sample with a value.
void InvertHeights(Heightmap& map);

// Stretches the samples with a value linearly so that the lowest is 0 and the
// highest 1 (all 0 when they are equal).
void LevelHeights(Heightmap& map);

// Gives every no-data sample the height of the nearest sample with a value
// (grid steps, ties to the first found), so that the normals of the cells
// around a hole are not pulled by a sentinel value. Throws ToolError when no
// sample has a value.
void FillNoData(Heightmap& map, const std::string& name);

}  // namespace heightmesh::tool
