#include "output/pictures.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <numbers>

#include <fmt/format.h>
#include <zlib.h>

#include "common/parallel.h"
#include "common/tool_error.h"

namespace heightmesh::tool {

namespace {

uint8_t ToByte(double value) { return static_cast<uint8_t>(std::lround(std::clamp(value, 0.0, 1.0) * 255.0)); }

Image MakeImage(const KeptMesh& mesh, int channels)
{
    Image image;
    image.width = mesh.gridWidth();
    image.height = mesh.gridHeight();
    image.channels = channels;
    image.pixels.resize(static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) *
                        static_cast<std::size_t>(channels));
    return image;
}

// Colour stops over the relative height 0..1: lowland green, upland olive,
// rock brown and grey, snow.
struct ColourStop {
    double at;
    std::array<double, 3> rgb;
};
constexpr std::array<ColourStop, 6> kRamp{{
    {0.00, {0.20, 0.42, 0.26}},
    {0.25, {0.42, 0.58, 0.30}},
    {0.50, {0.66, 0.60, 0.40}},
    {0.70, {0.56, 0.47, 0.38}},
    {0.88, {0.78, 0.78, 0.76}},
    {1.00, {0.98, 0.98, 0.98}},
}};

std::array<double, 3> Tint(double t)
{
    t = std::clamp(t, 0.0, 1.0);
    for (std::size_t i = 1; i < kRamp.size(); ++i) {
        if (t <= kRamp[i].at) {
            const double f = (t - kRamp[i - 1].at) / (kRamp[i].at - kRamp[i - 1].at);
            std::array<double, 3> rgb{};
            for (int c = 0; c < 3; ++c)
                rgb[c] = kRamp[i - 1].rgb[c] + (kRamp[i].rgb[c] - kRamp[i - 1].rgb[c]) * f;
            return rgb;
        }
    }
    return kRamp.back().rgb;
}

void PutBigEndian(std::string& to, uint32_t value)
{
    const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 8), static_cast<char>(value)};
    to.append(bytes, 4);
}

// One PNG chunk: length, type, data, CRC of type and data.
void WriteChunk(std::ostream& out, const char type[4], const unsigned char* data, std::size_t size)
{
    std::string head;
    PutBigEndian(head, static_cast<uint32_t>(size));
    head.append(type, 4);
    uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(type), 4);
    for (std::size_t at = 0; at < size; at += 1u << 30)
        crc = crc32(crc, data + at, static_cast<uInt>(std::min<std::size_t>(1u << 30, size - at)));
    std::string tail;
    PutBigEndian(tail, static_cast<uint32_t>(crc));
    out.write(head.data(), static_cast<std::streamsize>(head.size()));
    if (size > 0)
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.write(tail.data(), 4);
    if (!out)
        throw ToolError("write failed");
}

// Rows [first, last) filtered with Up and deflated as raw deflate data that
// ends on a byte boundary (or ends the stream, for the last band), with the
// Adler-32 of the filtered bytes.
struct Band {
    std::vector<unsigned char> deflated;
    uLong adler = 1;
    std::size_t filteredBytes = 0;
};

Band DeflateBand(const Image& image, int32_t first, int32_t last, bool final)
{
    const std::size_t stride = static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.channels);
    std::vector<unsigned char> row(stride + 1);
    row[0] = 2;  // Up
    z_stream stream{};
    if (deflateInit2(&stream, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw ToolError("the PNG encoder failed");
    Band band;
    band.deflated.resize(
        deflateBound(&stream, static_cast<uLong>((stride + 1) * static_cast<std::size_t>(last - first))) + 64);
    stream.next_out = band.deflated.data();
    stream.avail_out = static_cast<uInt>(std::min<std::size_t>(band.deflated.size(), UINT_MAX));
    for (int32_t y = first; y < last; ++y) {
        const uint8_t* current = image.pixels.data() + static_cast<std::size_t>(y) * stride;
        if (y == 0) {
            std::copy(current, current + stride, row.begin() + 1);
        } else {
            const uint8_t* above = current - stride;
            for (std::size_t i = 0; i < stride; ++i)
                row[i + 1] = static_cast<unsigned char>(current[i] - above[i]);
        }
        band.adler = adler32(band.adler, row.data(), static_cast<uInt>(row.size()));
        band.filteredBytes += row.size();
        stream.next_in = row.data();
        stream.avail_in = static_cast<uInt>(row.size());
        const int flush = y + 1 < last ? Z_NO_FLUSH : final ? Z_FINISH : Z_SYNC_FLUSH;
        do {
            if (stream.avail_out == 0) {
                const std::size_t used = band.deflated.size();
                band.deflated.resize(used * 2);
                stream.next_out = band.deflated.data() + used;
                stream.avail_out = static_cast<uInt>(std::min<std::size_t>(used, UINT_MAX));
            }
            const int result = deflate(&stream, flush);
            if (result == Z_STREAM_ERROR) {
                deflateEnd(&stream);
                throw ToolError("the PNG encoder failed");
            }
        } while (stream.avail_in > 0 || (flush != Z_NO_FLUSH && stream.avail_out == 0));
    }
    band.deflated.resize(stream.total_out);
    deflateEnd(&stream);
    return band;
}

}  // namespace

