// dlopen/dlsym and mmap on Linux, LoadLibrary/GetProcAddress and
// VirtualAlloc on Windows.
#include "platform.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/mman.h>
#endif

#include <system_error>
#include <vector>

namespace jobhost::platform {

#ifdef _WIN32

void* OpenLibrary(const std::filesystem::path& path, std::string& error)
{
    // The library's own directory is searched for anything it would load;
    // the job library itself loads nothing.
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr)
        error = std::system_category().message(static_cast<int>(GetLastError()));
    return reinterpret_cast<void*>(module);
}

void* FindSymbol(void* handle, const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}

void CloseLibrary(void* handle) { FreeLibrary(static_cast<HMODULE>(handle)); }

void* MapPages(std::size_t size) { return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE); }

void UnmapPages(void* pages, std::size_t) { VirtualFree(pages, 0, MEM_RELEASE); }

void PopulatePages(void*, std::size_t) {}

std::filesystem::path ExecutablePath()
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return {};
        if (length < buffer.size())
            return std::filesystem::path(std::wstring(buffer.data(), length));
        buffer.resize(buffer.size() * 2);  // truncated: try a larger buffer
    }
}

#else

void* OpenLibrary(const std::filesystem::path& path, std::string& error)
{
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* text = dlerror();
        error = text != nullptr ? text : "unknown error";
    }
    return handle;
}

void* FindSymbol(void* handle, const char* name) { return dlsym(handle, name); }

void CloseLibrary(void* handle) { dlclose(handle); }

void* MapPages(std::size_t size)
{
    void* pages = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return pages == MAP_FAILED ? nullptr : pages;
}

void UnmapPages(void* pages, std::size_t size) { ::munmap(pages, size); }

void PopulatePages(void* pages, std::size_t size)
{
    // MADV_POPULATE_WRITE, Linux 5.14 and later; older kernels refuse it.
#ifdef MADV_POPULATE_WRITE
    constexpr int kPopulateWrite = MADV_POPULATE_WRITE;
#else
    constexpr int kPopulateWrite = 23;
#endif
    ::madvise(pages, size, kPopulateWrite);
}

std::filesystem::path ExecutablePath()
{
    std::error_code error;
    std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : executable;
}

#endif

}  // namespace jobhost::platform
