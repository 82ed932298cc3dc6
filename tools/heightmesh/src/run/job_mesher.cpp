#include "run/job_mesher.h"

#include <algorithm>
#include <new>
#include <vector>

#include "common/tool_error.h"

namespace heightmesh::tool {

namespace {

// The job's input without its mask, which the callers give as the job needs it.
jobhost::HeightfieldMeshInput InputOf(const MeshRequest& request)
{
    jobhost::HeightfieldMeshInput input;
    input.heights = request.heights;
    input.width = request.width;
    input.height = request.height;
    input.scale = request.scale;
    return input;
}

jobhost::RunOptions RunOptionsOf(const MeshRequest& request, const std::function<void(double)>& progress)
{
    jobhost::RunOptions options;
    options.batchSize = request.batchSize;
    options.progress = progress;
    return options;
}

}  // namespace

Mesher MakeJobMesher(jobhost::JobSystem& jobs, const jobhost::JobLibrary& library)
{
    return [&jobs, &library](const MeshRequest& request, const std::function<void(double)>& progress) {
        // The whole run reads the whole grid's mask: a grid that keeps every
        // cell gets its bytes of ones for it.
        std::vector<uint8_t> ones;
        jobhost::HeightfieldMeshInput input = InputOf(request);
        input.cellMask = request.cellMask.Bytes(0, request.cellMask.size(), ones);
        return jobhost::RunHeightfieldMesh(jobs, library, input, RunOptionsOf(request, progress));
    };
}

BandMesher MakeJobBandMesher(jobhost::JobSystem& jobs, const jobhost::JobLibrary& library)
{
    // A band reads its own cells' mask only.
    return [&jobs, &library, ones = std::vector<uint8_t>()](const MeshRequest& request, int32_t rowBegin,
                                                            int32_t rowEnd, const jobhost::HeightfieldMeshBand& band,
                                                            const std::function<void(double)>& progress) mutable {
        const int64_t columns = request.width - 1;
        const int64_t cellRows = std::max<int64_t>(0, std::min(rowEnd, request.height - 1) - rowBegin);
        jobhost::HeightfieldMeshBand withMask = band;
        withMask.cellMask = request.cellMask.Bytes(static_cast<std::size_t>(std::max(0, rowBegin) * columns),
                                                   static_cast<std::size_t>(cellRows * columns), ones);
        jobhost::RunHeightfieldMeshRows(jobs, library, InputOf(request), rowBegin, rowEnd, withMask,
                                        RunOptionsOf(request, progress));
    };
}

namespace {

// Messages from libraries may hold line breaks; the report is one line.
std::string OneLine(std::string text)
{
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

}  // namespace

FailureReport DescribeFailure(std::exception_ptr failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const UsageError& error) {
        return {OneLine(error.what()), 2};
    } catch (const ToolError& error) {
        return {OneLine(error.what()), 1};
    } catch (const jobhost::JobError& error) {
        return {OneLine("the job failed with " + error.typeName() + ": " + error.message()), 1};
    } catch (const jobhost::LoadError& error) {
        return {OneLine(std::string("cannot load the job library: ") + error.what()), 1};
    } catch (const std::bad_alloc&) {
        return {"out of memory", 1};
    } catch (const std::exception& error) {
        return {OneLine(error.what()), 1};
    } catch (...) {
        return {"unknown failure", 1};
    }
}

}  // namespace heightmesh::tool
