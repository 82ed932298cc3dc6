// Loads the built job library with dlopen for tests that drive it through its
// exports, with a minimal host of the test's own.
#pragma once

#include <dlfcn.h>

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
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr)
            throw std::runtime_error(std::string("cannot load ") + path + ": " + dlerror());
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
        if (handle != nullptr)
            dlclose(handle);
    }

    void* Find(const char* name)
    {
        void* symbol = dlsym(handle, name);
        if (symbol == nullptr)
            throw std::runtime_error(std::string("missing export ") + name);
        return symbol;
    }
};

}  // namespace heightmesh::testing
