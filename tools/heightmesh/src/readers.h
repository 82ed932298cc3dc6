// Reading height grids from image and elevation files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "heightmap.h"

namespace heightmesh::tool {

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

}  // namespace heightmesh::tool
