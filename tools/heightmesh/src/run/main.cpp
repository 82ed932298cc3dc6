// heightmesh: heightmaps in, meshes and pictures out, through the heightfield
// mesh job library.
#include <unistd.h>

#include <iostream>

#include <fmt/format.h>
#include <jobhost/jobhost.h>

#include "common/progress.h"
#include "common/tool_error.h"
#include "run/job_mesher.h"
#include "run/options.h"
#include "run/pipeline.h"

int main(int argc, char** argv)
{
    using namespace heightmesh::tool;
    ProgressLine progress(std::cerr, ::isatty(STDERR_FILENO) != 0);
    try {
        std::string defaultLibrary;
        try {
            defaultLibrary = jobhost::DefaultLibraryPath().string();
        } catch (const jobhost::LoadError&) {
            defaultLibrary = fmt::format("{} next to the executable, in ../lib or where it was installed",
                                         jobhost::kLibraryFileName);
        }
        const std::optional<Options> options = ParseCommandLine(argc, argv, std::cout, defaultLibrary);
        if (!options)
            return 0;

        const std::shared_ptr<jobhost::JobLibrary> library =
            jobhost::JobLibrary::Open(options->library ? *options->library : jobhost::DefaultLibraryPath());
        jobhost::JobSystem jobs(options->threads);
        RunTool(*options, {MakeJobMesher(jobs, *library), MakeJobBandMesher(jobs, *library)}, std::cout, progress,
                jobs.workerCount());
        return 0;
    } catch (...) {
        progress.End();
        std::cout.flush();
        const FailureReport report = DescribeFailure(std::current_exception());
        std::cerr << "heightmesh: " << report.line << std::endl;
        return report.exitStatus;
    }
}
