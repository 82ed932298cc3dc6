// Mesh files: Wavefront OBJ, binary PLY, STL (binary or text) and glTF 2.0
// (.gltf with the buffer embedded, or binary .glb).
//
// The writers take any mesh type with KeptMesh's read interface
// (vertexCount(), triangleCount(), Position(k), Normal(k), Uv(k),
// ForEachTriangle(visit), minPosition(), maxPosition()); the definitions are
// instantiated in mesh_writers.cpp for each such type. Vertex records are
// formatted on every core in slices, each into a block of its own, and the
// blocks are written in order while the next slices are formatted. A mesh
// that can hand out its triangles by job cell (KeptMesh) has its triangles
// written the same way; others go through ForEachTriangle on one thread.
// Binary data the job's buffers already hold as the file holds it (glTF
// attributes and indices of an uncompacted KeptMesh) is written from them
// directly, in large blocks, never copied.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>

#include "mesh/indexed_mesh.h"
#include "mesh/mesh.h"

namespace heightmesh::tool {

enum class MeshFormat { Obj, Ply, Stl, Gltf, Glb };

// The format named by the path's extension; throws UsageError for others.
MeshFormat MeshFormatFromPath(const std::filesystem::path& path);

// A mesh seen only through the read interface every writer accepts, so that
// the writers' generic path (the one other mesh types take) can be checked
// against the fast one KeptMesh takes.
template <class Mesh>
class GenericMeshOf {
public:
    explicit GenericMeshOf(const Mesh& mesh) : mesh_(mesh) {}
    int32_t gridWidth() const noexcept { return mesh_.gridWidth(); }
    int32_t gridHeight() const noexcept { return mesh_.gridHeight(); }
    int64_t vertexCount() const noexcept { return mesh_.vertexCount(); }
    int64_t triangleCount() const noexcept { return mesh_.triangleCount(); }
    const HeightmeshFloat3& Position(int64_t k) const noexcept { return mesh_.Position(k); }
    const HeightmeshFloat3& Normal(int64_t k) const noexcept { return mesh_.Normal(k); }
    const HeightmeshFloat2& Uv(int64_t k) const noexcept { return mesh_.Uv(k); }
    template <class Visit>
    void ForEachTriangle(Visit&& visit) const
    {
        mesh_.ForEachTriangle(visit);
    }
    HeightmeshFloat3 minPosition() const noexcept { return mesh_.minPosition(); }
    HeightmeshFloat3 maxPosition() const noexcept { return mesh_.maxPosition(); }

private:
    const Mesh& mesh_;
};

struct MeshWriteOptions {
    bool asciiStl = false;
    std::function<void(double)> progress;  // fraction done, called now and then on the calling thread
    unsigned threads = 0;                  // formatting threads, 0: every core
};

// Writes the kept triangles and the vertices they use (the mesh also needs
// gridWidth() and gridHeight(), which the files' headers name): KeptMesh or IndexedMesh,
// instantiated in mesh_writers.cpp. Throws ToolError when
// the mesh does not fit the format (glTF binary holds at most 4 GiB).
template <class Mesh>
void WriteMesh(const Mesh& mesh, MeshFormat format, std::ostream& out, const MeshWriteOptions& options = {});

template <class Mesh>
void WriteObj(const Mesh& mesh, std::ostream& out, const MeshWriteOptions& options = {});
template <class Mesh>
void WritePly(const Mesh& mesh, std::ostream& out, const MeshWriteOptions& options = {});
template <class Mesh>
void WriteStl(const Mesh& mesh, std::ostream& out, const MeshWriteOptions& options = {});
// Indices are 16-bit when every vertex index fits.
template <class Mesh>
void WriteGltf(const Mesh& mesh, std::ostream& out, bool binary, const MeshWriteOptions& options = {});

}  // namespace heightmesh::tool
