#include "common/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <mutex>
#include <random>
#include <streambuf>

#include <fmt/format.h>

#include "common/tool_error.h"

namespace heightmesh::tool {

namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

// Bytes handed to the system per write call: the page cache takes large
// writes in pieces of about a megabyte measurably faster (half the system
// time) than in pieces of several.
constexpr std::size_t kWritePiece = std::size_t{1} << 20;

// Writes all of [data, data + size) to fd, retrying short writes; returns 0 or
// the errno of the failure.
int WriteAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, std::min(size, kWritePiece));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

// The same at byte `offset` of the file.
int WriteAllAt(int fd, const char* data, std::size_t size, uint64_t offset)
{
    while (size > 0) {
        const ssize_t written = ::pwrite(fd, data, std::min(size, kWritePiece), static_cast<off_t>(offset));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        offset += static_cast<uint64_t>(written);
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

}  // namespace

std::string Quoted(const std::filesystem::path& path) { return fmt::format("'{}'", path.string()); }

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw ToolError(fmt::format("cannot open {}: {}", Quoted(path), ErrnoText(errno)));
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        throw ToolError(fmt::format("cannot read {}: {}", Quoted(path), ErrnoText(error)));
    }
    if (S_ISDIR(info.st_mode)) {
        ::close(fd);
        throw ToolError(fmt::format("cannot read {}: it is a directory", Quoted(path)));
    }
    std::vector<uint8_t> bytes;
    if (S_ISREG(info.st_mode))
        bytes.reserve(static_cast<std::size_t>(info.st_size));
    uint8_t chunk[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            ::close(fd);
            throw ToolError(fmt::format("cannot read {}: {}", Quoted(path), ErrnoText(error)));
        }
        if (got == 0)
            break;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    ::close(fd);
    return bytes;
}

namespace {

// ---- Removal of named temporaries on SIGINT, SIGTERM and SIGHUP ------------

// Slots the signal handler reads: a path is copied in before its slot is
// marked in use, and the mark is cleared before the path changes, so the
// handler only ever sees complete names.
constexpr int kCleanupSlots = 8;
struct CleanupSlot {
    std::atomic<bool> used{false};
    char path[PATH_MAX + 1] = {};
};
CleanupSlot gCleanup[kCleanupSlots];
std::mutex gCleanupMutex;
bool gHandlersInstalled = false;
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void RemoveTemporariesAndReraise(int signal)
{
    for (CleanupSlot& slot : gCleanup)
        if (slot.used.load(std::memory_order_acquire))
            ::unlink(slot.path);
    // The handler was installed with SA_RESETHAND: the signal now ends the
    // process as it would have without one.
    ::raise(signal);
}

void InstallHandlers()
{
    if (gHandlersInstalled)
        return;
    gHandlersInstalled = true;
    for (int signal : kCleanupSignals) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN)
            continue;  // keep ignored ones ignored
        struct sigaction action {};
        action.sa_handler = RemoveTemporariesAndReraise;
        sigemptyset(&action.sa_mask);
        for (int other : kCleanupSignals)
            sigaddset(&action.sa_mask, other);
        action.sa_flags = SA_RESETHAND;
        ::sigaction(signal, &action, nullptr);
    }
}

// Registers a temporary for removal on those signals; -1 when every slot is
// taken or the name is too long (the file is then only removed by Discard).
int RegisterTemporary(const std::filesystem::path& path)
{
    const std::string& name = path.native();
    std::lock_guard lock(gCleanupMutex);
    InstallHandlers();
    if (name.size() > PATH_MAX)
        return -1;
    for (int i = 0; i < kCleanupSlots; ++i) {
        if (gCleanup[i].used.load(std::memory_order_relaxed))
            continue;
        std::memcpy(gCleanup[i].path, name.c_str(), name.size() + 1);
        gCleanup[i].used.store(true, std::memory_order_release);
        return i;
    }
    return -1;
}

void UnregisterTemporary(int slot)
{
    if (slot < 0)
        return;
    std::lock_guard lock(gCleanupMutex);
    gCleanup[slot].used.store(false, std::memory_order_release);
}

