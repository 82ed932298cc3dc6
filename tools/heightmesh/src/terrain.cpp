#include "terrain.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include <fmt/format.h>

namespace heightmesh::tool {

namespace {

// ---- Procedural terrain ---------------------------------------------------

uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// A value in [-1, 1] for lattice point (ix, iy) of one noise layer.
double Lattice(int64_t ix, int64_t iy, uint64_t layerSeed) {
    const uint64_t h = Mix(Mix(layerSeed ^ static_cast<uint64_t>(ix)) ^ (static_cast<uint64_t>(iy) * 0xD6E8FEB86659FD93ull));
    return static_cast<double>(h >> 11) * (2.0 / 9007199254740992.0) - 1.0;
}

double Fade(double t) { return t * t * t * (t * (t * 6.0 - 15.0) + 10.0); }

// floor(x) for |x| < 2^52 without a call into libm (baseline x86-64 has no
// rounding instruction): the same value std::floor gives.
double Floor(double x) {
    const double truncated = static_cast<double>(static_cast<int64_t>(x));
    return truncated > x ? truncated - 1.0 : truncated;
}

// The lattice values of one noise layer over the rectangle of lattice points
// its coordinates can reach, computed once instead of hashed four times per
// sample; points outside it (never reached) are hashed as before.
class LatticeTable {
public:
    LatticeTable(uint64_t layerSeed, double xLow, double xHigh, double yLow, double yHigh) : seed_(layerSeed) {
        x0_ = static_cast<int64_t>(Floor(xLow)) - 2;
        y0_ = static_cast<int64_t>(Floor(yLow)) - 2;
        nx_ = static_cast<int64_t>(Floor(xHigh)) + 3 - x0_;
        ny_ = static_cast<int64_t>(Floor(yHigh)) + 3 - y0_;
        values_.resize(static_cast<std::size_t>(nx_ * ny_));
        for (int64_t y = 0; y < ny_; ++y)
            for (int64_t x = 0; x < nx_; ++x)
                values_[static_cast<std::size_t>(y * nx_ + x)] = Lattice(x0_ + x, y0_ + y, seed_);
    }
    // Lattice(ix, iy, seed) and its neighbours at +1 in x, y and both.
    void Corners(int64_t ix, int64_t iy, double& a, double& b, double& c, double& d) const {
        const int64_t x = ix - x0_, y = iy - y0_;
        if (x >= 0 && y >= 0 && x + 1 < nx_ && y + 1 < ny_) {
            const double* row = values_.data() + y * nx_ + x;
            a = row[0];
            b = row[1];
            c = row[nx_];
            d = row[nx_ + 1];
            return;
        }
        a = Lattice(ix, iy, seed_);
        b = Lattice(ix + 1, iy, seed_);
        c = Lattice(ix, iy + 1, seed_);
        d = Lattice(ix + 1, iy + 1, seed_);
    }

private:
    uint64_t seed_ = 0;
    int64_t x0_ = 0, y0_ = 0, nx_ = 0, ny_ = 0;
    std::vector<double> values_;
};

// Smoothly interpolated lattice noise, [-1, 1].
double ValueNoise(double x, double y, const LatticeTable& table) {
    const double fx = Floor(x);
    const double fy = Floor(y);
    const int64_t ix = static_cast<int64_t>(fx);
    const int64_t iy = static_cast<int64_t>(fy);
    const double tx = Fade(x - fx);
    const double ty = Fade(y - fy);
    double a, b, c, d;
    table.Corners(ix, iy, a, b, c, d);
    const double top = a + (b - a) * tx;
    const double bottom = c + (d - c) * tx;
    return top + (bottom - top) * ty;
}

// The octaves of one fractal sum: each octave's table, for coordinates that
// start within [xLow, xHigh] x [yLow, yHigh] and are carried from octave to
// octave by x * scale + xShift, y * scale + yShift.
struct Octaves {
    Octaves(int count, uint64_t seed, double xLow, double xHigh, double yLow, double yHigh, double scale, double xShift,
            double yShift) {
        for (int octave = 0; octave < count; ++octave) {
            tables.emplace_back(Mix(seed + static_cast<uint64_t>(octave)), xLow, xHigh, yLow, yHigh);
            xLow = xLow * scale + xShift;
            xHigh = xHigh * scale + xShift;
            yLow = yLow * scale + yShift;
            yHigh = yHigh * scale + yShift;
        }
    }
    std::vector<LatticeTable> tables;
};

// Fractal sum of octaves, roughly [-1, 1].
double Fbm(double x, double y, const Octaves& octaves) {
    double sum = 0.0, amplitude = 0.5, norm = 0.0;
    for (const LatticeTable& table : octaves.tables) {
        sum += amplitude * ValueNoise(x, y, table);
        norm += amplitude;
        amplitude *= 0.5;
        x = x * 2.03 + 17.1;
        y = y * 2.03 - 9.7;
    }
    return sum / norm;
}

// Sharp crests: octaves of 1 - |noise|, squared, each weighted by the last.
double Ridged(double x, double y, const Octaves& octaves) {
    double sum = 0.0, amplitude = 0.5, norm = 0.0, weight = 1.0;
    for (const LatticeTable& table : octaves.tables) {
        double ridge = 1.0 - std::fabs(ValueNoise(x, y, table));
        ridge *= ridge;
        ridge *= weight;
        weight = std::clamp(ridge * 1.8, 0.0, 1.0);
        sum += amplitude * ridge;
        norm += amplitude;
        amplitude *= 0.5;
        x = x * 2.1 - 3.3;
        y = y * 2.1 + 5.9;
    }
    return sum / norm;
}

double SmoothStep(double edge0, double edge1, double x) {
    const double t = std::clamp((x - edge0) / (edge1 - edge0), 0.0, 1.0);
    return t * t * (3.0 - 2.0 * t);
}

}  // namespace

// ---- Built-in terrain ------------------------------------------------------

Heightmap MakeTerrain(GridSize size, uint64_t seed, const std::function<void(double)>& progress) {
    CheckGridSize(size.width, size.height, fmt::format("grid {}x{}", size.width, size.height));
    Heightmap map;
    map.width = size.width;
    map.height = size.height;
    map.heights.resize(static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height));
    // Features are laid out over the unit square of the longer side, so every
    // size shows the same landscape; the relief grows with the grid.
    const double extent = std::max(size.width, size.height);
    const double relief = 0.2 * std::sqrt(static_cast<double>(size.width) * size.height);
    const uint64_t base = Mix(seed);
    // u and v stay within [0, 1]; the warp moves them by at most 0.15.
    const double uHigh = (size.width - 1) / extent, vHigh = (size.height - 1) / extent;
    const Octaves warpUOctaves(4, base ^ 0x1111, 5.2, uHigh * 2.0 + 5.2, 1.3, vHigh * 2.0 + 1.3, 2.03, 17.1, -9.7);
    const Octaves warpVOctaves(4, base ^ 0x2222, -7.7, uHigh * 2.0 - 7.7, 3.1, vHigh * 2.0 + 3.1, 2.03, 17.1, -9.7);
    const Octaves hillOctaves(6, base, -0.15 * 2.5, (uHigh + 0.15) * 2.5, -0.15 * 2.5, (vHigh + 0.15) * 2.5, 2.03, 17.1,
                              -9.7);
    const Octaves ridgeOctaves(7, base + 101, -0.15 * 3.5, (uHigh + 0.15) * 3.5, -0.15 * 3.5, (vHigh + 0.15) * 3.5, 2.1,
                               -3.3, 5.9);
    const auto makeRow = [&](int32_t row) {
        const double v = row / extent;
        for (int32_t column = 0; column < size.width; ++column) {
            const double u = column / extent;
            // Warped coordinates bend the ranges; broad hills carry sharp
            // ridges where they are high and fade into smooth lowland.
            const double warpU = u + 0.15 * Fbm(u * 2.0 + 5.2, v * 2.0 + 1.3, warpUOctaves);
            const double warpV = v + 0.15 * Fbm(u * 2.0 - 7.7, v * 2.0 + 3.1, warpVOctaves);
            const double hills = 0.5 + Fbm(warpU * 2.5, warpV * 2.5, hillOctaves);
            const double ridges = Ridged(warpU * 3.5, warpV * 3.5, ridgeOctaves);
            const double mountains = SmoothStep(0.3, 0.6, hills);
            const double h = 0.55 * hills * hills + 0.75 * ridges * mountains;
            map.heights[static_cast<std::size_t>(row) * size.width + column] = static_cast<float>(h * relief);
        }
    };
    // Rows are independent: every core takes rows in turn; the calling thread
    // works too and reports progress.
    std::atomic<int32_t> nextRow{0};
    std::atomic<int32_t> rowsDone{0};
    const auto work = [&] {
        for (int32_t row = nextRow++; row < size.height; row = nextRow++) {
            makeRow(row);
            ++rowsDone;
        }
    };
    std::vector<std::thread> helpers;
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned t = 1; t < cores && static_cast<int64_t>(t) * 16 < size.height; ++t) helpers.emplace_back(work);
    for (int32_t row = nextRow++; row < size.height; row = nextRow++) {
        makeRow(row);
        ++rowsDone;
        if (progress && (row & 15) == 0) progress(static_cast<double>(rowsDone.load()) / size.height);
    }
    for (std::thread& helper : helpers) helper.join();
    SetRangeFromSamples(map);
    return map;
}

}  // namespace heightmesh::tool
