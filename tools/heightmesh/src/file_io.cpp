#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <streambuf>

#include <fmt/format.h>

#include "tool_error.h"

namespace heightmesh::tool {

namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

// Writes all of [data, data + size) to fd, retrying short writes; returns 0 or
// the errno of the failure.
int WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

}  // namespace

std::string Quoted(const std::filesystem::path& path) { return fmt::format("'{}'", path.string()); }

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw ToolError(fmt::format("cannot open {}: {}", Quoted(path), ErrnoText(errno)));
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
    if (S_ISREG(info.st_mode)) bytes.reserve(static_cast<std::size_t>(info.st_size));
    uint8_t chunk[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            ::close(fd);
            throw ToolError(fmt::format("cannot read {}: {}", Quoted(path), ErrnoText(error)));
        }
        if (got == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    ::close(fd);
    return bytes;
}

// An output stream buffer over a file descriptor that remembers the first
// write error instead of losing it in the stream's state bits.
class AtomicFile::FdBuffer : public std::streambuf {
public:
    explicit FdBuffer(int fd) : fd_(fd), storage_(1 << 20) { setp(storage_.data(), storage_.data() + storage_.size()); }

    int fd() const noexcept { return fd_; }
    int error() const noexcept { return error_; }

    // Writes out what is buffered; false (with error() set) on failure.
    bool Drain() {
        if (error_ != 0) return false;
        const std::size_t pending = static_cast<std::size_t>(pptr() - pbase());
        if (pending > 0) error_ = WriteAll(fd_, pbase(), pending);
        setp(storage_.data(), storage_.data() + storage_.size());
        return error_ == 0;
    }

protected:
    int_type overflow(int_type ch) override {
        if (!Drain()) return traits_type::eof();
        if (!traits_type::eq_int_type(ch, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(ch);
            pbump(1);
        }
        return traits_type::not_eof(ch);
    }

    std::streamsize xsputn(const char* data, std::streamsize count) override {
        const std::size_t room = static_cast<std::size_t>(epptr() - pptr());
        const std::size_t size = static_cast<std::size_t>(count);
        if (size <= room) {
            std::memcpy(pptr(), data, size);
            pbump(static_cast<int>(size));
            return count;
        }
        // Large blocks go straight to the file after what is buffered.
        if (!Drain()) return 0;
        error_ = WriteAll(fd_, data, size);
        return error_ == 0 ? count : 0;
    }

    int sync() override { return Drain() ? 0 : -1; }

private:
    int fd_;
    int error_ = 0;
    std::vector<char> storage_;
};

AtomicFile::AtomicFile(std::filesystem::path destination) : destination_(std::move(destination)) {
    if (destination_.filename().empty())
        throw ToolError(fmt::format("cannot write {}: not a file name", Quoted(destination_)));
    const std::filesystem::path directory = destination_.parent_path();
    std::random_device device;
    std::mt19937_64 random((static_cast<uint64_t>(device()) << 32) ^ device() ^ static_cast<uint64_t>(::getpid()));
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        const std::string name =
            fmt::format(".{}.{:016x}.tmp", destination_.filename().string(), static_cast<uint64_t>(random()));
        temporary_ = directory.empty() ? std::filesystem::path(name) : directory / name;
        fd = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            const int error = errno;
            temporary_.clear();
            throw ToolError(fmt::format("cannot write {}: {}", Quoted(destination_), ErrnoText(error)));
        }
    }
    if (fd < 0) {
        temporary_.clear();
        throw ToolError(fmt::format("cannot write {}: no free temporary name", Quoted(destination_)));
    }
    buffer_ = std::make_unique<FdBuffer>(fd);
    stream_ = std::make_unique<std::ostream>(buffer_.get());
}

AtomicFile::~AtomicFile() {
    if (!committed_) Discard();
}

std::ostream& AtomicFile::stream() { return *stream_; }

void AtomicFile::Discard() noexcept {
    if (buffer_ && buffer_->fd() >= 0) ::close(buffer_->fd());
    buffer_.reset();
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    temporary_.clear();
}

void AtomicFile::Commit() {
    if (committed_ || !buffer_) throw ToolError(fmt::format("cannot write {}: file already closed", Quoted(destination_)));
    const auto fail = [this](int error) {
        Discard();
        throw ToolError(fmt::format("cannot write {}: {}", Quoted(destination_), ErrnoText(error)));
    };
    stream_->flush();
    if (!buffer_->Drain()) fail(buffer_->error());
    if (stream_->bad()) fail(EIO);
    const int fd = buffer_->fd();
    // Regular files must reach the disk before the rename makes them visible.
    if (::fsync(fd) != 0 && errno != EINVAL && errno != EROFS) fail(errno);
    buffer_.reset();
    if (::close(fd) != 0 && errno != EINTR) {
        const int error = errno;
        ::unlink(temporary_.c_str());
        temporary_.clear();
        throw ToolError(fmt::format("cannot write {}: {}", Quoted(destination_), ErrnoText(error)));
    }
    if (::rename(temporary_.c_str(), destination_.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary_.c_str());
        temporary_.clear();
        throw ToolError(fmt::format("cannot write {}: {}", Quoted(destination_), ErrnoText(error)));
    }
    committed_ = true;
    temporary_.clear();
    // Make the rename itself durable; a failure here loses nothing already visible.
    const std::filesystem::path directory = destination_.parent_path();
    const int directoryFd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd >= 0) {
        ::fsync(directoryFd);
        ::close(directoryFd);
    }
}

std::string AtomicFile::FailureReason() const {
    return buffer_ && buffer_->error() != 0 ? ErrnoText(buffer_->error()) : std::string();
}

void WriteFileAtomically(const std::filesystem::path& destination, const std::function<void(std::ostream&)>& write) {
    AtomicFile file(destination);
    try {
        write(file.stream());
    } catch (const ToolError& error) {
        const std::string reason = file.FailureReason();
        throw ToolError(fmt::format("cannot write {}: {}", Quoted(destination), reason.empty() ? error.what() : reason));
    }
    file.Commit();
}

}  // namespace heightmesh::tool
