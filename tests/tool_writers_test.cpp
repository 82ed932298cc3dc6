// The mesh writers, pictures and atomic files, on job-shaped output made here.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include <cmath>
#include <limits>
#include <sstream>

#include <fmt/format.h>

#include <stb_image.h>
#include <tiny_gltf.h>

#include "common/file_io.h"
#include "common/tool_error.h"
#include "mesh/mesh.h"
#include "output/mesh_writers.h"
#include "output/pictures.h"
#include "tool_test_support.h"

namespace heightmesh::tool {
namespace {

using tooltest::SameBits;
namespace fs = std::filesystem;

// Output laid out as the job lays it out: grid point i at column x = i % w
// and row z = i / w, position (x, h, z), UV (x / w, z / h), and for each cell
// c the triangles (p, p + w + 1, p + 1), (p, p + w, p + w + 1) or six zeros.
// Normals are distinct per vertex so that a mix-up shows.
MeshData JobShapedMesh(int32_t w, int32_t h, const std::vector<uint8_t>& cellMask)
{
    MeshData mesh;
    for (int32_t i = 0; i < w * h; ++i) {
        const float x = static_cast<float>(i % w), z = static_cast<float>(i / w);
        mesh.vertices.push_back({x, 0.5f * x - 0.25f * z, z});
        mesh.uvs.push_back({x / static_cast<float>(w), z / static_cast<float>(h)});
        const float nx = 0.01f * static_cast<float>(i);
        mesh.normals.push_back({nx, std::sqrt(1.0f - nx * nx), -0.0f});
    }
    for (int32_t c = 0; c < (w - 1) * (h - 1); ++c) {
        int32_t corners[6];
        HeightmeshCellTriangles(c % (w - 1) + (c / (w - 1)) * w, w, corners);
        if (cellMask[static_cast<std::size_t>(c)] & 1)
            mesh.triangles.insert(mesh.triangles.end(), corners, corners + 6);
        else
            mesh.triangles.insert(mesh.triangles.end(), 6, 0);
    }
    return mesh;
}

// The expected triangles in job vertex numbers, kept cells only.
std::vector<std::array<uint32_t, 3>> KeptTriangles(const MeshData& mesh)
{
    std::vector<std::array<uint32_t, 3>> out;
    for (std::size_t k = 0; k + 2 < mesh.triangles.size(); k += 3) {
        const auto a = static_cast<uint32_t>(mesh.triangles[k]), b = static_cast<uint32_t>(mesh.triangles[k + 1]),
                   c = static_cast<uint32_t>(mesh.triangles[k + 2]);
        if (a != b && b != c && a != c)
            out.push_back({a, b, c});
    }
    return out;
}

std::string Written(const KeptMesh& mesh, MeshFormat format, bool ascii = false)
{
    std::ostringstream out;
    MeshWriteOptions options;
    options.asciiStl = ascii;
    WriteMesh(mesh, format, out, options);
    return out.str();
}

TEST(ToolKeptMesh, DropsMaskedCellsAndUnusedVertices)
{
    // 4 x 3 grid, 3 x 2 cells; only cells 0 and 5 kept: vertices 3 (top
    // right corner) and 8 (bottom left) are used by no kept triangle.
    const MeshData data = JobShapedMesh(4, 3, {1, 0, 0, 0, 0, 1});
    const KeptMesh mesh(data, 4, 3);
    EXPECT_EQ(mesh.cellCount(), 6);
    EXPECT_EQ(mesh.keptCellCount(), 2);
    EXPECT_EQ(mesh.triangleCount(), 4);
    ASSERT_EQ(mesh.vertexCount(), 8);
    const std::vector<int32_t> sources = {0, 1, 4, 5, 6, 7, 10, 11};
    for (int64_t k = 0; k < 8; ++k)
        EXPECT_EQ(mesh.SourceVertex(k), sources[static_cast<std::size_t>(k)]);
    EXPECT_FALSE(mesh.IsWritten(3));
    EXPECT_FALSE(mesh.IsWritten(8));
    EXPECT_TRUE(mesh.IsWritten(11));

    // Every written triangle names the same positions as the job's.
    std::vector<std::array<uint32_t, 3>> seen;
    mesh.ForEachTriangle([&](uint32_t a, uint32_t b, uint32_t c) {
        seen.push_back({static_cast<uint32_t>(mesh.SourceVertex(a)), static_cast<uint32_t>(mesh.SourceVertex(b)),
                        static_cast<uint32_t>(mesh.SourceVertex(c))});
    });
    EXPECT_EQ(seen, KeptTriangles(data));
}

TEST(ToolKeptMesh, AllKeptWritesEveryVertexInOrder)
{
    const MeshData data = JobShapedMesh(3, 3, std::vector<uint8_t>(4, 1));
    const KeptMesh mesh(data, 3, 3);
    EXPECT_EQ(mesh.vertexCount(), 9);
    EXPECT_EQ(mesh.triangleCount(), 8);
    for (int64_t k = 0; k < 9; ++k)
        EXPECT_EQ(mesh.SourceVertex(k), k);
    EXPECT_EQ(mesh.minPosition().x, 0.0f);
    EXPECT_EQ(mesh.maxPosition().z, 2.0f);
    EXPECT_EQ(mesh.minPosition().y, -0.5f);
    EXPECT_EQ(mesh.maxPosition().y, 1.0f);
}

TEST(ToolKeptMesh, RefusesOutputThatCannotBeWritten)
{
    const MeshData good = JobShapedMesh(3, 3, std::vector<uint8_t>(4, 1));
    MeshData badIndex = good;
    badIndex.triangles[4] = 9;
    MeshData negative = good;
    negative.triangles[0] = -1;
    MeshData overflow = good;
    overflow.vertices[4].y = std::numeric_limits<float>::infinity();
    MeshData nanNormal = good;
    nanNormal.normals[2].x = std::numeric_limits<float>::quiet_NaN();
    MeshData shortUvs = good;
    shortUvs.uvs.pop_back();
    for (const MeshData* data : {&badIndex, &negative, &overflow, &nanNormal, &shortUvs})
        EXPECT_THROW(KeptMesh(*data, 3, 3), ToolError);
    // A non-finite value at a vertex no kept triangle uses does not matter.
    MeshData masked = JobShapedMesh(3, 3, {1, 1, 1, 0});
    masked.vertices[8].y = std::numeric_limits<float>::infinity();
    EXPECT_NO_THROW(KeptMesh(masked, 3, 3));
}

// Every format read back gives the job's values bit for bit, the kept
// triangles and no others.
TEST(ToolMeshWriters, FilesReadBackToTheJobsValues)
{
    const MeshData data = JobShapedMesh(5, 4, {1, 1, 0, 1, 1, 0, 0, 1, 1, 1, 1, 0});
    const KeptMesh mesh(data, 5, 4);
    const std::vector<std::array<uint32_t, 3>> expected = KeptTriangles(data);
    tooltest::ScratchDir dir;

    for (MeshFormat format : {MeshFormat::Obj, MeshFormat::Ply}) {
        const fs::path path = dir / (format == MeshFormat::Obj ? "m.obj" : "m.ply");
        tooltest::WriteText(path, Written(mesh, format));
        const tooltest::ReadMesh read =
            format == MeshFormat::Obj ? tooltest::ReadObjFile(path) : tooltest::ReadPlyFile(path);
        ASSERT_EQ(read.positions.size(), static_cast<std::size_t>(mesh.vertexCount()));
        ASSERT_EQ(read.normals.size(), read.positions.size());
        ASSERT_EQ(read.uvs.size(), read.positions.size());
        for (std::size_t k = 0; k < read.positions.size(); ++k) {
            const auto source = static_cast<std::size_t>(mesh.SourceVertex(static_cast<int64_t>(k)));
            EXPECT_TRUE(SameBits(read.positions[k], data.vertices[source])) << k;
            EXPECT_TRUE(SameBits(read.normals[k], data.normals[source])) << k;
            EXPECT_TRUE(SameBits(read.uvs[k], data.uvs[source])) << k;
        }
        ASSERT_EQ(read.triangles.size(), expected.size());
        for (std::size_t t = 0; t < expected.size(); ++t)
            for (int j = 0; j < 3; ++j)
                EXPECT_EQ(static_cast<uint32_t>(mesh.SourceVertex(read.triangles[t][j])), expected[t][j]);
    }

    for (bool ascii : {false, true}) {
        const fs::path path = dir / (ascii ? "a.stl" : "b.stl");
        tooltest::WriteText(path, Written(mesh, MeshFormat::Stl, ascii));
        const tooltest::StlMesh read = tooltest::ReadStlFile(path);
        ASSERT_EQ(read.triangles.size(), expected.size());
        for (std::size_t t = 0; t < expected.size(); ++t) {
            for (int j = 0; j < 3; ++j)
                EXPECT_TRUE(SameBits(read.triangles[t][j], data.vertices[expected[t][j]]));
            // The facet normal is the unit normal of the corners, facing the
            // side the corners turn counter-clockwise to (up, for this grid).
            const HeightmeshFloat3 n = read.normals[t];
            EXPECT_NEAR(n.x * n.x + n.y * n.y + n.z * n.z, 1.0f, 1e-5f);
            EXPECT_GT(n.y, 0.0f);
        }
    }
    // Binary STL never begins like a text one.
    EXPECT_NE(Written(mesh, MeshFormat::Stl).rfind("solid", 0), 0u);
}

// Text formats keep each float's bits through their shortest texts, the
// longest of those texts included, and tell apart values that look alike
// (-0 and 0, neighbours one unit apart) however often they come again.
TEST(ToolMeshWriters, TextKeepsEveryFloatThroughItsShortestText)
{
    const std::vector<float> values = {
        -1125899840000000.0f, -1.17549435e-38f,           1.4e-45f, -0.0f,    0.0f,        3.40282347e38f, -9999999.0f,
        0.00012345678f,       std::nextafter(1.0f, 2.0f), 1.0f,     -1.0e16f, 123456789.0f};
    MeshData data = JobShapedMesh(7, 6, std::vector<uint8_t>(30, 1));
    for (std::size_t i = 0; i < data.vertices.size(); ++i) {
        const auto v = [&](std::size_t k) { return values[(i * 7 + k * 5) % values.size()]; };
        data.vertices[i] = {v(0), v(1), v(2)};
        data.normals[i] = {v(3), v(4), v(5)};
        data.uvs[i] = {v(6), v(7)};
    }
    const KeptMesh mesh(data, 7, 6);
    tooltest::ScratchDir dir;
    tooltest::WriteText(dir / "m.obj", Written(mesh, MeshFormat::Obj));
    const tooltest::ReadMesh obj = tooltest::ReadObjFile(dir / "m.obj");
    ASSERT_EQ(obj.positions.size(), data.vertices.size());
    for (std::size_t k = 0; k < data.vertices.size(); ++k) {
        EXPECT_TRUE(SameBits(obj.positions[k], data.vertices[k])) << k;
        EXPECT_TRUE(SameBits(obj.normals[k], data.normals[k])) << k;
        EXPECT_TRUE(SameBits(obj.uvs[k], data.uvs[k])) << k;
    }
    tooltest::WriteText(dir / "m.stl", Written(mesh, MeshFormat::Stl, true));
    const tooltest::StlMesh stl = tooltest::ReadStlFile(dir / "m.stl");
    const std::vector<std::array<uint32_t, 3>> expected = KeptTriangles(data);
    ASSERT_EQ(stl.triangles.size(), expected.size());
    for (std::size_t t = 0; t < expected.size(); ++t)
        for (int j = 0; j < 3; ++j)
            EXPECT_TRUE(SameBits(stl.triangles[t][j], data.vertices[expected[t][j]])) << t;
}

TEST(ToolMeshWriters, GltfBothFormsHoldAttributesBoundsAndIndices)
{
    const MeshData data = JobShapedMesh(4, 4, {1, 1, 1, 1, 0, 1, 1, 1, 1});
    const KeptMesh mesh(data, 4, 4);
    const std::vector<std::array<uint32_t, 3>> expected = KeptTriangles(data);
    for (bool binary : {true, false}) {
        SCOPED_TRACE(binary ? "glb" : "gltf");
        const std::string bytes = Written(mesh, binary ? MeshFormat::Glb : MeshFormat::Gltf);
        tinygltf::TinyGLTF loader;
        tinygltf::Model model;
        std::string error, warning;
        const auto* start = reinterpret_cast<const unsigned char*>(bytes.data());
        const bool ok = binary ? loader.LoadBinaryFromMemory(&model, &error, &warning, start,
                                                             static_cast<unsigned int>(bytes.size()))
                               : loader.LoadASCIIFromString(&model, &error, &warning, bytes.data(),
                                                            static_cast<unsigned int>(bytes.size()), "");
        ASSERT_TRUE(ok) << error;
        ASSERT_EQ(model.meshes.size(), 1u);
        const tinygltf::Primitive& primitive = model.meshes[0].primitives.at(0);
        EXPECT_EQ(primitive.mode, TINYGLTF_MODE_TRIANGLES);
        const auto attribute = [&](const char* name) -> const tinygltf::Accessor& {
            return model.accessors.at(static_cast<std::size_t>(primitive.attributes.at(name)));
        };
        const auto elements = [&](const tinygltf::Accessor& accessor, std::size_t size) {
            const tinygltf::BufferView& view = model.bufferViews.at(static_cast<std::size_t>(accessor.bufferView));
            const std::vector<unsigned char>& buffer = model.buffers.at(static_cast<std::size_t>(view.buffer)).data;
            EXPECT_EQ(view.byteLength, accessor.count * size);
            return buffer.data() + view.byteOffset + accessor.byteOffset;
        };
        const tinygltf::Accessor& position = attribute("POSITION");
        ASSERT_EQ(position.count, static_cast<std::size_t>(mesh.vertexCount()));
        EXPECT_EQ(position.minValues, (std::vector<double>{0.0, -0.75, 0.0}));
        EXPECT_EQ(position.maxValues, (std::vector<double>{3.0, 1.5, 3.0}));
        const unsigned char* positions = elements(position, 12);
        const unsigned char* normals = elements(attribute("NORMAL"), 12);
        const unsigned char* uvs = elements(attribute("TEXCOORD_0"), 8);
        for (std::size_t k = 0; k < position.count; ++k) {
            HeightmeshFloat3 p, n;
            HeightmeshFloat2 uv;
            std::memcpy(&p, positions + 12 * k, 12);
            std::memcpy(&n, normals + 12 * k, 12);
            std::memcpy(&uv, uvs + 8 * k, 8);
            EXPECT_TRUE(SameBits(p, data.vertices[k]));
            EXPECT_TRUE(SameBits(n, data.normals[k]));
            EXPECT_TRUE(SameBits(uv, data.uvs[k]));
        }
        const tinygltf::Accessor& indices = model.accessors.at(static_cast<std::size_t>(primitive.indices));
        // A mesh this small fits 16-bit indices.
        EXPECT_EQ(indices.componentType, TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT);
        ASSERT_EQ(indices.count, 3 * expected.size());
        const unsigned char* index = elements(indices, 2);
        for (std::size_t t = 0; t < expected.size(); ++t) {
            std::array<uint16_t, 3> triangle;
            std::memcpy(triangle.data(), index + 6 * t, 6);
            EXPECT_EQ((std::array<uint32_t, 3>{triangle[0], triangle[1], triangle[2]}), expected[t]);
        }
    }
}

// Every format gives the same bytes whatever the thread count, and the same
// bytes through the generic path that other mesh types take, on grids large
// enough to be cut into many slices, with and without masked cells.
TEST(ToolMeshWriters, SlicesOnAnyThreadCountAndTheGenericPathAgree)
{
    const int32_t w = 211, h = 190;
    std::vector<uint8_t> holes(static_cast<std::size_t>((w - 1) * (h - 1)), 1);
    for (std::size_t c = 0; c < holes.size(); ++c)
        if (c % 97 < 30 || (c / 210) % 50 == 7)
            holes[c] = 0;
    MeshData full = JobShapedMesh(w, h, std::vector<uint8_t>(holes.size(), 1));
    MeshData masked = JobShapedMesh(w, h, holes);
    for (MeshData* data : {&full, &masked}) {
        for (std::size_t i = 0; i < data->normals.size(); ++i) {
            const float nx = std::sin(0.001f * static_cast<float>(i));
            data->normals[i] = {nx, std::sqrt(1.0f - nx * nx), 0.1f / static_cast<float>(i + 1)};
        }
    }
    for (const MeshData* data : {&full, &masked}) {
        const KeptMesh mesh(*data, w, h, 3);
        const KeptMesh oneThread(*data, w, h, 1);
        EXPECT_EQ(mesh.compacted(), data == &masked);
        EXPECT_EQ(mesh.vertexCount(), oneThread.vertexCount());
        EXPECT_TRUE(SameBits(mesh.minPosition(), oneThread.minPosition()));
        EXPECT_TRUE(SameBits(mesh.maxPosition(), oneThread.maxPosition()));
        const GenericMeshOf<KeptMesh> generic(mesh);
        for (MeshFormat format :
             {MeshFormat::Obj, MeshFormat::Ply, MeshFormat::Stl, MeshFormat::Gltf, MeshFormat::Glb}) {
            for (bool ascii : {false, true}) {
                if (ascii && format != MeshFormat::Stl)
                    continue;
                SCOPED_TRACE(
                    fmt::format("format {} ascii {} masked {}", static_cast<int>(format), ascii, data == &masked));
                MeshWriteOptions options;
                options.asciiStl = ascii;
                options.threads = 1;
                std::ostringstream reference;
                WriteMesh(oneThread, format, reference, options);
                for (unsigned threads : {2u, 3u, 7u}) {
                    options.threads = threads;
                    std::ostringstream sliced, viaGeneric;
                    WriteMesh(mesh, format, sliced, options);
                    WriteMesh(generic, format, viaGeneric, options);
                    EXPECT_TRUE(sliced.str() == reference.str()) << threads << " threads";
                    EXPECT_TRUE(viaGeneric.str() == reference.str()) << threads << " threads, generic";
                }
            }
        }
    }
}

TEST(ToolMeshWriters, FormatsFollowTheExtension)
{
    EXPECT_EQ(MeshFormatFromPath("a/b.OBJ"), MeshFormat::Obj);
    EXPECT_EQ(MeshFormatFromPath("b.ply"), MeshFormat::Ply);
    EXPECT_EQ(MeshFormatFromPath("b.stl"), MeshFormat::Stl);
    EXPECT_EQ(MeshFormatFromPath("b.gltf"), MeshFormat::Gltf);
    EXPECT_EQ(MeshFormatFromPath("b.glb"), MeshFormat::Glb);
    for (const char* bad : {"b.fbx", "b", "obj", "b.obj.tmp"})
        EXPECT_THROW(MeshFormatFromPath(bad), UsageError) << bad;
}

TEST(ToolMeshWriters, GltfRefusesAnEmptyMesh)
{
    const MeshData data = JobShapedMesh(3, 3, std::vector<uint8_t>(4, 0));
    const KeptMesh mesh(data, 3, 3);
    EXPECT_EQ(mesh.vertexCount(), 0);
    std::ostringstream out;
    EXPECT_THROW(WriteGltf(mesh, out, true), ToolError);
}

// ---- Pictures --------------------------------------------------------------------

struct DecodedPng {
    int width = 0, height = 0, channels = 0;
    std::vector<uint8_t> pixels;
};

DecodedPng Decode(const std::string& png)
{
    DecodedPng out;
    unsigned char* pixels =
        stbi_load_from_memory(reinterpret_cast<const unsigned char*>(png.data()), static_cast<int>(png.size()),
                              &out.width, &out.height, &out.channels, 0);
    if (!pixels)
        throw std::runtime_error("PNG did not decode");
    out.pixels.assign(pixels, pixels + out.width * out.height * out.channels);
    stbi_image_free(pixels);
    return out;
}

TEST(ToolPictures, NormalMapEncodesEachAxis)
{
    MeshData data = JobShapedMesh(3, 2, {1, 1});
    data.normals = {{0, 1, 0}, {1, 0, 0}, {-1, 0, 0}, {0, 0, 1}, {0, 0, -1}, {0, -1, 0}};
    const KeptMesh mesh(data, 3, 2);
    std::ostringstream out;
    WritePng(RenderNormalMap(mesh), out);
    const DecodedPng png = Decode(out.str());
    ASSERT_EQ(png.width, 3);
    ASSERT_EQ(png.height, 2);
    ASSERT_EQ(png.channels, 3);
    const std::vector<uint8_t> expected = {
        128, 128, 255,  //  up
        255, 128, 128,  // +x
        0,   128, 128,  // -x
        128, 0,   128,  // +z points down the picture
        128, 255, 128,  // -z points up the picture
        128, 128, 0,    // down
    };
    EXPECT_EQ(png.pixels, expected);
}

TEST(ToolPictures, PreviewLightsFacesTowardsTheLightAndHidesMaskedPoints)
{
    // 4 x 2 grid; cell 2 masked, so point 3 and point 7 are in no kept cell.
    MeshData data = JobShapedMesh(4, 2, {1, 1, 0});
    const float s = std::sqrt(0.5f);
    // Points 0 and 1 face the light (north-west, 45 degrees up), 4 and 5 away.
    data.normals = {{-0.5f, s, -0.5f}, {-0.5f, s, -0.5f}, {0, 1, 0}, {0, 1, 0},
                    {0.5f, s, 0.5f},   {0.5f, s, 0.5f},   {0, 1, 0}, {0, 1, 0}};
    for (auto& v : data.vertices)
        v.y = 0.0f;
    const KeptMesh mesh(data, 4, 2);
    const Image image = RenderPreview(mesh, LightDirection{315.0, 45.0});
    ASSERT_EQ(image.channels, 4);
    const auto brightness = [&](int i) {
        const uint8_t* p = &image.pixels[4 * static_cast<std::size_t>(i)];
        return p[0] + p[1] + p[2];
    };
    EXPECT_GT(brightness(0), brightness(2));
    EXPECT_GT(brightness(2), brightness(4));
    EXPECT_EQ(image.pixels[4 * 0 + 3], 255);
    EXPECT_EQ(image.pixels[4 * 3 + 3], 0);
    EXPECT_EQ(image.pixels[4 * 7 + 3], 0);
    // The light from the opposite side turns the order around.
    const Image opposite = RenderPreview(mesh, LightDirection{135.0, 45.0});
    EXPECT_LT(opposite.pixels[0] + opposite.pixels[1], opposite.pixels[16] + opposite.pixels[17]);
}

// Pictures larger than one band of rows decode to the same pixels on any
// thread count, in every channel layout.
TEST(ToolPictures, PngBandsDecodeToThePixels)
{
    for (int channels : {1, 3, 4}) {
        Image image;
        image.width = 700;
        image.height = 1700;
        image.channels = channels;
        image.pixels.resize(static_cast<std::size_t>(image.width) * image.height * channels);
        for (std::size_t i = 0; i < image.pixels.size(); ++i)
            image.pixels[i] = static_cast<uint8_t>((i * 2654435761u) >> 13 ^ (i / 977));
        for (unsigned threads : {1u, 3u}) {
            std::ostringstream out;
            int reports = 0;
            WritePng(image, out, threads, [&](double) { ++reports; });
            const DecodedPng png = Decode(out.str());
            EXPECT_EQ(png.width, image.width);
            EXPECT_EQ(png.height, image.height);
            EXPECT_EQ(png.channels, channels);
            EXPECT_TRUE(png.pixels == image.pixels) << channels << " channels, " << threads << " threads";
            EXPECT_GT(reports, 0);
        }
    }
}

// ---- Atomic files ------------------------------------------------------------------

TEST(ToolAtomicFile, CommitReplacesTheDestinationWhole)
{
    tooltest::ScratchDir dir;
    const fs::path target = dir / "out.obj";
    tooltest::WriteText(target, "old contents");
    WriteFileAtomically(target, [](std::ostream& out) {
        const std::string block(3 << 20, 'x');  // past the stream's buffer
        out << "new " << block;
    });
    EXPECT_EQ(fs::file_size(target), 4u + (3u << 20));
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"out.obj"});
    // Created with the usual permissions, not a temporary file's.
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
}

