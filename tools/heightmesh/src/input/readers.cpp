#include "input/readers.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include <sys/stat.h>

#include <fmt/format.h>

#include "common/file_io.h"
#include "common/memory_budget.h"
#include "common/text.h"
#include "common/tool_error.h"
#include "input/gdal_reader.h"

namespace heightmesh::tool {

static_assert(std::endian::native == std::endian::little, "raw float32 input is read in place as little-endian");

namespace {

constexpr int64_t kMaxLength = std::numeric_limits<int32_t>::max();

bool StartsWith(std::span<const uint8_t> bytes, std::string_view prefix)
{
    return bytes.size() >= prefix.size() && std::memcmp(bytes.data(), prefix.data(), prefix.size()) == 0;
}

// ---- PGM ------------------------------------------------------------------

// Reads the next header number of a PGM, skipping whitespace and comments.
class PgmCursor {
public:
    PgmCursor(std::span<const uint8_t> bytes, const std::string& name) : bytes_(bytes), name_(name) {}

    void SkipSpaceAndComments()
    {
        while (pos_ < bytes_.size()) {
            const uint8_t c = bytes_[pos_];
            if (c == '#') {
                while (pos_ < bytes_.size() && bytes_[pos_] != '\n' && bytes_[pos_] != '\r')
                    ++pos_;
            } else if (std::isspace(c)) {
                ++pos_;
            } else {
                break;
            }
        }
    }

    // A decimal number of at most `limit`; `what` names it in messages.
    int64_t Number(const char* what, int64_t limit)
    {
        SkipSpaceAndComments();
        if (pos_ >= bytes_.size())
            throw ToolError(fmt::format("{} is truncated: it ends before the {}", name_, what));
        int64_t value = 0;
        std::size_t start = pos_;
        while (pos_ < bytes_.size() && std::isdigit(bytes_[pos_])) {
            value = value * 10 + (bytes_[pos_] - '0');
            if (value > limit)
                throw ToolError(fmt::format("{} is not a valid PGM file: {} is above {}", name_, what, limit));
            ++pos_;
        }
        if (pos_ == start)
            throw ToolError(fmt::format("{} is not a valid PGM file: bad {}", name_, what));
        return value;
    }

    std::size_t position() const noexcept { return pos_; }
    void Advance(std::size_t count) { pos_ += count; }
    bool AtEnd() const noexcept { return pos_ >= bytes_.size(); }
    uint8_t Peek() const { return bytes_[pos_]; }

private:
    std::span<const uint8_t> bytes_;
    const std::string& name_;
    std::size_t pos_ = 0;
};

}  // namespace

// ---- Formats --------------------------------------------------------------

InputFormat DetectInputFormat(const std::filesystem::path& path, std::span<const uint8_t> firstBytes)
{
    const std::string extension = Lowercase(path.extension().string());
    if (extension == ".raw" || extension == ".r32" || extension == ".f32")
        return InputFormat::RawFloat32;
    // GDAL reads binary PGM but neither text PGM nor a maximum value other
    // than 255 or 65535, so PGM keeps its own parser.
    if (StartsWith(firstBytes, "P2") || StartsWith(firstBytes, "P5"))
        return InputFormat::Pgm;
    return InputFormat::Gdal;
}

Heightmap ParsePgm(std::span<const uint8_t> bytes, const std::string& name)
{
    const bool binary = StartsWith(bytes, "P5");
    if (!binary && !StartsWith(bytes, "P2"))
        throw ToolError(fmt::format("{} is not a PGM file (P2 or P5)", name));
    PgmCursor cursor(bytes.subspan(2), name);
    const int64_t width = cursor.Number("width", kMaxLength);
    const int64_t height = cursor.Number("height", kMaxLength);
    const int64_t maxValue = cursor.Number("maximum value", 65535);
    if (maxValue < 1)
        throw ToolError(fmt::format("{} is not a valid PGM file: maximum value 0", name));
    CheckGridSize(width, height, fmt::format("image {} ({}x{})", name, width, height));
    const std::size_t count = static_cast<std::size_t>(width * height);

    Heightmap map;
    map.width = static_cast<int32_t>(width);
    map.height = static_cast<int32_t>(height);
    const double scale = 1.0 / static_cast<double>(maxValue);
    const auto store = [&](std::size_t i, int64_t value) {
        if (value > maxValue)
            throw ToolError(
                fmt::format("{} is not a valid PGM file: sample {} is above the maximum {}", name, value, maxValue));
        map.heights[i] = static_cast<float>(static_cast<double>(value) * scale);
    };
    if (binary) {
        // One whitespace byte separates the header from the samples.
        if (cursor.AtEnd() || !std::isspace(cursor.Peek()))
            throw ToolError(fmt::format("{} is truncated: it ends before the samples", name));
        cursor.Advance(1);
        const std::span<const uint8_t> data = bytes.subspan(2 + cursor.position());
        const std::size_t bytesPerSample = maxValue < 256 ? 1 : 2;
        if (data.size() / bytesPerSample < count)
            throw ToolError(fmt::format("{} is truncated: {} samples of {} bytes expected, {} bytes present", name,
                                        count, bytesPerSample, data.size()));
        map.heights.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            const int64_t value = bytesPerSample == 1 ? data[i] : (int64_t{data[2 * i]} << 8) | data[2 * i + 1];
            store(i, value);
        }
    } else {
        // Every text sample takes at least two bytes but the last, so the
        // file's size bounds what a header may ask for before anything is
        // allocated.
        if (count > bytes.size())
            throw ToolError(fmt::format("{} is truncated: {} samples expected in {} bytes", name, count, bytes.size()));
        map.heights.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            cursor.SkipSpaceAndComments();
            if (cursor.AtEnd())
                throw ToolError(fmt::format("{} is truncated: {} of {} samples present", name, i, count));
            store(i, cursor.Number("sample", 65535));
        }
    }
    map.rangeLow = 0.0f;
    map.rangeHigh = 1.0f;
    return map;
}

