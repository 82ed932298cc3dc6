// Mesh files: Wavefront OBJ, binary PLY, STL (binary or text) and glTF 2.0
// (.gltf with the buffer embedded, or binary .glb).
#pragma once

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>

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
// the mesh does not fit the format (glTF binary holds at most 4 GiB).
void WriteMesh(const KeptMesh& mesh, MeshFormat format, std::ostream& out, const MeshWriteOptions& options = {});

void WriteObj(const KeptMesh& mesh, std::ostream& out, const MeshWriteOptions& options = {});
void WritePly(const KeptMesh& mesh, std::ostream& out, const MeshWriteOptions& options = {});
void WriteStl(const KeptMesh& mesh, std::ostream& out, const MeshWriteOptions& options = {});
void WriteGltf(const KeptMesh& mesh, std::ostream& out, bool binary, const MeshWriteOptions& options = {});

}  // namespace heightmesh::tool
