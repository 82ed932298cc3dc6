#include "input/gdal_reader.h"
#include "input/gdal_setup.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <string_view>
#include <vector>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <fmt/format.h>
#include <gdal.h>
#include <ogr_spatialref.h>

#include "common/file_io.h"
#include "common/memory_budget.h"
#include "common/parallel.h"
#include "common/text.h"
#include "common/tool_error.h"

namespace heightmesh::tool {

namespace {

// The most GDAL's block cache is given: the reads go through each block once,
// row strip by row strip, so a cache that holds a strip's blocks is enough.
constexpr int64_t kGdalCacheBytes = int64_t{128} << 20;
// The least cache a read is given, whatever its strips need.
constexpr int64_t kLeastGdalCacheBytes = int64_t{8} << 20;
// Grid points read per strip.
constexpr int64_t kStripPoints = int64_t{1} << 20;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Reads the rows [first, first + rows) of a band's window, at full
// resolution, as floats; NaN where the mask band (if any) says no data.
void ReadRows(GDALRasterBandH band, GDALRasterBandH mask, const PixelWindow& window, int64_t first, int64_t rows,
              float* out, const std::string& what)
{
    const auto read = [&](GDALRasterBandH source, void* into, GDALDataType type) {
        CPLErrorReset();
        if (GDALRasterIO(source, GF_Read, static_cast<int>(window.x), static_cast<int>(first),
                         static_cast<int>(window.width), static_cast<int>(rows), into, static_cast<int>(window.width),
                         static_cast<int>(rows), type, 0, 0) != CE_None)
            throw ToolError(fmt::format("cannot read {}: {}", what, GdalMessage("the read failed")));
    };
    read(band, out, GDT_Float32);
    if (!mask)
        return;
    std::vector<uint8_t> valid(static_cast<std::size_t>(rows * window.width));
    read(mask, valid.data(), GDT_Byte);
    for (std::size_t i = 0; i < valid.size(); ++i)
        if (valid[i] == 0)
            out[i] = kNaN;
}

// Source rows behind one strip of grid rows: about kStripPoints pixels, and
// at least the rows behind one grid row.
int64_t GridRowsPerStrip(const PixelWindow& window, GridSize grid)
{
    const double rowStep = static_cast<double>(window.height) / static_cast<double>(grid.height);
    const double pixelsPerRow = rowStep * static_cast<double>(window.width);
    return std::clamp<int64_t>(static_cast<int64_t>(static_cast<double>(kStripPoints) / pixelsPerRow), 1, grid.height);
}

int64_t SourceRowsPerStrip(const PixelWindow& window, GridSize grid)
{
    const double rowStep = static_cast<double>(window.height) / static_cast<double>(grid.height);
    return std::min<int64_t>(
        window.height,
        static_cast<int64_t>(std::ceil(rowStep * static_cast<double>(GridRowsPerStrip(window, grid)))) + 1);
}

}  // namespace

void EnsureGdal()
{
    static std::once_flag once;
    std::call_once(once, [] {
        GDALAllRegister();
        // Errors reach the user as one line through ToolError, not GDAL's own
        // printing.
        CPLSetErrorHandler(CPLQuietErrorHandler);
        GDALSetCacheMax64(kGdalCacheBytes);
    });
}

void UseGdalDecodeThreads(unsigned threads)
{
    // A driver reads the option when a raster is opened; the values it
    // decodes are the same on any number of threads.
    if (CPLGetConfigOption("GDAL_NUM_THREADS", nullptr) == nullptr)
        CPLSetConfigOption("GDAL_NUM_THREADS", std::to_string(ThreadCount(threads)).c_str());
}

// GDAL's last error message on one line.
std::string GdalMessage(const char* fallback)
{
    std::string text = CPLGetLastErrorMsg();
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text.empty() ? std::string(fallback) : text;
}

void CheckRegularFile(const std::filesystem::path& path)
{
    if (path.string().rfind("/vsi", 0) == 0)
        return;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        throw ToolError(fmt::format("cannot open {}: {}", Quoted(path), std::strerror(errno)));
    if (S_ISDIR(info.st_mode))
        throw ToolError(fmt::format("cannot read {}: it is a directory", Quoted(path)));
    if (!S_ISREG(info.st_mode))
        throw ToolError(fmt::format("cannot read {}: not a regular file (heightmesh reads files, not devices or pipes)",
                                    Quoted(path)));
}

struct GdalRaster::Dataset {
    enum class Kind { Band, Luminance, Palette, Encoded };