TEST(ToolAtomicFile, FailureLeavesTheDestinationAndNoTemporary)
{
    tooltest::ScratchDir dir;
    const fs::path target = dir / "out.stl";
    tooltest::WriteText(target, "old contents");
    EXPECT_THROW(WriteFileAtomically(target,
                                     [](std::ostream& out) {
                                         out << std::string(2 << 20, 'y');
                                         throw ToolError("writer gave up");
                                     }),
                 ToolError);
    EXPECT_EQ(tooltest::ReadText(target), "old contents");
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"out.stl"});

    // An exception of another kind passes through and cleans up too.
    EXPECT_THROW(WriteFileAtomically(dir / "new.stl", [](std::ostream&) { throw std::bad_alloc(); }), std::bad_alloc);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"out.stl"});

    // An uncommitted file is removed with its object, named or not.
    {
        AtomicFile file(dir / "never.obj", TemporaryKind::Named);
        file.stream() << "partial";
        EXPECT_TRUE(fs::exists(file.temporaryPath()));
    }
    {
        AtomicFile file(dir / "never.obj");
        file.stream() << "partial";
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"out.stl"}) << "an unnamed temporary shows no name";
    }
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"out.stl"});
}

// Both kinds of temporary, committed, give the same file; a name of
// NAME_MAX bytes still gets a temporary name that fits.
TEST(ToolAtomicFile, LongestNamesAndBothTemporaryKindsCommit)
{
    tooltest::ScratchDir dir;
    for (TemporaryKind kind : {TemporaryKind::Named, TemporaryKind::Unnamed}) {
        for (std::size_t length : {1u, 233u, 234u, 255u}) {
            const std::string name = std::string(length - 1, 'n') + (kind == TemporaryKind::Named ? "a" : "b");
            AtomicFile file(dir / name, kind);
            file.stream() << "contents " << length;
            file.Commit();
            EXPECT_EQ(tooltest::ReadText(dir / name), "contents " + std::to_string(length));
        }
    }
    EXPECT_EQ(dir.Entries().size(), 8u);
}

