#include "pictures.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <numbers>

#include <fmt/format.h>
#include <stb_image_write.h>

#include "tool_error.h"

namespace heightmesh::tool {

namespace {

uint8_t ToByte(double value) { return static_cast<uint8_t>(std::lround(std::clamp(value, 0.0, 1.0) * 255.0)); }

Image MakeImage(const KeptMesh& mesh, int channels) {
    Image image;
    image.width = mesh.gridWidth();
    image.height = mesh.gridHeight();
    image.channels = channels;
    // The PNG encoder sizes its rows and the filtered image with int.
    const int64_t rowBytes = static_cast<int64_t>(image.width) * channels + 1;
    if (rowBytes * image.height > INT_MAX)
        throw ToolError(fmt::format("a {}x{} picture is too large for the PNG encoder", image.width, image.height));
    image.pixels.resize(static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) *
                        static_cast<std::size_t>(channels));
    return image;
}

// Colour stops over the relative height 0..1: lowland green, upland olive,
// rock brown and grey, snow.
struct ColourStop {
    double at;
    std::array<double, 3> rgb;
};
constexpr std::array<ColourStop, 6> kRamp{{
    {0.00, {0.20, 0.42, 0.26}},
    {0.25, {0.42, 0.58, 0.30}},
    {0.50, {0.66, 0.60, 0.40}},
    {0.70, {0.56, 0.47, 0.38}},
    {0.88, {0.78, 0.78, 0.76}},
    {1.00, {0.98, 0.98, 0.98}},
}};

std::array<double, 3> Tint(double t) {
    t = std::clamp(t, 0.0, 1.0);
    for (std::size_t i = 1; i < kRamp.size(); ++i) {
        if (t <= kRamp[i].at) {
            const double f = (t - kRamp[i - 1].at) / (kRamp[i].at - kRamp[i - 1].at);
            std::array<double, 3> rgb{};
            for (int c = 0; c < 3; ++c) rgb[c] = kRamp[i - 1].rgb[c] + (kRamp[i].rgb[c] - kRamp[i - 1].rgb[c]) * f;
            return rgb;
        }
    }
    return kRamp.back().rgb;
}

void AppendToStream(void* context, void* data, int size) {
    static_cast<std::ostream*>(context)->write(static_cast<const char*>(data), size);
}

}  // namespace

Image RenderNormalMap(const KeptMesh& mesh) {
    Image image = MakeImage(mesh, 3);
    const auto& normals = mesh.data().normals;
    for (std::size_t i = 0; i < normals.size(); ++i) {
        HeightmeshFloat3 n = normals[i];
        if (!std::isfinite(n.x) || !std::isfinite(n.y) || !std::isfinite(n.z)) n = {0.0f, 1.0f, 0.0f};
        image.pixels[3 * i + 0] = ToByte(0.5 + 0.5 * n.x);
        image.pixels[3 * i + 1] = ToByte(0.5 - 0.5 * n.z);
        image.pixels[3 * i + 2] = ToByte(0.5 + 0.5 * n.y);
    }
    return image;
}

Image RenderPreview(const KeptMesh& mesh, const LightDirection& light) {
    Image image = MakeImage(mesh, 4);
    const double azimuth = light.azimuth * std::numbers::pi / 180.0;
    const double elevation = light.elevation * std::numbers::pi / 180.0;
    // North is the picture's top, which is -z; east is +x; up is +y.
    const double lx = std::cos(elevation) * std::sin(azimuth);
    const double ly = std::sin(elevation);
    const double lz = -std::cos(elevation) * std::cos(azimuth);

    const double low = mesh.minPosition().y;
    const double span = static_cast<double>(mesh.maxPosition().y) - low;
    const MeshData& data = mesh.data();
    for (std::size_t i = 0; i < data.vertices.size(); ++i) {
        uint8_t* pixel = &image.pixels[4 * i];
        const HeightmeshFloat3& n = data.normals[i];
        if (!mesh.IsWritten(static_cast<int32_t>(i)) || !std::isfinite(n.x) || !std::isfinite(n.y) || !std::isfinite(n.z)) {
            pixel[0] = pixel[1] = pixel[2] = pixel[3] = 0;
            continue;
        }
        const double t = span > 0.0 ? (data.vertices[i].y - low) / span : 0.5;
        const std::array<double, 3> tint = Tint(t);
        const double shade = std::max(0.0, n.x * lx + n.y * ly + n.z * lz);
        const double brightness = 0.30 + 0.85 * shade;
        for (int c = 0; c < 3; ++c) pixel[c] = ToByte(tint[c] * brightness);
        pixel[3] = 255;
    }
    return image;
}

void WritePng(const Image& image, std::ostream& out) {
    const int stride = image.width * image.channels;
    if (!stbi_write_png_to_func(AppendToStream, &out, image.width, image.height, image.channels, image.pixels.data(), stride))
        throw ToolError("the PNG encoder failed");
    if (!out) throw ToolError("write failed");
}

}  // namespace heightmesh::tool