Heightmap ParseRawFloat32(std::span<const uint8_t> bytes, GridSize size, const std::string& name)
{
    CheckGridSize(size.width, size.height, fmt::format("grid {}x{}", size.width, size.height));
    const std::size_t count = static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height);
    if (bytes.size() != count * 4)
        throw ToolError(fmt::format("{} has {} bytes, but --size {}x{} needs {} ({} float32 samples)", name,
                                    bytes.size(), size.width, size.height, count * 4, count));
    Heightmap map;
    map.width = size.width;
    map.height = size.height;
    map.heights.resize(count);
    std::memcpy(map.heights.data(), bytes.data(), count * 4);
    map.noData.assign(count, 0);
    bool anyNoData = false;
    for (std::size_t i = 0; i < count; ++i) {
        if (!std::isfinite(map.heights[i])) {
            map.noData[i] = 1;
            map.heights[i] = 0.0f;
            anyNoData = true;
        }
    }
    if (!anyNoData)
        map.noData.clear();
    SetRangeFromSamples(map);
    return map;
}

namespace {

// The first bytes of a regular file, for its magic number.
std::vector<uint8_t> FirstBytes(const std::filesystem::path& path)
{
    std::vector<uint8_t> bytes(16);
    if (path.string().rfind("/vsi", 0) == 0)
        return {};
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        throw ToolError(fmt::format("cannot open {}: {}", Quoted(path), std::strerror(errno)));
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
    std::fclose(file);
    return bytes;
}

// The whole of a regular file whose bytes, and a float for each of them,
// stay within `limit`: what a PGM's parser may allocate at most.
std::vector<uint8_t> ReadBoundedFile(const std::filesystem::path& path, int64_t limit)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        throw ToolError(fmt::format("cannot open {}: {}", Quoted(path), std::strerror(errno)));
    CheckMemory(static_cast<int64_t>(info.st_size) * 5, limit, fmt::format("reading {}", Quoted(path)));
    return ReadFileBytes(path);
}

std::string Summary(const RasterPlan& plan)
{
    const PixelWindow& w = plan.window;
    std::string text = fmt::format("{}, {}", plan.driver, plan.bands);
    if (w.width != plan.rasterWidth || w.height != plan.rasterHeight)
        text += fmt::format(", pixels {},{} {}x{} of {}x{}", w.x, w.y, w.width, w.height, plan.rasterWidth,
                            plan.rasterHeight);
    if (plan.grid.width != w.width || plan.grid.height != w.height)
        text += fmt::format(", averaged to {}x{}", plan.grid.width, plan.grid.height);
    return text;
}

}  // namespace

