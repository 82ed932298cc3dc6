// Any bytes through the tool's own parsers: PGM (P2 and P5, 8 and 16 bits)
// and raw float32 of a size the first bytes give. A parsed map always has
// the grid's sample count, heights in 0..1 for PGM and finite raw heights
// with their no-data marks; a refusal is a ToolError.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "common/tool_error.h"
#include "input/heightmap.h"
#include "input/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace heightmesh::tool;
    const std::span<const uint8_t> bytes(data, size);
    const auto expect = [](bool holds) {
        if (!holds)
            std::abort();
    };
    try {
        const Heightmap map = ParsePgm(bytes, "fuzz.pgm");
        expect(map.heights.size() == static_cast<std::size_t>(map.width) * static_cast<std::size_t>(map.height));
        for (const float h : map.heights)
            expect(h >= 0.0f && h <= 1.0f);
    } catch (const ToolError&) {
    }
    if (size >= 2) {
        const GridSize grid{data[0] % 64, data[1] % 64};
        try {
            const Heightmap map = ParseRawFloat32(bytes.subspan(2), grid, "fuzz.r32");
            expect(map.heights.size() == static_cast<std::size_t>(grid.width) * static_cast<std::size_t>(grid.height));
            expect(map.noData.empty() || map.noData.size() == map.heights.size());
            for (const float h : map.heights)
                expect(std::isfinite(h));
        } catch (const ToolError&) {
        }
    }
    return 0;
}
