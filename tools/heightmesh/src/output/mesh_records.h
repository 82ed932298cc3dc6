// The bytes of the binary mesh formats, piece by piece: file headers and
// per-vertex and per-triangle records. The whole-mesh writers and the
// streamed writer (which writes a file band by band as the job makes it)
// both build their files from these, so that the two give the same bytes.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "heightmesh/job_abi.h"

namespace heightmesh::tool {

// Bytes of one binary PLY vertex record (position, normal, UV as floats)
// and one face record (a count byte of 3 and three 32-bit indices).
constexpr std::size_t kPlyVertexBytes = 32;
constexpr std::size_t kPlyFaceBytes = 13;
// Bytes of a binary STL header (80 bytes of title, a 32-bit triangle
// count) and of one facet record.
constexpr std::size_t kStlHeaderBytes = 84;
constexpr std::size_t kStlFacetBytes = 50;

// The unit normal of triangle (a, b, c), or zero when it has no area or the
// length is not finite.
HeightmeshFloat3 FacetNormal(const HeightmeshFloat3& a, const HeightmeshFloat3& b, const HeightmeshFloat3& c);

inline void PackPlyVertex(const HeightmeshFloat3& p, const HeightmeshFloat3& n, const HeightmeshFloat2& uv, char* to)
{
    const std::array<float, 8> record{p.x, p.y, p.z, n.x, n.y, n.z, uv.x, uv.y};
    std::memcpy(to, record.data(), kPlyVertexBytes);
}

inline void PackPlyFace(uint32_t a, uint32_t b, uint32_t c, char* to)
{
    to[0] = 3;
    std::memcpy(to + 1, &a, 4);
    std::memcpy(to + 5, &b, 4);
    std::memcpy(to + 9, &c, 4);
}

inline void PackStlFacet(const HeightmeshFloat3& a, const HeightmeshFloat3& b, const HeightmeshFloat3& c, char* to)
{
    const HeightmeshFloat3 n = FacetNormal(a, b, c);
    const std::array<float, 12> values{n.x, n.y, n.z, a.x, a.y, a.z, b.x, b.y, b.z, c.x, c.y, c.z};
    std::memcpy(to, values.data(), 48);
    to[48] = to[49] = 0;
}

// The text header of a binary PLY file.
std::string PlyHeader(int32_t gridWidth, int32_t gridHeight, int64_t vertices, int64_t triangles);

// The header of a binary STL file; throws ToolError when the count does not
// fit its 32 bits.
std::array<char, kStlHeaderBytes> StlHeader(int32_t gridWidth, int32_t gridHeight, int64_t triangles);

// The layout of a glTF buffer: positions, normals, UVs, then indices
// (16-bit when every vertex index fits, else 32-bit).
struct GltfLayout {
    int64_t vertices = 0;
    int64_t indices = 0;
    bool shortIndices = false;
    uint64_t positionBytes = 0;  // normals take as many
    uint64_t uvBytes = 0;
    uint64_t indexBytes = 0;
    uint64_t total = 0;        // the buffer's bytes
    uint64_t binaryChunk = 0;  // a .glb's binary chunk: the buffer padded with zeros to whole words

    uint64_t normalsAt() const noexcept { return positionBytes; }
    uint64_t uvsAt() const noexcept { return 2 * positionBytes; }
    uint64_t indicesAt() const noexcept { return 2 * positionBytes + uvBytes; }
};

// The layout for a mesh of that many vertices and triangle indices; throws
// ToolError for an empty mesh or one whose buffer the format cannot hold.
GltfLayout GltfLayoutFor(int64_t vertices, int64_t indices, bool binary);

// A .glb's bytes before its buffer: the file header, the JSON chunk (the
// document for the mesh with those position bounds) and the binary chunk's
// header.
std::string GlbPrefix(const GltfLayout& layout, const HeightmeshFloat3& low, const HeightmeshFloat3& high);

}  // namespace heightmesh::tool