InputPlan PlanHeightInput(const std::filesystem::path& path, const std::optional<GridSize>& rawSize,
                          const InputOptions& options, int64_t memoryLimit, bool asMask)
{
    CheckRegularFile(path);
    InputPlan plan;
    plan.path = path;
    plan.name = Quoted(path);
    plan.format = DetectInputFormat(path, FirstBytes(path));
    if (plan.format != InputFormat::Gdal && options.ForRasters())
        throw UsageError(fmt::format(
            "--band, --window, --bounds, --resample, --max-size, --encoding and --tile apply to rasters GDAL reads, "
            "not to {}",
            plan.name));
    if (plan.format == InputFormat::RawFloat32) {
        if (!rawSize)
            throw UsageError(fmt::format("raw float32 input {} needs --size WIDTHxHEIGHT", plan.name));
        CheckGridSize(rawSize->width, rawSize->height, fmt::format("grid {}x{}", rawSize->width, rawSize->height));
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0)
            throw ToolError(fmt::format("cannot open {}: {}", plan.name, std::strerror(errno)));
        const int64_t count = int64_t{rawSize->width} * rawSize->height;
        // The size is checked before a byte is read.
        if (info.st_size != count * 4)
            throw ToolError(fmt::format("{} has {} bytes, but --size {}x{} needs {} ({} float32 samples)", plan.name,
                                        info.st_size, rawSize->width, rawSize->height, count * 4, count));
        plan.rawSize = rawSize;
        plan.grid = *rawSize;
        plan.readBytes = count * 4;
        plan.summary = "raw little-endian float32";
        return plan;
    }
    if (rawSize)
        throw UsageError("--size applies only to raw float32 input and the built-in terrain");
    if (plan.format == InputFormat::Pgm) {
        // Every allocation of the parser is bounded by the file's size.
        const std::vector<uint8_t> bytes = ReadBoundedFile(path, memoryLimit);
        plan.parsed = ParsePgm(bytes, plan.name);
        plan.grid = GridSize{plan.parsed->width, plan.parsed->height};
        plan.image = true;
        plan.readBytes = static_cast<int64_t>(bytes.size());
        plan.summary = "PGM";
        return plan;
    }
    plan.raster = std::make_shared<GdalRaster>(path, options, asMask, memoryLimit);
    const RasterPlan& raster = plan.raster->plan();
    plan.grid = raster.grid;
    plan.image = raster.image;
    plan.spacing = raster.spacing;
    plan.readBytes = raster.readBytes;
    plan.summary = Summary(raster);
    return plan;
}

InputPlan PlanMaskInput(const std::filesystem::path& path, const InputPlan& heights, int64_t memoryLimit)
{
    InputPlan plan = PlanHeightInput(path, std::nullopt, InputOptions{}, memoryLimit, true);
    // A mask of the whole raster follows the heights' window and resampling.
    if (plan.raster && heights.raster && plan.grid != heights.grid) {
        const RasterPlan& source = heights.raster->plan();
        if (plan.grid.width == source.rasterWidth && plan.grid.height == source.rasterHeight) {
            InputOptions same;
            same.window = source.window;
            if (source.grid.width != source.window.width || source.grid.height != source.window.height)
                same.resample = source.grid;
            plan = PlanHeightInput(path, std::nullopt, same, memoryLimit, true);
        }
    }
    if (plan.grid != heights.grid)
        throw ToolError(fmt::format("mask {} is {}x{}, but the heightmap is {}x{}", plan.name, plan.grid.width,
                                    plan.grid.height, heights.grid.width, heights.grid.height));
    return plan;
}

Heightmap ReadPlannedInput(InputPlan& plan, const std::function<void(double)>& progress)
{
    switch (plan.format) {
    case InputFormat::RawFloat32: return ParseRawFloat32(ReadFileBytes(plan.path), *plan.rawSize, plan.name);
    case InputFormat::Pgm: {
        Heightmap map = std::move(*plan.parsed);
        plan.parsed.reset();
        return map;
    }
    case InputFormat::Gdal: return plan.raster->Read(progress);
    }
    throw ToolError("unreachable input format");
}

Heightmap ReadHeightmap(const std::filesystem::path& path, const std::optional<GridSize>& rawSize,
                        const InputOptions& options)
{
    InputPlan plan = PlanHeightInput(path, rawSize, options, DefaultMemoryLimit());
    return ReadPlannedInput(plan);
}

Heightmap ReadImage(const std::filesystem::path& path)
{
    InputPlan plan = PlanHeightInput(path, std::nullopt, InputOptions{}, DefaultMemoryLimit(), true);
    return ReadPlannedInput(plan);
}

}  // namespace heightmesh::tool
