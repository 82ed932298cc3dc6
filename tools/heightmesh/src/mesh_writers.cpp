#include "mesh_writers.h"

#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include <fmt/format.h>
#include <tiny_gltf.h>

#include "file_io.h"
#include "tool_error.h"

namespace heightmesh::tool {

namespace {

constexpr std::size_t kFlushSize = 1 << 20;
constexpr int64_t kProgressStep = 1 << 16;

// Collects output in memory and hands it to the stream in large blocks.
class BlockWriter {
public:
    explicit BlockWriter(std::ostream& out) : out_(out) {}
    ~BlockWriter() = default;

    fmt::memory_buffer& buffer() { return buffer_; }

    void Bytes(const void* data, std::size_t size) {
        const char* bytes = static_cast<const char*>(data);
        buffer_.append(bytes, bytes + size);
        MaybeFlush();
    }
    template <class T>
    void Value(const T& value) {
        static_assert(std::is_trivially_copyable_v<T>);
        Bytes(&value, sizeof value);
    }
    template <class... Args>
    void Text(fmt::format_string<Args...> format, Args&&... args) {
        fmt::format_to(std::back_inserter(buffer_), format, std::forward<Args>(args)...);
        MaybeFlush();
    }
    void Flush() {
        out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
        buffer_.clear();
        if (!out_) throw ToolError("write failed");
    }

private:
    void MaybeFlush() {
        if (buffer_.size() >= kFlushSize) Flush();
    }

