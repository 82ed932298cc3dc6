#include "readers.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

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

}  // namespace

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

}  // namespace heightmesh::tool
