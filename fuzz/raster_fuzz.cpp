// Any bytes as a raster GDAL opens, read from memory (/vsimem/) into heights
// with the tool's own plan, memory limit and checks, then no-data filled and
// a cell mask built, as a run does before the job. The first byte chooses
// how the read goes (encoding, a reduced grid, a window); a refusal is a
// ToolError, anything else is a finding.
#include <cpl_vsi.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/memory_budget.h"
#include "common/tool_error.h"
#include "input/cell_mask.h"
#include "input/heightmap.h"
#include "input/readers.h"

namespace {

constexpr int64_t kMemoryLimit = int64_t{256} << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace heightmesh::tool;
    if (size < 1)
        return 0;
    const uint8_t how = data[0];
    const std::string path = "/vsimem/fuzz-input";
    VSIFCloseL(
        VSIFileFromMemBuffer(path.c_str(), const_cast<GByte*>(data + 1), static_cast<vsi_l_offset>(size - 1), FALSE));
    InputOptions options;
    options.encoding = (how & 3) == 1   ? HeightEncoding::TerrainRgb
                       : (how & 3) == 2 ? HeightEncoding::Terrarium
                                        : HeightEncoding::Gray;
    if (how & 4)
        options.maxSize = 16;
    if (how & 8)
        options.window = PixelWindow{1, 1, 2, 2};
    try {
        InputPlan plan = PlanHeightInput(path, std::nullopt, options, kMemoryLimit);
        RunShape shape;
        shape.points = int64_t{plan.grid.width} * plan.grid.height;
        shape.readBytes = plan.readBytes;
        shape.mesh = true;
        CheckMemory(EstimateRunBytes(shape), kMemoryLimit, "fuzz input");
        Heightmap map = ReadPlannedInput(plan);
        FillNoData(map, "fuzz input");
        MaskRules rules;
        rules.cutBelow = 0.0f;
        (void)BuildCellMask(map, rules);
    } catch (const ToolError&) {
    }
    VSIUnlink(path.c_str());
    return 0;
}
