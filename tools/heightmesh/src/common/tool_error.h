// Errors the tool reports to its user: one line of text, no trailing newline.
#pragma once

#include <stdexcept>
#include <string>

namespace heightmesh::tool {

// A failure caused by the input, the command line or the file system. The
// message is complete on its own and is shown as it is.
class ToolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A command line the tool cannot act on; exits with the usage status.
class UsageError : public ToolError {
public:
    using ToolError::ToolError;
};

}  // namespace heightmesh::tool