// A symbolic link is followed (its target replaced, the link kept); other
// files that are not regular are refused before anything is written.
TEST(ToolAtomicFile, SymbolicLinksAreFollowedOtherSpecialFilesRefused)
{
    tooltest::ScratchDir dir;
    fs::create_directory(dir / "real");
    tooltest::WriteText(dir / "real" / "target.ply", "old");
    fs::create_symlink("real/target.ply", dir / "link.ply");
    fs::create_symlink("link.ply", dir / "chain.ply");
    fs::create_symlink("real/new.ply", dir / "dangling.ply");
    WriteFileAtomically(dir / "chain.ply", [](std::ostream& out) { out << "new"; });
    WriteFileAtomically(dir / "dangling.ply", [](std::ostream& out) { out << "made"; });
    EXPECT_TRUE(fs::is_symlink(dir / "link.ply"));
    EXPECT_TRUE(fs::is_symlink(dir / "chain.ply"));
    EXPECT_EQ(tooltest::ReadText(dir / "real" / "target.ply"), "new");
    EXPECT_EQ(tooltest::ReadText(dir / "real" / "new.ply"), "made");

    ASSERT_EQ(::mkfifo((dir / "pipe.obj").c_str(), 0644), 0);
    fs::create_symlink("pipe.obj", dir / "to-pipe.obj");
    fs::create_symlink("loop.obj", dir / "loop.obj");
    const struct {
        std::string name;
        std::string reason;
    } cases[] = {{"pipe.obj", "it is a FIFO"}, {"to-pipe.obj", "it is a FIFO"}, {"loop.obj", "symbolic links"}};
    for (const auto& c : cases) {
        try {
            WriteFileAtomically(dir / c.name, [](std::ostream& out) { out << "data"; });
            ADD_FAILURE() << c.name;
        } catch (const ToolError& error) {
            EXPECT_NE(std::string(error.what()).find(c.reason), std::string::npos) << error.what();
        }
    }
    EXPECT_TRUE(fs::is_fifo(dir / "pipe.obj"));
    EXPECT_THROW(ResolveDestination("/dev/null"), ToolError);
}

