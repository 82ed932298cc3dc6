#include "run/options.h"

#include <charconv>
#include <cmath>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "common/tool_error.h"

namespace heightmesh::tool {

namespace {

constexpr const char* kVersion = "0.1.0";

float ParseFloat(const std::string& text, const std::string& what) {
    float value = 0.0f;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || !std::isfinite(value))
        throw UsageError(fmt::format("{}: '{}' is not a finite number", what, text));
    return value;
}

std::vector<float> ParseFloatList(const std::string& text, std::size_t count, const std::string& what,
                                  const std::string& shape) {
    std::vector<float> values;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        values.push_back(ParseFloat(text.substr(start, comma - start), what));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (values.size() != count) throw UsageError(fmt::format("{}: '{}' is not {}", what, text, shape));
    return values;
}

}  // namespace

std::optional<Options> ParseCommandLine(int argc, const char* const* argv, std::ostream& out,
                                        const std::string& defaultLibrary) {
    Options options;
    CLI::App app{
        "heightmesh: turns a heightmap into a triangle mesh with per-vertex normals and texture coordinates, "
        "computed by the heightfield mesh job on all cores; also writes a normal map and a shaded preview.",
        "heightmesh"};
    app.set_version_flag("--version", kVersion);
    app.option_defaults()->always_capture_default();

    std::string input, output, size, scale, mask, normalMap, preview, library;
    std::string light = "315,45";
    float cutBelow = 0.0f;
    uint64_t seed = Options::kDefaultSeed;

    app.add_option("INPUT", input,
                   "heightmap: any raster GDAL reads (GeoTIFF, SRTM .hgt, PNG, ESRI ASCII grid, VRT, ...; band 1, "
                   "colour as luminance), .pgm (P2/P5), or raw little-endian float32 (.raw/.r32/.f32, needs --size); "
                   "images without a georeference give heights 0..1, elevation rasters keep their metres; without "
                   "INPUT a built-in procedural terrain")
        ->default_str("built-in terrain");
    app.add_option("-o,--output", output, "mesh file; the format follows the extension: .obj, .ply, .stl, .gltf, .glb")
        ->default_str("none");
    app.add_option("--size", size, "grid size WIDTHxHEIGHT of raw float32 input or of the built-in terrain")
        ->default_str("512x512 for the built-in terrain");
    app.add_option("--seed", seed, "seed of the built-in terrain");
    InputOptionTexts inputTexts;
    inputTexts.Add(app);

    auto* zScaleOption = app.add_option(
        "--z-scale", options.zScale, "height multiplier (the job's scale y; an exaggeration of elevation in metres)");
    auto* cellSizeOption = app.add_option(
        "--cell-size", options.cellSize,
        "spacing of the grid points along x and z (scale x and z); replaces the spacing of a georeferenced raster");
    app.add_option("--scale", scale, "X,Y,Z scale handed to the job as it is, instead of --cell-size and --z-scale")
        ->default_str("CELL,ZSCALE,CELL")
        ->excludes(zScaleOption)
        ->excludes(cellSizeOption);
    app.add_flag("--invert", options.invert,
                 "flip high and low within the input's value range (0..1 for images, the samples' lowest to highest "
                 "otherwise)");
    app.add_flag("--level", options.level, "stretch the heights so that the lowest is 0 and the highest 1 (after --invert)");

    app.add_option("--mask", mask,
                   "mask image (PNG or PGM) of the heightmap's size: a cell keeps its triangles when all four corners "
                   "are at or above --mask-threshold")
        ->default_str("none");
    app.add_option("--mask-threshold", options.maskThreshold, "mask value (0..1) from which a point is kept")
        ->check(CLI::Range(0.0f, 1.0f));
    app.add_flag("--mask-invert", options.maskInvert, "keep the points below the mask threshold instead");
    auto* cutOption = app.add_option("--cut-below", cutBelow,
                                     "drop every cell with a corner below this height (after --invert and --level, "
                                     "before scaling), e.g. the sea")
                          ->default_str("none");

    app.add_flag("--ascii", options.asciiStl, "write STL as text instead of binary");
    app.add_option("--normal-map", normalMap, "PNG of the normals, one pixel per grid point (R = x, G = -z, B = y)")
        ->default_str("none");
    app.add_option("--preview", preview, "PNG of the terrain tinted by height and shaded by the job's normals")
        ->default_str("none");
    app.add_option("--light", light,
                   "light direction of the preview: AZIMUTH,ELEVATION in degrees, azimuth clockwise from the "
                   "picture's top");

    std::string maxError, up;
    int64_t maxTriangles = 0;
    float base = 0.0f;
    app.add_option("--max-error", maxError,
                   "simplify: every grid point of every kept cell lies within E (vertically, in the output's height "
                   "units) of the mesh; E% is a percentage of the kept heights' range")
        ->default_str("none");
    auto* maxTrianglesOption = app.add_option("--max-triangles", maxTriangles,
                   "simplify to at most N triangles (the outline of the kept region may need more)")
        ->check(CLI::PositiveNumber)
        ->default_str("none");
    auto* baseOption = app.add_option("--base", base,
                   "make a closed solid for printing: side walls from every edge down to a flat bottom DEPTH below "
                   "the lowest height")
        ->check(CLI::PositiveNumber)
        ->default_str("none");
    app.add_option("--up", up, "up axis of the written mesh, y or z (glTF is always y)")
        ->check(CLI::IsMember({"y", "z"}))
        ->default_str("z for STL and solids, y otherwise");
    app.add_flag("--gpu-order", options.gpuOrder,
                 "order a full-resolution mesh's triangles and vertices for the GPU (simplified meshes always are)");

    app.add_option("--threads", options.threads, "worker threads (0 = all cores)");
    app.add_option("--batch", options.batch, "vertices per batch (0 = chosen by the job system)")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--stats", options.stats,
                 "print grid size, vertices, triangles kept, time in the job and in I/O, vertices per second");
    app.add_option("--library", library, "job library to load")->default_str(defaultLibrary);

    // Errors come back as one line; --help and --version are answered here.
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        out << app.help();
        return std::nullopt;
    } catch (const CLI::CallForAllHelp&) {
        out << app.help("", CLI::AppFormatMode::All);
        return std::nullopt;
    } catch (const CLI::CallForVersion&) {
        out << "heightmesh " << kVersion << "\n";
        return std::nullopt;
    } catch (const CLI::ParseError& error) {
        throw UsageError(fmt::format("{} (see --help)", error.what()));
    }

    if (!input.empty()) options.input = input;
    if (!output.empty()) options.output = output;
    if (!size.empty()) options.size = ParseGridSize(size);
    if (app.count("--seed") > 0) options.seed = seed;
    inputTexts.Apply(options.source);
    options.cellSizeGiven = cellSizeOption->count() > 0;
    if (!std::isfinite(options.zScale)) throw UsageError("--z-scale must be a finite number");
    if (!std::isfinite(options.cellSize) || options.cellSize == 0.0f)
        throw UsageError("--cell-size must be a finite number other than 0");
    if (!scale.empty()) {
        const std::vector<float> v = ParseFloatList(scale, 3, "--scale", "three numbers X,Y,Z");
        if (v[0] == 0.0f || v[2] == 0.0f) throw UsageError("--scale: X and Z must not be 0");
        options.scale = HeightmeshFloat3{v[0], v[1], v[2]};
    }
    if (!mask.empty()) options.mask = mask;
    if (cutOption->count() > 0) {
        if (!std::isfinite(cutBelow)) throw UsageError("--cut-below must be a finite number");
        options.cutBelow = cutBelow;
    }
    if (!normalMap.empty()) options.normalMap = normalMap;
    if (!preview.empty()) options.preview = preview;
    {
        const std::vector<float> v = ParseFloatList(light, 2, "--light", "two numbers AZIMUTH,ELEVATION");
        options.light = LightDirection{v[0], v[1]};
    }
    if (!library.empty()) options.library = library;
    if (!maxError.empty()) {
        const bool percent = maxError.back() == '%';
        const float value = ParseFloat(percent ? maxError.substr(0, maxError.size() - 1) : maxError, "--max-error");
        if (value < 0.0f) throw UsageError("--max-error must not be negative");
        (percent ? options.maxErrorPercent : options.maxError) = value;
    }
    if (maxTrianglesOption->count() > 0) options.maxTriangles = maxTriangles;
    if (baseOption->count() > 0) {
        if (!std::isfinite(base)) throw UsageError("--base must be a finite depth");
        options.base = base;
    }
    if (!up.empty()) options.up = up[0];
    return options;
}

}  // namespace heightmesh::tool
