#include "run/options.h"
#include "run/option_text.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <vector>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include <jobhost/jobhost.h>

#include "common/file_io.h"
#include "common/memory_budget.h"
#include "common/text.h"
#include "common/tool_error.h"
#include "output/mesh_writers.h"

namespace heightmesh::tool {

namespace {

constexpr const char* kVersion = HEIGHTMESH_VERSION;

// A single-precision number; NaN, infinities and values single precision
// cannot hold (they would round to infinity or to 0) are refused.
float ParseFloat(const std::string& text, const std::string& what)
{
    float value = 0.0f;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (!text.empty() && stop == end && error == std::errc::result_out_of_range)
        throw UsageError(fmt::format("{}: '{}' is out of range: give 0 or a magnitude from {:g} to {:g}", what, text,
                                     std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::max()));
    if (text.empty() || error != std::errc() || stop != end || !std::isfinite(value))
        throw UsageError(fmt::format("{}: '{}' is not a finite number", what, text));
    return value;
}

// A grid spacing (given as `text`): not 0, and its square (which the
// normals' length takes) does not underflow single precision.
float CheckSpacing(float value, const std::string& text, const std::string& what)
{
    if (value == 0.0f)
        throw UsageError(fmt::format("{}: the spacing must not be 0", what));
    if (value * value == 0.0f)
        throw UsageError(
            fmt::format("{}: '{}' is too small a spacing: its square underflows single precision "
                        "(give at least {:g} in magnitude)",
                        what, text, std::sqrt(std::numeric_limits<float>::denorm_min())));
    return value;
}

float ParseSpacing(const std::string& text, const std::string& what)
{
    return CheckSpacing(ParseFloat(text, what), text, what);
}

std::vector<float> ParseFloatList(const std::string& text, std::size_t count, const std::string& what,
                                  const std::string& shape)
{
    std::vector<float> values;
    for (const std::string& piece : SplitCommas(text))
        values.push_back(ParseFloat(piece, what));
    if (values.size() != count)
        throw UsageError(fmt::format("{}: '{}' is not {}", what, text, shape));
    return values;
}

// The texts of the input options while CLI11 parses them.
class InputOptionTexts {
public:
    void Add(CLI::App& app);        // the read's options, in the input group
    void AddMemory(CLI::App& app);  // --max-memory, in the run group
    // Converts the texts given; throws UsageError.
    void Apply(InputOptions& options) const;

private:
    int32_t band_ = 0;
    std::string window_, bounds_, resample_, encoding_ = "gray", tile_, maxMemory_;
    int32_t maxSize_ = 0;
};

void InputOptionTexts::Add(CLI::App& app)
{
    app.add_option("--band", band_, "raster band to read as heights")
        ->default_str("1, or colour as luminance")
        ->check(WholeNumber<int32_t>(1, std::numeric_limits<int32_t>::max()))
        ->group("Input");
    app.add_option("--window", window_, "read only the pixels X,Y,W,H of the raster (column, row, width, height)")
        ->default_str("whole raster")
        ->group("Input");
    app.add_option("--bounds", bounds_,
                   "read only the pixels overlapping MINX,MINY,MAXX,MAXY in the raster's CRS (degrees for a geographic "
                   "one)")
        ->default_str("whole raster")
        ->excludes("--window")
        ->group("Input");
    app.add_option("--resample", resample_, "reduce the grid read to WIDTHxHEIGHT points, averaging while reading")
        ->default_str("none")
        ->group("Input");
    app.add_option("--max-size", maxSize_, "reduce the grid read so its longer side has at most N points (averaging)")
        ->default_str("none")
        ->check(WholeNumber<int32_t>(2, 1 << 30))
        ->excludes("--resample")
        ->group("Input");
    app.add_option("--encoding", encoding_,
                   "how pixels give heights: gray (band as it is, colour as luminance), terrain-rgb "
                   "(-10000 + (R*65536 + G*256 + B) * 0.1 m) or terrarium (R*256 + G + B/256 - 32768 m)")
        ->group("Input");
    app.add_option("--tile", tile_, "web-mercator tile address Z/X/Y of the input, which sets the spacing")
        ->default_str("none")
        ->group("Input");
}

void InputOptionTexts::AddMemory(CLI::App& app)
{
    app.add_option("--max-memory", maxMemory_, "refuse a run estimated to need more memory (bytes, or K/M/G/T)")
        ->default_str("half the physical memory")
        ->group("Run");
}

void InputOptionTexts::Apply(InputOptions& options) const
{
    options.band = band_;
    if (!window_.empty()) {
        const auto v = ParseList<int64_t>(window_, 4, "--window", "four integers X,Y,WIDTH,HEIGHT");
        if (v[0] < 0 || v[1] < 0 || v[2] < 2 || v[3] < 2)
            throw UsageError(
                fmt::format("--window: '{}' needs X, Y >= 0 and a WIDTH and HEIGHT of at least 2", window_));
        options.window = PixelWindow{v[0], v[1], v[2], v[3]};
    }
    if (!bounds_.empty()) {
        const auto v = ParseList<double>(bounds_, 4, "--bounds", "four numbers MINX,MINY,MAXX,MAXY");
        if (!(v[0] < v[2]) || !(v[1] < v[3]))
            throw UsageError(fmt::format("--bounds: '{}' needs MINX < MAXX and MINY < MAXY", bounds_));
        options.bounds = std::array<double, 4>{v[0], v[1], v[2], v[3]};
    }
    if (!resample_.empty())
        options.resample = ParseGridSize(resample_);
    if (maxSize_ > 0)
        options.maxSize = maxSize_;
    options.encoding = ParseHeightEncoding(encoding_);
    if (options.encoding != HeightEncoding::Gray && band_ > 0)
        throw UsageError(fmt::format("--band does not apply to --encoding {}, which reads bands 1 to 3",
                                     HeightEncodingName(options.encoding)));
    if (!tile_.empty())
        options.tile = ParseTileAddress(tile_);
    if (!maxMemory_.empty())
        options.maxMemory = ParseByteCount(maxMemory_, "--max-memory");
}

// Two paths naming the same file, whether or not it exists yet.
bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b)
{
    std::error_code error;
    if (std::filesystem::equivalent(a, b, error))
        return true;
    const auto canonicalA = std::filesystem::weakly_canonical(a, error);
    if (error)
        return false;
    const auto canonicalB = std::filesystem::weakly_canonical(b, error);
    return !error && canonicalA == canonicalB;
}

}  // namespace