// SIGINT, SIGTERM and SIGHUP in the middle of a write remove a named
// temporary and still end the process by the signal; SIGKILL leaves nothing
// behind where the temporary has no name.
TEST(ToolAtomicFile, SignalsDuringAWriteLeaveNoTemporary)
{
    const struct {
        int signal;
        TemporaryKind kind;
    } cases[] = {{SIGINT, TemporaryKind::Named},
                 {SIGTERM, TemporaryKind::Named},
                 {SIGHUP, TemporaryKind::Named},
                 {SIGTERM, TemporaryKind::Unnamed},
                 {SIGKILL, TemporaryKind::Unnamed}};
    for (const auto& c : cases) {
        SCOPED_TRACE(strsignal(c.signal));
        tooltest::ScratchDir dir;
        tooltest::WriteText(dir / "keep.stl", "old");
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            AtomicFile file(dir / "keep.stl", c.kind);
            file.stream() << std::string(3 << 20, 'z') << std::flush;
            const char named = file.temporaryPath().empty() ? 'u' : 'n';
            if (::write(ready[1], &named, 1) != 1)
                ::_exit(3);
            for (;;)
                ::pause();
        }
        ::close(ready[1]);
        char named = 0;
        ASSERT_EQ(::read(ready[0], &named, 1), 1);
        ::close(ready[0]);
        ::kill(child, c.signal);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), c.signal);
        if (c.signal == SIGKILL && named == 'n')
            GTEST_SKIP() << "this file system has no O_TMPFILE";
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"keep.stl"});
        EXPECT_EQ(tooltest::ReadText(dir / "keep.stl"), "old");
    }
}

