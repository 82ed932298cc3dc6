#include "run/job_mesher.h"

#include <new>

#include "common/tool_error.h"

namespace heightmesh::tool {

namespace {

jobhost::HeightfieldMeshInput InputOf(const MeshRequest& request)
{
    jobhost::HeightfieldMeshInput input;
    input.heights = request.heights;
    input.cellMask = request.cellMask;
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
        return jobhost::RunHeightfieldMesh(jobs, library, InputOf(request), RunOptionsOf(request, progress));
    };
}

BandMesher MakeJobBandMesher(jobhost::JobSystem& jobs, const jobhost::JobLibrary& library)
{
    return [&jobs, &library](const MeshRequest& request, int32_t rowBegin, int32_t rowEnd,
                             const jobhost::HeightfieldMeshBand& band, const std::function<void(double)>& progress) {
        jobhost::RunHeightfieldMeshRows(jobs, library, InputOf(request), rowBegin, rowEnd, band,
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
