// Opens the installed job library with the installed jobhost and meshes a
// 4 x 3 grid: one vertex, its UV and the last cell's triangles are checked.
#include <cstdio>
#include <vector>

#include <heightmesh/job_abi.h>
#include <jobhost/jobhost.h>

static_assert(sizeof(HeightmeshHeightfieldMeshJob) == 312);

int main()
{
    try {
        const auto library = jobhost::JobLibrary::Open(CONSUMER_LIBRARY_PATH);
        jobhost::JobSystem jobs(2);
        std::vector<float> heights(12);
        for (std::size_t i = 0; i < heights.size(); ++i)
            heights[i] = 0.5f * static_cast<float>(i);
        const std::vector<uint8_t> mask(static_cast<std::size_t>(HeightmeshCellCount(4, 3)), 1);
        jobhost::HeightfieldMeshInput input;
        input.heights = heights;
        input.cellMask = mask;
        input.width = 4;
        input.height = 3;
        input.scale = {2.0f, 3.0f, 4.0f};
        const jobhost::HeightfieldMesh mesh = jobhost::RunHeightfieldMesh(jobs, *library, input);

        // Grid point (2, 1) is vertex 6: (2 * 2, 3 * 3, 1 * 4), UV (2 / 4, 1 / 3).
        const HeightmeshFloat3 v = mesh.vertices[6];
        const HeightmeshFloat2 uv = mesh.uvs[6];
        const std::vector<int32_t> last(mesh.triangles.end() - 6, mesh.triangles.end());
        if (mesh.vertices.size() != 12 || v.x != 4.0f || v.y != 9.0f || v.z != 4.0f || uv.x != 0.5f ||
            uv.y != 1.0f / 3.0f || last != std::vector<int32_t>{6, 11, 7, 6, 10, 11}) {
            std::fprintf(stderr, "unexpected mesh: vertex 6 = (%g, %g, %g), uv (%g, %g)\n", v.x, v.y, v.z, uv.x, uv.y);
            return 1;
        }
        std::printf("vertex 6 = (%g, %g, %g)\n", v.x, v.y, v.z);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