TEST(ToolAtomicFile, UnwritablePlacesFailWithTheReason)
{
    tooltest::ScratchDir dir;
    fs::create_directory(dir / "taken.obj");
    const struct {
        fs::path path;
        std::string reason;
    } cases[] = {
        {dir / "missing" / "out.obj", "No such file or directory"},
        {dir / "taken.obj", "Is a directory"},
    };
    for (const auto& c : cases) {
        try {
            WriteFileAtomically(c.path, [](std::ostream& out) { out << "data"; });
            ADD_FAILURE() << c.path;
        } catch (const ToolError& error) {
            const std::string message = error.what();
            EXPECT_NE(message.find(c.path.string()), std::string::npos) << message;
            EXPECT_NE(message.find(c.reason), std::string::npos) << message;
        }
    }
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"taken.obj"});
}

}  // namespace
}  // namespace heightmesh::tool

namespace heightmesh::tool {
namespace {

mode_t ModeOf(const fs::path& path)
{
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

// A replaced file keeps its permission bits (a private file stays private),
// and, where the user may give them, its owner and group.
TEST(ToolAtomicFile, AReplacedFileKeepsItsModeAndOwner)
{
    tooltest::ScratchDir dir;
    for (const mode_t mode : {mode_t{0600}, mode_t{0640}, mode_t{0751}, mode_t{0604}}) {
        const fs::path target = dir / fmt::format("m{:o}.ply", mode);
        tooltest::WriteText(target, "old");
        ASSERT_EQ(::chmod(target.c_str(), mode), 0);
        WriteFileAtomically(target, [](std::ostream& out) { out << "new"; });
        EXPECT_EQ(tooltest::ReadText(target), "new");
        EXPECT_EQ(ModeOf(target), mode) << std::oct << mode;
    }
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving a file to another owner needs the superuser";
    const fs::path target = dir / "theirs.stl";
    tooltest::WriteText(target, "old");
    ASSERT_EQ(::chown(target.c_str(), 4321, 4322), 0);
    ASSERT_EQ(::chmod(target.c_str(), 0620), 0);
    WriteFileAtomically(target, [](std::ostream& out) { out << "new"; });
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 4321u);
    EXPECT_EQ(info.st_gid, 4322u);
    EXPECT_EQ(info.st_mode & 07777, 0620u);
}

// A file the user may not write is refused, as cp and shell redirection
// refuse it, even where the folder would let a rename replace it; it stays
// as it was. (As the superuser, the refusal is checked in a child that
// gives up its privileges.)
TEST(ToolAtomicFile, AFileTheUserMayNotWriteIsRefused)
{
    tooltest::ScratchDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    const fs::path target = dir / "locked.obj";
    tooltest::WriteText(target, "old");
    ASSERT_EQ(::chmod(target.c_str(), 0444), 0);
    const auto attempt = [&]() -> std::string {
        try {
            WriteFileAtomically(target, [](std::ostream& out) { out << "new"; });
            return "written";
        } catch (const ToolError& error) {
            return error.what();
        }
    };
    if (::geteuid() != 0) {
        const std::string said = attempt();
        EXPECT_NE(said.find("Permission denied"), std::string::npos) << said;
    } else {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
            ::_exit(dropped && attempt().find("Permission denied") != std::string::npos ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(tooltest::ReadText(target), "old");
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"locked.obj"});
}

}  // namespace
}  // namespace heightmesh::tool
