// Warped reads of a raster onto the tile lattice.
#include "tiles/tile_source.h"

#include <cpl_conv.h>
#include <cpl_string.h>
#include <gdal.h>
#include <gdalwarper.h>
#include <ogr_srs_api.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "common/file_io.h"
#include "common/tool_error.h"
#include "input/gdal_reader.h"
#include "input/gdal_setup.h"
#include "input/georeference.h"

namespace heightmesh::tool {

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct DatasetCloser {
    void operator()(void* dataset) const { GDALClose(static_cast<GDALDatasetH>(dataset)); }
};
using Dataset = std::unique_ptr<void, DatasetCloser>;

// The raster as read: the file, and the VRT that places it when it has no
// georeference of its own (which reads through the file's handle, so it
// goes first).
struct Source {
    Dataset file;
    Dataset placed;
    GDALDatasetH get() const { return static_cast<GDALDatasetH>(placed ? placed.get() : file.get()); }
};

// WGS 84 longitude and latitude, in that order.
OGRSpatialReferenceH Wgs84()
{
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    OSRSetWellKnownGeogCS(srs, "WGS84");
    OSRSetAxisMappingStrategy(srs, OAMS_TRADITIONAL_GIS_ORDER);
    return srs;
}

std::string Wgs84Wkt()
{
    OGRSpatialReferenceH srs = Wgs84();
    char* wkt = nullptr;
    OSRExportToWkt(srs, &wkt);
    std::string text = wkt ? wkt : "";
    CPLFree(wkt);
    OSRDestroySpatialReference(srs);
    return text;
}

// The raster, or its overview `overview` (-1: full resolution), placed at
// `assumeBounds` when given (through an in-memory VRT that carries the
// placement, leaving the file alone).
Source OpenSource(const TileSourceOptions& options, const std::string& name, int32_t overview = -1)
{
    EnsureGdal();
    const std::string level = fmt::format("OVERVIEW_LEVEL={}", overview);
    const char* openOptions[] = {level.c_str(), nullptr};
    CPLErrorReset();
    Dataset dataset(GDALOpenEx(options.input.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr,
                               overview >= 0 ? openOptions : nullptr, nullptr));
    if (!dataset)
        throw ToolError(fmt::format("cannot open {}: {}", name, GdalMessage("GDAL cannot read it")));
    const auto handle = static_cast<GDALDatasetH>(dataset.get());
    if (options.band < 1 || options.band > GDALGetRasterCount(handle))
        throw UsageError(fmt::format("{} has no band {} (it has {})", name, options.band, GDALGetRasterCount(handle)));
    if (!options.assumeBounds)
        return {std::move(dataset), nullptr};
    Dataset placed(GDALCreateCopy(GDALGetDriverByName("VRT"), "", handle, FALSE, nullptr, nullptr, nullptr));
    if (!placed)
        throw ToolError(fmt::format("cannot place {}: {}", name, GdalMessage("GDAL cannot copy it")));
    const auto vrt = static_cast<GDALDatasetH>(placed.get());
    const GeoRect& b = *options.assumeBounds;
    double transform[6] = {b.west, (b.east - b.west) / GDALGetRasterXSize(vrt),   0.0, b.north,
                           0.0,    -(b.north - b.south) / GDALGetRasterYSize(vrt)};
    GDALSetGeoTransform(vrt, transform);
    GDALSetProjection(vrt, Wgs84Wkt().c_str());
    return {std::move(dataset), std::move(placed)};
}

}  // namespace