    std::ostream& out_;
    fmt::memory_buffer buffer_;
};

// Reports the fraction of `total` items done every kProgressStep items.
class ProgressTicker {
public:
    ProgressTicker(const std::function<void(double)>& report, int64_t total) : report_(report), total_(total) {}
    void Tick() {
        if (++done_ % kProgressStep == 0 && report_ && total_ > 0) report_(static_cast<double>(done_) / total_);
    }

private:
    const std::function<void(double)>& report_;
    int64_t total_;
    int64_t done_ = 0;
};

std::string Lowercase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

HeightmeshFloat3 FacetNormal(const HeightmeshFloat3& a, const HeightmeshFloat3& b, const HeightmeshFloat3& c) {
    const float ux = b.x - a.x, uy = b.y - a.y, uz = b.z - a.z;
    const float vx = c.x - a.x, vy = c.y - a.y, vz = c.z - a.z;
    const float nx = uy * vz - uz * vy;
    const float ny = uz * vx - ux * vz;
    const float nz = ux * vy - uy * vx;
    const float length = std::sqrt(nx * nx + ny * ny + nz * nz);
    if (!(length > 0.0f) || !std::isfinite(length)) return {0.0f, 0.0f, 0.0f};
    return {nx / length, ny / length, nz / length};
}

}  // namespace

MeshFormat MeshFormatFromPath(const std::filesystem::path& path) {
    const std::string extension = Lowercase(path.extension().string());
    if (extension == ".obj") return MeshFormat::Obj;
    if (extension == ".ply") return MeshFormat::Ply;
    if (extension == ".stl") return MeshFormat::Stl;
    if (extension == ".gltf") return MeshFormat::Gltf;
    if (extension == ".glb") return MeshFormat::Glb;
    throw UsageError(fmt::format("unsupported output format {}: expected .obj, .ply, .stl, .gltf or .glb", Quoted(path)));
}

template <class Mesh>
void WriteMesh(const Mesh& mesh, MeshFormat format, std::ostream& out, const MeshWriteOptions& options) {
    switch (format) {
        case MeshFormat::Obj: return WriteObj(mesh, out, options);
        case MeshFormat::Ply: return WritePly(mesh, out, options);
        case MeshFormat::Stl: return WriteStl(mesh, out, options);
        case MeshFormat::Gltf: return WriteGltf(mesh, out, false, options);
        case MeshFormat::Glb: return WriteGltf(mesh, out, true, options);
    }
}

// Floats are written in their shortest form that reads back to the same value.
template <class Mesh>
void WriteObj(const Mesh& mesh, std::ostream& out, const MeshWriteOptions& options) {
    BlockWriter w(out);
    const int64_t vertices = mesh.vertexCount();
    ProgressTicker ticker(options.progress, 3 * vertices + mesh.triangleCount());
    w.Text("# heightmesh: {}x{} grid, {} vertices, {} triangles\n", mesh.gridWidth(), mesh.gridHeight(), vertices,
           mesh.triangleCount());
    for (int64_t k = 0; k < vertices; ++k, ticker.Tick()) {
        const HeightmeshFloat3& p = mesh.Position(k);
        w.Text("v {} {} {}\n", p.x, p.y, p.z);
    }
    for (int64_t k = 0; k < vertices; ++k, ticker.Tick()) {
        const HeightmeshFloat2& uv = mesh.Uv(k);
        w.Text("vt {} {}\n", uv.x, uv.y);
    }
    for (int64_t k = 0; k < vertices; ++k, ticker.Tick()) {
        const HeightmeshFloat3& n = mesh.Normal(k);
        w.Text("vn {} {} {}\n", n.x, n.y, n.z);
    }
    mesh.ForEachTriangle([&](uint32_t a, uint32_t b, uint32_t c) {
        const uint64_t a1 = uint64_t{a} + 1, b1 = uint64_t{b} + 1, c1 = uint64_t{c} + 1;
        w.Text("f {0}/{0}/{0} {1}/{1}/{1} {2}/{2}/{2}\n", a1, b1, c1);
        ticker.Tick();
    });
    w.Flush();
}

template <class Mesh>
void WritePly(const Mesh& mesh, std::ostream& out, const MeshWriteOptions& options) {
    BlockWriter w(out);
    const int64_t vertices = mesh.vertexCount();
    ProgressTicker ticker(options.progress, vertices + mesh.triangleCount());
    w.Text(
        "ply\n"
        "format binary_little_endian 1.0\n"
        "comment heightmesh: {}x{} grid\n"
        "element vertex {}\n"
        "property float x\nproperty float y\nproperty float z\n"
        "property float nx\nproperty float ny\nproperty float nz\n"
        "property float s\nproperty float t\n"
        "element face {}\n"
        "property list uchar uint vertex_indices\n"
        "end_header\n",
        mesh.gridWidth(), mesh.gridHeight(), vertices, mesh.triangleCount());
    for (int64_t k = 0; k < vertices; ++k, ticker.Tick()) {
        const HeightmeshFloat3& p = mesh.Position(k);
        const HeightmeshFloat3& n = mesh.Normal(k);
        const HeightmeshFloat2& uv = mesh.Uv(k);
        const std::array<float, 8> record{p.x, p.y, p.z, n.x, n.y, n.z, uv.x, uv.y};
        w.Value(record);
    }
    mesh.ForEachTriangle([&](uint32_t a, uint32_t b, uint32_t c) {
        char record[13];
        record[0] = 3;
        std::memcpy(record + 1, &a, 4);
        std::memcpy(record + 5, &b, 4);
        std::memcpy(record + 9, &c, 4);
        w.Bytes(record, sizeof record);
        ticker.Tick();
    });
    w.Flush();
}

template <class Mesh>
void WriteStl(const Mesh& mesh, std::ostream& out, const MeshWriteOptions& options) {
    BlockWriter w(out);
    ProgressTicker ticker(options.progress, mesh.triangleCount());
    if (options.asciiStl) {
        w.Text("solid heightmesh\n");
        mesh.ForEachTriangle([&](uint32_t a, uint32_t b, uint32_t c) {
            const HeightmeshFloat3 &pa = mesh.Position(a), &pb = mesh.Position(b), &pc = mesh.Position(c);
            const HeightmeshFloat3 n = FacetNormal(pa, pb, pc);
            w.Text(
                "facet normal {} {} {}\n outer loop\n  vertex {} {} {}\n  vertex {} {} {}\n  vertex {} {} {}\n endloop\n"
                "endfacet\n",
                n.x, n.y, n.z, pa.x, pa.y, pa.z, pb.x, pb.y, pb.z, pc.x, pc.y, pc.z);
            ticker.Tick();
        });
        w.Text("endsolid heightmesh\n");
    } else {
        // The header must not begin with "solid", or readers take the file for text.
        char header[80] = {};
        const std::string title =
            fmt::format("heightmesh binary STL, {}x{} grid", mesh.gridWidth(), mesh.gridHeight()).substr(0, 79);
        std::memcpy(header, title.data(), title.size());
        w.Bytes(header, sizeof header);
        if (mesh.triangleCount() > std::numeric_limits<uint32_t>::max())
            throw ToolError("too many triangles for binary STL");
        w.Value(static_cast<uint32_t>(mesh.triangleCount()));
        mesh.ForEachTriangle([&](uint32_t a, uint32_t b, uint32_t c) {
            const HeightmeshFloat3 &pa = mesh.Position(a), &pb = mesh.Position(b), &pc = mesh.Position(c);
            const HeightmeshFloat3 n = FacetNormal(pa, pb, pc);
            char record[50];
            const std::array<float, 12> values{n.x, n.y, n.z, pa.x, pa.y, pa.z, pb.x, pb.y, pb.z, pc.x, pc.y, pc.z};
            std::memcpy(record, values.data(), 48);
            record[48] = record[49] = 0;
            w.Bytes(record, sizeof record);
            ticker.Tick();
        });
    }
    w.Flush();
}

template <class Mesh>
void WriteGltf(const Mesh& mesh, std::ostream& out, bool binary, const MeshWriteOptions& options) {
    const int64_t vertices = mesh.vertexCount();
    const int64_t indices = 3 * mesh.triangleCount();
    if (vertices == 0 || indices == 0) throw ToolError("glTF cannot hold an empty mesh: every cell is masked");
    // Positions, normals, UVs and 32-bit indices in one buffer; a binary glTF
    // and its chunks are limited to 32-bit sizes, and the text form's base64
    // copy is a third larger still.
    const uint64_t positionBytes = static_cast<uint64_t>(vertices) * 12;
    const uint64_t uvBytes = static_cast<uint64_t>(vertices) * 8;
    const bool shortIndices = vertices <= 65536;
    const uint64_t indexBytes = static_cast<uint64_t>(indices) * (shortIndices ? 2 : 4);
    const uint64_t total = 2 * positionBytes + uvBytes + indexBytes;
    const uint64_t limit = binary ? (uint64_t{1} << 32) - (uint64_t{1} << 20) : (uint64_t{3} << 30);
    if (total > limit)
        throw ToolError(fmt::format("the mesh needs {} bytes of buffer data, more than {} holds ({} bytes at most)", total,
                                    binary ? "binary glTF" : "glTF text", limit));

    ProgressTicker ticker(options.progress, vertices + mesh.triangleCount());
    tinygltf::Model model;
    model.asset.version = "2.0";
    model.asset.generator = "heightmesh";
    tinygltf::Buffer& buffer = model.buffers.emplace_back();
    buffer.data.resize(static_cast<std::size_t>(total));
    unsigned char* positions = buffer.data.data();
    unsigned char* normals = positions + positionBytes;
    unsigned char* uvs = normals + positionBytes;
    unsigned char* indexData = uvs + uvBytes;
    for (int64_t k = 0; k < vertices; ++k, ticker.Tick()) {
        std::memcpy(positions + 12 * k, &mesh.Position(k), 12);
        std::memcpy(normals + 12 * k, &mesh.Normal(k), 12);
        std::memcpy(uvs + 8 * k, &mesh.Uv(k), 8);
    }
    std::size_t at = 0;
    mesh.ForEachTriangle([&](uint32_t a, uint32_t b, uint32_t c) {
        if (shortIndices) {
            const uint16_t triangle[3] = {static_cast<uint16_t>(a), static_cast<uint16_t>(b), static_cast<uint16_t>(c)};
            std::memcpy(indexData + at, triangle, 6);
            at += 6;
        } else {
            const uint32_t triangle[3] = {a, b, c};
            std::memcpy(indexData + at, triangle, 12);
            at += 12;
        }
        ticker.Tick();
    });

    const auto addView = [&](uint64_t offset, uint64_t length, int target) {
        tinygltf::BufferView& view = model.bufferViews.emplace_back();
        view.buffer = 0;
        view.byteOffset = static_cast<std::size_t>(offset);
        view.byteLength = static_cast<std::size_t>(length);
        view.target = target;
        return static_cast<int>(model.bufferViews.size() - 1);
    };
    const auto addAccessor = [&](int view, int componentType, int type, int64_t count) -> tinygltf::Accessor& {
        tinygltf::Accessor& accessor = model.accessors.emplace_back();
        accessor.bufferView = view;
        accessor.byteOffset = 0;
        accessor.componentType = componentType;
        accessor.type = type;
        accessor.count = static_cast<std::size_t>(count);
        return accessor;
    };
    const int positionView = addView(0, positionBytes, TINYGLTF_TARGET_ARRAY_BUFFER);
    const int normalView = addView(positionBytes, positionBytes, TINYGLTF_TARGET_ARRAY_BUFFER);
    const int uvView = addView(2 * positionBytes, uvBytes, TINYGLTF_TARGET_ARRAY_BUFFER);
    const int indexView = addView(2 * positionBytes + uvBytes, indexBytes, TINYGLTF_TARGET_ELEMENT_ARRAY_BUFFER);

    tinygltf::Accessor& position = addAccessor(positionView, TINYGLTF_COMPONENT_TYPE_FLOAT, TINYGLTF_TYPE_VEC3, vertices);
    const HeightmeshFloat3 low = mesh.minPosition(), high = mesh.maxPosition();
    position.minValues = {low.x, low.y, low.z};
    position.maxValues = {high.x, high.y, high.z};
    addAccessor(normalView, TINYGLTF_COMPONENT_TYPE_FLOAT, TINYGLTF_TYPE_VEC3, vertices);
    addAccessor(uvView, TINYGLTF_COMPONENT_TYPE_FLOAT, TINYGLTF_TYPE_VEC2, vertices);
    addAccessor(indexView, shortIndices ? TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT : TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT,
                TINYGLTF_TYPE_SCALAR, indices);

    tinygltf::Primitive primitive;
    primitive.attributes = {{"POSITION", 0}, {"NORMAL", 1}, {"TEXCOORD_0", 2}};
    primitive.indices = 3;
    primitive.mode = TINYGLTF_MODE_TRIANGLES;
    tinygltf::Mesh& gltfMesh = model.meshes.emplace_back();
    gltfMesh.name = "heightmesh";
    gltfMesh.primitives.push_back(std::move(primitive));
    tinygltf::Node& node = model.nodes.emplace_back();
    node.mesh = 0;
    node.name = "terrain";
    tinygltf::Scene& scene = model.scenes.emplace_back();
    scene.nodes = {0};
    model.defaultScene = 0;

    tinygltf::TinyGLTF writer;
    if (!writer.WriteGltfSceneToStream(&model, out, /*prettyPrint=*/!binary, binary) || !out)
        throw ToolError("write failed");
}

#define HEIGHTMESH_WRITERS_FOR(Mesh)                                                                   \
    template void WriteMesh<Mesh>(const Mesh&, MeshFormat, std::ostream&, const MeshWriteOptions&); \
    template void WriteObj<Mesh>(const Mesh&, std::ostream&, const MeshWriteOptions&);             \
    template void WritePly<Mesh>(const Mesh&, std::ostream&, const MeshWriteOptions&);             \
    template void WriteStl<Mesh>(const Mesh&, std::ostream&, const MeshWriteOptions&);             \
    template void WriteGltf<Mesh>(const Mesh&, std::ostream&, bool, const MeshWriteOptions&);
HEIGHTMESH_WRITERS_FOR(KeptMesh)
HEIGHTMESH_WRITERS_FOR(IndexedMesh)
#undef HEIGHTMESH_WRITERS_FOR

}  // namespace heightmesh::tool
