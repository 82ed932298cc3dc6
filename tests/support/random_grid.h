// Random grids and random narrowings of a job's views, shared by the tests
// that run the job against the model, and a bitwise comparison of buffers.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <random>

#include "support/test_grid.h"

namespace heightmesh::testing {

// Whether two buffers hold the same bytes (so -0.0 and NaN compare too).
template <class A, class B>
bool SameBytes(const A& a, const B& b)
{
    using T = typename B::value_type;
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

inline float RandomHeight(std::mt19937& random)
{
    switch (random() % 5) {
    case 0: return float(int(random() % 200) - 100);                                  // integers
    case 1: return std::uniform_real_distribution<float>(-1.0f, 1.0f)(random);        // small fractions
    case 2: return std::uniform_real_distribution<float>(-5000.0f, 9000.0f)(random);  // terrain heights
    case 3: return 1.1f;                                                              // a value that does not cancel
    default: return std::ldexp(float(random() % 1000), int(random() % 40) - 20);      // wide exponents
    }
}

inline float RandomScale(std::mt19937& random)
{
    static const float kPicks[] = {1.0f, 0.5f, 2.0f, 1.1f, 0.1f, 30.0f, -1.0f, 0.0f, 0.0039215689f};
    if (random() % 2)
        return kPicks[random() % std::size(kPicks)];
    return std::uniform_real_distribution<float>(0.01f, 100.0f)(random);
}

// Random heights, mask bytes and scale.
inline TestGrid RandomGrid(std::mt19937& random, int width, int height)
{
    TestGrid grid(width, height);
    for (float& h : grid.heights)
        h = RandomHeight(random);
    for (uint8_t& m : grid.mask)
        m = uint8_t(random());
    grid.scale = {RandomScale(random), RandomScale(random), RandomScale(random)};
    return grid;
}

// Narrows one of the job's six views at random: a shorter buffer, or an
// allowed range inside it (possibly empty, possibly ending inside a group of
// lanes); or makes it stale by setting its version word to staleWord.
inline void NarrowRandomView(HeightmeshHeightfieldMeshJob& job, std::mt19937& random, uint32_t staleWord)
{
    HeightmeshBufferView* views[] = {&job.heights, &job.cellMask, &job.vertices,
                                     &job.uvs,     &job.normals,  &job.triangles};
    HeightmeshBufferView& view = *views[random() % 6];
    const int32_t length = view.length;
    switch (random() % 3) {
    case 0:
        view.length = int32_t(random() % (length + 1));
        view.maxIndex = view.length - 1;
        break;
    case 1:
        view.minIndex = int32_t(random() % (length + 1));
        view.maxIndex = view.minIndex + int32_t(random() % (length + 1)) - 1;
        break;
    default: *view.safety.versionCell = staleWord; break;
    }
}

}  // namespace heightmesh::testing
