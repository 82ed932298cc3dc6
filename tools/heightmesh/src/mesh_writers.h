// Mesh files: Wavefront OBJ, binary PLY, STL (binary or text) and glTF 2.0
// (.gltf with the buffer embedded, or binary .glb).
#pragma once

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>

#include "indexed_mesh.h"
#include "mesh.h"

namespace heightmesh::tool {

enum class MeshFormat { Obj, Ply, Stl, Gltf, Glb };

// The format named by the path's extension; throws UsageError for others.
MeshFormat MeshFormatFromPath(const std::filesystem::path& path);

struct MeshWriteOptions {
    bool asciiStl = false;
    std::function<void(double)> progress;  // fraction done, called now and then
};

// Writes the kept triangles and the vertices they use. Throws ToolError when
// the mesh does not fit the format (glTF binary holds at most 4 GiB). Mesh is
// KeptMesh or IndexedMesh (instantiated in mesh_writers.cpp).
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
