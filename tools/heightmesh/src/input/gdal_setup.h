// GDAL set up once for the whole process, and its errors as one line.
#pragma once

#include <string>

namespace heightmesh::tool {

// Registers GDAL's drivers, silences its own printing (its errors reach the
// user through ToolError) and sets its block cache; once per process.
void EnsureGdal();

// Lets drivers that decode blocks on threads (compressed GeoTIFF tiles, JPEG
// 2000) use `threads` threads (0: every core) for the rasters opened from now
// on, unless GDAL_NUM_THREADS already says how many.
void UseGdalDecodeThreads(unsigned threads);

// GDAL's last error message on one line, or `fallback` when it has none.
std::string GdalMessage(const char* fallback);

}  // namespace heightmesh::tool
