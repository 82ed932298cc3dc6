#include "output/mesh_writers.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <future>
#include <limits>
#include <string_view>

#include <fmt/compile.h>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "common/file_io.h"
#include "common/parallel.h"
#include "common/text.h"
#include "common/tool_error.h"
#include "mesh/indexed_mesh.h"
#include "output/mesh_records.h"

namespace heightmesh::tool {

namespace {

using Block = fmt::memory_buffer;

// Bytes of output a slice aims at: large enough for few writes, small
// enough that a round of slices stays a few megabytes per thread.
constexpr int64_t kSliceBytes = int64_t{1} << 20;
// Direct writes from the job's buffers go in pieces of this size: progress
// is seen, and the kernel's write-back keeps pace (single writes of tens of
// megabytes measured three times slower than 4 MiB ones).
constexpr std::size_t kDirectPiece = std::size_t{4} << 20;

// Where the file's bytes go: the stream as they are, or base64 text of them
// (for the buffer of a .gltf, which a data URI holds).
class Sink {
public:
    Sink(std::ostream& out, bool base64) : out_(out), base64_(base64) {}

    void Write(const char* data, std::size_t size)
    {
        if (!base64_) {
            out_.write(data, static_cast<std::streamsize>(size));
            if (!out_)
                throw ToolError("write failed");
            return;
        }
        // Whole groups of three bytes, with up to two carried to the next call.
        while (size > 0 && carried_ > 0 && carried_ < 3) {
            carry_[carried_++] = static_cast<unsigned char>(*data++);
            --size;
        }
        if (carried_ == 3) {
            Encode(carry_, 3);
            carried_ = 0;
        }
        const std::size_t whole = size / 3 * 3;
        for (std::size_t at = 0; at < whole; at += kEncodePiece)
            Encode(reinterpret_cast<const unsigned char*>(data) + at, std::min(kEncodePiece, whole - at));
        for (std::size_t at = whole; at < size; ++at)
            carry_[carried_++] = static_cast<unsigned char>(data[at]);
    }

    // Writes what is carried, padded as base64 pads a last partial group.
    void Finish()
    {
        if (!base64_ || carried_ == 0)
            return;
        static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        const unsigned b0 = carry_[0], b1 = carried_ > 1 ? carry_[1] : 0;
        char text[4] = {kDigits[b0 >> 2], kDigits[((b0 & 3) << 4) | (b1 >> 4)],
                        carried_ > 1 ? kDigits[(b1 & 15) << 2] : '=', '='};
        carried_ = 0;
        out_.write(text, 4);
        if (!out_)
            throw ToolError("write failed");
    }

private:
    static constexpr std::size_t kEncodePiece = 3 << 18;

    void Encode(const unsigned char* data, std::size_t size)
    {
        static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        text_.resize(size / 3 * 4);
        char* to = text_.data();
        for (std::size_t i = 0; i < size; i += 3, to += 4) {
            const unsigned v = (unsigned{data[i]} << 16) | (unsigned{data[i + 1]} << 8) | data[i + 2];
            to[0] = kDigits[v >> 18];
            to[1] = kDigits[(v >> 12) & 63];
            to[2] = kDigits[(v >> 6) & 63];
            to[3] = kDigits[v & 63];
        }
        out_.write(text_.data(), static_cast<std::streamsize>(text_.size()));
        if (!out_)
            throw ToolError("write failed");
    }

    std::ostream& out_;
    bool base64_;
    unsigned char carry_[3] = {};
    int carried_ = 0;
    std::vector<char> text_;
};

// Writes a file as sections of items: each section's items are cut into
// slices that the threads fill into blocks of their own, one round of
// slices at a time; a round's blocks are written, in order, on a helper
// thread while the next round is filled.
class SliceWriter {
public:
    SliceWriter(Sink& sink, unsigned threads, const std::function<void(double)>& progress, int64_t totalItems)
        : sink_(sink), threads_(ThreadCount(threads)), progress_(progress), total_(totalItems)
    {
        for (auto& round : rounds_)
            round.resize(threads_);
    }
    ~SliceWriter()
    {
        if (pending_.valid())
            pending_.wait();
    }