// Follows symbolic links at `path` (up to the system's limit of 40) to the
// file a write should replace; throws ToolError for a loop.
std::filesystem::path FollowLinks(const std::filesystem::path& path)
{
    std::filesystem::path current = path;
    for (int depth = 0; depth < 40; ++depth) {
        struct stat info {};
        if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            return current;
        std::error_code error;
        const std::filesystem::path target = std::filesystem::read_symlink(current, error);
        if (error)
            throw ToolError(fmt::format("cannot write {}: {}", Quoted(path), error.message()));
        current = target.is_absolute() ? target : current.parent_path() / target;
    }
    throw ToolError(fmt::format("cannot write {}: {}", Quoted(path), ErrnoText(ELOOP)));
}

std::string FileKind(mode_t mode)
{
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}

}  // namespace

// An output stream buffer over a file descriptor that remembers the first
// write error instead of losing it in the stream's state bits.
class AtomicFile::FdBuffer : public std::streambuf {
public:
    explicit FdBuffer(int fd) : fd_(fd), storage_(1 << 20) { setp(storage_.data(), storage_.data() + storage_.size()); }

    int fd() const noexcept { return fd_; }
    int error() const noexcept { return error_; }
    uint64_t written() const noexcept { return written_.load(std::memory_order_relaxed); }

    // Writes out what is buffered; false (with error() set) on failure.
    bool Drain()
    {
        if (error_ != 0)
            return false;
        const std::size_t pending = static_cast<std::size_t>(pptr() - pbase());
        if (pending > 0)
            Put(pbase(), pending);
        setp(storage_.data(), storage_.data() + storage_.size());
        return error_ == 0;
    }

protected:
    int_type overflow(int_type ch) override
    {
        if (!Drain())
            return traits_type::eof();
        if (!traits_type::eq_int_type(ch, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(ch);
            pbump(1);
        }
        return traits_type::not_eof(ch);
    }

    std::streamsize xsputn(const char* data, std::streamsize count) override
    {
        const std::size_t room = static_cast<std::size_t>(epptr() - pptr());
        const std::size_t size = static_cast<std::size_t>(count);
        if (size == 0)
            return 0;
        if (size <= room) {
            std::memcpy(pptr(), data, size);
            pbump(static_cast<int>(size));
            return count;
        }
        // Large blocks go straight to the file after what is buffered.
        if (!Drain())
            return 0;
        Put(data, size);
        return error_ == 0 ? count : 0;
    }

    int sync() override { return Drain() ? 0 : -1; }

public:
    // Writes at `offset`, after what is buffered; false (with error() set) on failure.
    bool PutAt(uint64_t offset, const char* data, std::size_t size)
    {
        if (!Drain())
            return false;
        error_ = WriteAllAt(fd_, data, size, offset);
        if (error_ == 0)
            Written(size);
        return error_ == 0;
    }

private:
    void Put(const char* data, std::size_t size)
    {
        error_ = WriteAll(fd_, data, size);
        if (error_ == 0)
            Written(size);
    }

    // Counts written bytes, and every few megabytes asks the system to
    // start writing the file's dirty pages to the disk: otherwise nothing
    // is written until the dirty pages reach a tenth of memory or Commit's
    // fsync, and the disk idles while the file is made, then the run waits
    // for all of it. Only a request; the file's bytes are unchanged.
    void Written(std::size_t size)
    {
        written_.fetch_add(size, std::memory_order_relaxed);
        unflushed_ += size;
        if (unflushed_ < kFlushEvery)
            return;
        unflushed_ = 0;
        ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
    }
    static constexpr std::size_t kFlushEvery = std::size_t{16} << 20;
    std::size_t unflushed_ = 0;

    int fd_;
    int error_ = 0;
    std::atomic<uint64_t> written_{0};
    std::vector<char> storage_;
};

std::filesystem::path ResolveDestination(const std::filesystem::path& requested)
{
    const std::filesystem::path destination = FollowLinks(requested);
    struct stat info {};
    if (::lstat(destination.c_str(), &info) != 0)
        return destination;  // nothing there yet
    if (S_ISDIR(info.st_mode))
        throw ToolError(fmt::format("cannot write {}: {}", Quoted(requested), ErrnoText(EISDIR)));
    if (!S_ISREG(info.st_mode))
        throw ToolError(fmt::format("cannot write {}: it is {}; heightmesh replaces only regular files",
                                    Quoted(requested), FileKind(info.st_mode)));
    // A file the user may not write is not replaced behind its back.
    if (::faccessat(AT_FDCWD, destination.c_str(), W_OK, AT_EACCESS) != 0)
        throw ToolError(fmt::format("cannot write {}: {}", Quoted(requested), ErrnoText(errno)));
    return destination;
}

AtomicFile::AtomicFile(std::filesystem::path destination, TemporaryKind kind, Durability durability)
    : requested_(std::move(destination)), durability_(durability)
{
    if (requested_.filename().empty())
        throw ToolError(fmt::format("cannot write {}: not a file name", Quoted(requested_)));
    destination_ = ResolveDestination(requested_);
    struct stat old {};
    if (::stat(destination_.c_str(), &old) == 0) {
        replaces_ = true;
        replacedMode_ = old.st_mode & 07777;
        replacedOwner_ = old.st_uid;
        replacedGroup_ = old.st_gid;
    }
    const std::filesystem::path directory = destination_.parent_path();
    int fd = -1;
    if (kind == TemporaryKind::Unnamed) {
        fd = ::open(directory.empty() ? "." : directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            throw ToolError(fmt::format("cannot write {}: {}", Quoted(requested_), ErrnoText(errno)));
    }
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary_ = TemporaryName();
        cleanupSlot_ = RegisterTemporary(temporary_);
        fd = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            const int error = errno;
            UnregisterTemporary(cleanupSlot_);
            cleanupSlot_ = -1;
            temporary_.clear();
            if (error != EEXIST)
                throw ToolError(fmt::format("cannot write {}: {}", Quoted(requested_), ErrnoText(error)));
        }
    }
    if (fd < 0)
        throw ToolError(fmt::format("cannot write {}: no free temporary name", Quoted(requested_)));
    buffer_ = std::make_unique<FdBuffer>(fd);
    stream_ = std::make_unique<std::ostream>(buffer_.get());
}

