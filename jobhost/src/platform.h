// The little of the host runtime that differs between Linux and Windows:
// loading a shared library, finding its exports, and the running executable's
// path. Everything else (threads, thread_local frame-list heads, the abort as
// a C++ exception) is the same standard C++ on both.
#pragma once

#include <filesystem>
#include <string>

namespace jobhost::platform {

// Loads the library at path; null with error set when it cannot.
void* OpenLibrary(const std::filesystem::path& path, std::string& error);
// The export of that name, or null.
void* FindSymbol(void* handle, const char* name);
void CloseLibrary(void* handle);
// The running executable's file, or an empty path when it cannot be told.
std::filesystem::path ExecutablePath();

}  // namespace jobhost::platform