// Refuses contradictory or empty requests before anything is read.
void CheckRequest(const Options& options)
{
    if (!options.output && !options.normalMap && !options.preview && !options.stats)
        throw UsageError("nothing to do: give -o MESH, --normal-map PNG, --preview PNG or --stats (see --help)");
    std::optional<MeshFormat> format;
    if (options.output)
        format = MeshFormatFromPath(*options.output);
    if (options.asciiStl && format != MeshFormat::Stl)
        throw UsageError("--ascii applies only to .stl output");
    for (const auto* picture : {&options.normalMap, &options.preview}) {
        if (*picture && Lowercase(picture->value().extension().string()) != ".png")
            throw UsageError(fmt::format("pictures are written as PNG: {} must end in .png", Quoted(**picture)));
    }
    if (options.input && options.seed)
        throw UsageError("--seed applies only to the built-in terrain");
    if (!options.input && options.source.ForRasters())
        throw UsageError(
            "--band, --window, --bounds, --resample, --max-size, --encoding and --tile apply to an "
            "input raster, not to the built-in terrain");
    if (options.up == 'z' && (format == MeshFormat::Gltf || format == MeshFormat::Glb))
        throw UsageError("glTF is y-up by definition: --up z applies only to .stl, .obj and .ply");

    // A missing directory is found before any work is done.
    for (const auto* path : {&options.output, &options.normalMap, &options.preview}) {
        if (!*path)
            continue;
        const std::filesystem::path directory = (*path)->parent_path();
        struct stat info {};
        const int error = ::stat(directory.empty() ? "." : directory.c_str(), &info) != 0 ? errno
                          : !S_ISDIR(info.st_mode) ? ENOTDIR
                                                   : 0;
        if (error != 0)
            throw ToolError(fmt::format("cannot write {}: {}", Quoted(**path), std::strerror(error)));
        ResolveDestination(**path);  // refuses a directory, FIFO or device there
    }

    std::vector<std::filesystem::path> outputs;
    for (const auto* path : {&options.output, &options.normalMap, &options.preview})
        if (*path)
            outputs.push_back(**path);
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        for (std::size_t j = i + 1; j < outputs.size(); ++j)
            if (SameFile(outputs[i], outputs[j]))
                throw UsageError(fmt::format("{} is given for two outputs", Quoted(outputs[i])));
        for (const auto* source : {&options.input, &options.mask})
            if (*source && SameFile(outputs[i], **source))
                throw UsageError(fmt::format("output {} would replace an input", Quoted(outputs[i])));
    }
}

