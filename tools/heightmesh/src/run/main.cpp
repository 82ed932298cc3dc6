// heightmesh: heightmaps in, meshes and pictures out, through the heightfield
// mesh job library.
#include <unistd.h>

#include <iostream>
#include <string_view>
#include <utility>

#include <fmt/format.h>
#include <jobhost/jobhost.h>

#include "common/progress.h"
#include "common/tool_error.h"
#include "run/job_mesher.h"
#include "run/options.h"
#include "run/pipeline.h"
#include "run/serve_command.h"
#include "run/tiles_command.h"

namespace {

using namespace heightmesh::tool;

// One mesh from one heightmap.
int RunMeshCommand(int argc, const char* const* argv, std::ostream& out, ProgressLine& progress)
{
    std::string defaultLibrary;
    try {
        defaultLibrary = jobhost::DefaultLibraryPath().string();
    } catch (const jobhost::LoadError&) {
        defaultLibrary =
            fmt::format("{} next to the executable, in ../lib or where it was installed", jobhost::kLibraryFileName);
    }
    const std::optional<Options> options = ParseCommandLine(argc, argv, out, defaultLibrary);
    if (!options)
        return 0;
    const std::shared_ptr<jobhost::JobLibrary> library =
        jobhost::JobLibrary::Open(options->library ? *options->library : jobhost::DefaultLibraryPath());
    jobhost::JobSystem jobs(options->threads);
    RunTool(*options, {MakeJobMesher(jobs, *library), MakeJobBandMesher(jobs, *library)}, out, progress,
            jobs.workerCount());
    return 0;
}

using Command = int (*)(int, const char* const*, std::ostream&, ProgressLine&);

// The command a command line names by its first word; a mesh otherwise.
// Returns the command and how many words it takes.
std::pair<Command, int> ChooseCommand(int argc, char** argv)
{
    static constexpr std::pair<std::string_view, Command> kCommands[] = {
        {"tiles", RunTilesCommand},
        {"serve", RunServeCommand},
    };
    if (argc > 1)
        for (const auto& [name, command] : kCommands)
            if (argv[1] == name)
                return {command, 1};
    return {RunMeshCommand, 0};
}

}  // namespace

int main(int argc, char** argv)
{
    ProgressLine progress(std::cerr, ::isatty(STDERR_FILENO) != 0);
    try {
        const auto [command, words] = ChooseCommand(argc, argv);
        // A command sees its own name where the program's name was.
        return command(argc - words, argv + words, std::cout, progress);
    } catch (...) {
        progress.End();
        std::cout.flush();
        const FailureReport report = DescribeFailure(std::current_exception());
        std::cerr << "heightmesh: " << report.line << std::endl;
        return report.exitStatus;
    }
}
