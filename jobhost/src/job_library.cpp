// Loading a job library, initialising it with this host's functions, and
// finding the default library file.
#ifndef _WIN32
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>

#include <mutex>
#include <system_error>
#include <unordered_map>

#include "internal.h"
#include "jobhost/jobhost.h"
#include "platform.h"

#ifndef HEIGHTMESH_INSTALL_LIBDIR
#define HEIGHTMESH_INSTALL_LIBDIR "/usr/local/lib"
#endif
#ifndef HEIGHTMESH_RELATIVE_LIBDIR
#define HEIGHTMESH_RELATIVE_LIBDIR "lib"
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

#ifndef _WIN32
// Reads exactly size bytes at offset; false if the file ends before.
bool ReadAt(int fd, void* to, std::size_t size, uint64_t offset)
{
    auto* bytes = static_cast<char*>(to);
    while (size > 0) {
        const ssize_t got = ::pread(fd, bytes, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        bytes += got;
        size -= static_cast<std::size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return true;
}

// Why the file at path is not a complete ELF shared object for this host,
// or empty if it is one. The dynamic loader maps a library's segments
// without checking them against the file's length, so a truncated library
// would fault (SIGBUS) inside dlopen instead of failing there.
std::string ElfProblem(const std::filesystem::path& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::strerror(errno);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return std::strerror(errno);
    if (!S_ISREG(info.st_mode))
        return "not a regular file";
    const auto fileSize = static_cast<uint64_t>(info.st_size);

    ElfW(Ehdr) header{};
    if (!ReadAt(fd, &header, sizeof header, 0) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
        return "not an ELF file";
    if (header.e_ident[EI_CLASS] != (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32))
        return "an ELF file of another word size";
    if (header.e_type != ET_DYN)
        return "an ELF file but not a shared object";
    if (header.e_phentsize != sizeof(ElfW(Phdr)) || header.e_phnum == 0)
        return "an ELF shared object without program headers";
    const uint64_t tableEnd = uint64_t{header.e_phoff} + uint64_t{header.e_phnum} * sizeof(ElfW(Phdr));
    if (tableEnd > fileSize)
        return "a truncated ELF shared object (its program headers end at byte " + std::to_string(tableEnd) +
               ", the file has " + std::to_string(fileSize) + ")";
    // The section headers come last in a linked file: a file cut anywhere
    // after its segments loses them.
    const uint64_t sectionsEnd = uint64_t{header.e_shoff} + uint64_t{header.e_shnum} * header.e_shentsize;
    if (sectionsEnd > fileSize)
        return "a truncated ELF shared object (its section headers end at byte " + std::to_string(sectionsEnd) +
               ", the file has " + std::to_string(fileSize) + ")";
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        ElfW(Phdr) segment{};
        if (!ReadAt(fd, &segment, sizeof segment, header.e_phoff + uint64_t{i} * sizeof segment))
            return "a truncated ELF shared object";
        if (segment.p_type != PT_LOAD)
            continue;
        const uint64_t end = uint64_t{segment.p_offset} + segment.p_filesz;
        if (end < segment.p_offset || end > fileSize)
            return "a truncated ELF shared object (a loadable segment ends at byte " + std::to_string(end) +
                   ", the file has " + std::to_string(fileSize) + ")";
    }
    return {};
}
#endif

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

#ifndef _WIN32
    const std::string problem = ElfProblem(absolute);
    if (!problem.empty())
        throw LoadError("cannot open job library '" + path.string() + "': " + problem);
#endif

    std::string openError;
    void* handle = platform::OpenLibrary(absolute, openError);
    if (handle == nullptr)
        throw LoadError("cannot open job library '" + path.string() + "': " + openError);

    struct Export {
        const char* name;
        void* address;
    };
    Export exports[] = {
        // clang-format off
        {HEIGHTMESH_EXPORT_INITIALIZE, nullptr},
        {HEIGHTMESH_EXPORT_INITIALIZE_EXTERNALS, nullptr},
        {HEIGHTMESH_EXPORT_INITIALIZE_STATICS, nullptr},
        {HEIGHTMESH_EXPORT_SETUP_EXTRA, nullptr},
        {HEIGHTMESH_EXPORT_JOB_ENTRY, nullptr},
        // clang-format on
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
        // An install whose library directory is not plain lib (lib64, lib/<multiarch>).
        if (std::filesystem::path(HEIGHTMESH_RELATIVE_LIBDIR) != "lib")
            candidates.push_back(directory.parent_path() / HEIGHTMESH_RELATIVE_LIBDIR / kLibraryFileName);
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
