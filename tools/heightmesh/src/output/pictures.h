// Pictures of the mesh, one pixel per grid point: a normal map and a
// hillshaded, height-tinted preview, both as PNG.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <vector>

#include "mesh/mesh.h"

namespace heightmesh::tool {

// Where the light comes from: azimuth in degrees clockwise from the picture's
// top (north), elevation in degrees above the horizon.
struct LightDirection {
    double azimuth = 315.0;
    double elevation = 45.0;
};

// An 8-bit image in memory, row 0 at the top (grid row 0).
struct Image {
    int32_t width = 0;
    int32_t height = 0;
    int channels = 0;
    std::vector<uint8_t> pixels;  // width * height * channels
};

// RGB: R = x, G = -z (towards the picture's top), B = y (up), each mapped from
// -1..1 to 0..255; a non-finite normal becomes straight up.
Image RenderNormalMap(const KeptMesh& mesh, unsigned threads = 0);

// RGBA: colour by height over the written vertices, shaded by the job's
// normals lit from `light`; points outside every kept cell are transparent.
Image RenderPreview(const KeptMesh& mesh, const LightDirection& light, unsigned threads = 0);

// Encodes as PNG at a fast compression setting: rows filtered with the Up
// filter, bands of rows deflated on `threads` threads (0: every core) as
// pieces of one zlib stream, one IDAT chunk each. Throws ToolError when the
// encoder fails; progress gets the fraction of bands written.
void WritePng(const Image& image, std::ostream& out, unsigned threads = 0,
              const std::function<void(double)>& progress = {});

}  // namespace heightmesh::tool
