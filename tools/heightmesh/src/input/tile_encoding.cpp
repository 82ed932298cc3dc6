#include "input/tile_encoding.h"

#include <charconv>
#include <cmath>
#include <numbers>

#include <fmt/format.h>

#include "common/tool_error.h"
#include "input/georeference.h"

namespace heightmesh::tool {

HeightEncoding ParseHeightEncoding(const std::string& text)
{
    if (text == "gray" || text == "grey")
        return HeightEncoding::Gray;
    if (text == "terrain-rgb")
        return HeightEncoding::TerrainRgb;
    if (text == "terrarium")
        return HeightEncoding::Terrarium;
    throw UsageError(fmt::format("--encoding: '{}' is not gray, terrain-rgb or terrarium", text));
}

const char* HeightEncodingName(HeightEncoding encoding)
{
    switch (encoding) {
    case HeightEncoding::Gray: return "gray";
    case HeightEncoding::TerrainRgb: return "terrain-rgb";
    case HeightEncoding::Terrarium: return "terrarium";
    }
    return "?";
}

float DecodeTerrainRgb(uint8_t r, uint8_t g, uint8_t b)
{
    const double packed = static_cast<double>(r) * 65536.0 + static_cast<double>(g) * 256.0 + static_cast<double>(b);
    // packed / 10 is the correctly rounded tenth, so whole-decimetre heights
    // come out exact.
    return static_cast<float>(-10000.0 + packed / 10.0);
}

float DecodeTerrarium(uint8_t r, uint8_t g, uint8_t b)
{
    return static_cast<float>(static_cast<double>(r) * 256.0 + static_cast<double>(g) + static_cast<double>(b) / 256.0 -
                              32768.0);
}

TileAddress ParseTileAddress(const std::string& text)
{
    const auto bad = [&](const std::string& why) { return UsageError(fmt::format("--tile: '{}' {}", text, why)); };
    int64_t parts[3] = {};
    std::size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        const std::size_t slash = i < 2 ? text.find('/', start) : text.size();
        if (slash == std::string::npos)
            throw bad("is not Z/X/Y, e.g. 12/2200/1343");
        const char* first = text.data() + start;
        const char* last = text.data() + slash;
        const auto [end, error] = std::from_chars(first, last, parts[i]);
        if (first == last || error != std::errc() || end != last || parts[i] < 0)
            throw bad("is not Z/X/Y, e.g. 12/2200/1343");
        start = slash + 1;
    }
    if (parts[0] > 30)
        throw bad("has a zoom above 30");
    const int64_t tiles = int64_t{1} << parts[0];
    if (parts[1] >= tiles || parts[2] >= tiles)
        throw bad(fmt::format("is outside the map: zoom {} has tiles 0 to {}", parts[0], tiles - 1));
    return TileAddress{static_cast<int32_t>(parts[0]), parts[1], parts[2]};
}

double TileCentreLatitude(const TileAddress& tile)
{
    const double tiles = std::ldexp(1.0, tile.zoom);
    const double n = std::numbers::pi * (1.0 - 2.0 * (static_cast<double>(tile.y) + 0.5) / tiles);
    return std::atan(std::sinh(n)) * 180.0 / std::numbers::pi;
}

TileSpacing SpacingOfTile(const TileAddress& tile, int32_t pixels)
{
    const double latitude = TileCentreLatitude(tile);
    // Degrees of longitude per pixel; at the centre the same angle of
    // latitude per pixel times cos(latitude).
    const double longitudeStep = 360.0 / (std::ldexp(1.0, tile.zoom) * pixels);
    const double latitudeStep = longitudeStep * std::cos(latitude * std::numbers::pi / 180.0);
    return TileSpacing{longitudeStep * MetresPerDegreeOfLongitude(kWgs84, latitude),
                       latitudeStep * MetresPerDegreeOfLatitude(kWgs84, latitude)};
}

}  // namespace heightmesh::tool