std::optional<Options> ParseCommandLine(int argc, const char* const* argv, std::ostream& out,
                                        const std::string& defaultLibrary)
{
    Options options;
    CLI::App app{
        "heightmesh: turns a heightmap into a triangle mesh with per-vertex normals and texture coordinates, "
        "computed by the heightfield mesh job on all cores; also writes a normal map and a shaded preview.",
        "heightmesh"};
    app.set_help_flag();  // added last, with --version, so that the run's group comes last
    app.option_defaults()->always_capture_default();

    std::string input, output, size, scale, mask, normalMap, preview, library, maxError, up;
    std::string light = "315,45";
    std::string zScale = "1", cellSize = "1", maskThreshold = "0.5", cutBelow, base;
    int64_t maxTriangles = 0;
    uint64_t seed = Options::kDefaultSeed;
    InputOptionTexts inputTexts;

    // Groups of --help, in this order: where the heights come from, what is
    // done to them, the mesh, the files, the pictures, the run.
    app.add_option("INPUT", input,
                   "heightmap: any raster GDAL reads (GeoTIFF, SRTM .hgt, PNG, ESRI ASCII grid, VRT, ...; band 1, "
                   "colour as luminance), .pgm (P2/P5), or raw little-endian float32 (.raw/.r32/.f32, needs --size); "
                   "images without a georeference give heights 0..1, elevation rasters keep their metres; without "
                   "INPUT a built-in procedural terrain")
        ->default_str("built-in terrain");
    app.add_option("--size", size, "grid size WIDTHxHEIGHT of raw float32 input or of the built-in terrain")
        ->default_str("512x512 for the built-in terrain")
        ->group("Input");
    app.add_option("--seed", seed, "seed of the built-in terrain")
        ->check(WholeNumber<uint64_t>(0, std::numeric_limits<uint64_t>::max()))
        ->group("Input");
    inputTexts.Add(app);

    auto* zScaleOption = app.add_option("--z-scale", zScale,
                                        "height multiplier (the job's scale y; an exaggeration of elevation in metres)")
                             ->type_name("FLOAT")
                             ->group("Heights");
    auto* cellSizeOption = app.add_option("--cell-size", cellSize,
                                          "spacing of the grid points along x and z (scale x and z); replaces the "
                                          "spacing of a georeferenced raster")
                               ->type_name("FLOAT")
                               ->group("Heights");
    app.add_option("--scale", scale, "X,Y,Z scale handed to the job as it is, instead of --cell-size and --z-scale")
        ->default_str("CELL,ZSCALE,CELL")
        ->excludes(zScaleOption)
        ->excludes(cellSizeOption)
        ->group("Heights");
    app.add_flag("--invert", options.invert,
                 "flip high and low within the input's value range (0..1 for images, the samples' lowest to highest "
                 "otherwise)")
        ->group("Heights");
    app.add_flag("--level", options.level,
                 "stretch the heights so that the lowest is 0 and the highest 1 (after --invert)")
        ->group("Heights");
    app.add_option("--mask", mask,
                   "mask image (PNG or PGM) of the heightmap's size: a cell keeps its triangles when all four corners "
                   "are at or above --mask-threshold")
        ->default_str("none")
        ->group("Heights");
    app.add_option("--mask-threshold", maskThreshold, "mask value (0..1) from which a point is kept")
        ->type_name("FLOAT")
        ->group("Heights");
    app.add_flag("--mask-invert", options.maskInvert, "keep the points below the mask threshold instead")
        ->group("Heights");
    auto* cutOption = app.add_option("--cut-below", cutBelow,
                                     "drop every cell with a corner below this height (after --invert and --level, "
                                     "before scaling), e.g. the sea")
                          ->type_name("FLOAT")
                          ->default_str("none")
                          ->group("Heights");

    app.add_option("--max-error", maxError,
                   "simplify: every grid point of every kept cell lies within E (vertically, in the output's height "
                   "units) of the mesh; E% is a percentage of the kept heights' range")
        ->default_str("none")
        ->group("Mesh");
    auto* maxTrianglesOption =
        app.add_option("--max-triangles", maxTriangles,
                       "simplify to at most N triangles (the outline of the kept region may need more)")
            ->check(WholeNumber<int64_t>(1, std::numeric_limits<int64_t>::max()))
            ->default_str("none")
            ->group("Mesh");
    auto* baseOption =
        app.add_option("--base", base,
                       "make a closed solid for printing: side walls from every edge down to a flat bottom DEPTH below "
                       "the lowest height")
            ->type_name("FLOAT")
            ->default_str("none")
            ->group("Mesh");
    app.add_flag("--gpu-order", options.gpuOrder,
                 "order a full-resolution mesh's triangles and vertices for the GPU (simplified meshes always are)")
        ->group("Mesh");

    app.add_option("-o,--output", output, "mesh file; the format follows the extension: .obj, .ply, .stl, .gltf, .glb")
        ->default_str("none")
        ->group("Output");
    app.add_flag("--ascii", options.asciiStl, "write STL as text instead of binary")->group("Output");
    app.add_option("--up", up, "up axis of the written mesh, y or z (glTF is always y)")
        ->check(CLI::IsMember({"y", "z"}))
        ->default_str("z for STL and solids, y otherwise")
        ->group("Output");

    app.add_option("--normal-map", normalMap, "PNG of the normals, one pixel per grid point (R = x, G = -z, B = y)")
        ->default_str("none")
        ->group("Pictures");
    app.add_option("--preview", preview, "PNG of the terrain tinted by height and shaded by the job's normals")
        ->default_str("none")
        ->group("Pictures");
    app.add_option("--light", light,
                   "light direction of the preview: AZIMUTH,ELEVATION in degrees, azimuth clockwise from the "
                   "picture's top")
        ->group("Pictures");

    app.add_option("--threads", options.threads, "worker threads (0 = all cores)")
        ->check(WholeNumber<unsigned>(0, jobhost::JobSystem::kMaxWorkers))
        ->group("Run");
    app.add_option("--batch", options.batch, "vertices per batch (0 = chosen by the job system)")
        ->check(WholeNumber<int32_t>(0, std::numeric_limits<int32_t>::max()))
        ->group("Run");
    inputTexts.AddMemory(app);
    app.add_flag("--stats", options.stats,
                 "print what was read (its spacing and where that came from, the extents in metres, the height "
                 "range), the road the mesh took, the grid, vertices and triangles kept, a simplified mesh's size and "
                 "measured error, the time of the job, of I/O and of every stage, vertices per second and peak memory")
        ->group("Run");
    app.add_option("--library", library, "job library to load")->default_str(defaultLibrary)->group("Run");
    app.set_help_flag("-h,--help", "print this help and exit")->group("Run");
    app.set_version_flag("--version", kVersion, "print the version and exit")->group("Run");

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

    // An option given with an empty value is a mistake, never "not given".
    for (const CLI::Option* option : app.get_options()) {
        if (option->get_expected_min() == 0 || option->count() == 0)
            continue;
        for (const std::string& result : option->results())
            if (result.empty())
                throw UsageError(fmt::format(
                    "{}: the value is empty (see --help)",
                    option->get_name(false, true).empty() ? option->get_name() : option->get_name(false, true)));
    }

    if (!input.empty())
        options.input = input;
    if (!output.empty())
        options.output = output;
    if (!size.empty())
        options.size = ParseGridSize(size);
    if (app.count("--seed") > 0)
        options.seed = seed;
    inputTexts.Apply(options.source);
    options.cellSizeGiven = cellSizeOption->count() > 0;
    options.zScale = ParseFloat(zScale, "--z-scale");
    options.cellSize = ParseSpacing(cellSize, "--cell-size");
    if (!scale.empty()) {
        const std::vector<float> v = ParseFloatList(scale, 3, "--scale", "three numbers X,Y,Z");
        const std::vector<std::string> pieces = SplitCommas(scale);
        CheckSpacing(v[0], pieces[0], "--scale X");
        CheckSpacing(v[2], pieces[2], "--scale Z");
        options.scale = HeightmeshFloat3{v[0], v[1], v[2]};
    }
    options.maskThreshold = ParseFloat(maskThreshold, "--mask-threshold");
    if (!(options.maskThreshold >= 0.0f && options.maskThreshold <= 1.0f))
        throw UsageError(
            fmt::format("--mask-threshold: '{}' is out of range: give a value from 0 to 1", maskThreshold));
    if (!mask.empty())
        options.mask = mask;
    if (cutOption->count() > 0)
        options.cutBelow = ParseFloat(cutBelow, "--cut-below");
    if (!normalMap.empty())
        options.normalMap = normalMap;
    if (!preview.empty())
        options.preview = preview;
    {
        const std::vector<float> v = ParseFloatList(light, 2, "--light", "two numbers AZIMUTH,ELEVATION");
        options.light = LightDirection{v[0], v[1]};
    }
    if (!library.empty())
        options.library = library;
    if (!maxError.empty()) {
        const bool percent = maxError.back() == '%';
        const float value = ParseFloat(percent ? maxError.substr(0, maxError.size() - 1) : maxError, "--max-error");
        if (value < 0.0f)
            throw UsageError("--max-error must not be negative");
        (percent ? options.maxErrorPercent : options.maxError) = value;
    }
    if (maxTrianglesOption->count() > 0)
        options.maxTriangles = maxTriangles;
    if (baseOption->count() > 0) {
        options.base = ParseFloat(base, "--base");
        if (!(*options.base > 0.0f))
            throw UsageError(fmt::format("--base: '{}' is not a depth: give a number above 0", base));
    }
    if (!up.empty())
        options.up = up[0];
    return options;
}

}  // namespace heightmesh::tool
