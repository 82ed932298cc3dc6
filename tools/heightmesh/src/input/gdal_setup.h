// GDAL set up once for the whole process, and its errors as one line.
#pragma once

#include <string>

namespace heightmesh::tool {

// Registers GDAL's drivers, silences its own printing (its errors reach the
// user through ToolError) and sets its block cache; once per process.
void EnsureGdal();

// GDAL's last error message on one line, or `fallback` when it has none.
std::string GdalMessage(const char* fallback);

}  // namespace heightmesh::tool
