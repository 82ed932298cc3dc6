// Loading a job library, initialising it with this host's functions, and
// finding the default library file.
#include <mutex>
#include <system_error>
#include <unordered_map>

#include "internal.h"
#include "jobhost/jobhost.h"
#include "platform.h"

#ifndef HEIGHTMESH_INSTALL_LIBDIR
#define HEIGHTMESH_INSTALL_LIBDIR "/usr/local/lib"
#endif

namespace jobhost {

namespace {

// How many JobLibrary objects share each loaded image. A library is
// initialised when its first JobLibrary is made and not again while any
// lives, so that no run can see its host function table being rewritten.
struct OpenImages {
    std::mutex mutex;
    std::unordered_map<void*, std::size_t> users;
};

OpenImages& Images()
{
    static OpenImages* images = new OpenImages;  // JobLibrary objects in statics may outlive a local static
    return *images;
}

}  // namespace

JobLibrary::JobLibrary(std::filesystem::path libraryPath, void* libraryHandle, HeightmeshJobEntryFn jobEntry)
    : path_(std::move(libraryPath)), handle_(libraryHandle), entry_(jobEntry)
{
}

JobLibrary::~JobLibrary()
{
    OpenImages& images = Images();
    std::lock_guard lock(images.mutex);
    auto it = images.users.find(handle_);
    if (it != images.users.end() && --it->second == 0)
        images.users.erase(it);
    platform::CloseLibrary(handle_);
}

std::shared_ptr<JobLibrary> JobLibrary::Open(const std::filesystem::path& path)
{
    if (path.empty())
        throw LoadError("cannot open a job library: no path was given");
    // An absolute path keeps the loader from searching its own directories
    // for a bare file name.
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error)
        throw LoadError("cannot open job library '" + path.string() + "': " + error.message());
    if (!std::filesystem::exists(absolute, error))
        throw LoadError("cannot open job library '" + path.string() + "': no such file");

    std::string openError;
    void* handle = platform::OpenLibrary(absolute, openError);
    if (handle == nullptr)
        throw LoadError("cannot open job library '" + path.string() + "': " + openError);

    struct Export {
        const char* name;
        void* address;
    };
    Export exports[] = {
        {HEIGHTMESH_EXPORT_INITIALIZE, nullptr},
        {HEIGHTMESH_EXPORT_INITIALIZE_EXTERNALS, nullptr},
        {HEIGHTMESH_EXPORT_INITIALIZE_STATICS, nullptr},
        {HEIGHTMESH_EXPORT_SETUP_EXTRA, nullptr},
        {HEIGHTMESH_EXPORT_JOB_ENTRY, nullptr},
    };
    std::string missing;
    for (Export& symbol : exports) {
        symbol.address = platform::FindSymbol(handle, symbol.name);
        if (symbol.address == nullptr)
            missing += std::string(missing.empty() ? "" : ", ") + "'" + symbol.name + "'";
    }
    if (!missing.empty()) {
        platform::CloseLibrary(handle);
        throw LoadError("job library '" + path.string() + "' does not export " + missing);
    }

    auto initialize = reinterpret_cast<HeightmeshInitializeFn>(exports[0].address);
    auto setupExtra = reinterpret_cast<HeightmeshSetupExtraFn>(exports[3].address);
    auto entry = reinterpret_cast<HeightmeshJobEntryFn>(exports[4].address);
    constexpr HeightmeshHostResolver kResolver = &host::Resolve;
    constexpr HeightmeshFrameListAccessor kAccessor = &host::FrameListHead;

    // From here on the JobLibrary owns the handle and closes it.
    std::shared_ptr<JobLibrary> library;
    try {
        library.reset(new JobLibrary(path, handle, entry));
    } catch (...) {
        platform::CloseLibrary(handle);
        throw;
    }
    OpenImages& images = Images();
    std::lock_guard lock(images.mutex);
    if (images.users[handle]++ == 0) {
        initialize(kResolver);
        setupExtra(kAccessor);
    }
    return library;
}

std::filesystem::path DefaultLibraryPath()
{
    std::vector<std::filesystem::path> candidates;
    std::error_code error;
    const std::filesystem::path executable = platform::ExecutablePath();
    if (!executable.empty()) {
        const std::filesystem::path directory = executable.parent_path();
        candidates.push_back(directory / kLibraryFileName);
        candidates.push_back(directory.parent_path() / "lib" / kLibraryFileName);
    }
    candidates.push_back(std::filesystem::path(HEIGHTMESH_INSTALL_LIBDIR) / kLibraryFileName);

    std::string searched;
    for (const std::filesystem::path& candidate : candidates) {
        if (std::filesystem::is_regular_file(candidate, error))
            return candidate.lexically_normal();
        searched += std::string(searched.empty() ? "" : ", ") + candidate.lexically_normal().string();
    }
    throw LoadError(std::string("cannot find ") + kLibraryFileName + "; searched " + searched);
}

}  // namespace jobhost
