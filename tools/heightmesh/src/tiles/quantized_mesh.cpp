#include "tiles/quantized_mesh.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include <fmt/format.h>

#include "common/tool_error.h"

namespace heightmesh::tool {

namespace {

// Little-endian bytes appended to a buffer.
class Bytes {
public:
    explicit Bytes(std::vector<uint8_t>& out) : out_(out) {}

    template <class T>
    void Put(T value)
    {
        const std::size_t at = out_.size();
        out_.resize(at + sizeof(T));
        std::memcpy(out_.data() + at, &value, sizeof(T));
    }
    void Put(const Vec3& v)
    {
        for (const double c : v)
            Put(c);
    }
    void PadTo(std::size_t alignment)
    {
        while (out_.size() % alignment != 0)
            out_.push_back(0);
    }
    void Append(std::span<const uint8_t> bytes)
    {
        const std::size_t at = out_.size();
        out_.resize(at + bytes.size());
        if (!bytes.empty())
            std::memcpy(out_.data() + at, bytes.data(), bytes.size());
    }
    std::size_t size() const { return out_.size(); }

private:
    std::vector<uint8_t>& out_;
};

double SignNotZero(double value) { return value < 0.0 ? -1.0 : 1.0; }

uint8_t ToByte(double value)
{
    return static_cast<uint8_t>(std::lround((std::clamp(value, -1.0, 1.0) * 0.5 + 0.5) * 255.0));
}

}  // namespace

std::array<uint8_t, 2> OctEncodeNormal(const Vec3& n)
{
    const double sum = std::fabs(n[0]) + std::fabs(n[1]) + std::fabs(n[2]);
    double x = sum > 0.0 ? n[0] / sum : 0.0;
    double y = sum > 0.0 ? n[1] / sum : 0.0;
    if (n[2] < 0.0) {
        const double ox = x, oy = y;
        x = (1.0 - std::fabs(oy)) * SignNotZero(ox);
        y = (1.0 - std::fabs(ox)) * SignNotZero(oy);
    }
    return {ToByte(x), ToByte(y)};
}

Vec3 OctDecodeNormal(std::array<uint8_t, 2> encoded)
{
    double x = encoded[0] / 255.0 * 2.0 - 1.0;
    double y = encoded[1] / 255.0 * 2.0 - 1.0;
    const double z = 1.0 - (std::fabs(x) + std::fabs(y));
    if (z < 0.0) {
        const double ox = x;
        x = (1.0 - std::fabs(y)) * SignNotZero(ox);
        y = (1.0 - std::fabs(ox)) * SignNotZero(y);
    }
    const double length = std::sqrt(x * x + y * y + z * z);
    return {x / length, y / length, z / length};
}

std::vector<uint8_t> EncodeQuantizedMesh(const QuantizedMesh& mesh)
{
    const std::size_t vertices = mesh.u.size();
    if (mesh.v.size() != vertices || mesh.height.size() != vertices ||
        (!mesh.normals.empty() && mesh.normals.size() != vertices) || mesh.indices.size() % 3 != 0)
        throw ToolError("a terrain tile's vertex arrays differ in length");
    if (mesh.indices.size() > std::numeric_limits<uint32_t>::max())
        throw ToolError("a terrain tile holds at most 2^32 - 1 triangle entries");
    for (const uint32_t index : mesh.indices)
        if (index >= vertices)
            throw ToolError(fmt::format("a terrain tile's triangle names vertex {} of {}", index, vertices));
    for (std::size_t k = 0; k < vertices; ++k)
        if (mesh.u[k] > kQuantizedMax || mesh.v[k] > kQuantizedMax || mesh.height[k] > kQuantizedMax)
            throw ToolError("a terrain tile's quantised coordinates run 0 to 32767");

    // Vertices in the order the triangles first use them.
    std::vector<uint32_t> renumbered(vertices, std::numeric_limits<uint32_t>::max());
    std::vector<uint32_t> order;
    order.reserve(vertices);
    for (const uint32_t index : mesh.indices)
        if (renumbered[index] == std::numeric_limits<uint32_t>::max()) {
            renumbered[index] = static_cast<uint32_t>(order.size());
            order.push_back(index);
        }
    const std::size_t count = order.size();
    const bool wide = count > 65536;

    std::vector<uint8_t> out;
    Bytes bytes(out);
    const QuantizedMeshHeader& h = mesh.header;
    bytes.Put(h.centre);
    bytes.Put(h.minimumHeight);
    bytes.Put(h.maximumHeight);
    bytes.Put(h.sphere.centre);
    bytes.Put(h.sphere.radius);
    bytes.Put(h.horizonOcclusion);
    bytes.Put(static_cast<uint32_t>(count));
    for (const std::vector<uint16_t>* values : {&mesh.u, &mesh.v, &mesh.height}) {
        int32_t previous = 0;
        for (const uint32_t k : order) {
            const int32_t value = (*values)[k];
            bytes.Put(ZigZag(value - previous));
            previous = value;
        }
    }

    // Indices: high-water-mark coded, of the width the vertex count needs.
    const auto putIndex = [&](uint32_t index) {
        if (wide)
            bytes.Put(index);
        else
            bytes.Put(static_cast<uint16_t>(index));
    };
    bytes.PadTo(wide ? 4 : 2);
    bytes.Put(static_cast<uint32_t>(mesh.indices.size() / 3));
    uint32_t highest = 0;
    for (const uint32_t original : mesh.indices) {
        const uint32_t index = renumbered[original];
        putIndex(highest - index);
        if (index == highest)
            ++highest;
    }

    // Edges west, south, east, north: the vertices on each, along it.
    struct Edge {
        bool onU;  // the edge is u == at (else v == at)
        uint16_t at;
    };
    for (const Edge edge : {Edge{true, 0}, Edge{false, 0}, Edge{true, kQuantizedMax}, Edge{false, kQuantizedMax}}) {
        std::vector<uint32_t> on;
        for (uint32_t k = 0; k < count; ++k)
            if ((edge.onU ? mesh.u[order[k]] : mesh.v[order[k]]) == edge.at)
                on.push_back(k);
        const auto along = [&](uint32_t k) { return edge.onU ? mesh.v[order[k]] : mesh.u[order[k]]; };
        std::stable_sort(on.begin(), on.end(), [&](uint32_t a, uint32_t b) { return along(a) < along(b); });
        bytes.Put(static_cast<uint32_t>(on.size()));
        for (const uint32_t k : on)
            putIndex(k);
    }

    // Extensions: octvertexnormals (1) and metadata (4).
    if (!mesh.normals.empty()) {
        bytes.Put(uint8_t{1});
        bytes.Put(static_cast<uint32_t>(2 * count));
        for (const uint32_t k : order)
            bytes.Append(mesh.normals[k]);
    }
    if (!mesh.metadata.empty()) {
        bytes.Put(uint8_t{4});
        bytes.Put(static_cast<uint32_t>(4 + mesh.metadata.size()));
        bytes.Put(static_cast<uint32_t>(mesh.metadata.size()));
        bytes.Append(std::span(reinterpret_cast<const uint8_t*>(mesh.metadata.data()), mesh.metadata.size()));
    }
    return out;
}

std::vector<uint8_t> Gzip(std::span<const uint8_t> bytes, int level)
{
    z_stream stream{};
    // 15 window bits plus 16: a gzip header and trailer around the deflate stream.
    if (deflateInit2(&stream, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw ToolError("cannot start gzip compression");
    std::vector<uint8_t> out(deflateBound(&stream, static_cast<uLong>(bytes.size())) + 32);
    stream.next_in = const_cast<Bytef*>(bytes.data());
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    deflateEnd(&stream);
    if (result != Z_STREAM_END)
        throw ToolError("gzip compression failed");
    out.resize(stream.total_out);
    return out;
}

}  // namespace heightmesh::tool
