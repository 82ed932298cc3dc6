// Heights packed into the colour channels of map tiles, and the ground
// spacing of a web-mercator tile from its address.
#pragma once

#include <cstdint>
#include <string>

namespace heightmesh::tool {

// How the samples of an input raster give heights.
enum class HeightEncoding {
    Gray,        // one band (or colour as luminance) as it is
    TerrainRgb,  // h = -10000 + (R * 65536 + G * 256 + B) * 0.1 metres
    Terrarium,   // h = R * 256 + G + B / 256 - 32768 metres
};

// Parses "gray", "terrain-rgb" or "terrarium"; throws UsageError.
HeightEncoding ParseHeightEncoding(const std::string& text);
const char* HeightEncodingName(HeightEncoding encoding);

// The height of one pixel in metres. Every result is computed in double and
// rounded once to float.
float DecodeTerrainRgb(uint8_t r, uint8_t g, uint8_t b);
float DecodeTerrarium(uint8_t r, uint8_t g, uint8_t b);

// A web-mercator tile address: zoom, column from the west, row from the north.
struct TileAddress {
    int32_t zoom = 0;
    int64_t x = 0;
    int64_t y = 0;
};

// Parses "Z/X/Y" with 0 <= Z <= 30 and X, Y below 2^Z; throws UsageError.
TileAddress ParseTileAddress(const std::string& text);

// The latitude of the tile's centre in degrees.
double TileCentreLatitude(const TileAddress& tile);

// Metres between neighbouring pixels of a tile `pixels` wide, at the tile's
// centre on the WGS 84 ellipsoid. Web mercator is conformal, so one pixel
// spans the same angle east-west and north-south there (the longitude step
// times the cosine of the latitude); x is that angle along the parallel
// (prime-vertical radius), z along the meridian (meridional radius).
struct TileSpacing {
    double x = 0.0;
    double z = 0.0;
};
TileSpacing SpacingOfTile(const TileAddress& tile, int32_t pixels);

}  // namespace heightmesh::tool