TileSourceFacts DescribeTileSource(const TileSourceOptions& options)
{
    TileSourceFacts facts;
    facts.name = Quoted(options.input);
    if (options.input.string().rfind("/vsi", 0) != 0)
        CheckRegularFile(options.input);
    const Source dataset = OpenSource(options, facts.name);
    GDALSetCacheMax64(options.cacheBytes);
    const GDALDatasetH handle = dataset.get();
    facts.width = GDALGetRasterXSize(handle);
    facts.height = GDALGetRasterYSize(handle);
    facts.overviews = options.assumeBounds ? 0 : GDALGetOverviewCount(GDALGetRasterBand(handle, options.band));
    double t[6];
    const OGRSpatialReferenceH crs = GDALGetSpatialRef(handle);
    if (GDALGetGeoTransform(handle, t) != CE_None || crs == nullptr)
        throw ToolError(
            fmt::format("{} has no georeference (no CRS or geotransform): place a plain image with "
                        "--assume-bounds W,S,E,N",
                        facts.name));
    const OGRSpatialReferenceH wgs84 = Wgs84();
    OGRSpatialReferenceH source = OSRClone(crs);
    OSRSetAxisMappingStrategy(source, OAMS_TRADITIONAL_GIS_ORDER);
    OGRCoordinateTransformationH toWgs84 = OCTNewCoordinateTransformation(source, wgs84);
    const double x0 = t[0], x1 = t[0] + facts.width * t[1] + facts.height * t[2];
    const double y0 = t[3], y1 = t[3] + facts.width * t[4] + facts.height * t[5];
    double west = 0, south = 0, east = 0, north = 0;
    const bool transformed =
        toWgs84 != nullptr && OCTTransformBounds(toWgs84, std::min(x0, x1), std::min(y0, y1), std::max(x0, x1),
                                                 std::max(y0, y1), &west, &south, &east, &north, 21) != 0;
    // The ground spacing at the raster's centre, across and along.
    const CrsUnits units = DescribeCrs(static_cast<const OGRSpatialReference*>(source));
    if (toWgs84)
        OCTDestroyCoordinateTransformation(toWgs84);
    OSRDestroySpatialReference(source);
    OSRDestroySpatialReference(wgs84);
    if (!transformed)
        throw ToolError(fmt::format("cannot place {} on longitude and latitude: {}", facts.name,
                                    GdalMessage("its CRS has no transformation to WGS 84")));
    facts.bounds = {std::max(west, -180.0), std::max(south, -90.0), std::min(east, 180.0), std::min(north, 90.0)};
    if (!(facts.bounds.west < facts.bounds.east && facts.bounds.south < facts.bounds.north))
        throw ToolError(fmt::format("{} covers no area on the globe", facts.name));
    const GridSpacing spacing = SpacingFromGeoTransform({t[0], t[1], t[2], t[3], t[4], t[5]}, units,
                                                        static_cast<double>(facts.height) / 2.0, 1.0, 1.0);
    facts.spacingMetres = std::min(spacing.x, spacing.z);
    facts.spacingX = spacing.x;
    facts.spacingY = spacing.z;
    return facts;
}

// One level's warp: the source (or the overview nearest the level's
// spacing without being coarser), the exact transform onto the level's
// lattice, and the destination the warper fills.
struct TileReader::Level {
    int32_t level = 0, cells = 0;
    Source source;
    Dataset destination;
    int32_t columns = 0, rows = 0;  // the destination's size
    void* transformer = nullptr;
    GDALWarpOptions* warp = nullptr;
    GDALWarpOperationH operation = nullptr;

    ~Level()
    {
        if (operation)
            GDALDestroyWarpOperation(operation);
        if (warp) {
            warp->pTransformerArg = nullptr;
            GDALDestroyWarpOptions(warp);
        }
        if (transformer)
            GDALDestroyGenImgProjTransformer(transformer);
    }
};

TileReader::TileReader(const TileSourceOptions& options, const TileSourceFacts& facts)
    : options_(options), facts_(facts)
{
}

TileReader::~TileReader() = default;