    // fill(begin, end, block) appends the bytes of items [begin, end) to block;
    // an item yields about itemBytes.
    template <class Fill>
    void Section(int64_t count, int64_t itemBytes, Fill&& fill)
    {
        const int64_t perSlice = std::max<int64_t>(1, kSliceBytes / std::max<int64_t>(1, itemBytes));
        for (int64_t first = 0; first < count; first += perSlice * threads_) {
            std::vector<Block>& blocks = rounds_[round_++ % 2];
            RunParts(threads_, [&](unsigned part) {
                Block& block = blocks[part];
                block.clear();
                const int64_t begin = std::min(count, first + part * perSlice);
                const int64_t end = std::min(count, begin + perSlice);
                if (begin < end)
                    fill(begin, end, block);
            });
            Wait();
            pending_ = std::async(std::launch::async, [this, &blocks] {
                for (const Block& block : blocks)
                    if (block.size() > 0)
                        sink_.Write(block.data(), block.size());
            });
            Advance(std::min(count - first, perSlice * threads_));
        }
    }

    // Bytes written as they are, after every block before them.
    void Bytes(const void* data, std::size_t size)
    {
        Wait();
        sink_.Write(static_cast<const char*>(data), size);
    }
    // An array written straight from where it is, counted as `items`.
    void Direct(const void* data, std::size_t size, int64_t items)
    {
        Wait();
        const char* bytes = static_cast<const char*>(data);
        for (std::size_t at = 0; at < size; at += kDirectPiece) {
            const std::size_t piece = std::min(kDirectPiece, size - at);
            sink_.Write(bytes + at, piece);
            Advance(size > 0 ? static_cast<int64_t>(static_cast<double>(items) * piece / size) : 0);
        }
    }
    void Finish()
    {
        Wait();
        sink_.Finish();
        if (progress_)
            progress_(1.0);
    }

    void Advance(int64_t items)
    {
        done_ += items;
        if (progress_ && total_ > 0)
            progress_(std::min(1.0, static_cast<double>(done_) / static_cast<double>(total_)));
    }

private:
    void Wait()
    {
        if (pending_.valid())
            pending_.get();
    }

    Sink& sink_;
    unsigned threads_;
    const std::function<void(double)>& progress_;
    int64_t total_;
    int64_t done_ = 0;
    std::array<std::vector<Block>, 2> rounds_;
    uint64_t round_ = 0;
    std::future<void> pending_;
};

// ---- Text --------------------------------------------------------------------------

// Room for the shortest text of a float: at most 17 bytes
// ("-1125899840000000"; fixed notation reaches 16 digits), rounded up.
constexpr std::size_t kFloatTextBytes = 24;
// The most bytes of a vertex index as text.
constexpr std::size_t kIndexTextBytes = 20;

// The shortest text that reads back as the same float, written at `to`.
inline char* PutFloat(float value, char* to) { return fmt::format_to(to, FMT_COMPILE("{}"), value); }

// The shortest texts of floats seen lately, in a direct-mapped table keyed
// by their bits: a grid's meshes repeat their values (each column's x in
// every row, each row's z in every column, UVs the same way, heights of
// a few thousand levels), and a copy is several times cheaper than making
// the text again. One per thread.
class FloatTexts {
public:
    FloatTexts() : entries_(kEntries) {}

