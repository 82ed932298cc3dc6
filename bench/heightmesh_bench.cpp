// Time per vertex of the heightfield mesh job, through the shared library and
// jobhost, on one worker and on all cores, against a plain loop without checks
// that computes the same outputs the way a user would otherwise write it.
//
//   build/bin/heightmesh_bench
//
// After the runs it prints the ratios of the best times: checked / plain
// loop on 1 and on all workers, and 1 worker / all workers. Use
// --benchmark_repetitions=5 for best of five.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "input/terrain.h"
#include "jobhost/jobhost.h"
#include "mesh/simplify.h"

namespace {

using Float2 = HeightmeshFloat2;
using Float3 = HeightmeshFloat3;

constexpr Float3 kScale{0.5f, 40.0f, 0.5f};

struct Grid {
    int32_t width, height;
    std::vector<float> heights;
    std::vector<uint8_t> mask;
};

// Rolling terrain with every eighth cell masked, the same for every run.
const Grid& GetGrid(int32_t size)
{
    static std::map<int32_t, std::unique_ptr<Grid>> grids;
    std::unique_ptr<Grid>& grid = grids[size];
    if (!grid) {
        grid = std::make_unique<Grid>(Grid{size, size, {}, {}});
        grid->heights.resize(std::size_t(size) * size);
        for (int32_t z = 0; z < size; ++z)
            for (int32_t x = 0; x < size; ++x)
                grid->heights[std::size_t(z) * size + x] =
                    std::sin(float(x) * 0.031f) * std::cos(float(z) * 0.017f) + 0.25f * std::sin(float(x + z) * 0.11f);
        grid->mask.resize(std::size_t(HeightmeshCellCount(size, size)));
        for (std::size_t c = 0; c < grid->mask.size(); ++c)
            grid->mask[c] = (c % 8 == 7) ? 0 : 1;
    }
    return *grid;
}

struct Outputs {
    std::vector<Float3> vertices;
    std::vector<Float2> uvs;
    std::vector<Float3> normals;
    std::vector<int32_t> triangles;
};

// The plain loop: row by row, column and row from the loop counters, the
// same single-precision operations in the same order, no checks.
void PlainLoop(const Grid& grid, Outputs& out)
{
    const int32_t w = grid.width, h = grid.height;
    const float* heights = grid.heights.data();
    const float fw = float(w), fh = float(h);
    for (int32_t z = 0; z < h; ++z) {
        const int32_t zBelow = z > 0 ? z - 1 : 0;
        const int32_t zAbove = z + 1 < h ? z + 1 : h - 1;
        const float* below = heights + std::size_t(zBelow) * w;
        const float* centre = heights + std::size_t(z) * w;
        const float* above = heights + std::size_t(zAbove) * w;
        const float fz = float(z);
        for (int32_t x = 0; x < w; ++x) {
            const std::size_t i = std::size_t(z) * w + x;
            const int32_t l = x > 0 ? x - 1 : 0;
            const int32_t r = x + 1 < w ? x + 1 : w - 1;
            const float fx = float(x);
            out.vertices[i] = {fx * kScale.x, centre[x] * kScale.y, fz * kScale.z};
            out.uvs[i] = {fx / fw, fz / fh};

            float gx = -(below[l] * kScale.y);
            gx = gx + -2.0f * (centre[l] * kScale.y);
            gx = gx + -(above[l] * kScale.y);
            gx = gx + below[r] * kScale.y;
            gx = gx + 2.0f * (centre[r] * kScale.y);
            gx = gx + above[r] * kScale.y;
            float gz = -(below[l] * kScale.y);
            gz = gz + -2.0f * (below[x] * kScale.y);
            gz = gz + -(below[r] * kScale.y);
            gz = gz + above[l] * kScale.y;
            gz = gz + 2.0f * (above[x] * kScale.y);
            gz = gz + above[r] * kScale.y;
            const float nx = -gx / kScale.x;
            const float nz = -gz / kScale.z;
            const float inverse = 1.0f / std::sqrt((nx * nx + 64.0f) + nz * nz);
            out.normals[i] = {nx * inverse, 8.0f * inverse, nz * inverse};

            if (x + 1 < w && z + 1 < h) {
                const std::size_t cell = std::size_t(z) * (w - 1) + x;
                int32_t* t = &out.triangles[cell * 6];
                if (grid.mask[cell] & 1) {
                    HeightmeshCellTriangles(int32_t(i), int32_t(w), t);
                } else {
                    t[0] = t[1] = t[2] = t[3] = t[4] = t[5] = 0;
                }
            }
        }
    }
}

Outputs MakeOutputs(const Grid& grid)
{
    const auto points = std::size_t(HeightmeshPointCount(grid.width, grid.height));
    return Outputs{std::vector<Float3>(points), std::vector<Float2>(points), std::vector<Float3>(points),
                   std::vector<int32_t>(std::size_t(HeightmeshTriangleEntryCount(grid.width, grid.height)))};
}

const jobhost::JobLibrary& Library()
{
    static std::shared_ptr<jobhost::JobLibrary> library = jobhost::JobLibrary::Open(HEIGHTMESH_LIBRARY_PATH);
    return *library;
}

jobhost::JobSystem& Jobs(unsigned workers)
{
    static std::map<unsigned, std::unique_ptr<jobhost::JobSystem>> systems;
    std::unique_ptr<jobhost::JobSystem>& jobs = systems[workers];
    if (!jobs)
        jobs = std::make_unique<jobhost::JobSystem>(workers);
    return *jobs;
}

template <typename A, typename B>
bool SameBits(const A& a, const B& b)
{
    using T = typename A::value_type;
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

// The plain loop is only a fair baseline if it computes the same bits.
void VerifyPlainLoop(const Grid& grid)
{
    Outputs plain = MakeOutputs(grid);
    PlainLoop(grid, plain);
    const jobhost::HeightfieldMesh job =
        jobhost::RunHeightfieldMesh(Jobs(1), Library(), {grid.heights, grid.mask, grid.width, grid.height, kScale});
    if (!SameBits(plain.vertices, job.vertices) || !SameBits(plain.uvs, job.uvs) ||
        !SameBits(plain.normals, job.normals) || !SameBits(plain.triangles, job.triangles)) {
        std::fprintf(stderr, "the plain loop and the job disagree on a %d x %d grid\n", grid.width, grid.height);
        std::exit(1);
    }
}

// Items are vertices; "time/vertex" is the real time per vertex (shown with an
// SI prefix, e.g. 16.4n = 16.4 ns).
void SetVertexCounters(benchmark::State& state, const Grid& grid)
{
    const double vertices = double(grid.width) * grid.height;
    state.SetItemsProcessed(int64_t(double(state.iterations()) * vertices));
    state.counters["time/vertex"] =
        benchmark::Counter(vertices, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_PlainLoop(benchmark::State& state)
{
    const Grid& grid = GetGrid(int32_t(state.range(0)));
    Outputs out = MakeOutputs(grid);
    for (auto _ : state) {
        PlainLoop(grid, out);
        benchmark::ClobberMemory();
    }
    SetVertexCounters(state, grid);
}

// The job through jobhost: host buffers and the record are set up once, each
// iteration is one run over every vertex.
void BM_CheckedJob(benchmark::State& state)
{
    const Grid& grid = GetGrid(int32_t(state.range(0)));
    const unsigned workers = state.range(1) == 0 ? std::thread::hardware_concurrency() : unsigned(state.range(1));
    jobhost::JobSystem& jobs = Jobs(workers);
    const auto points = std::size_t(HeightmeshPointCount(grid.width, grid.height));

    jobhost::Buffer<float> heights(std::span<const float>(grid.heights), "heights");
    jobhost::Buffer<uint8_t> mask(std::span<const uint8_t>(grid.mask), "cellMask");
    jobhost::Buffer<Float3> vertices(points, "vertices");
    jobhost::Buffer<Float2> uvs(points, "uvs");
    jobhost::Buffer<Float3> normals(points, "normals");
    jobhost::Buffer<int32_t> triangles(std::size_t(HeightmeshTriangleEntryCount(grid.width, grid.height)), "triangles");
    HeightmeshHeightfieldMeshJob record{};
    record.heights = heights.View();
    record.cellMask = mask.View();
    record.width = grid.width;
    record.height = grid.height;
    record.scale = kScale;
    record.vertices = vertices.View();
    record.uvs = uvs.View();
    record.normals = normals.View();
    record.triangles = triangles.View();
    const std::size_t restricted[] = {offsetof(HeightmeshHeightfieldMeshJob, vertices),
                                      offsetof(HeightmeshHeightfieldMeshJob, uvs),
                                      offsetof(HeightmeshHeightfieldMeshJob, normals)};
    const std::size_t others[] = {offsetof(HeightmeshHeightfieldMeshJob, heights),
                                  offsetof(HeightmeshHeightfieldMeshJob, cellMask),
                                  offsetof(HeightmeshHeightfieldMeshJob, triangles)};
    for (auto _ : state)
        jobs.Run(Library().entry(), &record, sizeof record, restricted, others, int32_t(points));
    SetVertexCounters(state, grid);
    state.SetLabel(std::to_string(workers) + (workers == 1 ? " worker" : " workers"));
}

BENCHMARK(BM_PlainLoop)->ArgName("size")->Arg(512)->Arg(2048)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CheckedJob)
    ->ArgNames({"size", "workers"})
    ->Args({512, 1})
    ->Args({512, 0})
    ->Args({2048, 1})
    ->Args({2048, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Simplification of the built-in terrain (seed 1) at a bound of 0.1 %, 0.5 %
// and 1 % of its height range, on all cores; counts the triangles made.
// masked:1 drops cells as masks and no-data do: eight discs of different
// sizes, a band of scattered single cells and a no-data rectangle.
const std::vector<float>& TerrainHeights(int32_t size)
{
    static std::map<int32_t, std::vector<float>> cache;
    std::vector<float>& heights = cache[size];
    if (heights.empty())
        heights = heightmesh::tool::MakeTerrain({size, size}, 1).heights;
    return heights;
}

std::vector<uint8_t> SimplifyMask(int32_t size, bool masked)
{
    const int32_t cells = size - 1;
    std::vector<uint8_t> mask(std::size_t(cells) * cells, 1);
    if (!masked)
        return mask;
    uint32_t state = 12345;
    const auto unit = [&] {
        state = state * 1664525u + 1013904223u;
        return double(state >> 8) / double(1u << 24);
    };
    for (int disc = 0; disc < 8; ++disc) {
        const double cx = unit() * cells, cy = unit() * cells, radius = 3.0 + unit() * cells / 10.0;
        for (int32_t r = std::max(0, int32_t(cy - radius)); r < std::min(cells, int32_t(cy + radius) + 1); ++r)
            for (int32_t c = std::max(0, int32_t(cx - radius)); c < std::min(cells, int32_t(cx + radius) + 1); ++c)
                if ((c - cx) * (c - cx) + (r - cy) * (r - cy) < radius * radius)
                    mask[std::size_t(r) * cells + c] = 0;
    }
    for (int32_t r = cells / 2; r < cells / 2 + cells / 16; ++r)
        for (int32_t c = 0; c < cells; ++c)
            if (unit() < 0.01)
                mask[std::size_t(r) * cells + c] = 0;
    for (int32_t r = cells / 5; r < cells / 5 + cells / 8; ++r)
        for (int32_t c = cells * 3 / 5; c < cells * 3 / 5 + cells / 6; ++c)
            mask[std::size_t(r) * cells + c] = 0;
    return mask;
}

void BM_Simplify(benchmark::State& state)
{
    const int32_t size = int32_t(state.range(0));
    const std::vector<float>& heights = TerrainHeights(size);
    const std::vector<uint8_t> mask = SimplifyMask(size, state.range(2) != 0);
    const auto [low, high] = std::minmax_element(heights.begin(), heights.end());
    heightmesh::tool::SimplifyRequest request;
    request.heights = heights;
    request.cellMask = mask;
    request.width = request.height = size;
    request.maxError = double(state.range(1)) / 1000.0 * (double(*high) - *low);
    request.threads = std::max(1u, std::thread::hardware_concurrency());
    int64_t triangles = 0;
    for (auto _ : state)
        triangles = heightmesh::tool::Simplify(request).triangleCount();
    state.counters["triangles"] = double(triangles);
}

BENCHMARK(BM_Simplify)
    ->ArgNames({"size", "permille", "masked"})
    ->ArgsProduct({{1024, 2048, 4096}, {1, 5, 10}, {0}})
    ->Args({1024, 1, 1})
    ->Args({4096, 1, 1})
    ->Args({4096, 10, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

// Keeps each benchmark's best real time per iteration over its repetitions
// (--benchmark_repetitions=N), so the ratios can be printed.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            const double time = run.GetAdjustedRealTime();
            auto [at, inserted] = times.emplace(run.benchmark_name(), time);
            if (!inserted && time < at->second)
                at->second = time;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

}  // namespace

// The built-in terrain on all cores: the fastest road against one sample at
// a time (the same heights).
void BM_Terrain(benchmark::State& state)
{
    const int32_t size = int32_t(state.range(0));
    const auto road =
        state.range(1) != 0 ? heightmesh::tool::TerrainRoad::kFastest : heightmesh::tool::TerrainRoad::kScalar;
    for (auto _ : state)
        benchmark::DoNotOptimize(heightmesh::tool::MakeTerrain({size, size}, 1, {}, road).heights.data());
}

BENCHMARK(BM_Terrain)
    ->ArgNames({"size", "fastest"})
    ->ArgsProduct({{1024, 4096}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    for (int32_t size : {512, 2048})
        VerifyPlainLoop(GetGrid(size));
    std::printf("plain loop verified bit for bit against the job; %u cores\n", std::thread::hardware_concurrency());

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* size : {"512", "2048"}) {
        const std::string plain = std::string("BM_PlainLoop/size:") + size + "/real_time";
        const std::string one = std::string("BM_CheckedJob/size:") + size + "/workers:1/real_time";
        const std::string all = std::string("BM_CheckedJob/size:") + size + "/workers:0/real_time";
        auto& t = reporter.times;
        if (t.count(plain) && t.count(one))
            std::printf("%s x %s: checked job on 1 worker / plain loop = %.2f\n", size, size, t[one] / t[plain]);
        if (t.count(plain) && t.count(all))
            std::printf("%s x %s: checked job on all %u workers / plain loop = %.2f\n", size, size,
                        std::thread::hardware_concurrency(), t[all] / t[plain]);
        if (t.count(one) && t.count(all))
            std::printf("%s x %s: 1 worker / all %u workers = %.2f (speed-up)\n", size, size,
                        std::thread::hardware_concurrency(), t[one] / t[all]);
    }
    for (const char* size : {"1024", "4096"}) {
        const std::string scalar = std::string("BM_Terrain/size:") + size + "/fastest:0/real_time";
        const std::string fastest = std::string("BM_Terrain/size:") + size + "/fastest:1/real_time";
        auto& t = reporter.times;
        if (t.count(scalar) && t.count(fastest))
            std::printf("%s x %s terrain: one sample at a time / fastest road = %.2f (speed-up)\n", size, size,
                        t[scalar] / t[fastest]);
    }
    benchmark::Shutdown();
}