TileReader::Level& TileReader::LevelFor(int32_t level, int32_t cells)
{
    if (level_ && level_->level == level && level_->cells == cells)
        return *level_;
    // One level at a time is read; the previous one's handles go.
    level_.reset();
    auto made = std::make_unique<Level>();
    made->level = level, made->cells = cells;
    const double step = 180.0 / static_cast<double>(TileRows(level)) / cells;  // degrees between lattice points
    const double centre = (facts_.bounds.south + facts_.bounds.north) / 2.0;
    const double stepX = step * MetresPerDegreeOfLongitude(kWgs84, centre);
    const double stepY = step * MetresPerDegreeOfLatitude(kWgs84, centre);
    // The coarsest overview still at least as fine as the lattice.
    int32_t overview = -1;
    double factor = 1.0;
    {
        made->source = OpenSource(options_, facts_.name);
        const GDALDatasetH handle = made->source.get();
        const GDALRasterBandH band = GDALGetRasterBand(handle, options_.band);
        for (int32_t o = 0; o < facts_.overviews; ++o) {
            const GDALRasterBandH view = GDALGetOverview(band, o);
            if (!view)
                continue;
            const double f = static_cast<double>(facts_.width) / GDALGetRasterBandXSize(view);
            if (facts_.spacingMetres * f <= std::min(stepX, stepY) && f > factor)
                overview = o, factor = f;
        }
    }
    if (overview >= 0)
        made->source = OpenSource(options_, facts_.name, overview);
    const GDALDatasetH source = made->source.get();

    // A raster already on WGS 84 longitude and latitude is only resampled:
    // its own CRS as the destination's spares a projection call per point.
    std::string wkt = Wgs84Wkt();
    if (const OGRSpatialReferenceH own = GDALGetSpatialRef(source)) {
        const OGRSpatialReferenceH wgs84 = Wgs84();
        const char* ignoreAxes[] = {"IGNORE_DATA_AXIS_TO_SRS_AXIS_MAPPING=YES", "CRITERION=EQUIVALENT", nullptr};
        if (OSRIsSameEx(own, wgs84, ignoreAxes)) {
            char* text = nullptr;
            OSRExportToWkt(own, &text);
            wkt = text ? text : wkt;
            CPLFree(text);
        }
        OSRDestroySpatialReference(wgs84);
    }
    const std::string dstSrs = "DST_SRS=" + wkt;
    const char* transformOptions[] = {dstSrs.c_str(), nullptr};
    CPLErrorReset();
    made->transformer = GDALCreateGenImgProjTransformer2(source, nullptr, const_cast<char**>(transformOptions));
    if (!made->transformer)
        throw ToolError(
            fmt::format("cannot warp {} to longitude and latitude: {}", facts_.name, GdalMessage("no transformation")));

    GDALWarpOptions* warp = GDALCreateWarpOptions();
    made->warp = warp;
    warp->hSrcDS = source;
    warp->nBandCount = 1;
    warp->panSrcBands = static_cast<int*>(CPLMalloc(sizeof(int)));
    warp->panDstBands = static_cast<int*>(CPLMalloc(sizeof(int)));
    warp->panSrcBands[0] = options_.band;
    warp->panDstBands[0] = 1;
    warp->eWorkingDataType = GDT_Float32;
    warp->dfWarpMemoryLimit = 32.0 * 1024 * 1024;
    const std::string& method = options_.resample;
    warp->eResampleAlg = method == "near"          ? GRA_NearestNeighbour
                         : method == "cubic"       ? GRA_Cubic
                         : method == "cubicspline" ? GRA_CubicSpline
                         : method == "lanczos"     ? GRA_Lanczos
                         : method == "average"     ? GRA_Average
                                                   : GRA_Bilinear;
    int hasNoData = 0;
    const double noData = GDALGetRasterNoDataValue(GDALGetRasterBand(source, options_.band), &hasNoData);
    if (hasNoData) {
        warp->padfSrcNoDataReal = static_cast<double*>(CPLMalloc(sizeof(double)));
        warp->padfSrcNoDataReal[0] = noData;
    }
    warp->padfDstNoDataReal = static_cast<double*>(CPLMalloc(sizeof(double)));
    warp->padfDstNoDataReal[0] = std::numeric_limits<double>::quiet_NaN();
    warp->pfnTransformer = GDALGenImgProjTransform;
    warp->pTransformerArg = made->transformer;
    // A fixed resampling scale: GDAL otherwise derives it from each chunk's
    // windows, so that the same point could differ between two tiles.
    const double xScale = std::min(1.0, facts_.spacingX * factor / stepX);
    const double yScale = std::min(1.0, facts_.spacingY * factor / stepY);
    warp->papszWarpOptions = CSLSetNameValue(warp->papszWarpOptions, "INIT_DEST", "NO_DATA");
    warp->papszWarpOptions = CSLSetNameValue(warp->papszWarpOptions, "XSCALE", fmt::format("{:.17g}", xScale).c_str());
    warp->papszWarpOptions = CSLSetNameValue(warp->papszWarpOptions, "YSCALE", fmt::format("{:.17g}", yScale).c_str());
    level_ = std::move(made);
    return *level_;
}