    GDALDatasetH handle = nullptr;
    GeoTransform transform{0.0, 1.0, 0.0, 0.0, 0.0, 1.0};
    CrsUnits crs;
    Kind kind = Kind::Band;
    HeightEncoding encoding = HeightEncoding::Gray;
    std::vector<int> bands;      // 1-based band numbers read
    double imageMax = 1.0;       // the largest sample value of an image
    bool useMask = false;        // the first band's mask marks samples without data
    std::vector<float> palette;  // luminance 0..1 of each colour-table entry

    ~Dataset()
    {
        if (handle)
            GDALClose(handle);
    }
    GDALRasterBandH Band(int number) const { return GDALGetRasterBand(handle, number); }
    GDALRasterBandH FirstBand() const { return Band(bands.front()); }

    // The source rows [first, first + rows) of the window as one float per
    // pixel: the band as it is, or decoded (luminance, palette luminance, an
    // RGB height encoding); NaN where there is no data.
    std::vector<float> SourceRows(const PixelWindow& window, int64_t first, int64_t rows, const std::string& what) const
    {
        std::vector<float> out(static_cast<std::size_t>(rows * window.width));
        SourceRowsInto(window, first, rows, out.data(), what);
        return out;
    }
    // The same into out[0, rows * window.width).
    void SourceRowsInto(const PixelWindow& window, int64_t first, int64_t rows, float* out,
                        const std::string& what) const
    {
        const std::size_t count = static_cast<std::size_t>(rows * window.width);
        GDALRasterBandH mask = useMask ? GDALGetMaskBand(FirstBand()) : nullptr;
        ReadRows(Band(bands[0]), mask, window, first, rows, out, what);
        if (kind == Kind::Band)
            return;
        std::vector<std::vector<float>> more;
        for (std::size_t b = 1; b < bands.size(); ++b) {
            more.emplace_back(count);
            ReadRows(Band(bands[b]), nullptr, window, first, rows, more.back().data(), what);
        }
        const auto byte = [](float v) { return static_cast<uint8_t>(std::clamp(v, 0.0f, 255.0f)); };
        for (std::size_t i = 0; i < count; ++i) {
            const float r = out[i];
            if (std::isnan(r))
                continue;
            switch (kind) {
            case Kind::Luminance:
                // Rec. 709 weights, as a colour picture is seen as brightness.
                out[i] = static_cast<float>((0.2126 * r + 0.7152 * more[0][i] + 0.0722 * more[1][i]) / imageMax);
                break;
            case Kind::Palette: {
                const auto index = static_cast<std::size_t>(std::max(0.0f, r));
                out[i] = index < palette.size() ? palette[index] : kNaN;
                break;
            }
            case Kind::Encoded:
                out[i] = encoding == HeightEncoding::TerrainRgb
                             ? DecodeTerrainRgb(byte(r), byte(more[0][i]), byte(more[1][i]))
                             : DecodeTerrarium(byte(r), byte(more[0][i]), byte(more[1][i]));
                break;
            case Kind::Band: break;
            }
        }
    }
};

GdalRaster::GdalRaster(const std::filesystem::path& path, const InputOptions& options, bool asMask, int64_t memoryLimit)
    : dataset_(std::make_unique<Dataset>()), options_(options), asMask_(asMask)
{
    using Kind = Dataset::Kind;
    EnsureGdal();
    CheckRegularFile(path);
    Dataset& d = *dataset_;
    plan_.name = Quoted(path);
    const std::string& name = plan_.name;
    CPLErrorReset();
    d.handle = GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
    if (!d.handle) {
        if (Lowercase(path.extension().string()) == ".hgt")
            throw ToolError(fmt::format(
                "cannot read {}: not an SRTM .hgt tile (1201 x 1201 or 3601 x 3601 big-endian 16-bit samples, named "
                "after its south-west corner like N46E008.hgt)",
                name));
        throw ToolError(
            fmt::format("cannot read {}: GDAL reads no raster from it ({})", name, GdalMessage("unknown format")));
    }
    plan_.driver = GDALGetDriverShortName(GDALGetDatasetDriver(d.handle));
    plan_.rasterWidth = GDALGetRasterXSize(d.handle);
    plan_.rasterHeight = GDALGetRasterYSize(d.handle);
    const int bandCount = GDALGetRasterCount(d.handle);
    if (bandCount < 1)
        throw ToolError(fmt::format("{} has no raster bands", name));

    // Georeference.
    double transform[6] = {};
    plan_.georeferenced = GDALGetGeoTransform(d.handle, transform) == CE_None;
    if (plan_.georeferenced) {
        std::copy(transform, transform + 6, d.transform.begin());
        CheckNorthUp(d.transform, name);
        d.crs = DescribeCrs(OGRSpatialReference::FromHandle(GDALGetSpatialRef(d.handle)));
    }

    // Which bands make a height.
    const auto interpretation = [&](int number) { return GDALGetRasterColorInterpretation(d.Band(number)); };
    d.encoding = asMask ? HeightEncoding::Gray : options.encoding;
    if (d.encoding != HeightEncoding::Gray) {
        if (bandCount < 3)
            throw ToolError(fmt::format("{} has {} band{}, but --encoding {} needs red, green and blue", name,
                                        bandCount, bandCount == 1 ? "" : "s", HeightEncodingName(d.encoding)));
        for (int number = 1; number <= 3; ++number)
            if (GDALGetRasterDataType(d.Band(number)) != GDT_Byte)
                throw ToolError(fmt::format("--encoding {} needs 8-bit red, green and blue, but band {} of {} is {}",
                                            HeightEncodingName(d.encoding), number, name,
                                            GDALGetDataTypeName(GDALGetRasterDataType(d.Band(number)))));
        d.kind = Kind::Encoded;
        d.bands = {1, 2, 3};
        plan_.bands = fmt::format("bands 1-3 decoded as {}", HeightEncodingName(d.encoding));
    } else if (options.band > 0 && !asMask) {
        if (options.band > bandCount)
            throw ToolError(
                fmt::format("--band {}: {} has {} band{}", options.band, name, bandCount, bandCount == 1 ? "" : "s"));
        d.bands = {options.band};
    } else if (bandCount >= 3 && interpretation(1) == GCI_RedBand && interpretation(2) == GCI_GreenBand &&
               interpretation(3) == GCI_BlueBand) {
        d.kind = Kind::Luminance;
        d.bands = {1, 2, 3};
        plan_.bands = "bands 1-3 as luminance";
    } else {
        d.bands = {1};
    }
    const GDALDataType type = GDALGetRasterDataType(d.FirstBand());
    if (d.kind == Kind::Band) {
        plan_.bands = fmt::format("band {} of {} ({})", d.bands[0], bandCount, GDALGetDataTypeName(type));
        GDALColorTableH table = GDALGetRasterColorTable(d.FirstBand());
        if (interpretation(d.bands[0]) == GCI_PaletteIndex && table) {
            d.kind = Kind::Palette;
            for (int i = 0; i < GDALGetColorEntryCount(table); ++i) {
                const GDALColorEntry* c = GDALGetColorEntry(table, i);
                d.palette.push_back(static_cast<float>((0.2126 * c->c1 + 0.7152 * c->c2 + 0.0722 * c->c3) / 255.0));
            }
            plan_.bands += ", colours as luminance";
        }
    }

    // Images without a georeference (and every mask) are pictures: their
    // samples are scaled to 0..1. Everything else keeps its units.
    const bool integerImage = type == GDT_Byte || type == GDT_UInt16;
    plan_.image = d.kind == Kind::Palette ||
                  (d.encoding == HeightEncoding::Gray && integerImage && (!plan_.georeferenced || asMask));
    if (integerImage) {
        double maxValue = type == GDT_Byte ? 255.0 : 65535.0;
        if (const char* bits = GDALGetMetadataItem(d.FirstBand(), "NBITS", "IMAGE_STRUCTURE")) {
            const int n = std::atoi(bits);
            if (n >= 1 && n <= 16)
                maxValue = std::ldexp(1.0, n) - 1.0;
        }
        d.imageMax = maxValue;
    }
    if (!plan_.image || d.kind == Kind::Palette)
        d.imageMax = 1.0;

    // No data: the band's no-data value or mask. The alpha of a picture is
    // not a statement about data and is ignored, as it always was.
    const int maskFlags = GDALGetMaskFlags(d.FirstBand());
    d.useMask = (maskFlags & GMF_ALL_VALID) == 0 && !((maskFlags & GMF_ALPHA) != 0 && !plan_.georeferenced);

    // The window read.
    PixelWindow window{0, 0, plan_.rasterWidth, plan_.rasterHeight};
    if (options.window) {
        const PixelWindow& w = *options.window;
        if (w.x >= plan_.rasterWidth || w.y >= plan_.rasterHeight || w.width > plan_.rasterWidth - w.x ||
            w.height > plan_.rasterHeight - w.y)
            throw ToolError(fmt::format("--window {},{},{},{} reaches outside {} ({}x{} pixels)", w.x, w.y, w.width,
                                        w.height, name, plan_.rasterWidth, plan_.rasterHeight));
        window = w;
    } else if (options.bounds) {
        if (!plan_.georeferenced)
            throw ToolError(
                fmt::format("--bounds needs a georeferenced raster, but {} has no geotransform; use --window", name));
        window = WindowFromBounds(d.transform, *options.bounds, plan_.rasterWidth, plan_.rasterHeight, name);
    }
    plan_.window = window;

    // The grid made of it.
    int64_t gridWidth = window.width;
    int64_t gridHeight = window.height;
    if (options.resample) {
        if (options.resample->width > window.width || options.resample->height > window.height)
            throw ToolError(
                fmt::format("--resample {}x{} is larger than the {}x{} pixels read from {}; it only reduces",
                            options.resample->width, options.resample->height, window.width, window.height, name));
        gridWidth = options.resample->width;
        gridHeight = options.resample->height;
    } else if (options.maxSize) {
        const int64_t longest = std::max(window.width, window.height);
        if (longest > *options.maxSize) {
            const double scale = static_cast<double>(*options.maxSize) / static_cast<double>(longest);
            gridWidth =
                std::min(window.width, std::max<int64_t>(2, std::llround(static_cast<double>(window.width) * scale)));
            gridHeight =
                std::min(window.height, std::max<int64_t>(2, std::llround(static_cast<double>(window.height) * scale)));
        }
    }
    CheckGridSize(gridWidth, gridHeight, fmt::format("grid of {} ({}x{})", name, gridWidth, gridHeight));
    plan_.grid = GridSize{static_cast<int32_t>(gridWidth), static_cast<int32_t>(gridHeight)};

    // Ground spacing.
    const double columnStep = static_cast<double>(window.width) / static_cast<double>(gridWidth);
    const double rowStep = static_cast<double>(window.height) / static_cast<double>(gridHeight);
    if (options.tile && !asMask) {
        if (plan_.georeferenced)
            throw ToolError(fmt::format(
                "--tile applies to tiles without a georeference, but {} has one, which gives its spacing", name));
        const TileSpacing tile = SpacingOfTile(*options.tile, static_cast<int32_t>(plan_.rasterWidth));
        plan_.spacing = GridSpacing{
            tile.x * columnStep, tile.z * rowStep,
            fmt::format("from web-mercator tile {}/{}/{} ({} pixels wide) at its centre latitude {:.6f} on WGS 84",
                        options.tile->zoom, options.tile->x, options.tile->y, plan_.rasterWidth,
                        TileCentreLatitude(*options.tile))};
    } else if (plan_.georeferenced) {
        plan_.spacing = SpacingFromGeoTransform(
            d.transform, d.crs, static_cast<double>(window.y) + static_cast<double>(window.height) / 2.0, columnStep,
            rowStep);
    }

    const int64_t windowPixels = window.width * window.height;
    const int64_t points = gridWidth * gridHeight;
    const int64_t bands = static_cast<int64_t>(d.bands.size());
    const int64_t sampleBytes = GDALGetDataTypeSizeBytes(type);
    const int64_t stripRows = SourceRowsPerStrip(window, plan_.grid);
    const int64_t stripPixels = stripRows * window.width;
    const int64_t limit = memoryLimit > 0 ? memoryLimit : DefaultMemoryLimit();

    // GDAL decodes a block whole to read any pixel of it, whatever the cache
    // holds: every band read holds its largest block (at full resolution, in
    // an overview a reduced read may take, or of its mask) at once. Where
    // the bands are interleaved pixel by pixel, a block of one band is
    // decoded with every band's, into a buffer of them all. A raster
    // declaring blocks far beyond its own size cannot make the read take
    // more than the limit.
    const char* interleave = GDALGetMetadataItem(d.handle, "INTERLEAVE", "IMAGE_STRUCTURE");
    const int64_t blocksPerBand =
        interleave && std::string_view(interleave) == "PIXEL" && bandCount > 1 ? 2 * int64_t{bandCount} : bands;
    const auto consider = [&](GDALRasterBandH band) {
        int blockWidth = 0, blockHeight = 0;
        GDALGetBlockSize(band, &blockWidth, &blockHeight);
        const int64_t blockBytes = int64_t{std::max(blockWidth, 1)} * std::max(blockHeight, 1) *
                                   GDALGetDataTypeSizeBytes(GDALGetRasterDataType(band));
        if (blockBytes * blocksPerBand > plan_.blockBytes) {
            plan_.blockBytes = blockBytes * blocksPerBand;
            plan_.blockShape = fmt::format("{} x {} pixels", blockWidth, blockHeight);
        }
    };
    for (const int number : d.bands) {
        GDALRasterBandH band = d.Band(number);
        consider(band);
        if (number == d.bands.front() && d.useMask)
            consider(GDALGetMaskBand(band));
        if (points < windowPixels)
            for (int level = 0; level < GDALGetOverviewCount(band); ++level)
                if (GDALRasterBandH overview = GDALGetOverview(band, level))
                    consider(overview);
    }
    // GDAL's cache: the strips go down the raster once, so it need only hold
    // the block rows two strips in a row touch (one strip's last block row is
    // the next one's first), of every band a read decodes and the mask;
    // holding more would keep the whole raster beside its heights until the
    // read ends. A virtual mosaic's blocks are not its sources': their
    // blocks, of shapes it does not tell, keep the whole cache, or a strip
    // would decode a tall source block again each time.
    int64_t tallest = 1, widest = 1;
    const auto measure = [&](GDALRasterBandH band) {
        int blockWidth = 0, blockHeight = 0;
        GDALGetBlockSize(band, &blockWidth, &blockHeight);
        tallest = std::max<int64_t>(tallest, blockHeight);
        widest = std::max<int64_t>(widest, blockWidth);
    };
    for (const int number : d.bands)
        measure(d.Band(number));
    const int64_t decodedBands = std::max<int64_t>(blocksPerBand, bands) + (d.useMask ? 1 : 0);
    const int64_t stripBlockRows = 2 * (stripRows + 2 * tallest);
    const int64_t stripBlockBytes = stripBlockRows * (window.width + 2 * widest) * sampleBytes * decodedBands;
    const bool mosaic = plan_.driver == "VRT";
    plan_.cacheBytes =
        std::min({kGdalCacheBytes, limit / 8,
                  mosaic ? kGdalCacheBytes : std::max(kLeastGdalCacheBytes, stripBlockBytes + 2 * plan_.blockBytes)});

    // Working memory beyond the grid's heights: GDAL's cache, the source
    // strip in flight with its decoded floats and mask, and the slack of the
    // heights growing strip by strip.
    int64_t bytes = std::min(plan_.cacheBytes, windowPixels * bands * sampleBytes);
    bytes += stripPixels * (4 * bands + 1);
    bytes += points * 4;
    if (plan_.blockBytes > limit)
        throw ToolError(fmt::format(
            "{} is stored in blocks of {}: reading any pixel makes GDAL hold {} of them, above the limit of {}; "
            "rewrite it in smaller tiles (gdal_translate -co TILED=YES) or raise --max-memory",
            name, plan_.blockShape, ByteText(plan_.blockBytes), ByteText(limit)));
    plan_.readBytes = bytes + plan_.blockBytes;
}

GdalRaster::~GdalRaster() = default;

Heightmap GdalRaster::Read(const std::function<void(double)>& progress)
{
    const Dataset& d = *dataset_;
    const PixelWindow& window = plan_.window;
    const GridSize grid = plan_.grid;
    const bool resampled = grid.width != window.width || grid.height != window.height;
    const std::string what = fmt::format("{} {}", plan_.driver, plan_.name);

    Heightmap map;
    map.width = grid.width;
    map.height = grid.height;
    // Strip by strip, so that a file failing half way (or a header promising
    // far more than the file holds) costs only the strips before. A reduced
    // grid is averaged by GDAL (GRIORA_Average, which leaves no data out of
    // every average and weighs pixels a grid cell covers in part by the
    // part) from a memory raster over each strip's source rows, decoded to
    // float first: an average of packed channels is no height, and GDAL
    // would average 8- and 16-bit samples in their own type, rounding each.
    // The whole grid's room is reserved at once (address space only: pages
    // are touched as strips arrive), so that the heights never move.
    map.heights.reserve(static_cast<std::size_t>(grid.width) * static_cast<std::size_t>(grid.height));
    // The cache is the process's: set for this raster's strips when it is
    // read, not when it was planned beside another.
    GDALSetCacheMax64(plan_.cacheBytes);
    bool anyNoData = false;
    // Marks the strip's samples without data (set to 0) and brings image
    // samples to 0..1, while the strip is in cache.
    const auto finishStrip = [&](std::size_t begin, std::size_t end) {
        // Most strips have every sample: one pass over lanes to tell, and
        // one to scale.
        float* samples = map.heights.data();
        bool allFinite = true;
        for (std::size_t i = begin; i < end; ++i)
            allFinite &= std::isfinite(samples[i]);
        if (allFinite) {
            const double imageMax = d.imageMax;
            if (d.kind == Dataset::Kind::Band && imageMax != 1.0)
                for (std::size_t i = begin; i < end; ++i)
                    samples[i] = static_cast<float>(samples[i] / imageMax);
            return;
        }
        for (std::size_t i = begin; i < end; ++i) {
            float& h = map.heights[i];
            if (!std::isfinite(h)) {
                if (!anyNoData)
                    map.noData.assign(static_cast<std::size_t>(grid.width) * grid.height, 0);
                map.noData[i] = 1;
                h = 0.0f;
                anyNoData = true;
            } else if (d.kind == Dataset::Kind::Band && d.imageMax != 1.0) {
                h = static_cast<float>(h / d.imageMax);
            }
        }
    };
    const int64_t stripRows = GridRowsPerStrip(window, grid);
    const double rowStep = static_cast<double>(window.height) / static_cast<double>(grid.height);
    const int64_t windowBottom = window.y + window.height;
    for (int64_t first = 0; first < grid.height; first += stripRows) {
        const int64_t rows = std::min(stripRows, grid.height - first);
        if (!resampled) {
            const std::size_t at = map.heights.size();
            map.heights.resize(at + static_cast<std::size_t>(rows * grid.width));
            d.SourceRowsInto(window, window.y + first, rows, map.heights.data() + at, what);
        } else {
            const double top = static_cast<double>(window.y) + static_cast<double>(first) * rowStep;
            const double bottom = first + rows == grid.height
                                      ? static_cast<double>(windowBottom)
                                      : static_cast<double>(window.y) + static_cast<double>(first + rows) * rowStep;
            const int64_t sourceFirst = static_cast<int64_t>(std::floor(top));
            const int64_t sourceRows = std::min(windowBottom, static_cast<int64_t>(std::ceil(bottom))) - sourceFirst;
            std::vector<float> source = d.SourceRows(window, sourceFirst, sourceRows, what);
            const std::string open = fmt::format("MEM:::DATAPOINTER={},PIXELS={},LINES={},BANDS=1,DATATYPE=Float32",
                                                 static_cast<const void*>(source.data()), window.width, sourceRows);
            GDALDatasetH memory = GDALOpen(open.c_str(), GA_ReadOnly);
            if (!memory)
                throw ToolError(fmt::format("cannot resample {}: {}", what, GdalMessage("no memory raster")));
            GDALRasterBandH band = GDALGetRasterBand(memory, 1);
            GDALSetRasterNoDataValue(band, std::numeric_limits<double>::quiet_NaN());
            GDALRasterIOExtraArg extra;
            INIT_RASTERIO_EXTRA_ARG(extra);
            extra.eResampleAlg = GRIORA_Average;
            extra.bFloatingPointWindowValidity = TRUE;
            extra.dfXOff = 0.0;
            extra.dfXSize = static_cast<double>(window.width);
            extra.dfYOff = top - static_cast<double>(sourceFirst);
            extra.dfYSize = std::min(bottom - top, static_cast<double>(sourceRows) - extra.dfYOff);
            map.heights.resize(static_cast<std::size_t>((first + rows) * grid.width));
            CPLErrorReset();
            const CPLErr error = GDALRasterIOEx(band, GF_Read, 0, 0, static_cast<int>(window.width),
                                                static_cast<int>(sourceRows), map.heights.data() + first * grid.width,
                                                grid.width, static_cast<int>(rows), GDT_Float32, 0, 0, &extra);
            GDALClose(memory);
            if (error != CE_None)
                throw ToolError(fmt::format("cannot resample {}: {}", what, GdalMessage("the read failed")));
        }
        finishStrip(static_cast<std::size_t>(first * grid.width),
                    static_cast<std::size_t>((first + rows) * grid.width));
        if (progress)
            progress(static_cast<double>(first + rows) / static_cast<double>(grid.height));
    }

    // Every block was read once and is not read again: GDAL's cache lets
    // them go now instead of holding the whole raster while the mesh is made.
    GDALFlushCache(d.handle);

    // North up and west left, whatever the raster's own order.
    const std::size_t width = static_cast<std::size_t>(grid.width);
    const auto turn = [&](auto& samples) {
        if (samples.empty())
            return;
        if (plan_.georeferenced && d.transform[5] > 0.0)
            for (std::size_t top = 0, bottom = static_cast<std::size_t>(grid.height) - 1; top < bottom; ++top, --bottom)
                std::swap_ranges(samples.begin() + static_cast<std::ptrdiff_t>(top * width),
                                 samples.begin() + static_cast<std::ptrdiff_t>((top + 1) * width),
                                 samples.begin() + static_cast<std::ptrdiff_t>(bottom * width));
        if (plan_.georeferenced && d.transform[1] < 0.0)
            for (std::size_t row = 0; row < static_cast<std::size_t>(grid.height); ++row)
                std::reverse(samples.begin() + static_cast<std::ptrdiff_t>(row * width),
                             samples.begin() + static_cast<std::ptrdiff_t>((row + 1) * width));
    };
    turn(map.heights);
    turn(map.noData);
    if (plan_.image) {
        map.rangeLow = 0.0f;
        map.rangeHigh = 1.0f;
    } else {
        SetRangeFromSamples(map);
    }
    return map;
}

}  // namespace heightmesh::tool