    char* Put(float value, char* to)
    {
        uint32_t bits = 0;
        std::memcpy(&bits, &value, 4);
        Entry& entry = entries_[(bits * 0x9E3779B1u) >> (32 - kLogEntries)];
        if (entry.size != 0 && entry.bits == bits) {
            std::memcpy(to, entry.text, kFloatTextBytes);
            return to + entry.size;
        }
        char* end = PutFloat(value, to);
        entry.bits = bits;
        entry.size = static_cast<uint8_t>(end - to);
        std::memcpy(entry.text, to, entry.size);
        return end;
    }

private:
    static constexpr int kLogEntries = 14;
    static constexpr std::size_t kEntries = std::size_t{1} << kLogEntries;
    struct Entry {
        uint32_t bits = 0;
        uint8_t size = 0;  // 0: empty
        char text[kFloatTextBytes] = {};
    };
    std::vector<Entry> entries_;
};

FloatTexts& ThreadFloatTexts()
{
    thread_local FloatTexts texts;
    return texts;
}

// Room for `bytes` more at the end of the block; returns where they go.
inline char* Extend(Block& block, std::size_t bytes)
{
    const std::size_t at = block.size();
    block.resize(at + bytes);
    return block.data() + at;
}
// Ends the block at `end`, within the room Extend gave.
inline void Trim(Block& block, const char* end) { block.resize(static_cast<std::size_t>(end - block.data())); }

// Meshes that hand out their triangles by job cell.
template <class Mesh>
concept CellTriangles = requires(const Mesh& mesh)
{
    {
        mesh.cellCount()
        } -> std::convertible_to<int64_t>;
    mesh.ForEachTriangleInCells(int64_t{0}, int64_t{0}, [](uint32_t, uint32_t, uint32_t) {});
};

// A section of triangles: emit(a, b, c, block) appends one triangle's bytes.
// On all threads by cell slices where the mesh offers them, else on this one.
template <class Mesh, class Emit>
void TriangleSection(const Mesh& mesh, SliceWriter& writer, int64_t triangleBytes, Emit&& emit)
{
    if constexpr (CellTriangles<Mesh>) {
        writer.Section(mesh.cellCount(), 2 * triangleBytes, [&](int64_t begin, int64_t end, Block& block) {
            mesh.ForEachTriangleInCells(begin, end, [&](uint32_t a, uint32_t b, uint32_t c) { emit(a, b, c, block); });
        });
    } else {
        Block block;
        int64_t count = 0;
        mesh.ForEachTriangle([&](uint32_t a, uint32_t b, uint32_t c) {
            emit(a, b, c, block);
            if (++count % 65536 == 0 && block.size() >= static_cast<std::size_t>(kSliceBytes)) {
                writer.Bytes(block.data(), block.size());
                block.clear();
                writer.Advance(65536);
            }
        });
        writer.Bytes(block.data(), block.size());
        writer.Advance(count % 65536);
    }
}

// The items a mesh's triangle section counts: cells, or triangles.
template <class Mesh>
int64_t TriangleItems(const Mesh& mesh)
{
    if constexpr (CellTriangles<Mesh>)
        return mesh.cellCount();
    else
        return mesh.triangleCount();
}

template <class T>
void AppendValue(Block& block, const T& value)
{
    static_assert(std::is_trivially_copyable_v<T>);
    const char* bytes = reinterpret_cast<const char*>(&value);
    block.append(bytes, bytes + sizeof value);
}

// Whether the mesh's written attributes are the job's buffers themselves.
template <class Mesh>
bool WritesJobBuffers(const Mesh& mesh)
{
    if constexpr (std::is_same_v<Mesh, KeptMesh>)
        return !mesh.compacted();
    else
        return false;
}

// Whether a mesh of that many vertices takes 16-bit indices in glTF.
bool ShortGltfIndices(int64_t vertices) { return vertices <= 65536; }

// The glTF document for the mesh, with its one buffer laid out as `layout`.
nlohmann::json GltfDocument(const GltfLayout& layout, const HeightmeshFloat3& low, const HeightmeshFloat3& high)
{
    const int64_t vertices = layout.vertices, indices = layout.indices;
    const bool shortIndices = layout.shortIndices;
    const uint64_t positionBytes = layout.positionBytes, uvBytes = layout.uvBytes, indexBytes = layout.indexBytes;
    using nlohmann::json;
    const auto view = [](uint64_t offset, uint64_t length, int target) {
        json v = {{"buffer", 0}, {"byteLength", length}, {"target", target}};
        if (offset != 0)
            v["byteOffset"] = offset;
        return v;
    };
    constexpr int kArrayBuffer = 34962, kElementArrayBuffer = 34963;
    constexpr int kFloat = 5126, kUnsignedShort = 5123, kUnsignedInt = 5125;
    json position = {{"bufferView", 0}, {"componentType", kFloat}, {"count", vertices}, {"type", "VEC3"}};
    position["min"] = {static_cast<double>(low.x), static_cast<double>(low.y), static_cast<double>(low.z)};
    position["max"] = {static_cast<double>(high.x), static_cast<double>(high.y), static_cast<double>(high.z)};
    json document;
    document["asset"] = {{"generator", "heightmesh"}, {"version", "2.0"}};
    document["accessors"] = {
        position,
        {{"bufferView", 1}, {"componentType", kFloat}, {"count", vertices}, {"type", "VEC3"}},
        {{"bufferView", 2}, {"componentType", kFloat}, {"count", vertices}, {"type", "VEC2"}},
        {{"bufferView", 3},
         {"componentType", shortIndices ? kUnsignedShort : kUnsignedInt},
         {"count", indices},
         {"type", "SCALAR"}},
    };
    document["bufferViews"] = {
        view(0, positionBytes, kArrayBuffer),
        view(positionBytes, positionBytes, kArrayBuffer),
        view(2 * positionBytes, uvBytes, kArrayBuffer),
        view(2 * positionBytes + uvBytes, indexBytes, kElementArrayBuffer),
    };
    document["buffers"] = {{{"byteLength", layout.total}}};
    document["meshes"] = {
        {{"name", "heightmesh"},
         {"primitives",
          {{{"attributes", {{"NORMAL", 1}, {"POSITION", 0}, {"TEXCOORD_0", 2}}}, {"indices", 3}, {"mode", 4}}}}}};
    document["nodes"] = {{{"mesh", 0}, {"name", "terrain"}}};
    document["scene"] = 0;
    document["scenes"] = {{{"nodes", {0}}}};
    return document;
}

}  // namespace

HeightmeshFloat3 FacetNormal(const HeightmeshFloat3& a, const HeightmeshFloat3& b, const HeightmeshFloat3& c)
{
    const float ux = b.x - a.x, uy = b.y - a.y, uz = b.z - a.z;
    const float vx = c.x - a.x, vy = c.y - a.y, vz = c.z - a.z;
    const float nx = uy * vz - uz * vy;
    const float ny = uz * vx - ux * vz;
    const float nz = ux * vy - uy * vx;
    const float length = std::sqrt(nx * nx + ny * ny + nz * nz);
    if (!(length > 0.0f) || !std::isfinite(length))
        return {0.0f, 0.0f, 0.0f};
    return {nx / length, ny / length, nz / length};
}

std::string PlyHeader(int32_t gridWidth, int32_t gridHeight, int64_t vertices, int64_t triangles)
{
    return fmt::format(
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
        gridWidth, gridHeight, vertices, triangles);
}

std::array<char, kStlHeaderBytes> StlHeader(int32_t gridWidth, int32_t gridHeight, int64_t triangles)
{
    // The title must not begin with "solid", or readers take the file for text.
    std::array<char, kStlHeaderBytes> header{};
    const std::string title = fmt::format("heightmesh binary STL, {}x{} grid", gridWidth, gridHeight).substr(0, 79);
    std::memcpy(header.data(), title.data(), title.size());
    if (triangles > std::numeric_limits<uint32_t>::max())
        throw ToolError("too many triangles for binary STL");
    const auto count = static_cast<uint32_t>(triangles);
    std::memcpy(header.data() + 80, &count, 4);
    return header;
}

GltfLayout GltfLayoutFor(int64_t vertices, int64_t indices, bool binary)
{
    if (vertices == 0 || indices == 0)
        throw ToolError("glTF cannot hold an empty mesh: every cell is masked");
    GltfLayout layout;
    layout.vertices = vertices;
    layout.indices = indices;
    layout.shortIndices = ShortGltfIndices(vertices);
    layout.positionBytes = static_cast<uint64_t>(vertices) * 12;
    layout.uvBytes = static_cast<uint64_t>(vertices) * 8;
    layout.indexBytes = static_cast<uint64_t>(indices) * (layout.shortIndices ? 2 : 4);
    // The 16-bit indices leave the buffer a whole number of words only when
    // the count of indices is even; a .glb's chunk is padded.
    layout.total = 2 * layout.positionBytes + layout.uvBytes + layout.indexBytes;
    layout.binaryChunk = (layout.total + 3) / 4 * 4;
    // A binary glTF and its chunks are limited to 32-bit sizes, and the text
    // form's base64 copy is a third larger still.
    const uint64_t limit = binary ? (uint64_t{1} << 32) - (uint64_t{1} << 20) : (uint64_t{3} << 30);
    if (layout.total > limit)
        throw ToolError(fmt::format("the mesh needs {} bytes of buffer data, more than {} holds ({} bytes at most)",
                                    layout.total, binary ? "binary glTF" : "glTF text", limit));
    return layout;
}

std::string GlbPrefix(const GltfLayout& layout, const HeightmeshFloat3& low, const HeightmeshFloat3& high)
{
    std::string json = GltfDocument(layout, low, high).dump();
    json.append((4 - json.size() % 4) % 4, ' ');
    const uint64_t length = 12 + 8 + json.size() + 8 + layout.binaryChunk;
    const uint32_t head[5] = {0x46546C67u /* "glTF" */, 2, static_cast<uint32_t>(length),
                              static_cast<uint32_t>(json.size()), 0x4E4F534Au /* "JSON" */};
    const uint32_t chunk[2] = {static_cast<uint32_t>(layout.binaryChunk), 0x004E4942u /* "BIN\0" */};
    std::string prefix(reinterpret_cast<const char*>(head), sizeof head);
    prefix += json;
    prefix.append(reinterpret_cast<const char*>(chunk), sizeof chunk);
    return prefix;
}

MeshFormat MeshFormatFromPath(const std::filesystem::path& path)
{
    const std::string extension = Lowercase(path.extension().string());
    if (extension == ".obj")
        return MeshFormat::Obj;
    if (extension == ".ply")
        return MeshFormat::Ply;
    if (extension == ".stl")
        return MeshFormat::Stl;
    if (extension == ".gltf")
        return MeshFormat::Gltf;
    if (extension == ".glb")
        return MeshFormat::Glb;
    throw UsageError(
        fmt::format("unsupported output format {}: expected .obj, .ply, .stl, .gltf or .glb", Quoted(path)));
}

template <class Mesh>
void WriteMesh(const Mesh& mesh, MeshFormat format, std::ostream& out, const MeshWriteOptions& options)
{
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
void WriteObj(const Mesh& mesh, std::ostream& out, const MeshWriteOptions& options)
{
    Sink sink(out, false);
    const int64_t vertices = mesh.vertexCount();
    SliceWriter w(sink, options.threads, options.progress, 3 * vertices + TriangleItems(mesh));
    const std::string header = fmt::format("# heightmesh: {}x{} grid, {} vertices, {} triangles\n", mesh.gridWidth(),
                                           mesh.gridHeight(), vertices, mesh.triangleCount());
    w.Bytes(header.data(), header.size());
    // Each line is made in room for its longest text, then trimmed.
    w.Section(vertices, 40, [&](int64_t begin, int64_t end, Block& block) {
        FloatTexts& texts = ThreadFloatTexts();
        char* to = Extend(block, static_cast<std::size_t>(end - begin) * (2 + 3 * (kFloatTextBytes + 1)));
        for (int64_t k = begin; k < end; ++k) {
            const HeightmeshFloat3& p = mesh.Position(k);
            *to++ = 'v';
            *to++ = ' ';
            to = texts.Put(p.x, to);
            *to++ = ' ';
            to = texts.Put(p.y, to);
            *to++ = ' ';
            to = texts.Put(p.z, to);
            *to++ = '\n';
        }
        Trim(block, to);
    });
    w.Section(vertices, 28, [&](int64_t begin, int64_t end, Block& block) {
        FloatTexts& texts = ThreadFloatTexts();
        char* to = Extend(block, static_cast<std::size_t>(end - begin) * (3 + 2 * (kFloatTextBytes + 1)));
        for (int64_t k = begin; k < end; ++k) {
            const HeightmeshFloat2& uv = mesh.Uv(k);
            *to++ = 'v';
            *to++ = 't';
            *to++ = ' ';
            to = texts.Put(uv.x, to);
            *to++ = ' ';
            to = texts.Put(uv.y, to);
            *to++ = '\n';
        }
        Trim(block, to);
    });
    // Normals rarely repeat; they are made afresh.
    w.Section(vertices, 40, [&](int64_t begin, int64_t end, Block& block) {
        char* to = Extend(block, static_cast<std::size_t>(end - begin) * (3 + 3 * (kFloatTextBytes + 1)));
        for (int64_t k = begin; k < end; ++k) {
            const HeightmeshFloat3& n = mesh.Normal(k);
            *to++ = 'v';
            *to++ = 'n';
            *to++ = ' ';
            to = PutFloat(n.x, to);
            *to++ = ' ';
            to = PutFloat(n.y, to);
            *to++ = ' ';
            to = PutFloat(n.z, to);
            *to++ = '\n';
        }
        Trim(block, to);
    });
    // "f a/a/a b/b/b c/c/c", 1-based: each number made once and copied.
    TriangleSection(mesh, w, 60, [](uint32_t a, uint32_t b, uint32_t c, Block& block) {
        char* const start = Extend(block, 2 + 3 * (3 * kIndexTextBytes + 3));
        char* to = start;
        *to++ = 'f';
        for (const uint32_t v : {a, b, c}) {
            *to++ = ' ';
            const fmt::format_int digits(uint64_t{v} + 1);
            const std::size_t size = digits.size();
            std::memcpy(to, digits.data(), size);
            to += size;
            *to++ = '/';
            std::memcpy(to, digits.data(), size);
            to += size;
            *to++ = '/';
            std::memcpy(to, digits.data(), size);
            to += size;
        }
        *to++ = '\n';
        Trim(block, to);
    });
    w.Finish();
}

template <class Mesh>
void WritePly(const Mesh& mesh, std::ostream& out, const MeshWriteOptions& options)
{
    Sink sink(out, false);
    const int64_t vertices = mesh.vertexCount();
    SliceWriter w(sink, options.threads, options.progress, vertices + TriangleItems(mesh));
    const std::string header = PlyHeader(mesh.gridWidth(), mesh.gridHeight(), vertices, mesh.triangleCount());
    w.Bytes(header.data(), header.size());
    w.Section(vertices, 32, [&](int64_t begin, int64_t end, Block& block) {
        block.resize(static_cast<std::size_t>(end - begin) * kPlyVertexBytes);
        char* to = block.data();
        for (int64_t k = begin; k < end; ++k, to += kPlyVertexBytes)
            PackPlyVertex(mesh.Position(k), mesh.Normal(k), mesh.Uv(k), to);
    });
    TriangleSection(mesh, w, 13, [](uint32_t a, uint32_t b, uint32_t c, Block& block) {
        char record[kPlyFaceBytes];
        PackPlyFace(a, b, c, record);
        block.append(record, record + sizeof record);
    });
    w.Finish();
}

template <class Mesh>
void WriteStl(const Mesh& mesh, std::ostream& out, const MeshWriteOptions& options)
{
    Sink sink(out, false);
    SliceWriter w(sink, options.threads, options.progress, TriangleItems(mesh));
    if (options.asciiStl) {
        w.Bytes("solid heightmesh\n", 17);
        // Every vertex is a corner of up to six facets: its texts are copies.
        constexpr std::string_view kLoop = "\n outer loop\n", kEnd = "\n endloop\nendfacet\n";
        TriangleSection(mesh, w, 250, [&](uint32_t a, uint32_t b, uint32_t c, Block& block) {
            const HeightmeshFloat3 &pa = mesh.Position(a), &pb = mesh.Position(b), &pc = mesh.Position(c);
            const HeightmeshFloat3 n = FacetNormal(pa, pb, pc);
            FloatTexts& texts = ThreadFloatTexts();
            char* to = Extend(block, 13 + kLoop.size() + 3 * (9 + 3 * (kFloatTextBytes + 1)) + kEnd.size());
            const auto put = [&](std::string_view text) {
                std::memcpy(to, text.data(), text.size());
                to += text.size();
            };
            const auto point = [&](const HeightmeshFloat3& p) {
                to = texts.Put(p.x, to);
                *to++ = ' ';
                to = texts.Put(p.y, to);
                *to++ = ' ';
                to = texts.Put(p.z, to);
            };
            put("facet normal ");
            point(n);
            put(kLoop);
            put("  vertex ");
            point(pa);
            put("\n  vertex ");
            point(pb);
            put("\n  vertex ");
            point(pc);
            put(kEnd);
            Trim(block, to);
        });
        w.Bytes("endsolid heightmesh\n", 20);
    } else {
        const std::array<char, kStlHeaderBytes> header =
            StlHeader(mesh.gridWidth(), mesh.gridHeight(), mesh.triangleCount());
        w.Bytes(header.data(), header.size());
        TriangleSection(mesh, w, kStlFacetBytes, [&](uint32_t a, uint32_t b, uint32_t c, Block& block) {
            char record[kStlFacetBytes];
            PackStlFacet(mesh.Position(a), mesh.Position(b), mesh.Position(c), record);
            block.append(record, record + sizeof record);
        });
    }
    w.Finish();
}

template <class Mesh>
void WriteGltf(const Mesh& mesh, std::ostream& out, bool binary, const MeshWriteOptions& options)
{
    const int64_t vertices = mesh.vertexCount();
    const GltfLayout layout = GltfLayoutFor(vertices, 3 * mesh.triangleCount(), binary);
    const uint64_t positionBytes = layout.positionBytes, uvBytes = layout.uvBytes, indexBytes = layout.indexBytes;
    const bool shortIndices = layout.shortIndices;
    Sink plain(out, false);
    Sink base64(out, true);
    std::string after;  // the text form's document after the buffer's data
    if (binary) {
        const std::string prefix = GlbPrefix(layout, mesh.minPosition(), mesh.maxPosition());
        plain.Write(prefix.data(), prefix.size());
    } else {
        // The document as text with the buffer as a data URI, the base64 text
        // streamed in where a placeholder stands.
        constexpr std::string_view kPlaceholder = "@heightmesh-buffer@";
        nlohmann::json document = GltfDocument(layout, mesh.minPosition(), mesh.maxPosition());
        document["buffers"][0]["uri"] = std::string(kPlaceholder);
        std::string text = document.dump(2);
        const std::size_t at = text.find(kPlaceholder);
        const std::string before = text.substr(0, at) + "data:application/octet-stream;base64,";
        after = text.substr(at + kPlaceholder.size());
        plain.Write(before.data(), before.size());
    }

    Sink& sink = binary ? plain : base64;
    SliceWriter w(sink, options.threads, options.progress, 3 * vertices + TriangleItems(mesh));
    if (WritesJobBuffers(mesh)) {
        if constexpr (std::is_same_v<Mesh, KeptMesh>) {
            const MeshData& data = mesh.data();
            w.Direct(data.vertices.data(), positionBytes, vertices);
            w.Direct(data.normals.data(), positionBytes, vertices);
            w.Direct(data.uvs.data(), uvBytes, vertices);
        }
    } else {
        w.Section(vertices, 12, [&](int64_t begin, int64_t end, Block& block) {
            for (int64_t k = begin; k < end; ++k)
                AppendValue(block, mesh.Position(k));
        });
        w.Section(vertices, 12, [&](int64_t begin, int64_t end, Block& block) {
            for (int64_t k = begin; k < end; ++k)
                AppendValue(block, mesh.Normal(k));
        });
        w.Section(vertices, 8, [&](int64_t begin, int64_t end, Block& block) {
            for (int64_t k = begin; k < end; ++k)
                AppendValue(block, mesh.Uv(k));
        });
    }
    bool indicesAsTheyAre = false;
    if constexpr (std::is_same_v<Mesh, KeptMesh>)
        indicesAsTheyAre = !shortIndices && WritesJobBuffers(mesh) && mesh.everyCellKept();
    if (indicesAsTheyAre) {
        if constexpr (std::is_same_v<Mesh, KeptMesh>)
            w.Direct(mesh.data().triangles.data(), indexBytes, TriangleItems(mesh));
    } else if (shortIndices) {
        TriangleSection(mesh, w, 6, [](uint32_t a, uint32_t b, uint32_t c, Block& block) {
            const uint16_t triangle[3] = {static_cast<uint16_t>(a), static_cast<uint16_t>(b), static_cast<uint16_t>(c)};
            AppendValue(block, triangle);
        });
    } else {
        TriangleSection(mesh, w, 12, [](uint32_t a, uint32_t b, uint32_t c, Block& block) {
            const uint32_t triangle[3] = {a, b, c};
            AppendValue(block, triangle);
        });
    }
    w.Finish();
    if (binary && layout.binaryChunk > layout.total) {
        const char zeros[3] = {};
        plain.Write(zeros, static_cast<std::size_t>(layout.binaryChunk - layout.total));
    }
    if (!binary) {
        after += '\n';
        plain.Write(after.data(), after.size());
    }
}

#define HEIGHTMESH_WRITERS_FOR(Mesh)                                                                \
    template void WriteMesh<Mesh>(const Mesh&, MeshFormat, std::ostream&, const MeshWriteOptions&); \
    template void WriteObj<Mesh>(const Mesh&, std::ostream&, const MeshWriteOptions&);              \
    template void WritePly<Mesh>(const Mesh&, std::ostream&, const MeshWriteOptions&);              \
    template void WriteStl<Mesh>(const Mesh&, std::ostream&, const MeshWriteOptions&);              \
    template void WriteGltf<Mesh>(const Mesh&, std::ostream&, bool, const MeshWriteOptions&);

// Every mesh type the tool writes.
HEIGHTMESH_WRITERS_FOR(KeptMesh)
HEIGHTMESH_WRITERS_FOR(GenericMeshOf<KeptMesh>)
HEIGHTMESH_WRITERS_FOR(IndexedMesh)
#undef HEIGHTMESH_WRITERS_FOR

}  // namespace heightmesh::tool
