// Reading height grids from files: raw float32 and PGM by the tool's own
// parsers, everything else through GDAL (gdal_reader.h). A read is planned
// first, from the file's header, so that its size and memory are known
// before any sample is read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "input/georeference.h"
#include "input/heightmap.h"
#include "input/input_options.h"

namespace heightmesh::tool {

class GdalRaster;

enum class InputFormat { RawFloat32, Pgm, Gdal };

// Raw float32 by extension (.raw, .r32, .f32), PGM by its magic number,
// anything else is left to GDAL.
InputFormat DetectInputFormat(const std::filesystem::path& path, std::span<const uint8_t> firstBytes);

// Parsers over a file's bytes; `name` is used in messages. PGM samples are
// scaled to 0..1 by the file's maximum value.
Heightmap ParsePgm(std::span<const uint8_t> bytes, const std::string& name);
Heightmap ParseRawFloat32(std::span<const uint8_t> bytes, GridSize size, const std::string& name);

// A read known from the file's header.
struct InputPlan {
    std::filesystem::path path;
    std::string name;  // quoted, for messages
    InputFormat format = InputFormat::Gdal;
    GridSize grid;
    bool image = false;                  // samples 0..1
    std::optional<GridSpacing> spacing;  // ground spacing, when the input gives it
    int64_t readBytes = 0;               // working memory of the read beyond the heights
    std::string summary;                 // what is read, for --stats
    std::shared_ptr<GdalRaster> raster;
    std::optional<Heightmap> parsed;  // PGM, parsed while planning
    std::optional<GridSize> rawSize;
};

// Plans the read of a heightmap (a mask with `asMask`: always 0..1). rawSize
// is required for raw float32 input and refused for the others; the options
// other than the defaults apply only to GDAL rasters. Throws ToolError or
// UsageError; a non-regular file is refused before it is read.
InputPlan PlanHeightInput(const std::filesystem::path& path, const std::optional<GridSize>& rawSize,
                          const InputOptions& options, int64_t memoryLimit, bool asMask = false);

// Plans the read of a mask for the heights: of the heights' grid size, or of
// their whole raster's size, when the heights' window and resampling are
// applied to it too. Throws ToolError for a mask of another size.
InputPlan PlanMaskInput(const std::filesystem::path& path, const InputPlan& heights, int64_t memoryLimit);

Heightmap ReadPlannedInput(InputPlan& plan, const std::function<void(double)>& progress = {});

// Plans and reads in one step.
Heightmap ReadHeightmap(const std::filesystem::path& path, const std::optional<GridSize>& rawSize,
                        const InputOptions& options = {});
Heightmap ReadImage(const std::filesystem::path& path);

}  // namespace heightmesh::tool
