// Whole-file reads and crash-safe whole-file writes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace heightmesh::tool {

// Writes back everything written to the file system that holds `path`
// (syncfs); throws ToolError naming the reason.
void SyncFileSystem(const std::filesystem::path& path);

// Reads the whole file; throws ToolError naming the path and the reason.
std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path);

// The path as it is shown in messages: quoted.
std::string Quoted(const std::filesystem::path& path);

// The file a write to `requested` replaces: the path itself, or where its
// symbolic links lead. Throws ToolError when that exists and is not a
// regular file, or is one the user may not write.
std::filesystem::path ResolveDestination(const std::filesystem::path& requested);

// How AtomicFile makes its temporary file.
enum class TemporaryKind {
    Unnamed,  // O_TMPFILE where the file system has it, else a hidden name
    Named,    // always a hidden name in the destination's directory
};

// A file written as a temporary in the destination's directory and put in
// place under the destination's name only by Commit(), after every byte
// reached the disk, so that a failure at any point never leaves a partial
// file under the requested name:
//  - where the file system supports it the temporary has no name at all
//    (O_TMPFILE) until Commit() links it, so that even SIGKILL leaves
//    nothing behind: a new file is linked straight under its name, one that
//    replaces another under a hidden name first and renamed over it;
//    elsewhere the temporary is ".NAME.<hex>.tmp", shortened to fit
//    NAME_MAX;
//  - SIGINT, SIGTERM and SIGHUP remove a named temporary before the signal
//    ends the process as it would have;
//  - destroying the object uncommitted removes the temporary.
// A symbolic link at the destination is followed: the file it names is
// replaced and the link stays. Any other destination that exists and is not
// a regular file (a directory, FIFO, device or socket) is refused, and so is
// a file the user may not write (as cp and shell redirection refuse it). A
// replaced file's permission bits stay, and its owner and group where the
// system lets the user give them; hard links to it keep the old contents.
// When a committed file reaches the disk.
enum class Durability {
    Synced,    // before Commit() returns (the file and its directory entry)
    Deferred,  // whenever the system writes it back: for many small files of
               // one run, which syncs their file system once at its end
};

class AtomicFile {
public:
    explicit AtomicFile(std::filesystem::path destination, TemporaryKind kind = TemporaryKind::Unnamed,
                        Durability durability = Durability::Synced);  // throws ToolError
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    std::ostream& stream();
    // The temporary's name; empty while it has none.
    const std::filesystem::path& temporaryPath() const noexcept { return temporary_; }
    // The file that Commit() replaces (the destination, or what its
    // symbolic links lead to).
    const std::filesystem::path& destination() const noexcept { return destination_; }
    // Bytes handed to the system so far; may be read from any thread.
    uint64_t bytesWritten() const noexcept;

    // Writes [data, data + size) at byte `offset` of the file (after what the
    // stream holds), so that a file laid out up front can be filled in any
    // order; may be called from any one thread at a time. Throws ToolError
    // naming the system's reason.
    void WriteAt(uint64_t offset, const void* data, std::size_t size);

    // The system's reason for the first failed write, or empty.
    std::string FailureReason() const;

    // Flushes, syncs, closes and renames; throws ToolError on any failure
    // (the temporary file is then removed).
    void Commit();

private:
    class FdBuffer;
    void Discard() noexcept;
    void SyncDirectory() const noexcept;
    std::filesystem::path TemporaryName() const;

    std::filesystem::path requested_;
    std::filesystem::path destination_;
    std::filesystem::path temporary_;
    std::unique_ptr<FdBuffer> buffer_;
    std::unique_ptr<std::ostream> stream_;
    int cleanupSlot_ = -1;
    Durability durability_ = Durability::Synced;
    // The replaced file's mode, owner and group, when there is one.
    bool replaces_ = false;
    unsigned replacedMode_ = 0;
    unsigned replacedOwner_ = 0;
    unsigned replacedGroup_ = 0;
    bool committed_ = false;
};

// Writes a file through AtomicFile: runs write on its stream, then commits.
// If write throws, the temporary file is removed; a ToolError comes back
// naming the destination (and the system's reason when a write failed).
void WriteFileAtomically(const std::filesystem::path& destination, const std::function<void(std::ostream&)>& write);

}  // namespace heightmesh::tool
