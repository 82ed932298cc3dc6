// Loads the built job library (dlopen, or LoadLibrary on Windows) for tests
// that drive it through its exports, with a minimal host of the test's own.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <stdexcept>
#include <string>

#include "heightmesh/job_abi.h"

namespace heightmesh::testing {

struct LoadedLibrary {
    void* handle = nullptr;
    HeightmeshInitializeFn initialize = nullptr;
    HeightmeshInitializeExternalsFn initializeExternals = nullptr;
    HeightmeshInitializeStaticsFn initializeStatics = nullptr;
    HeightmeshSetupExtraFn setupExtra = nullptr;
    HeightmeshJobEntryFn jobEntry = nullptr;

    // A private copy of the library per load (RTLD_LOCAL + a fresh namespace is
    // not needed: each test re-initialises the one copy it gets).
    explicit LoadedLibrary(const char* path = HEIGHTMESH_LIBRARY_PATH)
    {
#ifdef _WIN32
        handle = reinterpret_cast<void*>(LoadLibraryA(path));
        if (handle == nullptr)
            throw std::runtime_error(std::string("cannot load ") + path + ": error " + std::to_string(GetLastError()));
#else
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr)
            throw std::runtime_error(std::string("cannot load ") + path + ": " + dlerror());
#endif
        initialize = reinterpret_cast<HeightmeshInitializeFn>(Find(HEIGHTMESH_EXPORT_INITIALIZE));
        initializeExternals =
            reinterpret_cast<HeightmeshInitializeExternalsFn>(Find(HEIGHTMESH_EXPORT_INITIALIZE_EXTERNALS));
        initializeStatics = reinterpret_cast<HeightmeshInitializeStaticsFn>(Find(HEIGHTMESH_EXPORT_INITIALIZE_STATICS));
        setupExtra = reinterpret_cast<HeightmeshSetupExtraFn>(Find(HEIGHTMESH_EXPORT_SETUP_EXTRA));
        jobEntry = reinterpret_cast<HeightmeshJobEntryFn>(Find(HEIGHTMESH_EXPORT_JOB_ENTRY));
    }

    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;

    ~LoadedLibrary()
    {
#ifdef _WIN32
        if (handle != nullptr)
            FreeLibrary(reinterpret_cast<HMODULE>(handle));
#else
        if (handle != nullptr)
            dlclose(handle);
#endif
    }

    void* Find(const char* name)
    {
#ifdef _WIN32
        void* symbol = reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle), name));
#else
        void* symbol = dlsym(handle, name);
#endif
        if (symbol == nullptr)
            throw std::runtime_error(std::string("missing export ") + name);
        return symbol;
    }
};

}  // namespace heightmesh::testing