AtomicFile::~AtomicFile()
{
    if (!committed_)
        Discard();
}

std::ostream& AtomicFile::stream() { return *stream_; }

uint64_t AtomicFile::bytesWritten() const noexcept { return buffer_ ? buffer_->written() : 0; }

void AtomicFile::WriteAt(uint64_t offset, const void* data, std::size_t size)
{
    if (!buffer_)
        throw ToolError(fmt::format("cannot write {}: file already closed", Quoted(requested_)));
    if (!buffer_->PutAt(offset, static_cast<const char*>(data), size))
        throw ToolError(fmt::format("cannot write {}: {}", Quoted(requested_), ErrnoText(buffer_->error())));
}

// ".NAME.<16 hex digits>.tmp" beside the destination, with NAME cut short
// where the whole would exceed NAME_MAX bytes.
std::filesystem::path AtomicFile::TemporaryName() const
{
    static std::mutex mutex;
    static std::mt19937_64 random = [] {
        std::random_device device;
        return std::mt19937_64((static_cast<uint64_t>(device()) << 32) ^ device() ^ static_cast<uint64_t>(::getpid()));
    }();
    uint64_t suffix = 0;
    {
        std::lock_guard lock(mutex);
        suffix = random();
    }
    constexpr std::size_t kAdded = 1 + 1 + 16 + 4;
    std::string name = destination_.filename().string();
    if (name.size() + kAdded > NAME_MAX)
        name.resize(NAME_MAX - kAdded);
    const std::string temporary = fmt::format(".{}.{:016x}.tmp", name, suffix);
    const std::filesystem::path directory = destination_.parent_path();
    return directory.empty() ? std::filesystem::path(temporary) : directory / temporary;
}

void AtomicFile::Discard() noexcept
{
    if (buffer_ && buffer_->fd() >= 0)
        ::close(buffer_->fd());
    buffer_.reset();
    if (!temporary_.empty())
        ::unlink(temporary_.c_str());
    UnregisterTemporary(cleanupSlot_);
    cleanupSlot_ = -1;
    temporary_.clear();
}

