#include "heightmap.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <thread>

#include <fmt/format.h>
#include <stb_image.h>

#include "file_io.h"
#include "tool_error.h"

namespace heightmesh::tool {

static_assert(std::endian::native == std::endian::little, "raw float32 input is read in place as little-endian");

namespace {

constexpr int64_t kMaxLength = std::numeric_limits<int32_t>::max();

std::string Lowercase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool StartsWith(std::span<const uint8_t> bytes, std::string_view prefix) {
    return bytes.size() >= prefix.size() && std::memcmp(bytes.data(), prefix.data(), prefix.size()) == 0;
}

constexpr std::string_view kPngSignature{"\x89PNG\r\n\x1a\n", 8};

void SetRangeFromSamples(Heightmap& map) {
    float low = std::numeric_limits<float>::infinity();
    float high = -std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < map.heights.size(); ++i) {
        if (map.HasNoData() && map.noData[i]) continue;
        low = std::min(low, map.heights[i]);
        high = std::max(high, map.heights[i]);
    }
    if (low > high) low = high = 0.0f;
    map.rangeLow = low;
    map.rangeHigh = high;
}

// ---- PGM ------------------------------------------------------------------

// Reads the next header number of a PGM, skipping whitespace and comments.
class PgmCursor {
public:
    PgmCursor(std::span<const uint8_t> bytes, const std::string& name) : bytes_(bytes), name_(name) {}

    void SkipSpaceAndComments() {
        while (pos_ < bytes_.size()) {
            const uint8_t c = bytes_[pos_];
            if (c == '#') {
                while (pos_ < bytes_.size() && bytes_[pos_] != '\n' && bytes_[pos_] != '\r') ++pos_;
            } else if (std::isspace(c)) {
                ++pos_;
            } else {
                break;
            }
        }
    }

