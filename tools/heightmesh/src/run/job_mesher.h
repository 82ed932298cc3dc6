// The tool's side of the job: runs the heightfield mesh job of a loaded
// library through jobhost, and turns any failure into one line for the user.
#pragma once

#include <exception>
#include <string>

#include <jobhost/jobhost.h>

#include "mesh/mesh_request.h"

namespace heightmesh::tool {

// A mesher that runs the library's job on `jobs`; both must outlive it.
Mesher MakeJobMesher(jobhost::JobSystem& jobs, const jobhost::JobLibrary& library);
// The same for bands of rows.
BandMesher MakeJobBandMesher(jobhost::JobSystem& jobs, const jobhost::JobLibrary& library);

// The line shown for a failure (without the program name), and the exit
// status: 2 for a command line the tool cannot act on, 1 for anything else.
struct FailureReport {
    std::string line;
    int exitStatus = 1;
};
FailureReport DescribeFailure(std::exception_ptr failure);

}  // namespace heightmesh::tool