void TileReader::Read(const TileKey& tile, int32_t cells, int32_t halo, std::vector<float>& heights)
{
    const int32_t size = cells + 1 + 2 * halo;
    const int64_t column = tile.x * cells, row = (TileRows(tile.level) - 1 - tile.y) * cells;
    ReadWindow(tile.level, cells, column - halo, row - halo, size, size, heights);
}

void TileReader::ReadWindow(int32_t level, int32_t cells, int64_t column, int64_t row, int32_t columns, int32_t rows,
                            std::vector<float>& heights)
{
    Level& warp = LevelFor(level, cells);
    if (warp.columns != columns || warp.rows != rows) {
        warp.destination.reset(GDALCreate(GDALGetDriverByName("MEM"), "", columns, rows, 1, GDT_Float32, nullptr));
        if (!warp.destination)
            throw ToolError(fmt::format("cannot warp {}: {}", facts_.name, GdalMessage("no memory raster")));
        GDALSetRasterNoDataValue(GDALGetRasterBand(static_cast<GDALDatasetH>(warp.destination.get()), 1), kNaN);
        warp.warp->hDstDS = static_cast<GDALDatasetH>(warp.destination.get());
        warp.columns = columns, warp.rows = rows;
    }
    // The lattice's step is a multiple of a power of two of 45 degrees, so
    // that every lattice point's longitude and latitude are exact and the
    // same whichever window they are computed for.
    const double step = 180.0 / static_cast<double>(TileRows(level)) / cells;
    double transform[6] = {-180.0 + (static_cast<double>(column) - 0.5) * step, step, 0.0,
                           90.0 - (static_cast<double>(row) - 0.5) * step,      0.0,  -step};
    GDALSetGenImgProjTransformerDstGeoTransform(warp.transformer, transform);
    // A warp operation remembers the source window of each destination
    // window it warped, so that one made for another window would read the
    // wrong part of the raster: each window gets its own.
    CPLErrorReset();
    if (warp.operation)
        GDALDestroyWarpOperation(warp.operation);
    warp.operation = GDALCreateWarpOperation(warp.warp);
    if (!warp.operation)
        throw ToolError(fmt::format("cannot warp {}: {}", facts_.name, GdalMessage("the warp options were refused")));
    if (GDALChunkAndWarpImage(warp.operation, 0, 0, columns, rows) != CE_None)
        throw ToolError(fmt::format("cannot warp {}: {}", facts_.name, GdalMessage("the warp failed")));
    heights.resize(static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows));
    const auto destination = static_cast<GDALDatasetH>(warp.destination.get());
    if (GDALRasterIO(GDALGetRasterBand(destination, 1), GF_Read, 0, 0, columns, rows, heights.data(), columns, rows,
                     GDT_Float32, 0, 0) != CE_None)
        throw ToolError(fmt::format("cannot warp {}: {}", facts_.name, GdalMessage("the warped tile is lost")));
    const float offset = options_.heightOffset;
    for (float& h : heights)
        h = !std::isfinite(h) ? kNaN : offset != 0.0f ? h + offset : h;
}

}  // namespace heightmesh::tool
