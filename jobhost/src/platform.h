// The little of the host runtime that differs between Linux and Windows:
// loading a shared library, finding its exports, the running executable's
// path, and zeroed pages straight from the system. Everything else (threads, thread_local frame-list heads, the abort
// as a C++ exception) is the same standard C++ on both.
#pragma once

#include <cstddef>
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

// size bytes of zeroed, readable and writable pages, or null.
void* MapPages(std::size_t size);
void UnmapPages(void* pages, std::size_t size);
// Asks the system to fault the pages in now (one call for the range, far
// cheaper than a fault per page later); where it cannot, they are faulted in
// as they are written.
void PopulatePages(void* pages, std::size_t size);

}  // namespace jobhost::platform
