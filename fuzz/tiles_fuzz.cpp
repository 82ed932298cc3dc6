// The terrain-tile side of the input: RGB triples through both height
// encodings (each height within its encoding's range, and the encoding's own
// formula rounded once), and any text as a tile address (a parsed address
// lies in its zoom's grid, with a centre latitude web mercator shows and a
// finite, positive spacing).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/tool_error.h"
#include "input/tile_encoding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace heightmesh::tool;
    const auto expect = [](bool holds) {
        if (!holds)
            std::abort();
    };
    for (size_t i = 0; i + 2 < size; i += 3) {
        const uint8_t r = data[i], g = data[i + 1], b = data[i + 2];
        const float rgb = DecodeTerrainRgb(r, g, b);
        expect(rgb >= -10000.0f && rgb <= 1667721.5f);
        expect(rgb == static_cast<float>(-10000.0 + (r * 65536.0 + g * 256.0 + b) / 10.0));
        const float terrarium = DecodeTerrarium(r, g, b);
        expect(terrarium >= -32768.0f && terrarium < 32768.0f);
    }
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const TileAddress tile = ParseTileAddress(text);
        expect(tile.zoom >= 0 && tile.zoom <= 30);
        expect(tile.x >= 0 && tile.x < (int64_t{1} << tile.zoom) && tile.y >= 0 && tile.y < (int64_t{1} << tile.zoom));
        const double latitude = TileCentreLatitude(tile);
        expect(std::isfinite(latitude) && std::fabs(latitude) < 85.06);
        const TileSpacing spacing = SpacingOfTile(tile, 1 + static_cast<int32_t>(size % 4096));
        expect(std::isfinite(spacing.x) && spacing.x > 0.0 && std::isfinite(spacing.z) && spacing.z > 0.0);
    } catch (const ToolError&) {
    }
    return 0;
}
