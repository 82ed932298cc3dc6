#include "terrain.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

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

// Smoothly interpolated lattice noise, [-1, 1].
double ValueNoise(double x, double y, uint64_t layerSeed) {
    const double fx = std::floor(x);
    const double fy = std::floor(y);
    const int64_t ix = static_cast<int64_t>(fx);
    const int64_t iy = static_cast<int64_t>(fy);
    const double tx = Fade(x - fx);
    const double ty = Fade(y - fy);
    const double a = Lattice(ix, iy, layerSeed);
    const double b = Lattice(ix + 1, iy, layerSeed);
    const double c = Lattice(ix, iy + 1, layerSeed);
    const double d = Lattice(ix + 1, iy + 1, layerSeed);
    const double top = a + (b - a) * tx;
    const double bottom = c + (d - c) * tx;
    return top + (bottom - top) * ty;
}

// Fractal sum of octaves, roughly [-1, 1].
double Fbm(double x, double y, int octaves, uint64_t seed) {
    double sum = 0.0, amplitude = 0.5, norm = 0.0;
    for (int octave = 0; octave < octaves; ++octave) {
        sum += amplitude * ValueNoise(x, y, Mix(seed + static_cast<uint64_t>(octave)));
        norm += amplitude;
        amplitude *= 0.5;
        x = x * 2.03 + 17.1;
        y = y * 2.03 - 9.7;
    }
    return sum / norm;
}

// Sharp crests: octaves of 1 - |noise|, squared, each weighted by the last.
double Ridged(double x, double y, int octaves, uint64_t seed) {
    double sum = 0.0, amplitude = 0.5, norm = 0.0, weight = 1.0;
    for (int octave = 0; octave < octaves; ++octave) {
        double ridge = 1.0 - std::fabs(ValueNoise(x, y, Mix(seed + 101 + static_cast<uint64_t>(octave))));
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
    const auto makeRow = [&](int32_t row) {
        const double v = row / extent;
        for (int32_t column = 0; column < size.width; ++column) {
            const double u = column / extent;
            // Warped coordinates bend the ranges; broad hills carry sharp
            // ridges where they are high and fade into smooth lowland.
            const double warpU = u + 0.15 * Fbm(u * 2.0 + 5.2, v * 2.0 + 1.3, 4, base ^ 0x1111);
            const double warpV = v + 0.15 * Fbm(u * 2.0 - 7.7, v * 2.0 + 3.1, 4, base ^ 0x2222);
            const double hills = 0.5 + Fbm(warpU * 2.5, warpV * 2.5, 6, base);
            const double ridges = Ridged(warpU * 3.5, warpV * 3.5, 7, base);
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
