// The built heightmesh executable, end to end: small inputs of every format
// made here, the written meshes read back and compared bit for bit with
// jobhost's own run of the job library on the same heights and mask; every
// refused input; no partial file ever under a requested name; and an
// independent reader (assimp's command-line tool) accepting the files.
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <limits>
#include <map>
#include <tuple>

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <jobhost/jobhost.h>
#include <stb_image.h>
#include <tiny_gltf.h>

#include "tool_test_support.h"

namespace {

namespace fs = std::filesystem;
using tooltest::ProcessResult;
using tooltest::SameBits;
using tooltest::ScratchDir;

ProcessResult Tool(const ScratchDir& dir, std::vector<std::string> args, long fileSizeLimit = -1)
{
    args.insert(args.begin(), HEIGHTMESH_TOOL_PATH);
    args.push_back("--library");
    args.push_back(HEIGHTMESH_LIBRARY_PATH);
    return tooltest::RunProcess(args, dir.path(), fileSizeLimit);
}

// jobhost's run of the real library: the reference every file is held to.
jobhost::HeightfieldMesh Reference(const std::vector<float>& heights, const std::vector<uint8_t>& mask, int32_t width,
                                   int32_t height, HeightmeshFloat3 scale)
{
    static jobhost::JobSystem jobs(2);
    static const std::shared_ptr<jobhost::JobLibrary> library = jobhost::JobLibrary::Open(HEIGHTMESH_LIBRARY_PATH);
    jobhost::HeightfieldMeshInput input;
    input.heights = heights;
    input.cellMask = mask;
    input.width = width;
    input.height = height;
    input.scale = scale;
    return jobhost::RunHeightfieldMesh(jobs, *library, input);
}

// What a file holds: the reference's kept triangles and the vertices they
// use, in the job's order.
struct Expected {
    std::vector<uint32_t> vertices;                  // job vertex of written vertex k
    std::vector<std::array<uint32_t, 3>> triangles;  // in job vertex numbers
};

Expected Kept(const jobhost::HeightfieldMesh& mesh)
{
    Expected expected;
    std::vector<uint8_t> used(mesh.vertices.size());
    for (std::size_t k = 0; k + 2 < mesh.triangles.size(); k += 3) {
        const auto a = static_cast<uint32_t>(mesh.triangles[k]), b = static_cast<uint32_t>(mesh.triangles[k + 1]),
                   c = static_cast<uint32_t>(mesh.triangles[k + 2]);
        if (a == b || b == c || a == c)
            continue;
        expected.triangles.push_back({a, b, c});
        used[a] = used[b] = used[c] = 1;
    }
    for (uint32_t v = 0; v < used.size(); ++v)
        if (used[v])
            expected.vertices.push_back(v);
    return expected;
}

void ExpectSameMesh(const tooltest::ReadMesh& read, const jobhost::HeightfieldMesh& reference)
{
    const Expected expected = Kept(reference);
    ASSERT_EQ(read.positions.size(), expected.vertices.size());
    ASSERT_EQ(read.normals.size(), expected.vertices.size());
    ASSERT_EQ(read.uvs.size(), expected.vertices.size());
    for (std::size_t k = 0; k < expected.vertices.size(); ++k) {
        const uint32_t v = expected.vertices[k];
        EXPECT_TRUE(SameBits(read.positions[k], reference.vertices[v])) << "vertex " << v;
        EXPECT_TRUE(SameBits(read.normals[k], reference.normals[v])) << "normal " << v;
        EXPECT_TRUE(SameBits(read.uvs[k], reference.uvs[v])) << "uv " << v;
    }
    ASSERT_EQ(read.triangles.size(), expected.triangles.size());
    for (std::size_t t = 0; t < expected.triangles.size(); ++t)
        for (int j = 0; j < 3; ++j)
            EXPECT_EQ(expected.vertices.at(read.triangles[t][j]), expected.triangles[t][j]);
}

tooltest::ReadMesh ReadGlb(const fs::path& path)
{
    tinygltf::TinyGLTF loader;
    tinygltf::Model model;
    std::string error, warning;
    if (!loader.LoadBinaryFromFile(&model, &error, &warning, path.string()))
        throw std::runtime_error(error);
    const tinygltf::Primitive& primitive = model.meshes.at(0).primitives.at(0);
    const auto data = [&](int accessorIndex, std::size_t size, std::size_t& count) {
        const tinygltf::Accessor& accessor = model.accessors.at(static_cast<std::size_t>(accessorIndex));
        const tinygltf::BufferView& view = model.bufferViews.at(static_cast<std::size_t>(accessor.bufferView));
        count = accessor.count;
        if (view.byteLength != count * size)
            throw std::runtime_error("unexpected glTF layout");
        return model.buffers.at(static_cast<std::size_t>(view.buffer)).data.data() + view.byteOffset +
               accessor.byteOffset;
    };
    tooltest::ReadMesh mesh;
    std::size_t count = 0;
    const unsigned char* p = data(primitive.attributes.at("POSITION"), 12, count);
    mesh.positions.resize(count);
    std::memcpy(mesh.positions.data(), p, count * 12);
    const unsigned char* n = data(primitive.attributes.at("NORMAL"), 12, count);
    mesh.normals.resize(count);
    std::memcpy(mesh.normals.data(), n, count * 12);
    const unsigned char* t = data(primitive.attributes.at("TEXCOORD_0"), 8, count);
    mesh.uvs.resize(count);
    std::memcpy(mesh.uvs.data(), t, count * 8);
    // 16-bit indices when every vertex index fits, 32-bit otherwise.
    const bool shortIndices = model.accessors.at(static_cast<std::size_t>(primitive.indices)).componentType ==
                              TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT;
    if (shortIndices != (mesh.positions.size() <= 65536))
        throw std::runtime_error("unexpected glTF index width");
    const unsigned char* i = data(primitive.indices, shortIndices ? 2 : 4, count);
    mesh.triangles.resize(count / 3);
    for (std::size_t k = 0; k < count; ++k) {
        uint32_t index = 0;
        if (shortIndices) {
            uint16_t narrow = 0;
            std::memcpy(&narrow, i + 2 * k, 2);
            index = narrow;
        } else {
            std::memcpy(&index, i + 4 * k, 4);
        }
        mesh.triangles[k / 3][k % 3] = index;
    }
    return mesh;
}

std::vector<uint8_t> AllCells(int32_t width, int32_t height)
{
    return std::vector<uint8_t>(static_cast<std::size_t>((width - 1) * (height - 1)), 1);
}

TEST(ToolEndToEnd, PngToObjMatchesTheJob)
{
    ScratchDir dir;
    const int32_t w = 5, h = 4;
    std::vector<uint16_t> samples;
    std::vector<float> heights;
    for (int i = 0; i < w * h; ++i) {
        const uint16_t v = static_cast<uint16_t>((i * 37 + 11) % 256);
        samples.push_back(v);
        heights.push_back(static_cast<float>(v / 255.0));
    }
    tooltest::WriteBytes(dir / "in.png", tooltest::MakePng(w, h, 1, 8, samples));
    const ProcessResult run =
        Tool(dir, {(dir / "in.png").string(), "-o", (dir / "out.obj").string(), "--z-scale", "3", "--cell-size", "2"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("20 vertices, 24 triangles (12 of 12 cells kept)"), std::string::npos) << run.out;
    ExpectSameMesh(tooltest::ReadObjFile(dir / "out.obj"),
                   Reference(heights, AllCells(w, h), w, h, {2.0f, 3.0f, 2.0f}));
}

TEST(ToolEndToEnd, SixteenBitPgmToPlyMatchesTheJob)
{
    ScratchDir dir;
    const int32_t w = 6, h = 5;
    std::string pgm = "P2\n# test\n6 5\n60000\n";
    std::vector<float> heights;
    for (int i = 0; i < w * h; ++i) {
        const int v = (i * 7919) % 60001;
        pgm += std::to_string(v) + (i % w == w - 1 ? "\n" : " ");
        // --invert mirrors within 0..1.
        heights.push_back(static_cast<float>(1.0 - static_cast<float>(v / 60000.0)));
    }
    tooltest::WriteText(dir / "in.pgm", pgm);
    const ProcessResult run =
        Tool(dir, {(dir / "in.pgm").string(), "-o", (dir / "out.ply").string(), "--scale", "1.5,-2,0.75", "--invert"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ExpectSameMesh(tooltest::ReadPlyFile(dir / "out.ply"),
                   Reference(heights, AllCells(w, h), w, h, {1.5f, -2.0f, 0.75f}));
}

// The top-left 5 x 5 samples of an SRTM tile, read as a window, with one no-data sample at column 2, row 1 (whose four
// neighbours share one height, so its filled value is known) and one sample
// below the cut: the cells touching either are dropped.
struct HgtCase {
    static constexpr int32_t kSide = 5;
    std::vector<int16_t> samples;
    std::vector<float> heights;  // as the job sees them
    std::vector<uint8_t> mask;

    HgtCase()
    {
        for (int i = 0; i < kSide * kSide; ++i)
            samples.push_back(static_cast<int16_t>(200 + (i * 53) % 97));
        for (int i : {2, 6, 8, 12})
            samples[static_cast<std::size_t>(i)] = 150;
        samples[7] = -32768;
        samples[24] = -5;  // below the cut of 0, bottom right corner
        for (int16_t s : samples)
            heights.push_back(s == -32768 ? 150.0f : static_cast<float>(s));
        mask = AllCells(kSide, kSide);
        for (int c : {1, 2, 5, 6, 15})
            mask[static_cast<std::size_t>(c)] = 0;
    }
};

TEST(ToolEndToEnd, HgtWithNoDataToGlbAndStlMatchesTheJob)
{
    ScratchDir dir;
    const HgtCase tile;
    tooltest::WriteBytes(dir / "N00E000.hgt", tooltest::MakeHgtTile(tile.samples, HgtCase::kSide, 100));
    const jobhost::HeightfieldMesh reference =
        Reference(tile.heights, tile.mask, HgtCase::kSide, HgtCase::kSide, {30.0f, 0.5f, 30.0f});
    const Expected expected = Kept(reference);
    ASSERT_EQ(expected.triangles.size(), 22u);

    const ProcessResult run =
        Tool(dir, {(dir / "N00E000.hgt").string(), "-o", (dir / "out.glb").string(), "--cell-size", "30", "--z-scale",
                   "0.5", "--cut-below", "0", "--window", "0,0,5,5"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("(11 of 16 cells kept)"), std::string::npos) << run.out;
    ExpectSameMesh(ReadGlb(dir / "out.glb"), reference);

    for (const bool ascii : {false, true}) {
        std::vector<std::string> args = {(dir / "N00E000.hgt").string(),
                                         "-o",
                                         (dir / "out.stl").string(),
                                         "--cell-size",
                                         "30",
                                         "--z-scale",
                                         "0.5",
                                         "--cut-below",
                                         "0",
                                         "--window",
                                         "0,0,5,5",
                                         "--up",
                                         "y"};
        if (ascii)
            args.push_back("--ascii");
        const ProcessResult stl = Tool(dir, args);
        ASSERT_EQ(stl.exitCode, 0) << stl.err;
        const tooltest::StlMesh read = tooltest::ReadStlFile(dir / "out.stl");
        ASSERT_EQ(read.triangles.size(), expected.triangles.size());
        for (std::size_t t = 0; t < expected.triangles.size(); ++t)
            for (int j = 0; j < 3; ++j)
                EXPECT_TRUE(SameBits(read.triangles[t][j], reference.vertices[expected.triangles[t][j]]));
    }
}

TEST(ToolEndToEnd, RawFloatToGltfMatchesTheJob)
{
    ScratchDir dir;
    const int32_t w = 4, h = 3;
    const std::vector<float> heights = {0.5f, -1.25f, 3.0f, 7.5f, 1e-3f, 2.0f, -0.0f, 4.0f, 9.0f, 1.0f, 1.0f, 0.125f};
    tooltest::WriteBytes(dir / "in.r32", tooltest::MakeRaw(heights));
    const ProcessResult run = Tool(dir, {(dir / "in.r32").string(), "--size", "4x3", "-o", (dir / "out.glb").string(),
                                         "--threads", "1", "--batch", "1"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ExpectSameMesh(ReadGlb(dir / "out.glb"), Reference(heights, AllCells(w, h), w, h, {1.0f, 1.0f, 1.0f}));
}

// A GeoTIFF in UTM with no data: the spacing comes from the geotransform,
// --z-scale exaggerates the metres, and the hole drops its cells.
TEST(ToolEndToEnd, GeoTiffMeshesInMetresWithItsNoData)
{
    ScratchDir dir;
    const int32_t w = 4, h = 3;
    tooltest::TiffSpec spec{w, h, GDT_Int16, {}, {400000, 25, 0, 5100000, 0, -25}, "EPSG:32633", -32768.0};
    for (int i = 0; i < w * h; ++i)
        spec.samples.push_back(300 + 7 * i);
    spec.samples[0] = -32768.0;  // its filled height is its neighbour's, 307
    WriteGeoTiff(dir / "dem.tif", spec);
    std::vector<float> heights;
    for (double v : spec.samples)
        heights.push_back(v == -32768.0 ? 307.0f : static_cast<float>(v));
    std::vector<uint8_t> mask = AllCells(w, h);
    mask[0] = 0;

    const ProcessResult run =
        Tool(dir, {(dir / "dem.tif").string(), "-o", (dir / "dem.obj").string(), "--z-scale", "2", "--stats"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ExpectSameMesh(tooltest::ReadObjFile(dir / "dem.obj"), Reference(heights, mask, w, h, {25.0f, 2.0f, 25.0f}));
    for (const char* line :
         {"input:      GTiff, band 1 of 1 (Int16)", "spacing:    x 25 m, z 25 m (from the geotransform",
          "extent:     75 m x 50 m", "heights:    307 to 377 m (y 614 to 754 after --z-scale)"})
        EXPECT_NE(run.out.find(line), std::string::npos) << line << "\n" << run.out;

    // --cell-size replaces the georeferenced spacing; a mask of the whole
    // raster follows the window read.
    tooltest::WriteBytes(dir / "mask.png", tooltest::MakePng(w, h, 1, 8, std::vector<uint16_t>(12, 255)));
    const ProcessResult window = Tool(dir, {(dir / "dem.tif").string(), "-o", (dir / "w.obj").string(), "--window",
                                            "1,0,3,3", "--cell-size", "1", "--mask", (dir / "mask.png").string()});
    ASSERT_EQ(window.exitCode, 0) << window.err;
    const std::vector<float> right = {307, 314, 321, 335, 342, 349, 363, 370, 377};
    ExpectSameMesh(tooltest::ReadObjFile(dir / "w.obj"), Reference(right, AllCells(3, 3), 3, 3, {1.0f, 1.0f, 1.0f}));
}

// A terrain-RGB tile placed by its web-mercator address.
TEST(ToolEndToEnd, TerrainTileGetsItsSpacingFromItsAddress)
{
    ScratchDir dir;
    std::vector<uint16_t> rgb;
    for (int i = 0; i < 16; ++i)
        rgb.insert(rgb.end(), {1, 134, static_cast<uint16_t>(160 + i)});  // 0.0 .. 1.5 m
    tooltest::WriteBytes(dir / "tile.png", tooltest::MakePng(4, 4, 3, 8, rgb));
    const ProcessResult run =
        Tool(dir, {(dir / "tile.png").string(), "--encoding", "terrain-rgb", "--tile", "0/0/0", "--stats"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // The world in 4 pixels: 2 pi a / 4 at the equator.
    for (const char* line : {"spacing:    x 1.00188e+07 m", "from web-mercator tile 0/0/0", "heights:    0 to 1.5 m"})
        EXPECT_NE(run.out.find(line), std::string::npos) << line << "\n" << run.out;
}

TEST(ToolEndToEnd, BuiltInTerrainWritesMeshPicturesAndStats)
{
    ScratchDir dir;
    const ProcessResult run =
        Tool(dir, {"--size", "33x17", "--seed", "5", "-o", (dir / "t.gltf").string(), "--preview",
                   (dir / "p.png").string(), "--normal-map", (dir / "n.png").string(), "--stats"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"n.png", "p.png", "t.gltf"}));
    for (const char* line : {"grid:       33 x 17 (561 points, 512 cells)", "triangles:  1024 kept (512 of 512 cells)",
                             "vertices/s", "I/O:"})
        EXPECT_NE(run.out.find(line), std::string::npos) << line << "\n" << run.out;
    for (const auto& [name, channels] : {std::pair{"p.png", 4}, std::pair{"n.png", 3}}) {
        int width = 0, height = 0, n = 0;
        stbi_uc* pixels = stbi_load((dir / name).c_str(), &width, &height, &n, 0);
        ASSERT_NE(pixels, nullptr) << name;
        EXPECT_EQ(width, 33);
        EXPECT_EQ(height, 17);
        EXPECT_EQ(n, channels);
        stbi_image_free(pixels);
    }
    // The same seed gives the same file.
    const std::string first = tooltest::ReadText(dir / "t.gltf");
    ASSERT_EQ(Tool(dir, {"--size", "33x17", "--seed", "5", "-o", (dir / "t.gltf").string()}).exitCode, 0);
    EXPECT_EQ(tooltest::ReadText(dir / "t.gltf"), first);
}

// ---- Refusals --------------------------------------------------------------------

struct Refusal {
    std::string name;
    std::vector<std::string> args;  // "@" stands for the scratch directory
    std::string message;            // part of the one line on stderr
    int exitCode;
};

// The text with every "@" replaced by the scratch directory.
std::string InDirectory(std::string text, const ScratchDir& dir)
{
    for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at))
        text.replace(at, 1, dir.path().string());
    return text;
}

TEST(ToolEndToEnd, EveryBadInputGetsOneClearLineAndNoFile)
{
    ScratchDir dir;
    const std::vector<uint8_t> png = tooltest::MakePng(4, 4, 1, 8, std::vector<uint16_t>(16, 100));
    tooltest::WriteBytes(dir / "good.png", png);
    tooltest::WriteBytes(dir / "cut.png", std::vector<uint8_t>(png.begin(), png.begin() + 40));
    tooltest::WriteBytes(dir / "line.png", tooltest::MakePng(1, 9, 1, 8, std::vector<uint16_t>(9, 1)));
    tooltest::WriteBytes(dir / "mask.png", tooltest::MakePng(5, 4, 1, 8, std::vector<uint16_t>(20, 255)));
    tooltest::WriteText(dir / "cut.pgm", "P5 4 4 255\nabc");
    tooltest::WriteText(dir / "photo.jpg", "\xFF\xD8\xFF\xE0 not a heightmap");
    tooltest::WriteBytes(dir / "short.raw", tooltest::MakeRaw(std::vector<float>(15, 1.0f)));
    tooltest::WriteBytes(dir / "bad.hgt", std::vector<uint8_t>(2 * 20, 0));
    tooltest::WriteBytes(dir / "N01E001.hgt", tooltest::MakeHgtTile({}, 0, -32768));
    // A PNG header promising 18000 x 18000 pixels, and almost no data.
    std::vector<uint8_t> header = tooltest::MakePng(18000, 1, 1, 8, std::vector<uint16_t>(18000, 0));
    tooltest::ClaimPngHeight(header, 18000);
    tooltest::WriteBytes(dir / "huge.png", header);
    // A 100 x 100 raster in blocks of 16 x 2^28 pixels (4 GiB each).
    tooltest::WriteBytes(dir / "blocks.tif", tooltest::MakeTiledTiff(100, 100, 16, uint32_t{1} << 28));
    // Blocks of 16 x 2^16 pixels of 4096 interleaved bands: reading band 1
    // decodes every band's block (8 GiB).
    tooltest::WriteBytes(dir / "bands.tif", tooltest::MakeTiledTiff(100, 100, 16, uint32_t{1} << 16, 4096));
    tooltest::WriteText(dir / "precious.obj", "precious");
    tooltest::WriteText(dir / "precious.glb", "precious");

    const std::vector<Refusal> cases = {
        {"missing input", {"@/none.png", "-o", "@/o.obj"}, "cannot open '@/none.png': No such file or directory", 1},
        {"truncated png", {"@/cut.png", "-o", "@/o.obj"}, "cannot read '@/cut.png'", 1},
        {"truncated pgm", {"@/cut.pgm", "-o", "@/o.obj"}, "'@/cut.pgm' is truncated", 1},
        {"unsupported input", {"@/photo.jpg", "-o", "@/o.obj"}, "cannot read '@/photo.jpg': GDAL reads no raster", 1},
        {"device as input", {"/dev/zero", "-o", "@/o.obj"}, "cannot read '/dev/zero': not a regular file", 1},
        {"device as mask",
         {"@/good.png", "--mask", "/dev/zero", "-o", "@/o.obj"},
         "'/dev/zero': not a regular file",
         1},
        {"over the memory limit",
         {"@/good.png", "-o", "@/o.glb", "--max-memory", "1K"},
         "meshing '@/good.png' (4x4 points) would need about",
         1},
        {"huge blocks",
         {"@/blocks.tif", "-o", "@/o.obj", "--max-memory", "100M"},
         "'@/blocks.tif' is stored in blocks of 16 x 268435456 pixels: reading any pixel makes GDAL hold 4.0 GiB of "
         "them, above the limit of 100.0 MiB",
         1},
        {"huge interleaved blocks",
         {"@/bands.tif", "-o", "@/o.obj", "--max-memory", "1G"},
         "'@/bands.tif' is stored in blocks of 16 x 65536 pixels: reading any pixel makes GDAL hold 8.0 GiB",
         1},
        {"huge blocks, window",
         {"@/blocks.tif", "-o", "@/o.obj", "--max-memory", "100M", "--window", "0,0,4,4"},
         "is stored in blocks of 16 x 268435456 pixels",
         1},
        {"huge header", {"@/huge.png", "-o", "@/o.obj", "--max-memory", "2G"}, "above the limit of 2.0 GiB", 1},
        {"huge header read", {"@/huge.png", "-o", "@/o.obj", "--max-memory", "64G"}, "cannot read PNG '@/huge.png'", 1},
        {"window outside", {"@/good.png", "-o", "@/o.obj", "--window", "2,2,3,3"}, "reaches outside '@/good.png'", 1},
        {"bad window", {"@/good.png", "-o", "@/o.obj", "--window", "1,2,3"}, "--window: '1,2,3' is not four", 2},
        {"bad bounds", {"@/good.png", "-o", "@/o.obj", "--bounds", "3,0,1,1"}, "needs MINX < MAXX", 2},
        {"window and bounds",
         {"@/good.png", "-o", "@/o.obj", "--window", "0,0,2,2", "--bounds", "0,0,1,1"},
         "excludes",
         2},
        {"encoding of gray",
         {"@/good.png", "-o", "@/o.obj", "--encoding", "terrain-rgb"},
         "needs red, green and blue",
         1},
        {"unknown encoding",
         {"@/good.png", "-o", "@/o.obj", "--encoding", "rgb"},
         "is not gray, terrain-rgb or terrarium",
         2},
        {"band missing", {"@/good.png", "-o", "@/o.obj", "--band", "2"}, "--band 2: '@/good.png' has 1 band", 1},
        {"bad tile", {"@/good.png", "-o", "@/o.obj", "--tile", "3/9/0"}, "is outside the map", 2},
        {"window of the terrain", {"--window", "0,0,2,2", "-o", "@/o.obj"}, "not to the built-in terrain", 2},
        {"tile of a pgm", {"@/cut.pgm", "--tile", "1/0/0", "-o", "@/o.obj"}, "apply to rasters GDAL reads", 2},
        {"window of raw",
         {"@/short.raw", "--size", "4x4", "-o", "@/o.obj", "--window", "0,0,2,2"},
         "apply to rasters GDAL reads",
         2},
        {"raw without size", {"@/short.raw", "-o", "@/o.obj"}, "needs --size", 2},
        {"raw of another size",
         {"@/short.raw", "--size", "4x4", "-o", "@/o.obj"},
         "has 60 bytes, but --size 4x4 needs 64",
         1},
        {"size for a png", {"@/good.png", "--size", "4x4", "-o", "@/o.obj"}, "--size applies only", 2},
        {"mask of another size",
         {"@/good.png", "--mask", "@/mask.png", "-o", "@/o.obj"},
         "mask '@/mask.png' is 5x4, but the heightmap is 4x4",
         1},
        {"grid too small", {"@/line.png", "-o", "@/o.obj"}, "is too small: a mesh needs at least 2 x 2 points", 1},
        {"grid too large", {"--size", "65536x65536", "-o", "@/o.obj"}, "is too large", 2},
        {"size too small", {"--size", "1x5", "-o", "@/o.obj"}, "grid 1x5 is too small", 2},
        // Refused before anything is planned or made (the terrain would take half
        // a minute, and the run is far above the memory limit).
        {"glb too large",
         {"--size", "18918x18918", "--max-memory", "64M", "-o", "@/o.glb"},
         "more than binary glTF holds",
         1},
        {"gltf too large",
         {"--size", "11586x11586", "--max-memory", "64M", "-o", "@/o.gltf"},
         "more than glTF text holds",
         1},
        {"hgt not square", {"@/bad.hgt", "-o", "@/o.obj"}, "not an SRTM .hgt tile", 1},
        {"hgt without data", {"@/N01E001.hgt", "--stats", "--max-size", "64"}, "has no samples with a value", 1},
        {"unsupported output", {"@/good.png", "-o", "@/o.fbx"}, "unsupported output format '@/o.fbx'", 2},
        {"picture not png", {"@/good.png", "--preview", "@/o.jpg"}, "must end in .png", 2},
        {"ascii for obj", {"@/good.png", "-o", "@/o.obj", "--ascii"}, "--ascii applies only to .stl output", 2},
        {"nothing to do", {"@/good.png"}, "nothing to do", 2},
        {"output over input", {"@/good.png", "--preview", "@/good.png"}, "would replace an input", 2},
        {"everything cut",
         {"@/good.png", "-o", "@/o.obj", "--cut-below", "2"},
         "every cell of '@/good.png' is masked",
         1},
        {"missing directory",
         {"@/good.png", "-o", "@/no/o.obj"},
         "cannot write '@/no/o.obj': No such file or directory",
         1},
        {"missing library",
         {"@/good.png", "-o", "@/o.obj", "--library", "@/none.so"},
         "cannot load the job library",
         1},
        {"job failure",
         {"@/good.png", "-o", "@/precious.obj", "--library", TOOL_FAILING_JOB_PATH},
         "the job failed with System.IndexOutOfRangeException: Index 4 is out of range of '4' Length.",
         1},
        {"job failure, band by band",
         {"@/good.png", "-o", "@/precious.glb", "--library", TOOL_FAILING_JOB_PATH},
         "the job failed with System.IndexOutOfRangeException: Index 4 is out of range of '4' Length.",
         1},
        {"bad option", {"--frobnicate"}, "--frobnicate", 2},
    };
    const std::vector<std::string> before = dir.Entries();
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args;
        for (const std::string& a : c.args)
            args.push_back(InDirectory(a, dir));
        const std::string message = InDirectory(c.message, dir);
        std::vector<std::string> full = {HEIGHTMESH_TOOL_PATH};
        if (std::find(args.begin(), args.end(), "--library") == args.end())
            full.insert(full.end(), {"--library", HEIGHTMESH_LIBRARY_PATH});
        full.insert(full.end(), args.begin(), args.end());
        const ProcessResult run = tooltest::RunProcess(full, dir.path());
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        EXPECT_EQ(run.err.rfind("heightmesh: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        ASSERT_FALSE(run.err.empty());
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "more than one line: " << run.err;
        EXPECT_EQ(dir.Entries(), before) << "a file was left behind";
    }
    EXPECT_EQ(tooltest::ReadText(dir / "precious.obj"), "precious");
    EXPECT_EQ(tooltest::ReadText(dir / "precious.glb"), "precious");
}

// A write that fails half way (here: the file size limit) leaves the old file
// under the requested name, or none, and no temporary file.
TEST(ToolEndToEnd, AFailedWriteNeverLeavesAPartialFile)
{
    ScratchDir dir;
    tooltest::WriteText(dir / "keep.obj", "previous version");
    for (const char* name : {"keep.obj", "fresh.ply"}) {
        SCOPED_TRACE(name);
        const ProcessResult run = Tool(dir, {"--size", "64x64", "-o", (dir / name).string()}, 16 * 1024);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_NE(run.err.find("File too large"), std::string::npos) << run.err;
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"keep.obj"});
    }
    EXPECT_EQ(tooltest::ReadText(dir / "keep.obj"), "previous version");
}

// ---- An independent reader ---------------------------------------------------------

std::string FindOnPath(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::stringstream directories(path ? path : "");
    std::string directory;
    while (std::getline(directories, directory, ':')) {
        const fs::path candidate = fs::path(directory) / program;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate.string();
    }
    return {};
}

// The number after `label` at the start of a line of `assimp info`.
std::size_t InfoCount(const std::string& info, const std::string& label)
{
    std::istringstream lines(info);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(label, 0) == 0)
            return std::stoul(line.substr(label.size()));
    }
    return std::numeric_limits<std::size_t>::max();
}

TEST(ToolEndToEnd, AssimpReadsEveryFormatWithTheRightCounts)
{
    const std::string assimp = FindOnPath("assimp");
    if (assimp.empty())
        GTEST_SKIP() << "assimp (Debian's assimp-utils) is not installed";
    ScratchDir dir;
    // 7 x 6 points with a masked band: cut below the median of a ramp.
    std::vector<float> heights;
    for (int i = 0; i < 42; ++i)
        heights.push_back(static_cast<float>(i % 7) + 0.25f * static_cast<float>(i / 7));
    tooltest::WriteBytes(dir / "in.raw", tooltest::MakeRaw(heights));
    std::vector<uint8_t> mask;
    for (int c = 0; c < 30; ++c) {
        const int p = c % 6 + (c / 6) * 7;
        mask.push_back(heights[p] >= 2.0f && heights[p + 1] >= 2.0f && heights[p + 7] >= 2.0f &&
                       heights[p + 8] >= 2.0f);
    }
    const Expected expected = Kept(Reference(heights, mask, 7, 6, {1.0f, 1.0f, 1.0f}));
    const std::size_t faces = expected.triangles.size();
    ASSERT_GT(faces, 0u);
    ASSERT_LT(faces, 60u);

    // Raw imports: OBJ and STL give three vertices per face, the indexed
    // formats their shared vertices.
    const struct {
        const char* name;
        std::size_t vertices;
    } formats[] = {{"m.obj", 3 * faces},
                   {"m.stl", 3 * faces},
                   {"m.ply", expected.vertices.size()},
                   {"m.glb", expected.vertices.size()},
                   {"m.gltf", expected.vertices.size()}};
    for (const auto& format : formats) {
        SCOPED_TRACE(format.name);
        const fs::path file = dir / format.name;
        const ProcessResult written =
            Tool(dir, {(dir / "in.raw").string(), "--size", "7x6", "--cut-below", "2", "-o", file.string()});
        ASSERT_EQ(written.exitCode, 0) << written.err;
        const ProcessResult info = tooltest::RunProcess({assimp, "info", file.string(), "-r"}, dir.path());
        ASSERT_EQ(info.exitCode, 0) << info.out << info.err;
        EXPECT_EQ(InfoCount(info.out, "Vertices:"), format.vertices) << info.out;
        EXPECT_EQ(InfoCount(info.out, "Faces:"), faces) << info.out;
        EXPECT_NE(info.out.find("Primitive Types:    triangles"), std::string::npos) << info.out;
    }
}

// Solids (simplified or not) read back whole: as many faces as the tool
// reports writing, in every format a slicer takes.
TEST(ToolEndToEnd, AssimpReadsSolids)
{
    const std::string assimp = FindOnPath("assimp");
    if (assimp.empty())
        GTEST_SKIP() << "assimp (Debian's assimp-utils) is not installed";
    ScratchDir dir;
    for (const char* name : {"s.stl", "s.obj", "s.ply", "s.glb"})
        for (const bool simplified : {false, true}) {
            SCOPED_TRACE(std::string(name) + (simplified ? " simplified" : ""));
            const fs::path file = dir / name;
            std::vector<std::string> args = {"--size", "24x19",  "--seed", "3",  "--cut-below",
                                             "0.8",    "--base", "2",      "-o", file.string()};
            if (simplified)
                args.insert(args.end(), {"--max-error", "1%"});
            const ProcessResult written = Tool(dir, args);
            ASSERT_EQ(written.exitCode, 0) << written.err;
            const std::size_t at = written.out.find(" triangles");
            ASSERT_NE(at, std::string::npos) << written.out;
            const std::size_t from = written.out.rfind(' ', at - 1) + 1;
            const std::size_t triangles = std::stoul(written.out.substr(from, at - from));
            const ProcessResult info = tooltest::RunProcess({assimp, "info", file.string(), "-r"}, dir.path());
            ASSERT_EQ(info.exitCode, 0) << info.out << info.err;
            EXPECT_EQ(InfoCount(info.out, "Faces:"), triangles) << info.out;
        }
}

// A shaped run planned band by band that must fall back to the full outputs
// (here: every cell cut away) is held to the memory limit for those outputs,
// not the smaller banded estimate.
TEST(ToolEndToEnd, AFallbackFromBandsStaysWithinTheMemoryLimit)
{
    ScratchDir dir;
    // A simplified mesh, and a file written band by band: each fits the limit
    // made band by band, but not with the job's full outputs, which a grid
    // with no kept cell, or normals that are not finite, need for their report.
    const std::vector<std::vector<std::string>> runs = {
        {"--size", "1024x1024", "--max-error", "1%", "--max-memory", "120M", "--cut-below", "1e9"},
        {"--size", "2048x2048", "--max-memory", "260M", "--z-scale", "3e36"},
    };
    for (const std::vector<std::string>& run : runs) {
        SCOPED_TRACE(fmt::format("{}", fmt::join(run, " ")));
        std::vector<std::string> banded(run.begin(), run.end() - 2), cut = run;
        banded.insert(banded.end(), {"-o", (dir / "a.glb").string()});
        cut.insert(cut.end(), {"-o", (dir / "b.glb").string()});
        const ProcessResult fits = Tool(dir, banded);
        EXPECT_EQ(fits.exitCode, 0) << fits.err;
        const ProcessResult refused = Tool(dir, cut);
        EXPECT_EQ(refused.exitCode, 1);
        EXPECT_NE(refused.err.find("above the limit"), std::string::npos) << refused.err;
        EXPECT_FALSE(fs::exists(dir / "b.glb"));
    }
}

// ---- Today's files, byte for byte ----------------------------------------------------

// Where two byte strings first differ ("" if they do not): the offset, the
// two bytes there and the sizes, instead of both files.
std::string FirstDifference(const std::vector<uint8_t>& made, const std::vector<uint8_t>& golden)
{
    const auto [m, g] = std::mismatch(made.begin(), made.end(), golden.begin(), golden.end());
    if (m == made.end() && g == golden.end())
        return "";
    const auto byte = [](auto at, auto end) { return at == end ? std::string("end") : fmt::format("0x{:02x}", *at); };
    return fmt::format("first difference at byte {}: made {}, golden {}; sizes {} and {}", m - made.begin(),
                       byte(m, made.end()), byte(g, golden.end()), made.size(), golden.size());
}

// Meshes and pictures written by an earlier build and kept in tests/golden:
// every format must come out byte for byte the same from the same input
// (the pictures, whose compression may change, pixel for pixel), on grids
// with masked cells and unused vertices and on a whole grid. With
// HEIGHTMESH_UPDATE_GOLDENS=1 (scripts/update-goldens.sh) the files made
// replace the golden ones that differ instead.
TEST(ToolEndToEnd, EveryFormatMatchesTheGoldenFiles)
{
    const fs::path golden = HEIGHTMESH_GOLDEN_DIR;
    const char* updateVariable = std::getenv("HEIGHTMESH_UPDATE_GOLDENS");
    const bool update = updateVariable != nullptr && std::string(updateVariable) == "1";
    ScratchDir dir;
    const struct {
        const char* stem;
        std::vector<std::string> args;
    } inputs[] = {
        {"holes", {(golden / "holes.r32").string(), "--size", "9x7", "--cut-below", "-1", "--scale", "0.5,2,0.75"}},
        {"terrain-cut", {"--size", "12x10", "--seed", "5", "--cut-below", "0.9"}},
        {"terrain-full", {"--size", "16x11", "--seed", "2"}},
    };
    for (const auto& input : inputs) {
        for (const std::string suffix : {".obj", ".ply", ".stl", "-ascii.stl", ".gltf", ".glb"}) {
            const std::string name = input.stem + suffix;
            SCOPED_TRACE(name);
            std::vector<std::string> args = input.args;
            args.insert(args.end(), {"-o", (dir / name).string(), "--up", "y"});
            if (suffix == "-ascii.stl")
                args.push_back("--ascii");
            const ProcessResult run = Tool(dir, args);
            ASSERT_EQ(run.exitCode, 0) << run.err;
            const std::vector<uint8_t> made = tooltest::ReadBytes(dir / name);
            const std::string difference = FirstDifference(made, tooltest::ReadBytes(golden / name));
            if (!update) {
                EXPECT_EQ(difference, "");
            } else if (!difference.empty()) {
                tooltest::WriteBytes(golden / name, made);
            }
        }
    }
    const ProcessResult run = Tool(dir, {"--size", "12x10", "--seed", "5", "--cut-below", "0.9", "--normal-map",
                                         (dir / "n.png").string(), "--preview", (dir / "p.png").string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto pixels = [](const fs::path& path) {
        int width = 0, height = 0, channels = 0;
        stbi_uc* data = stbi_load(path.c_str(), &width, &height, &channels, 0);
        std::vector<uint8_t> out;
        if (data)
            out.assign(data, data + width * height * channels);
        stbi_image_free(data);
        return std::make_tuple(width, height, channels, out);
    };
    for (const auto& [made, name] :
         {std::pair{"n.png", "terrain-cut-normals.png"}, std::pair{"p.png", "terrain-cut-preview.png"}}) {
        SCOPED_TRACE(name);
        const auto [width, height, channels, samples] = pixels(dir / made);
        const auto [goldenWidth, goldenHeight, goldenChannels, goldenSamples] = pixels(golden / name);
        const auto shape = std::make_tuple(width, height, channels);
        const auto goldenShape = std::make_tuple(goldenWidth, goldenHeight, goldenChannels);
        const std::string difference = FirstDifference(samples, goldenSamples);
        if (update && (shape != goldenShape || !difference.empty()))
            fs::copy_file(dir / made, golden / name, fs::copy_options::overwrite_existing);
        if (update)
            continue;
        EXPECT_EQ(shape, goldenShape) << "width, height, channels";
        EXPECT_EQ(difference, "") << "in the samples, row by row";
    }
}

// ---- The output path ---------------------------------------------------------------

// Starts the tool with output to /dev/null, without waiting for it.
pid_t StartTool(std::vector<std::string> args)
{
    args.insert(args.begin(), HEIGHTMESH_TOOL_PATH);
    args.insert(args.end(), {"--library", HEIGHTMESH_LIBRARY_PATH});
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// Whether the process has a file open in the directory (named or not).
bool HasFileOpenIn(pid_t pid, const fs::path& directory)
{
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(fs::path("/proc") / std::to_string(pid) / "fd", error)) {
        const fs::path target = fs::read_symlink(entry.path(), error);
        if (!error && target.string().rfind(directory.string() + "/", 0) == 0)
            return true;
    }
    return false;
}

// A signal in the middle of writing a mesh ends the tool by that signal and
// leaves the directory as it was: nothing under the requested name, no
// temporary under any other (SIGKILL included, where O_TMPFILE works).
TEST(ToolEndToEnd, SignalsDuringAWriteLeaveNothingBehind)
{
    // A text file from the job's full outputs, and a binary one band by band.
    const std::vector<std::pair<std::string, std::string>> runs = {{"900x900", "big.obj"}, {"2500x2500", "big.glb"}};
    for (const auto& [size, name] : runs) {
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
            SCOPED_TRACE(fmt::format("{} {}", name, strsignal(signal)));
            ScratchDir dir;
            const pid_t pid = StartTool({"--size", size, "-o", (dir / name).string()});
            ASSERT_GT(pid, 0);
            bool open = false;
            for (int wait = 0; wait < 60000 && !(open = HasFileOpenIn(pid, dir.path())); ++wait)
                ::usleep(500);
            ASSERT_TRUE(open) << "the tool never opened its output";
            ::usleep(20000);
            ::kill(pid, signal);
            int status = 0;
            ASSERT_EQ(::waitpid(pid, &status, 0), pid);
            if (WIFEXITED(status))
                GTEST_SKIP() << "the write finished before the signal";
            ASSERT_TRUE(WIFSIGNALED(status));
            EXPECT_EQ(WTERMSIG(status), signal);
            EXPECT_EQ(dir.Entries(), std::vector<std::string>{});
        }
    }
}

// The longest valid names work; a FIFO at the output path is refused before
// any work (and stays a FIFO), a symbolic link is written through.
TEST(ToolEndToEnd, LongNamesSpecialFilesAndLinksAtTheOutputPath)
{
    ScratchDir dir;
    for (std::size_t length : {234u, 255u}) {
        const std::string name = std::string(length - 4, 'x') + ".ply";
        const ProcessResult run = Tool(dir, {"--size", "9x9", "-o", (dir / name).string()});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_TRUE(fs::is_regular_file(dir / name)) << length;
        fs::remove(dir / name);
    }
    ASSERT_EQ(::mkfifo((dir / "pipe.glb").c_str(), 0644), 0);
    const ProcessResult fifo = Tool(dir, {"--size", "9x9", "-o", (dir / "pipe.glb").string()});
    EXPECT_EQ(fifo.exitCode, 1);
    EXPECT_NE(fifo.err.find("it is a FIFO"), std::string::npos) << fifo.err;
    EXPECT_EQ(std::count(fifo.err.begin(), fifo.err.end(), '\n'), 1) << fifo.err;
    EXPECT_TRUE(fs::is_fifo(dir / "pipe.glb"));

    tooltest::WriteText(dir / "target.stl", "old");
    fs::create_symlink("target.stl", dir / "link.stl");
    const ProcessResult linked = Tool(dir, {"--size", "9x9", "-o", (dir / "link.stl").string()});
    EXPECT_EQ(linked.exitCode, 0) << linked.err;
    EXPECT_TRUE(fs::is_symlink(dir / "link.stl"));
    EXPECT_EQ(tooltest::ReadStlFile(dir / "target.stl").triangles.size(), 128u);
}

// A library cut short is one line and exit status 1, not a crash.
TEST(ToolEndToEnd, ATruncatedLibraryIsOneLine)
{
    ScratchDir dir;
    const std::vector<uint8_t> whole = tooltest::ReadBytes(HEIGHTMESH_LIBRARY_PATH);
    tooltest::WriteBytes(dir / "cut.so", std::vector<uint8_t>(whole.begin(), whole.begin() + 4096));
    const ProcessResult run = tooltest::RunProcess(
        {HEIGHTMESH_TOOL_PATH, "--size", "9x9", "-o", (dir / "m.obj").string(), "--library", (dir / "cut.so").string()},
        dir.path());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("truncated ELF shared object"), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_FALSE(fs::exists(dir / "m.obj"));
}

// A grid large enough for many slices per thread, with masked cells: the
// GLB reads back with every index naming a written vertex, the counts the
// tool reports, and --stats shows the stages and peak memory.
TEST(ToolEndToEnd, LargeGridSmoke)
{
    ScratchDir dir;
    const ProcessResult run = Tool(dir, {"--size", "1100x700", "--cut-below", "40", "-o", (dir / "big.glb").string(),
                                         "--stats", "--threads", "3"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    for (const char* line : {"stages:     terrain", "job", "write mesh", "memory:"})
        EXPECT_NE(run.out.find(line), std::string::npos) << line << "\n" << run.out;
    const tooltest::ReadMesh mesh = ReadGlb(dir / "big.glb");
    EXPECT_NE(run.out.find(fmt::format("{} vertices, {} triangles", mesh.positions.size(), mesh.triangles.size())),
              std::string::npos)
        << run.out;
    EXPECT_LT(mesh.positions.size(), 1100u * 700u);
    EXPECT_GT(mesh.triangles.size(), 100000u);
    std::vector<uint8_t> used(mesh.positions.size());
    for (const auto& t : mesh.triangles)
        for (uint32_t v : t) {
            ASSERT_LT(v, mesh.positions.size());
            used[v] = 1;
        }
    EXPECT_EQ(std::count(used.begin(), used.end(), 1), static_cast<std::ptrdiff_t>(used.size()));
}

// Solids through the tool: closed by welded STL positions, read back by assimp
// in every format with the triangle count the tool reports, and z-up by default.
TEST(ToolEndToEnd, SolidsAreClosedInEveryFormat)
{
    const std::string assimp = FindOnPath("assimp");
    ScratchDir dir;
    for (const std::vector<std::string>& extra :
         {std::vector<std::string>{}, {"--max-error", "1%"}, {"--max-error", "0.02", "--cut-below", "0.5"}}) {
        for (const char* name : {"s.stl", "s.obj", "s.ply", "s.glb"}) {
            SCOPED_TRACE(testing::Message() << name << " " << (extra.empty() ? "full" : extra[1]));
            const fs::path file = dir / name;
            std::vector<std::string> args = {"--size", "30x20", "--base", "2", "-o", file.string(), "--stats"};
            args.insert(args.end(), extra.begin(), extra.end());
            const ProcessResult run = Tool(dir, args);
            ASSERT_EQ(run.exitCode, 0) << run.err;
            const std::size_t at = run.out.find("vertices, ");
            ASSERT_NE(at, std::string::npos) << run.out;
            const std::size_t triangles = std::stoul(run.out.substr(at + 10));
            if (extra.size() > 1) {
                // The measured error is within the bound asked for.
                const std::size_t e = run.out.find("error:      max ");
                ASSERT_NE(e, std::string::npos) << run.out;
                if (extra[1] == "0.02") {
                    EXPECT_LE(std::stod(run.out.substr(e + 16)), 0.02) << run.out;
                }
            }
            if (std::string(name) == "s.stl") {
                const tooltest::StlMesh read = tooltest::ReadStlFile(file);
                ASSERT_EQ(read.triangles.size(), triangles);
                std::map<std::array<uint32_t, 3>, uint32_t> ids;
                const auto id = [&](const HeightmeshFloat3& p) {
                    std::array<uint32_t, 3> key;
                    std::memcpy(key.data(), &p, 12);
                    return ids.try_emplace(key, static_cast<uint32_t>(ids.size())).first->second;
                };
                std::map<std::pair<uint32_t, uint32_t>, int> uses;
                float lowestZ = std::numeric_limits<float>::infinity();
                for (const auto& t : read.triangles) {
                    const uint32_t a = id(t[0]), b = id(t[1]), c = id(t[2]);
                    ++uses[{a, b}], ++uses[{b, c}], ++uses[{c, a}];
                    for (const auto& p : t)
                        lowestZ = std::min(lowestZ, p.z);
                }
                for (const auto& [edge, count] : uses) {
                    EXPECT_EQ(count, 1);
                    EXPECT_EQ(uses.count({edge.second, edge.first}), 1u);
                }
                // Z-up: the flat bottom is the lowest z, and its facets face -z.
                std::size_t down = 0;
                for (std::size_t k = 0; k < read.triangles.size(); ++k)
                    if (read.triangles[k][0].z == lowestZ && read.triangles[k][1].z == lowestZ &&
                        read.triangles[k][2].z == lowestZ) {
                        ++down;
                        EXPECT_EQ(read.normals[k].z, -1.0f);
                    }
                EXPECT_GT(down, 0u);
            }
            if (assimp.empty())
                continue;
            const ProcessResult info = tooltest::RunProcess({assimp, "info", file.string()}, dir.path());
            ASSERT_EQ(info.exitCode, 0) << info.out << info.err;
            EXPECT_EQ(InfoCount(info.out, "Faces:"), triangles) << info.out;
        }
    }
}

// A shaped mesh that no picture needs the full outputs for is made band by
// band; with --preview the same command takes the full run. Both write the
// same mesh file byte for byte, on a grid of several bands with holes.
// Runs the tool twice with `args` and `-o DIR/ROAD-name`: as given, and with
// a preview, which makes the run keep the job's full outputs and write from
// them. Expects both to succeed with the same file and the same "wrote"
// line; returns both runs' standard output (as given first).
std::array<std::string, 2> ExpectBothRoadsAgree(const ScratchDir& dir, const std::string& name,
                                                const std::vector<std::string>& args)
{
    std::array<std::vector<uint8_t>, 2> files;
    std::array<std::string, 2> outputs, wrote;
    for (const int full : {0, 1}) {
        const fs::path file = dir / (std::string(full ? "full-" : "bands-") + name);
        std::vector<std::string> run = args;
        run.insert(run.end(), {"-o", file.string()});
        if (full)
            run.insert(run.end(), {"--preview", (dir / "p.png").string()});
        const ProcessResult result = Tool(dir, run);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        files[full] = tooltest::ReadBytes(file);
        outputs[full] = result.out;
        const std::size_t at = std::min(result.out.find(": "), result.out.size());
        wrote[full] = result.out.substr(at, result.out.find('\n') - at);
    }
    EXPECT_GT(files[0].size(), 0u);
    EXPECT_TRUE(files[0] == files[1]);
    EXPECT_EQ(wrote[0], wrote[1]);
    return outputs;
}

// The errors of the two runs ExpectBothRoadsAgree makes, each expected to
// fail with status 1 and leave no file.
std::array<std::string, 2> RefusalsOnBothRoads(const ScratchDir& dir, const std::string& name,
                                               const std::vector<std::string>& args)
{
    std::array<std::string, 2> errors;
    for (const int full : {0, 1}) {
        std::vector<std::string> run = args;
        run.insert(run.end(), {"-o", (dir / name).string()});
        if (full)
            run.insert(run.end(), {"--preview", (dir / "p.png").string()});
        const ProcessResult result = Tool(dir, run);
        EXPECT_EQ(result.exitCode, 1);
        errors[full] = result.err;
        EXPECT_FALSE(fs::exists(dir / name));
    }
    return errors;
}

TEST(ToolEndToEnd, BandedShapingWritesTheFullRunsFiles)
{
    ScratchDir dir;
    const std::vector<std::vector<std::string>> cases = {
        {"m.glb", "--max-error", "1%"},
        {"m.stl", "--max-error", "0.05", "--base", "2"},
        {"m.obj", "--max-triangles", "400", "--gpu-order", "--up", "z"},
        {"m.ply", "--base", "1.5"},
        {"m.glb", "--gpu-order", "--threads", "1"},
        {"m.gltf", "--max-error", "0.5%", "--base", "3", "--z-scale", "-2"},
    };
    for (const std::vector<std::string>& c : cases) {
        SCOPED_TRACE(fmt::format("{}", fmt::join(c, " ")));
        std::vector<std::string> args = {"--size", "523x311", "--cut-below", "30", "--stats"};
        args.insert(args.end(), c.begin() + 1, c.end());
        const std::array<std::string, 2> outputs = ExpectBothRoadsAgree(dir, c[0], args);
        EXPECT_NE(outputs[0].find("road:       banded ("), std::string::npos) << outputs[0];
        EXPECT_NE(outputs[1].find("road:       full (a picture reads every vertex)"), std::string::npos) << outputs[1];
    }
    // Heights whose normals overflow single precision (their y does not) are
    // refused the same way on both roads, naming the same first vertex.
    const std::array<std::string, 2> errors =
        RefusalsOnBothRoads(dir, "huge.glb", {"--size", "523x311", "--z-scale", "3e36", "--max-error", "1%"});
    EXPECT_NE(errors[0].find("is not finite (position"), std::string::npos) << errors[0];
    EXPECT_EQ(errors[0], errors[1]);
}

// A binary file with no picture asked for is written band by band as the
// job makes it; a picture makes the run keep the job's full outputs and
// write from them. Both give the same file, whatever the grid's shape
// against the bands (one band, several, a last band of one row) and
// whichever cells are masked (unused vertices left out, numbers shifted).
TEST(ToolEndToEnd, FilesWrittenBandByBandAreTheFullRunsFiles)
{
    ScratchDir dir;
    const std::vector<std::vector<std::string>> cases = {
        {"m.glb", "2600x230"},
        {"m.glb", "200x150"},  // 16-bit indices
        {"m.glb", "2x2", "--threads", "1"},
        {"m.glb", "1031x257", "--scale", "-1.5,-2,0.25"},
        {"m.ply", "2622x199"},
        {"m.ply", "523x311", "--up", "z"},
        {"m.stl", "2622x199"},  // z-up; the last band is one row
        {"m.stl", "700x3", "--up", "y", "--scale", "0.5,3,-1"},
        {"m.stl", "2x1000"},
        {"m.glb", "2600x230", "--cut-below", "25"},
        {"m.glb", "200x150", "--cut-below", "20"},
        {"m.ply", "2622x199", "--cut-below", "30", "--scale", "1,-1,1"},
        {"m.stl", "2622x199", "--cut-below", "35"},
    };
    for (const std::vector<std::string>& c : cases) {
        SCOPED_TRACE(fmt::format("{}", fmt::join(c, " ")));
        std::vector<std::string> args = {"--size", c[1], "--seed", "3", "--stats"};
        args.insert(args.end(), c.begin() + 2, c.end());
        const std::array<std::string, 2> outputs = ExpectBothRoadsAgree(dir, c[0], args);
        EXPECT_NE(outputs[0].find("road:       streamed ("), std::string::npos) << outputs[0];
        EXPECT_NE(outputs[1].find("road:       full (a picture reads every vertex)"), std::string::npos) << outputs[1];
    }
    // Normals that overflow single precision (heights that do not) are
    // refused as the full run refuses them, and no file is left.
    std::vector<std::string> errors;
    for (const char* name : {"huge.glb", "huge.ply", "huge.stl"})
        for (const std::string& error : RefusalsOnBothRoads(dir, name, {"--size", "523x311", "--z-scale", "3e36"}))
            errors.push_back(error);
    EXPECT_NE(errors[0].find("is not finite (position"), std::string::npos) << errors[0];
    for (const std::string& error : errors)
        EXPECT_EQ(error, errors[0]);
}

}  // namespace
