// The quantized-mesh encoder against the tests' own decoder: any mesh the
// bytes describe is either refused with ToolError or written so that the
// decoder reads back every triangle with the same corners (u, v, height and
// normal, in the same order), the edge lists hold exactly the vertices on
// each edge, and the metadata comes back as it went in.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "common/tool_error.h"
#include "support/quantized_mesh_reader.h"
#include "tiles/quantized_mesh.h"

namespace {

class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint16_t Next16()
    {
        uint16_t value = 0;
        for (int k = 0; k < 2; ++k)
            value = static_cast<uint16_t>(value << 8 | (at_ < size_ ? data_[at_++] : 0));
        return value;
    }
    bool Empty() const { return at_ >= size_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace heightmesh::tool;
    const auto expect = [](bool holds) {
        if (!holds)
            std::abort();
    };
    Bytes in(data, size);
    QuantizedMesh mesh;
    const uint16_t shape = in.Next16();
    const uint32_t vertices = shape % 70000u;  // beyond 65536 the indices are 32-bit
    const bool normals = shape & 0x8000u;
    for (uint32_t k = 0; k < vertices; ++k) {
        // Few distinct values, so that edges and repeats are common.
        const uint16_t a = in.Next16();
        const auto pick = [](uint16_t v) {
            return static_cast<uint16_t>(v % 4 == 0 ? 0 : v % 4 == 1 ? 32767 : v >> 1);
        };
        mesh.u.push_back(pick(a));
        mesh.v.push_back(pick(static_cast<uint16_t>(a * 7 + k)));
        mesh.height.push_back(static_cast<uint16_t>(a >> 1));
        if (normals)
            mesh.normals.push_back({static_cast<uint8_t>(a), static_cast<uint8_t>(a >> 8)});
    }
    // Triangles: an index out of range now and then, which must be refused.
    while (!in.Empty() && mesh.indices.size() < 3 * 200000)
        mesh.indices.push_back(vertices > 0 ? in.Next16() % (vertices + 1) : in.Next16());
    mesh.indices.resize(mesh.indices.size() / 3 * 3);
    if (shape & 0x4000u)
        mesh.metadata = R"({"available":[[]]})";
    std::vector<uint8_t> bytes;
    try {
        bytes = EncodeQuantizedMesh(mesh);
    } catch (const ToolError&) {
        return 0;
    }
    for (const uint32_t index : mesh.indices)
        expect(index < vertices);
    tiletest::DecodedTile tile;
    try {
        tile = tiletest::DecodeTile(bytes);
    } catch (const std::runtime_error&) {
        std::abort();
    }
    expect(tile.indices.size() == mesh.indices.size());
    for (std::size_t k = 0; k < mesh.indices.size(); ++k) {
        const uint32_t was = mesh.indices[k], now = tile.indices[k];
        expect(std::tie(tile.u[now], tile.v[now], tile.height[now]) ==
               std::tie(mesh.u[was], mesh.v[was], mesh.height[was]));
        if (normals)
            expect(tile.normals[now] == mesh.normals[was]);
    }
    for (int edge = 0; edge < 4; ++edge) {
        std::size_t on = 0;
        for (std::size_t k = 0; k < tile.u.size(); ++k)
            on += edge == 0   ? tile.u[k] == 0
                  : edge == 1 ? tile.v[k] == 0
                  : edge == 2 ? tile.u[k] == 32767
                              : tile.v[k] == 32767;
        expect(tile.edges[edge].size() == on);
    }
    expect(tile.metadata == mesh.metadata);
    return 0;
}
