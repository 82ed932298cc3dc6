// The command line of heightmesh.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

#include "heightmesh/job_abi.h"
#include "input/heightmap.h"
#include "input/input_options.h"
#include "output/pictures.h"

namespace heightmesh::tool {

struct Options {
    std::optional<std::filesystem::path> input;  // none: the built-in terrain
    std::optional<std::filesystem::path> output;
    std::optional<GridSize> size;
    std::optional<uint64_t> seed;

    float zScale = 1.0f;
    float cellSize = 1.0f;
    std::optional<HeightmeshFloat3> scale;  // replaces zScale and cellSize
    bool cellSizeGiven = false;             // --cell-size replaces a georeferenced spacing
    InputOptions source;                    // band, window, resampling, encoding, memory limit
    bool invert = false;
    bool level = false;

    std::optional<std::filesystem::path> mask;
    float maskThreshold = 0.5f;
    bool maskInvert = false;
    std::optional<float> cutBelow;

    bool asciiStl = false;
    std::optional<std::filesystem::path> normalMap;
    std::optional<std::filesystem::path> preview;
    LightDirection light;

    // Simplification, solid base and axes of the written mesh.
    std::optional<double> maxError;         // vertical bound, in the output's height units
    std::optional<double> maxErrorPercent;  // ... or in percent of the kept heights' range
    std::optional<int64_t> maxTriangles;
    std::optional<float> base;  // depth of a solid's bottom below the lowest height
    std::optional<char> up;     // 'y' or 'z'; default: z for STL and for a solid, y otherwise
    bool gpuOrder = false;      // order a full-resolution mesh for the GPU too

    unsigned threads = 0;  // 0: all cores
    int32_t batch = 0;     // 0: chosen by the job system
    bool stats = false;
    std::optional<std::filesystem::path> library;

    static constexpr GridSize kDefaultTerrainSize{512, 512};
    static constexpr uint64_t kDefaultSeed = 1;

    bool Simplifies() const { return maxError || maxErrorPercent || maxTriangles; }
    // Whether the mesh is shaped (simplified, solid or GPU-ordered) rather
    // than the job's own.
    bool Shapes() const { return Simplifies() || base || gpuOrder; }

    // The scale handed to the job.
    HeightmeshFloat3 JobScale() const { return scale ? *scale : HeightmeshFloat3{cellSize, zScale, cellSize}; }
};

// Parses the command line. Returns no options when --help or --version was
// answered on `out`; throws UsageError for a command line it cannot act on.
// `defaultLibrary` is shown in --help as the default of --library.
std::optional<Options> ParseCommandLine(int argc, const char* const* argv, std::ostream& out,
                                        const std::string& defaultLibrary = "next to the executable");

// Refuses contradictory or empty requests, and outputs that cannot be
// written or would replace an input, before anything is read: UsageError for
// the command line, ToolError for a missing directory or a destination that
// is not a regular file.
void CheckRequest(const Options& options);

}  // namespace heightmesh::tool
