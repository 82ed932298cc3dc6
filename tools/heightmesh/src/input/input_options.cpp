#include "input/input_options.h"

#include <charconv>
#include <cmath>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "common/memory_budget.h"
#include "common/tool_error.h"

namespace heightmesh::tool {

namespace {

// Comma-separated numbers, exactly `count` of them.
template <class Number>
std::vector<Number> ParseList(const std::string& text, std::size_t count, const std::string& what,
                              const std::string& shape) {
    const auto bad = [&] { return UsageError(fmt::format("{}: '{}' is not {}", what, text, shape)); };
    std::vector<Number> values;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::size_t stop = comma == std::string::npos ? text.size() : comma;
        Number value{};
        const char* first = text.data() + start;
        const char* last = text.data() + stop;
        const auto [end, error] = std::from_chars(first, last, value);
        if (first == last || error != std::errc() || end != last) throw bad();
        if constexpr (std::is_floating_point_v<Number>) {
            if (!std::isfinite(value)) throw bad();
        }
        values.push_back(value);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (values.size() != count) throw bad();
    return values;
}

}  // namespace

void InputOptionTexts::Add(CLI::App& app) {
    app.add_option("--band", band_, "raster band to read as heights")->default_str("1, or colour as luminance")
        ->check(CLI::PositiveNumber);
    app.add_option("--window", window_, "read only the pixels X,Y,W,H of the raster (column, row, width, height)")
        ->default_str("whole raster");
    app.add_option("--bounds", bounds_,
                   "read only the pixels overlapping MINX,MINY,MAXX,MAXY in the raster's CRS (degrees for a geographic "
                   "one)")
        ->default_str("whole raster")
        ->excludes("--window");
    app.add_option("--resample", resample_, "reduce the grid read to WIDTHxHEIGHT points, averaging while reading")
        ->default_str("none");
    app.add_option("--max-size", maxSize_, "reduce the grid read so its longer side has at most N points (averaging)")
        ->default_str("none")
        ->check(CLI::Range(2, 1 << 30))
        ->excludes("--resample");
    app.add_option("--encoding", encoding_,
                   "how pixels give heights: gray (band as it is, colour as luminance), terrain-rgb "
                   "(-10000 + (R*65536 + G*256 + B) * 0.1 m) or terrarium (R*256 + G + B/256 - 32768 m)");
    app.add_option("--tile", tile_, "web-mercator tile address Z/X/Y of the input, which sets the spacing")
        ->default_str("none");
    app.add_option("--max-memory", maxMemory_, "refuse a run estimated to need more memory (bytes, or K/M/G/T)")
        ->default_str("half the physical memory");
}

void InputOptionTexts::Apply(InputOptions& options) const {
    options.band = band_;
    if (!window_.empty()) {
        const auto v = ParseList<int64_t>(window_, 4, "--window", "four integers X,Y,WIDTH,HEIGHT");
        if (v[0] < 0 || v[1] < 0 || v[2] < 2 || v[3] < 2)
            throw UsageError(fmt::format("--window: '{}' needs X, Y >= 0 and a WIDTH and HEIGHT of at least 2", window_));
        options.window = PixelWindow{v[0], v[1], v[2], v[3]};
    }
    if (!bounds_.empty()) {
        const auto v = ParseList<double>(bounds_, 4, "--bounds", "four numbers MINX,MINY,MAXX,MAXY");
        if (!(v[0] < v[2]) || !(v[1] < v[3]))
            throw UsageError(fmt::format("--bounds: '{}' needs MINX < MAXX and MINY < MAXY", bounds_));
        options.bounds = std::array<double, 4>{v[0], v[1], v[2], v[3]};
    }
    if (!resample_.empty()) options.resample = ParseGridSize(resample_);
    if (maxSize_ > 0) options.maxSize = maxSize_;
    options.encoding = ParseHeightEncoding(encoding_);
    if (options.encoding != HeightEncoding::Gray && band_ > 0)
        throw UsageError(fmt::format("--band does not apply to --encoding {}, which reads bands 1 to 3",
                                     HeightEncodingName(options.encoding)));
    if (!tile_.empty()) options.tile = ParseTileAddress(tile_);
    if (!maxMemory_.empty()) options.maxMemory = ParseByteCount(maxMemory_, "--max-memory");
}

}  // namespace heightmesh::tool
