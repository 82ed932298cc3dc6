// Helpers for the heightmesh tool tests: scratch directories, test images,
// child processes, and readers of the mesh files the tool writes.
#pragma once

#include <fcntl.h>
#include <png.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gdal.h>
#include <gtest/gtest.h>
#include <ogr_srs_api.h>
#include <zlib.h>

#include "heightmesh/job_abi.h"

#include "common/tool_error.h"

namespace tooltest {

namespace fs = std::filesystem;

// A fresh directory, removed with everything in it at the end of the test.
class ScratchDir {
public:
    ScratchDir()
    {
        std::string pattern = (fs::temp_directory_path() / "heightmesh-tool-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~ScratchDir()
    {
        std::error_code error;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, error);
        fs::remove_all(path_, error);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

    // Names of everything in the directory, sorted.
    std::vector<std::string> Entries() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(path_))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    fs::path path_;
};

inline void WriteBytes(const fs::path& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

inline void WriteText(const fs::path& path, const std::string& text)
{
    WriteBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

inline std::vector<uint8_t> ReadBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string ReadText(const fs::path& path)
{
    const std::vector<uint8_t> bytes = ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

// A PNG made with libpng: samples row by row, `channels` per pixel (1 gray,
// 2 gray + alpha, 3 RGB, 4 RGBA), 8 or 16 bits.
inline std::vector<uint8_t> MakePng(int width, int height, int channels, int bitDepth,
                                    const std::vector<uint16_t>& samples)
{
    std::vector<uint8_t> out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw std::runtime_error("libpng failed");
    }
    png_set_write_fn(
        png, &out,
        [](png_structp p, png_bytep data, png_size_t size) {
            auto* sink = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(p));
            sink->insert(sink->end(), data, data + size);
        },
        nullptr);
    const int colourType = channels == 1   ? PNG_COLOR_TYPE_GRAY
                           : channels == 2 ? PNG_COLOR_TYPE_GRAY_ALPHA
                           : channels == 3 ? PNG_COLOR_TYPE_RGB
                                           : PNG_COLOR_TYPE_RGBA;
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), bitDepth, colourType,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const std::size_t rowSamples = static_cast<std::size_t>(width) * channels;
    std::vector<uint8_t> row(rowSamples * (bitDepth / 8));
    for (int y = 0; y < height; ++y) {
        for (std::size_t s = 0; s < rowSamples; ++s) {
            const uint16_t v = samples[y * rowSamples + s];
            if (bitDepth == 8) {
                row[s] = static_cast<uint8_t>(v);
            } else {
                row[2 * s] = static_cast<uint8_t>(v >> 8);  // PNG samples are big-endian
                row[2 * s + 1] = static_cast<uint8_t>(v & 0xFF);
            }
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

inline std::vector<uint8_t> MakeHgt(const std::vector<int16_t>& samples)
{
    std::vector<uint8_t> bytes;
    for (int16_t s : samples) {
        const auto u = static_cast<uint16_t>(s);
        bytes.push_back(static_cast<uint8_t>(u >> 8));
        bytes.push_back(static_cast<uint8_t>(u & 0xFF));
    }
    return bytes;
}

// An SRTM tile of 1201 x 1201 samples (the size GDAL reads as a 3-arc-second
// tile), `fill` everywhere but the top-left `side` x `side` block.
inline std::vector<uint8_t> MakeHgtTile(const std::vector<int16_t>& block, int side, int16_t fill)
{
    constexpr int kTile = 1201;
    std::vector<int16_t> samples(static_cast<std::size_t>(kTile) * kTile, fill);
    for (int row = 0; row < side; ++row)
        for (int column = 0; column < side; ++column)
            samples[static_cast<std::size_t>(row) * kTile + static_cast<std::size_t>(column)] =
                block[static_cast<std::size_t>(row * side + column)];
    return MakeHgt(samples);
}

// A little-endian 8-bit tiled TIFF of width x height pixels of `samples`
// interleaved bands whose tiles are declared tileWidth x tileLength, every
// tile pointing at the same 16 bytes: a few hundred bytes that make a reader
// decode one huge block.
inline std::vector<uint8_t> MakeTiledTiff(uint16_t width, uint16_t height, uint16_t tileWidth, uint32_t tileLength,
                                          uint16_t samples = 1)
{
    const uint32_t across = (width + tileWidth - 1u) / tileWidth;
    const uint32_t down = static_cast<uint32_t>((uint64_t{height} + tileLength - 1u) / tileLength);
    const uint32_t tiles = across * down;
    std::vector<uint8_t> out = {'I', 'I', 42, 0, 8, 0, 0, 0};
    const auto put16 = [&](uint32_t v) { out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8)}); };
    const auto put32 = [&](uint32_t v) { put16(v & 0xFFFFu), put16(v >> 16); };
    const uint32_t entries = 11, offsetsAt = 8 + 2 + 12 * entries + 4, countsAt = offsetsAt + 4 * tiles,
                   dataAt = countsAt + 4 * tiles;
    put16(entries);
    const auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        put16(tag), put16(type), put32(count);
        if (type == 3 && count == 1)
            put16(value), put16(0);
        else
            put32(value);
    };
    entry(256, 3, 1, width), entry(257, 3, 1, height), entry(258, 3, 1, 8), entry(259, 3, 1, 1);
    entry(262, 3, 1, 1), entry(277, 3, 1, samples), entry(284, 3, 1, 1), entry(322, 3, 1, tileWidth);
    entry(323, 4, 1, tileLength);
    entry(324, 4, tiles, tiles == 1 ? dataAt : offsetsAt), entry(325, 4, tiles, tiles == 1 ? 16 : countsAt);
    put32(0);
    for (uint32_t t = 0; t < tiles; ++t)
        put32(dataAt);
    for (uint32_t t = 0; t < tiles; ++t)
        put32(16);
    for (uint8_t v = 0; v < 16; ++v)
        out.push_back(v);
    return out;
}

inline std::vector<uint8_t> MakeRaw(const std::vector<float>& samples)
{
    std::vector<uint8_t> bytes(samples.size() * 4);
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    return bytes;
}

struct TiffSpec {
    int width = 0;
    int height = 0;
    GDALDataType type = GDT_Float32;
    std::vector<double> samples;  // row by row
    std::array<double, 6> transform{0, 1, 0, 0, 0, -1};
    std::string crs;  // e.g. EPSG:4326; empty for none
    std::optional<double> noData;
};

// A GeoTIFF written through GDAL.
inline void WriteGeoTiff(const std::filesystem::path& path, const TiffSpec& spec)
{
    GDALAllRegister();
    GDALDriverH driver = GDALGetDriverByName("GTiff");
    GDALDatasetH dataset = GDALCreate(driver, path.c_str(), spec.width, spec.height, 1, spec.type, nullptr);
    ASSERT_NE(dataset, nullptr);
    double transform[6];
    std::copy(spec.transform.begin(), spec.transform.end(), transform);
    ASSERT_EQ(GDALSetGeoTransform(dataset, transform), CE_None);
    if (!spec.crs.empty()) {
        OGRSpatialReferenceH crs = OSRNewSpatialReference(nullptr);
        ASSERT_EQ(OSRSetFromUserInput(crs, spec.crs.c_str()), OGRERR_NONE);
        ASSERT_EQ(GDALSetSpatialRef(dataset, crs), CE_None);
        OSRDestroySpatialReference(crs);
    }
    GDALRasterBandH band = GDALGetRasterBand(dataset, 1);
    if (spec.noData)
        GDALSetRasterNoDataValue(band, *spec.noData);
    std::vector<double> samples = spec.samples;
    ASSERT_EQ(GDALRasterIO(band, GF_Write, 0, 0, spec.width, spec.height, samples.data(), spec.width, spec.height,
                           GDT_Float64, 0, 0),
              CE_None);
    GDALClose(dataset);
}

// A PNG header claiming `height` rows over the rows the PNG holds (its
// IHDR rewritten, CRC and all): a file far smaller than it says.
inline void ClaimPngHeight(std::vector<uint8_t>& png, uint32_t height)
{
    for (int i = 0; i < 4; ++i)
        png[20 + static_cast<std::size_t>(i)] = static_cast<uint8_t>(height >> (24 - 8 * i));
    const uint32_t crc = static_cast<uint32_t>(::crc32(0, png.data() + 12, 17));
    for (int i = 0; i < 4; ++i)
        png[29 + static_cast<std::size_t>(i)] = static_cast<uint8_t>(crc >> (24 - 8 * i));
}

struct ProcessResult {
    int exitCode = -1;  // -1 when killed by a signal
    std::string out;
    std::string err;
};

// Runs a program with the arguments, capturing its output. Optional limit on
// the size of files it may write (SIGXFSZ ignored, so writes fail instead).
inline ProcessResult RunProcess(const std::vector<std::string>& args, const fs::path& scratch, long fileSizeLimit = -1)
{
    const fs::path outPath = scratch / ".stdout";
    const fs::path errPath = scratch / ".stderr";
    const pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int outFd = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int errFd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int nullFd = ::open("/dev/null", O_RDONLY);
        if (outFd < 0 || errFd < 0 || nullFd < 0)
            ::_exit(127);
        ::dup2(nullFd, 0);
        ::dup2(outFd, 1);
        ::dup2(errFd, 2);
        if (fileSizeLimit >= 0) {
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit limit{static_cast<rlim_t>(fileSizeLimit), static_cast<rlim_t>(fileSizeLimit)};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    ProcessResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadText(outPath);
    result.err = ReadText(errPath);
    fs::remove(outPath);
    fs::remove(errPath);
    return result;
}

// ---- Mesh file readers ------------------------------------------------------

struct ReadMesh {
    std::vector<HeightmeshFloat3> positions;
    std::vector<HeightmeshFloat3> normals;
    std::vector<HeightmeshFloat2> uvs;
    std::vector<std::array<uint32_t, 3>> triangles;  // 0-based
};

// OBJ as heightmesh writes it: v, vt, vn, and f with a/a/a corners.
inline ReadMesh ReadObjFile(const fs::path& path)
{
    std::istringstream in(ReadText(path));
    ReadMesh mesh;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string tag;
        fields >> tag;
        if (tag == "v") {
            HeightmeshFloat3 p{};
            fields >> p.x >> p.y >> p.z;
            mesh.positions.push_back(p);
        } else if (tag == "vn") {
            HeightmeshFloat3 n{};
            fields >> n.x >> n.y >> n.z;
            mesh.normals.push_back(n);
        } else if (tag == "vt") {
            HeightmeshFloat2 t{};
            fields >> t.x >> t.y;
            mesh.uvs.push_back(t);
        } else if (tag == "f") {
            std::array<uint32_t, 3> face{};
            for (uint32_t& index : face) {
                std::string corner;
                fields >> corner;
                const uint32_t a = static_cast<uint32_t>(std::stoul(corner));
                const std::string same = std::to_string(a) + "/" + std::to_string(a) + "/" + std::to_string(a);
                if (corner != same)
                    throw std::runtime_error("OBJ corner " + corner + " does not share its index");
                index = a - 1;
            }
            mesh.triangles.push_back(face);
        }
    }
    return mesh;
}

// Binary little-endian PLY with the vertex layout x y z nx ny nz s t.
inline ReadMesh ReadPlyFile(const fs::path& path)
{
    const std::vector<uint8_t> bytes = ReadBytes(path);
    const std::string text(bytes.begin(), bytes.end());
    const std::size_t end = text.find("end_header\n");
    if (end == std::string::npos)
        throw std::runtime_error("PLY without end_header");
    std::istringstream header(text.substr(0, end));
    std::string line;
    std::size_t vertices = 0, faces = 0;
    while (std::getline(header, line)) {
        std::istringstream fields(line);
        std::string a, b;
        fields >> a >> b;
        if (a == "element" && b == "vertex")
            fields >> vertices;
        if (a == "element" && b == "face")
            fields >> faces;
        if (a == "format" && b != "binary_little_endian")
            throw std::runtime_error("PLY not binary little-endian");
    }
    std::size_t at = end + std::strlen("end_header\n");
    if (bytes.size() != at + vertices * 32 + faces * 13)
        throw std::runtime_error("PLY body has the wrong size");
    ReadMesh mesh;
    for (std::size_t v = 0; v < vertices; ++v, at += 32) {
        float f[8];
        std::memcpy(f, bytes.data() + at, 32);
        mesh.positions.push_back({f[0], f[1], f[2]});
        mesh.normals.push_back({f[3], f[4], f[5]});
        mesh.uvs.push_back({f[6], f[7]});
    }
    for (std::size_t t = 0; t < faces; ++t, at += 13) {
        if (bytes[at] != 3)
            throw std::runtime_error("PLY face is not a triangle");
        std::array<uint32_t, 3> face{};
        std::memcpy(face.data(), bytes.data() + at + 1, 12);
        mesh.triangles.push_back(face);
    }
    return mesh;
}

// STL triangles as corner positions (binary or text); facet normals in `normals`.
struct StlMesh {
    std::vector<std::array<HeightmeshFloat3, 3>> triangles;
    std::vector<HeightmeshFloat3> normals;
};

inline StlMesh ReadStlFile(const fs::path& path)
{
    const std::vector<uint8_t> bytes = ReadBytes(path);
    StlMesh mesh;
    if (bytes.size() >= 6 && std::memcmp(bytes.data(), "solid ", 6) == 0) {
        std::istringstream in(std::string(bytes.begin(), bytes.end()));
        std::string word;
        std::array<HeightmeshFloat3, 3> corners{};
        int corner = 0;
        while (in >> word) {
            if (word == "normal") {
                HeightmeshFloat3 n{};
                in >> n.x >> n.y >> n.z;
                mesh.normals.push_back(n);
            } else if (word == "vertex") {
                in >> corners[corner].x >> corners[corner].y >> corners[corner].z;
                if (++corner == 3) {
                    mesh.triangles.push_back(corners);
                    corner = 0;
                }
            }
        }
        return mesh;
    }
    if (bytes.size() < 84)
        throw std::runtime_error("STL too short");
    uint32_t count = 0;
    std::memcpy(&count, bytes.data() + 80, 4);
    if (bytes.size() != 84 + std::size_t{count} * 50)
        throw std::runtime_error("STL has the wrong size");
    for (uint32_t t = 0; t < count; ++t) {
        float f[12];
        std::memcpy(f, bytes.data() + 84 + std::size_t{t} * 50, 48);
        mesh.normals.push_back({f[0], f[1], f[2]});
        mesh.triangles.push_back({HeightmeshFloat3{f[3], f[4], f[5]}, HeightmeshFloat3{f[6], f[7], f[8]},
                                  HeightmeshFloat3{f[9], f[10], f[11]}});
    }
    return mesh;
}

inline uint32_t Bits(float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    return bits;
}

inline bool SameBits(const HeightmeshFloat3& a, const HeightmeshFloat3& b)
{
    return Bits(a.x) == Bits(b.x) && Bits(a.y) == Bits(b.y) && Bits(a.z) == Bits(b.z);
}
inline bool SameBits(const HeightmeshFloat2& a, const HeightmeshFloat2& b)
{
    return Bits(a.x) == Bits(b.x) && Bits(a.y) == Bits(b.y);
}

// The message of the ToolError that `run` throws (empty when none is thrown).
template <class Run>
std::string ErrorOf(Run&& run)
{
    try {
        run();
    } catch (const heightmesh::tool::ToolError& error) {
        return error.what();
    }
    return {};
}

}  // namespace tooltest
