// The quantized-mesh-1.0 terrain tile, byte for byte as web-globe clients
// decode it: the 88-byte header, zig-zag delta-coded u, v and height, high-
// water-mark coded triangle indices, the four edge lists and the
// octvertexnormals and metadata extensions; and the gzip stream such tiles
// are served as.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tiles/tiling.h"

namespace heightmesh::tool {

inline constexpr uint16_t kQuantizedMax = 32767;  // u, v and height run 0 .. 32767

struct QuantizedMeshHeader {
    Vec3 centre{};  // ECEF metres
    float minimumHeight = 0.0f;
    float maximumHeight = 0.0f;
    BoundingSphere sphere;
    Vec3 horizonOcclusion{};  // ellipsoid-scaled space
};

// One tile's mesh in the tile's own quantised coordinates: u west to east, v
// south to north, height linearly between the header's minimum and maximum.
struct QuantizedMesh {
    QuantizedMeshHeader header;
    std::vector<uint16_t> u, v, height;  // one of each per vertex
    std::vector<uint32_t> indices;       // three per triangle, counter-clockwise seen from above
    // Oct-encoded unit normals, two bytes per vertex; empty: no extension.
    std::vector<std::array<uint8_t, 2>> normals;
    // The metadata extension's JSON (child availability); empty: none.
    std::string metadata;
};

// The tile's bytes (uncompressed). Vertices are renumbered in the order the
// triangles first use them, as high-water-mark coding needs (a vertex no
// triangle uses is left out); the edge lists hold every vertex with u or v
// at 0 or 32767, sorted along their edge. Throws ToolError for a mesh the
// format cannot hold (mismatched arrays, an index out of range, more than
// 2^32 entries).
std::vector<uint8_t> EncodeQuantizedMesh(const QuantizedMesh& mesh);

// Zig-zag coding of the difference between consecutive values.
inline uint16_t ZigZag(int32_t delta)
{
    return static_cast<uint16_t>((static_cast<uint32_t>(delta) << 1) ^ static_cast<uint32_t>(delta >> 31));
}
inline int32_t UnZigZag(uint16_t code) { return static_cast<int32_t>(code >> 1) ^ -static_cast<int32_t>(code & 1); }

// A unit normal as the two bytes of the octahedral encoding the client
// decodes (each component mapped from -1..1 onto 0..255, rounded).
std::array<uint8_t, 2> OctEncodeNormal(const Vec3& normal);
// The unit normal the client decodes from them.
Vec3 OctDecodeNormal(std::array<uint8_t, 2> encoded);

// The bytes as one gzip member (deflated at `level`, 0 .. 9).
std::vector<uint8_t> Gzip(std::span<const uint8_t> bytes, int level = 6);

}  // namespace heightmesh::tool