void AtomicFile::Commit()
{
    if (committed_ || !buffer_)
        throw ToolError(fmt::format("cannot write {}: file already closed", Quoted(requested_)));
    const auto fail = [this](int error) {
        Discard();
        throw ToolError(fmt::format("cannot write {}: {}", Quoted(requested_), ErrnoText(error)));
    };
    stream_->flush();
    if (!buffer_->Drain())
        fail(buffer_->error());
    if (stream_->bad())
        fail(EIO);
    const int fd = buffer_->fd();
    // The replaced file's owner and group where the system allows (an owner
    // only the superuser may give; a group of the user's own), then its
    // mode, which a change of owner may have cleared bits of.
    if (replaces_) {
        if (::fchown(fd, replacedOwner_, replacedGroup_) != 0)
            (void)::fchown(fd, static_cast<uid_t>(-1), replacedGroup_);
        if (::fchmod(fd, replacedMode_) != 0)
            fail(errno);
    }
    // Regular files must reach the disk before the rename makes them visible.
    if (durability_ == Durability::Synced && ::fsync(fd) != 0 && errno != EINVAL && errno != EROFS)
        fail(errno);
    // An unnamed temporary of a file that does not exist yet is linked
    // straight under its name, whole: no moment, not even SIGKILL's, leaves
    // a hidden name behind. (Should the name have appeared meanwhile, the
    // link fails and the rename below replaces it.)
    if (temporary_.empty() && !replaces_) {
        const std::string self = fmt::format("/proc/self/fd/{}", fd);
        int linked = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, destination_.c_str(), AT_SYMLINK_FOLLOW);
        if (linked != 0 && errno == ENOENT)
            linked = ::linkat(fd, "", AT_FDCWD, destination_.c_str(), AT_EMPTY_PATH);
        if (linked == 0) {
            buffer_.reset();
            if (::close(fd) != 0 && errno != EINTR) {
                // A late write error: the name goes again.
                const int error = errno;
                ::unlink(destination_.c_str());
                throw ToolError(fmt::format("cannot write {}: {}", Quoted(requested_), ErrnoText(error)));
            }
            committed_ = true;
            SyncDirectory();
            return;
        }
        if (errno != EEXIST)
            fail(errno);
    }
    // An unnamed temporary gets its hidden name now, for the rename.
    for (int attempt = 0; temporary_.empty(); ++attempt) {
        if (attempt == 100)
            fail(EEXIST);
        temporary_ = TemporaryName();
        cleanupSlot_ = RegisterTemporary(temporary_);
        const std::string self = fmt::format("/proc/self/fd/{}", fd);
        int linked = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temporary_.c_str(), AT_SYMLINK_FOLLOW);
        if (linked != 0 && errno == ENOENT)
            linked = ::linkat(fd, "", AT_FDCWD, temporary_.c_str(), AT_EMPTY_PATH);
        if (linked != 0) {
            const int error = errno;
            UnregisterTemporary(cleanupSlot_);
            cleanupSlot_ = -1;
            temporary_.clear();
            if (error != EEXIST)
                fail(error);
        }
    }
    const auto failNamed = [this](int error) {
        ::unlink(temporary_.c_str());
        UnregisterTemporary(cleanupSlot_);
        cleanupSlot_ = -1;
        temporary_.clear();
        throw ToolError(fmt::format("cannot write {}: {}", Quoted(requested_), ErrnoText(error)));
    };
    buffer_.reset();
    if (::close(fd) != 0 && errno != EINTR)
        failNamed(errno);
    if (::rename(temporary_.c_str(), destination_.c_str()) != 0)
        failNamed(errno);
    committed_ = true;
    UnregisterTemporary(cleanupSlot_);
    cleanupSlot_ = -1;
    temporary_.clear();
    SyncDirectory();
}

void AtomicFile::SyncDirectory() const noexcept
{
    // Makes the new name durable; a failure here loses nothing already visible.
    if (durability_ == Durability::Deferred)
        return;
    const std::filesystem::path directory = destination_.parent_path();
    const int directoryFd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd >= 0) {
        ::fsync(directoryFd);
        ::close(directoryFd);
    }
}

void SyncFileSystem(const std::filesystem::path& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw ToolError(fmt::format("cannot write {}: {}", Quoted(path), ErrnoText(errno)));
    const int synced = ::syncfs(fd);
    const int error = errno;
    ::close(fd);
    if (synced != 0)
        throw ToolError(fmt::format("cannot write {}: {}", Quoted(path), ErrnoText(error)));
}

std::string AtomicFile::FailureReason() const
{
    return buffer_ && buffer_->error() != 0 ? ErrnoText(buffer_->error()) : std::string();
}

void WriteFileAtomically(const std::filesystem::path& destination, const std::function<void(std::ostream&)>& write)
{
    AtomicFile file(destination);
    try {
        write(file.stream());
    } catch (const ToolError& error) {
        const std::string reason = file.FailureReason();
        throw ToolError(
            fmt::format("cannot write {}: {}", Quoted(destination), reason.empty() ? error.what() : reason));
    }
    file.Commit();
}

}  // namespace heightmesh::tool