Image RenderNormalMap(const KeptMesh& mesh, unsigned threads)
{
    Image image = MakeImage(mesh, 3);
    const auto& normals = mesh.data().normals;
    ParallelRanges(static_cast<int64_t>(normals.size()), ThreadCount(threads),
                   [&](int64_t begin, int64_t end, unsigned) {
                       for (std::size_t i = static_cast<std::size_t>(begin); i < static_cast<std::size_t>(end); ++i) {
                           HeightmeshFloat3 n = normals[i];
                           if (!std::isfinite(n.x) || !std::isfinite(n.y) || !std::isfinite(n.z))
                               n = {0.0f, 1.0f, 0.0f};
                           image.pixels[3 * i + 0] = ToByte(0.5 + 0.5 * n.x);
                           image.pixels[3 * i + 1] = ToByte(0.5 - 0.5 * n.z);
                           image.pixels[3 * i + 2] = ToByte(0.5 + 0.5 * n.y);
                       }
                   });
    return image;
}

Image RenderPreview(const KeptMesh& mesh, const LightDirection& light, unsigned threads)
{
    Image image = MakeImage(mesh, 4);
    const double azimuth = light.azimuth * std::numbers::pi / 180.0;
    const double elevation = light.elevation * std::numbers::pi / 180.0;
    // North is the picture's top, which is -z; east is +x; up is +y.
    const double lx = std::cos(elevation) * std::sin(azimuth);
    const double ly = std::sin(elevation);
    const double lz = -std::cos(elevation) * std::cos(azimuth);

    const double low = mesh.minPosition().y;
    const double span = static_cast<double>(mesh.maxPosition().y) - low;
    const MeshData& data = mesh.data();
    ParallelRanges(static_cast<int64_t>(data.vertices.size()), ThreadCount(threads),
                   [&](int64_t begin, int64_t end, unsigned) {
                       for (std::size_t i = static_cast<std::size_t>(begin); i < static_cast<std::size_t>(end); ++i) {
                           uint8_t* pixel = &image.pixels[4 * i];
                           const HeightmeshFloat3& n = data.normals[i];
                           if (!mesh.IsWritten(static_cast<int32_t>(i)) || !std::isfinite(n.x) || !std::isfinite(n.y) ||
                               !std::isfinite(n.z)) {
                               pixel[0] = pixel[1] = pixel[2] = pixel[3] = 0;
                               continue;
                           }
                           const double t = span > 0.0 ? (data.vertices[i].y - low) / span : 0.5;
                           const std::array<double, 3> tint = Tint(t);
                           const double shade = std::max(0.0, n.x * lx + n.y * ly + n.z * lz);
                           const double brightness = 0.30 + 0.85 * shade;
                           for (int c = 0; c < 3; ++c)
                               pixel[c] = ToByte(tint[c] * brightness);
                           pixel[3] = 255;
                       }
                   });
    return image;
}

void WritePng(const Image& image, std::ostream& out, unsigned threads, const std::function<void(double)>& progress)
{
    if (image.width < 1 || image.height < 1 || image.channels < 1 || image.channels > 4)
        throw ToolError("the PNG encoder failed: no picture");
    static constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    out.write(reinterpret_cast<const char*>(kSignature), 8);
    std::string header;
    PutBigEndian(header, static_cast<uint32_t>(image.width));
    PutBigEndian(header, static_cast<uint32_t>(image.height));
    static constexpr char kColourTypes[] = {0, 0, 4, 2, 6};  // gray, gray + alpha, RGB, RGBA
    header += {8, kColourTypes[image.channels], 0, 0, 0};
    WriteChunk(out, "IHDR", reinterpret_cast<const unsigned char*>(header.data()), header.size());

    // Bands of about 4 MB of pixels, deflated a round (one per thread) at a time.
    const std::size_t stride = static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.channels);
    const int32_t rowsPerBand =
        static_cast<int32_t>(std::clamp<std::size_t>((std::size_t{4} << 20) / stride, 1, INT32_MAX));
    const int32_t bands = static_cast<int32_t>((static_cast<int64_t>(image.height) + rowsPerBand - 1) / rowsPerBand);
    const unsigned workers = ThreadCount(threads);
    uLong adler = 1;
    for (int32_t first = 0; first < bands; first += static_cast<int32_t>(workers)) {
        const int32_t count = std::min<int32_t>(static_cast<int32_t>(workers), bands - first);
        std::vector<Band> round(static_cast<std::size_t>(count));
        RunParts(static_cast<unsigned>(count), [&](unsigned part) {
            const int32_t band = first + static_cast<int32_t>(part);
            const int32_t top = band * rowsPerBand;
            round[part] = DeflateBand(image, top, std::min(image.height, top + rowsPerBand), band + 1 == bands);
        });
        for (int32_t part = 0; part < count; ++part) {
            Band& band = round[static_cast<std::size_t>(part)];
            adler = adler32_combine(adler, band.adler, static_cast<z_off_t>(band.filteredBytes));
            std::vector<unsigned char>& data = band.deflated;
            if (first + part == 0)
                data.insert(data.begin(), {0x78, 0x01});  // zlib header: deflate, 32K window, fastest
            if (first + part + 1 == bands)
                for (int shift = 24; shift >= 0; shift -= 8)
                    data.push_back(static_cast<unsigned char>(adler >> shift));
            WriteChunk(out, "IDAT", data.data(), data.size());
        }
        if (progress)
            progress(static_cast<double>(first + count) / bands);
    }
    WriteChunk(out, "IEND", nullptr, 0);
}

}  // namespace heightmesh::tool