    // A decimal number of at most `limit`; `what` names it in messages.
    int64_t Number(const char* what, int64_t limit) {
        SkipSpaceAndComments();
        if (pos_ >= bytes_.size()) throw ToolError(fmt::format("{} is truncated: it ends before the {}", name_, what));
        int64_t value = 0;
        std::size_t start = pos_;
        while (pos_ < bytes_.size() && std::isdigit(bytes_[pos_])) {
            value = value * 10 + (bytes_[pos_] - '0');
            if (value > limit) throw ToolError(fmt::format("{} is not a valid PGM file: {} is above {}", name_, what, limit));
            ++pos_;
        }
        if (pos_ == start) throw ToolError(fmt::format("{} is not a valid PGM file: bad {}", name_, what));
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

// ---- Procedural terrain ---------------------------------------------------

uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// A value in [-1, 1] for lattice point (ix, iy) of one noise layer.
double Lattice(int64_t ix, int64_t iy, uint64_t layerSeed) {
    const uint64_t h = Mix(Mix(layerSeed ^ static_cast<uint64_t>(ix)) ^ (static_cast<uint64_t>(iy) * 0xD6E8FEB86659FD93ull));
    return static_cast<double>(h >> 11) * (2.0 / 9007199254740992.0) - 1.0;
}

double Fade(double t) { return t * t * t * (t * (t * 6.0 - 15.0) + 10.0); }

// Smoothly interpolated lattice noise, [-1, 1].
double ValueNoise(double x, double y, uint64_t layerSeed) {
    const double fx = std::floor(x);
    const double fy = std::floor(y);
    const int64_t ix = static_cast<int64_t>(fx);
    const int64_t iy = static_cast<int64_t>(fy);
    const double tx = Fade(x - fx);
    const double ty = Fade(y - fy);
    const double a = Lattice(ix, iy, layerSeed);
    const double b = Lattice(ix + 1, iy, layerSeed);
    const double c = Lattice(ix, iy + 1, layerSeed);
    const double d = Lattice(ix + 1, iy + 1, layerSeed);
    const double top = a + (b - a) * tx;
    const double bottom = c + (d - c) * tx;
    return top + (bottom - top) * ty;
}

// Fractal sum of octaves, roughly [-1, 1].
double Fbm(double x, double y, int octaves, uint64_t seed) {
    double sum = 0.0, amplitude = 0.5, norm = 0.0;
    for (int octave = 0; octave < octaves; ++octave) {
        sum += amplitude * ValueNoise(x, y, Mix(seed + static_cast<uint64_t>(octave)));
        norm += amplitude;
        amplitude *= 0.5;
        x = x * 2.03 + 17.1;
        y = y * 2.03 - 9.7;
    }
    return sum / norm;
}

// Sharp crests: octaves of 1 - |noise|, squared, each weighted by the last.
double Ridged(double x, double y, int octaves, uint64_t seed) {
    double sum = 0.0, amplitude = 0.5, norm = 0.0, weight = 1.0;
    for (int octave = 0; octave < octaves; ++octave) {
        double ridge = 1.0 - std::fabs(ValueNoise(x, y, Mix(seed + 101 + static_cast<uint64_t>(octave))));
        ridge *= ridge;
        ridge *= weight;
        weight = std::clamp(ridge * 1.8, 0.0, 1.0);
        sum += amplitude * ridge;
        norm += amplitude;
        amplitude *= 0.5;
        x = x * 2.1 - 3.3;
        y = y * 2.1 + 5.9;
    }
    return sum / norm;
}

double SmoothStep(double edge0, double edge1, double x) {
    const double t = std::clamp((x - edge0) / (edge1 - edge0), 0.0, 1.0);
    return t * t * (3.0 - 2.0 * t);
}

}  // namespace

// ---- Sizes ----------------------------------------------------------------

GridSize ParseGridSize(const std::string& text) {
    const auto bad = [&] { return UsageError(fmt::format("bad grid size '{}': expected WIDTHxHEIGHT, e.g. 512x512", text)); };
    const std::size_t cross = text.find_first_of("xX");
    const std::string first = text.substr(0, cross);
    const std::string second = cross == std::string::npos ? first : text.substr(cross + 1);
    const auto parse = [&](const std::string& part) {
        int64_t value = 0;
        if (part.empty() || part.size() > 12) throw bad();
        const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (error != std::errc() || end != part.data() + part.size() || value < 0) throw bad();
        return value;
    };
    const int64_t width = parse(first);
    const int64_t height = parse(second);
    CheckGridSize(width, height, fmt::format("grid {}x{}", width, height));
    return GridSize{static_cast<int32_t>(width), static_cast<int32_t>(height)};
}

bool GridFitsIndices(int64_t width, int64_t height) {
    if (width < 1 || height < 1 || width > kMaxLength || height > kMaxLength) return false;
    if (width * height > kMaxLength) return false;
    return 6 * (width - 1) * (height - 1) <= kMaxLength;
}

void CheckGridSize(int64_t width, int64_t height, const std::string& what) {
    if (width < 2 || height < 2)
        throw ToolError(fmt::format("{} is too small: a mesh needs at least 2 x 2 points", what));
    if (!GridFitsIndices(width, height))
        throw ToolError(fmt::format(
            "{} is too large: the job addresses at most {} points and {} cells with 32-bit indices", what, kMaxLength,
            kMaxLength / 6));
}

// ---- Formats --------------------------------------------------------------

InputFormat DetectInputFormat(const std::filesystem::path& path, std::span<const uint8_t> firstBytes) {
    const std::string extension = Lowercase(path.extension().string());
    if (extension == ".png") return InputFormat::Png;
    if (extension == ".pgm" || extension == ".pnm") return InputFormat::Pgm;
    if (extension == ".hgt") return InputFormat::Hgt;
    if (extension == ".raw" || extension == ".r32" || extension == ".f32") return InputFormat::RawFloat32;
    if (StartsWith(firstBytes, kPngSignature)) return InputFormat::Png;
    if (StartsWith(firstBytes, "P2") || StartsWith(firstBytes, "P5")) return InputFormat::Pgm;
    throw UsageError(fmt::format(
        "unsupported input format {}: expected .png, .pgm, .hgt, or raw float32 (.raw, .r32, .f32) with --size",
        Quoted(path)));
}

Heightmap ParsePng(std::span<const uint8_t> bytes, const std::string& name) {
    if (!StartsWith(bytes, kPngSignature)) throw ToolError(fmt::format("{} is not a PNG file", name));
    if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        throw ToolError(fmt::format("{} is too large to decode", name));
    const int length = static_cast<int>(bytes.size());
    int width = 0, height = 0, channels = 0;
    if (!stbi_info_from_memory(bytes.data(), length, &width, &height, &channels))
        throw ToolError(fmt::format("cannot read PNG {}: {}", name, stbi_failure_reason()));
    CheckGridSize(width, height, fmt::format("image {} ({}x{})", name, width, height));

    const bool sixteenBit = stbi_is_16_bit_from_memory(bytes.data(), length) != 0;
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    Heightmap map;
    map.width = width;
    map.height = height;
    map.heights.resize(count);
    const auto convert = [&](const auto* pixels, double maxValue) {
        for (std::size_t i = 0; i < count; ++i) {
            const auto* p = pixels + i * static_cast<std::size_t>(channels);
            double value;
            if (channels >= 3) {
                // Colour as luminance (Rec. 709 weights); alpha is ignored.
                value = 0.2126 * p[0] + 0.7152 * p[1] + 0.0722 * p[2];
            } else {
                value = p[0];
            }
            map.heights[i] = static_cast<float>(value / maxValue);
        }
    };
    int decodedWidth = 0, decodedHeight = 0;
    if (sixteenBit) {
        stbi_us* pixels = stbi_load_16_from_memory(bytes.data(), length, &decodedWidth, &decodedHeight, &channels, 0);
        if (!pixels) throw ToolError(fmt::format("cannot read PNG {}: {}", name, stbi_failure_reason()));
        convert(pixels, 65535.0);
        stbi_image_free(pixels);
    } else {
        stbi_uc* pixels = stbi_load_from_memory(bytes.data(), length, &decodedWidth, &decodedHeight, &channels, 0);
        if (!pixels) throw ToolError(fmt::format("cannot read PNG {}: {}", name, stbi_failure_reason()));
        convert(pixels, 255.0);
        stbi_image_free(pixels);
    }
    map.rangeLow = 0.0f;
    map.rangeHigh = 1.0f;
    return map;
}

Heightmap ParsePgm(std::span<const uint8_t> bytes, const std::string& name) {
    const bool binary = StartsWith(bytes, "P5");
    if (!binary && !StartsWith(bytes, "P2")) throw ToolError(fmt::format("{} is not a PGM file (P2 or P5)", name));
    PgmCursor cursor(bytes.subspan(2), name);
    const int64_t width = cursor.Number("width", kMaxLength);
    const int64_t height = cursor.Number("height", kMaxLength);
    const int64_t maxValue = cursor.Number("maximum value", 65535);
    if (maxValue < 1) throw ToolError(fmt::format("{} is not a valid PGM file: maximum value 0", name));
    CheckGridSize(width, height, fmt::format("image {} ({}x{})", name, width, height));
    const std::size_t count = static_cast<std::size_t>(width * height);

    Heightmap map;
    map.width = static_cast<int32_t>(width);
    map.height = static_cast<int32_t>(height);
    const double scale = 1.0 / static_cast<double>(maxValue);
    const auto store = [&](std::size_t i, int64_t value) {
        if (value > maxValue)
            throw ToolError(fmt::format("{} is not a valid PGM file: sample {} is above the maximum {}", name, value, maxValue));
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
            throw ToolError(fmt::format("{} is truncated: {} samples of {} bytes expected, {} bytes present", name, count,
                                        bytesPerSample, data.size()));
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

Heightmap ParseHgt(std::span<const uint8_t> bytes, const std::string& name) {
    const std::size_t samples = bytes.size() / 2;
    const auto side = static_cast<std::size_t>(std::llround(std::sqrt(static_cast<double>(samples))));
    if (bytes.empty() || bytes.size() % 2 != 0 || side * side != samples)
        throw ToolError(fmt::format(
            "{} is not a valid SRTM .hgt file: {} bytes is not a square grid of 16-bit samples (e.g. 1201 x 1201 = "
            "2884802 bytes); the file may be truncated",
            name, bytes.size()));
    CheckGridSize(static_cast<int64_t>(side), static_cast<int64_t>(side), fmt::format("grid of {} ({}x{})", name, side, side));
    Heightmap map;
    map.width = map.height = static_cast<int32_t>(side);
    map.heights.resize(samples);
    map.noData.assign(samples, 0);
    bool anyNoData = false;
    for (std::size_t i = 0; i < samples; ++i) {
        const auto value = static_cast<int16_t>(static_cast<uint16_t>((bytes[2 * i] << 8) | bytes[2 * i + 1]));
        if (value == std::numeric_limits<int16_t>::min()) {
            map.noData[i] = 1;
            anyNoData = true;
            map.heights[i] = 0.0f;
        } else {
            map.heights[i] = static_cast<float>(value);
        }
    }
    if (!anyNoData) map.noData.clear();
    SetRangeFromSamples(map);
    return map;
}

Heightmap ParseRawFloat32(std::span<const uint8_t> bytes, GridSize size, const std::string& name) {
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
    if (!anyNoData) map.noData.clear();
    SetRangeFromSamples(map);
    return map;
}

Heightmap ReadHeightmap(const std::filesystem::path& path, const std::optional<GridSize>& rawSize) {
    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    const InputFormat format = DetectInputFormat(path, bytes);
    const std::string name = Quoted(path);
    if (format == InputFormat::RawFloat32) {
        if (!rawSize) throw UsageError(fmt::format("raw float32 input {} needs --size WIDTHxHEIGHT", name));
        return ParseRawFloat32(bytes, *rawSize, name);
    }
    if (rawSize) throw UsageError("--size applies only to raw float32 input and the built-in terrain");
    switch (format) {
        case InputFormat::Png: return ParsePng(bytes, name);
        case InputFormat::Pgm: return ParsePgm(bytes, name);
        case InputFormat::Hgt: return ParseHgt(bytes, name);
        case InputFormat::RawFloat32: break;
    }
    throw ToolError("unreachable input format");
}

Heightmap ReadImage(const std::filesystem::path& path) {
    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    const std::string name = Quoted(path);
    if (StartsWith(bytes, kPngSignature)) return ParsePng(bytes, name);
    if (StartsWith(bytes, "P2") || StartsWith(bytes, "P5")) return ParsePgm(bytes, name);
    throw ToolError(fmt::format("unsupported image format {}: expected PNG or PGM", name));
}

// ---- Built-in terrain ------------------------------------------------------

Heightmap MakeTerrain(GridSize size, uint64_t seed, const std::function<void(double)>& progress) {
    CheckGridSize(size.width, size.height, fmt::format("grid {}x{}", size.width, size.height));
    Heightmap map;
    map.width = size.width;
    map.height = size.height;
    map.heights.resize(static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height));
    // Features are laid out over the unit square of the longer side, so every
    // size shows the same landscape; the relief grows with the grid.
    const double extent = std::max(size.width, size.height);
    const double relief = 0.2 * std::sqrt(static_cast<double>(size.width) * size.height);
    const uint64_t base = Mix(seed);
    const auto makeRow = [&](int32_t row) {
        const double v = row / extent;
        for (int32_t column = 0; column < size.width; ++column) {
            const double u = column / extent;
            // Warped coordinates bend the ranges; broad hills carry sharp
            // ridges where they are high and fade into smooth lowland.
            const double warpU = u + 0.15 * Fbm(u * 2.0 + 5.2, v * 2.0 + 1.3, 4, base ^ 0x1111);
            const double warpV = v + 0.15 * Fbm(u * 2.0 - 7.7, v * 2.0 + 3.1, 4, base ^ 0x2222);
            const double hills = 0.5 + Fbm(warpU * 2.5, warpV * 2.5, 6, base);
            const double ridges = Ridged(warpU * 3.5, warpV * 3.5, 7, base);
            const double mountains = SmoothStep(0.3, 0.6, hills);
            const double h = 0.55 * hills * hills + 0.75 * ridges * mountains;
            map.heights[static_cast<std::size_t>(row) * size.width + column] = static_cast<float>(h * relief);
        }
    };
    // Rows are independent: every core takes rows in turn; the calling thread
    // works too and reports progress.
    std::atomic<int32_t> nextRow{0};
    std::atomic<int32_t> rowsDone{0};
    const auto work = [&] {
        for (int32_t row = nextRow++; row < size.height; row = nextRow++) {
            makeRow(row);
            ++rowsDone;
        }
    };
    std::vector<std::thread> helpers;
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned t = 1; t < cores && static_cast<int64_t>(t) * 16 < size.height; ++t) helpers.emplace_back(work);
    for (int32_t row = nextRow++; row < size.height; row = nextRow++) {
        makeRow(row);
        ++rowsDone;
        if (progress && (row & 15) == 0) progress(static_cast<double>(rowsDone.load()) / size.height);
    }
    for (std::thread& helper : helpers) helper.join();
    SetRangeFromSamples(map);
    return map;
}

// ---- Edits ----------------------------------------------------------------

void InvertHeights(Heightmap& map) {
    const double sum = static_cast<double>(map.rangeLow) + map.rangeHigh;
    for (std::size_t i = 0; i < map.heights.size(); ++i) {
        if (map.HasNoData() && map.noData[i]) continue;
        map.heights[i] = static_cast<float>(sum - map.heights[i]);
    }
}

void LevelHeights(Heightmap& map) {
    SetRangeFromSamples(map);
    const double low = map.rangeLow;
    const double span = static_cast<double>(map.rangeHigh) - low;
    for (std::size_t i = 0; i < map.heights.size(); ++i) {
        if (map.HasNoData() && map.noData[i]) continue;
        map.heights[i] = span > 0.0 ? static_cast<float>((map.heights[i] - low) / span) : 0.0f;
    }
    map.rangeLow = 0.0f;
    map.rangeHigh = 1.0f;
}

void FillNoData(Heightmap& map, const std::string& name) {
    if (!map.HasNoData()) return;
    const std::size_t count = map.heights.size();
    std::vector<uint8_t> filled(count);
    std::deque<std::size_t> queue;
    for (std::size_t i = 0; i < count; ++i) {
        if (!map.noData[i]) {
            filled[i] = 1;
            queue.push_back(i);
        }
    }
    if (queue.empty()) throw ToolError(fmt::format("{} has no samples with a value", name));
    const std::size_t width = static_cast<std::size_t>(map.width);
    const std::size_t height = static_cast<std::size_t>(map.height);
    while (!queue.empty()) {
        const std::size_t i = queue.front();
        queue.pop_front();
        const std::size_t column = i % width;
        const std::size_t row = i / width;
        const auto visit = [&](std::size_t j) {
            if (filled[j]) return;
            filled[j] = 1;
            map.heights[j] = map.heights[i];
            queue.push_back(j);
        };
        if (column > 0) visit(i - 1);
        if (column + 1 < width) visit(i + 1);
        if (row > 0) visit(i - width);
        if (row + 1 < height) visit(i + width);
    }
}

}  // namespace heightmesh::tool
