// Height grids: reading them from image and elevation files, making the
// built-in terrain, and the height edits the command line asks for.
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

enum class InputFormat { Png, Pgm, Hgt, RawFloat32 };

// Picks the reader from the extension, or from the file's first bytes for a
// PNG or PGM under another name; throws UsageError for anything else.
InputFormat DetectInputFormat(const std::filesystem::path& path, std::span<const uint8_t> firstBytes);

// Parsers over a file's bytes; `name` is used in messages. Images give
// samples scaled to 0..1 (colour as luminance, alpha ignored).
Heightmap ParsePng(std::span<const uint8_t> bytes, const std::string& name);
Heightmap ParsePgm(std::span<const uint8_t> bytes, const std::string& name);
Heightmap ParseHgt(std::span<const uint8_t> bytes, const std::string& name);
Heightmap ParseRawFloat32(std::span<const uint8_t> bytes, GridSize size, const std::string& name);

// Reads any supported input. rawSize is required for raw float32 input and
// refused for the others.
Heightmap ReadHeightmap(const std::filesystem::path& path, const std::optional<GridSize>& rawSize);

// An image read as values 0..1 (a mask); PNG or PGM.
Heightmap ReadImage(const std::filesystem::path& path);

// A seeded procedural landscape in grid-cell units (the same seed and size
// always give the same heights).
Heightmap MakeTerrain(GridSize size, uint64_t seed, const std::function<void(double)>& progress = {});

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
