// Writes a mosaic of generated elevation tiles, the input of the tile
// pyramid benchmark (bench/tiles.sh): COUNT x COUNT GeoTIFFs of SIZE x SIZE
// 16-bit heights, one degree each from 7 E 45 N like SRTM tiles (the edge
// samples shared with the neighbour), and a VRT over them. The heights are
// one continuous function of longitude and latitude: ridges and valleys at
// several scales (OCTAVES of them, 7 unless given; fewer make it smoother)
// with a little noise, 0 .. about 4000 m.
#include <gdal.h>
#include <gdal_utils.h>
#include <ogr_srs_api.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

double Noise(int64_t x, int64_t y)
{
    uint64_t h = static_cast<uint64_t>(x) * 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(y) * 0xC2B2AE3D27D4EB4Full;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 32;
    return static_cast<double>(h >> 11) / static_cast<double>(1ull << 53);
}

int octaves = 7;

double Height(double lon, double lat, int64_t column, int64_t row)
{
    double h = 1800.0;
    double amplitude = 900.0, frequency = 1.3;
    for (int octave = 0; octave < octaves; ++octave) {
        h += amplitude * std::sin(frequency * lon * 6.2831853 + octave) * std::cos(frequency * lat * 5.1 + 2 * octave);
        amplitude *= 0.5, frequency *= 2.3;
    }
    return std::fmax(0.0, h + 6.0 * Noise(column, row));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s COUNT SIZE FOLDER [OCTAVES]  (writes FOLDER/mosaic.vrt)\n", argv[0]);
        return 2;
    }
    if (argc == 5)
        octaves = std::atoi(argv[4]);
    const int count = std::atoi(argv[1]), size = std::atoi(argv[2]);
    const std::string folder = argv[3];
    if (count < 1 || size < 2)
        return 2;
    GDALAllRegister();
    OGRSpatialReferenceH wgs84 = OSRNewSpatialReference(nullptr);
    OSRImportFromEPSG(wgs84, 4326);
    const double step = 1.0 / (size - 1);
    std::vector<std::string> names;
    std::vector<int16_t> row(static_cast<std::size_t>(size));
    for (int ty = 0; ty < count; ++ty)
        for (int tx = 0; tx < count; ++tx) {
            const int lon0 = 7 + tx, lat0 = 45 + ty;
            const std::string name = folder + "/N" + std::to_string(lat0) + "E" + std::to_string(lon0) + ".tif";
            const char* options[] = {"TILED=YES", nullptr};
            GDALDatasetH tile = GDALCreate(GDALGetDriverByName("GTiff"), name.c_str(), size, size, 1, GDT_Int16,
                                           const_cast<char**>(options));
            if (!tile)
                return 1;
            double transform[6] = {lon0 - step / 2, step, 0, lat0 + 1 + step / 2, 0, -step};
            GDALSetGeoTransform(tile, transform);
            GDALSetSpatialRef(tile, wgs84);
            GDALRasterBandH band = GDALGetRasterBand(tile, 1);
            for (int r = 0; r < size; ++r) {
                const int64_t globalRow = static_cast<int64_t>(count - 1 - ty) * (size - 1) + r;
                for (int c = 0; c < size; ++c) {
                    const int64_t globalColumn = static_cast<int64_t>(tx) * (size - 1) + c;
                    row[static_cast<std::size_t>(c)] = static_cast<int16_t>(
                        std::lround(Height(lon0 + c * step, lat0 + 1 - r * step, globalColumn, globalRow)));
                }
                if (GDALRasterIO(band, GF_Write, 0, r, size, 1, row.data(), size, 1, GDT_Int16, 0, 0) != CE_None)
                    return 1;
            }
            GDALClose(tile);
            names.push_back(name);
        }
    std::vector<const char*> sources;
    for (const std::string& name : names)
        sources.push_back(name.c_str());
    int usageError = 0;
    GDALDatasetH vrt = GDALBuildVRT((folder + "/mosaic.vrt").c_str(), static_cast<int>(sources.size()), nullptr,
                                    sources.data(), nullptr, &usageError);
    if (!vrt)
        return 1;
    GDALClose(vrt);
    OSRDestroySpatialReference(wgs84);
    std::printf("%d x %d tiles of %d x %d samples -> %s/mosaic.vrt\n", count, count, size, size, folder.c_str());
    return 0;
}
