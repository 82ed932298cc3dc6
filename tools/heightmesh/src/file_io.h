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

// Reads the whole file; throws ToolError naming the path and the reason.
std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path);

// The path as it is shown in messages: quoted.
std::string Quoted(const std::filesystem::path& path);

// A file written under a temporary name in the destination's directory and
// renamed over the destination only by Commit(), after every byte reached the
// disk. Destroying it uncommitted removes the temporary file, so a failure at
// any point never leaves a partial file under the requested name.
class AtomicFile {
public:
    explicit AtomicFile(std::filesystem::path destination);  // throws ToolError
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    std::ostream& stream();
    const std::filesystem::path& temporaryPath() const noexcept { return temporary_; }
    const std::filesystem::path& destination() const noexcept { return destination_; }

    // The system's reason for the first failed write, or empty.
    std::string FailureReason() const;

    // Flushes, syncs, closes and renames; throws ToolError on any failure
    // (the temporary file is then removed).
    void Commit();

private:
    class FdBuffer;
    void Discard() noexcept;

    std::filesystem::path destination_;
    std::filesystem::path temporary_;
    std::unique_ptr<FdBuffer> buffer_;
    std::unique_ptr<std::ostream> stream_;
    bool committed_ = false;
};

// Writes a file through AtomicFile: runs write on its stream, then commits.
// If write throws, the temporary file is removed; a ToolError comes back
// naming the destination (and the system's reason when a write failed).
void WriteFileAtomically(const std::filesystem::path& destination, const std::function<void(std::ostream&)>& write);

}  // namespace heightmesh::tool
