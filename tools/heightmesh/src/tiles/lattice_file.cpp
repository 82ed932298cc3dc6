// Heights of a level's lattice in a sparse file without a name.
#include "tiles/lattice_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include <fmt/format.h>

#include "common/file_io.h"
#include "common/tool_error.h"

namespace heightmesh::tool {

namespace {

// Heights are stored with their bits XOR a quiet NaN's, so that the zeros of
// a part never written read as no data.
constexpr uint32_t kNoDataBits = 0x7FC00000u;

uint32_t Encode(float height) { return std::isfinite(height) ? std::bit_cast<uint32_t>(height) ^ kNoDataBits : 0u; }
float Decode(uint32_t stored)
{
    return stored == 0 ? std::numeric_limits<float>::quiet_NaN() : std::bit_cast<float>(stored ^ kNoDataBits);
}

// A point's global lattice row counts from the north pole.
int64_t NorthRow(const TileKey& tile, int32_t cells) { return (TileRows(tile.level) - 1 - tile.y) * cells; }

}  // namespace

LatticeFile::LatticeFile(const std::filesystem::path& folder, int32_t level, const TileRange& range, int32_t cells)
    : level_(level), cells_(cells), folder_(folder)
{
    column0_ = range.x0 * cells - 1;
    columns_ = (range.x1 - range.x0 + 1) * cells + 3;
    row0_ = (TileRows(level) - 1 - range.y1) * cells - 1;
    rows_ = (range.y1 - range.y0 + 1) * cells + 3;
    fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        // A file system without unnamed files (a network one, which shards
        // on other machines may share): a name of its own, removed at once.
        std::random_device random;
        for (int attempt = 0; attempt < 16 && fd_ < 0; ++attempt) {
            const std::filesystem::path name =
                folder / fmt::format(".heightmesh-lattice-{}-{}-{:08x}.tmp", level, ::getpid(), random());
            fd_ = ::open(name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
            if (fd_ >= 0)
                ::unlink(name.c_str());
            else if (errno != EEXIST)
                break;
        }
    }
    if (fd_ < 0 || ::ftruncate(fd_, static_cast<off_t>(columns_ * rows_ * 4)) != 0) {
        const int error = errno;
        if (fd_ >= 0)
            ::close(fd_);
        throw ToolError(
            fmt::format("cannot keep level {}'s heights in {}: {}", level, Quoted(folder), std::strerror(error)));
    }
}

LatticeFile::~LatticeFile()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void LatticeFile::Store(const TileKey& tile, std::span<const float> heights)
{
    const int32_t outer = cells_ + 3;
    // The finer tile's point (i, j) is this level's point ((X + i) / 2, (Y + j) / 2).
    const int64_t x = tile.x * cells_, y = NorthRow(tile, cells_);
    std::vector<uint32_t> row;
    for (int32_t j = 0; j <= cells_; ++j) {
        if ((y + j) % 2 != 0)
            continue;
        const int64_t r = (y + j) / 2 - row0_;
        if (r < 0 || r >= rows_)
            continue;
        row.clear();
        int64_t first = -1;
        for (int32_t i = 0; i <= cells_; ++i) {
            if ((x + i) % 2 != 0)
                continue;
            const int64_t c = (x + i) / 2 - column0_;
            if (c < 0 || c >= columns_)
                continue;
            if (first < 0)
                first = c;
            row.push_back(Encode(heights[static_cast<std::size_t>(j + 1) * outer + static_cast<std::size_t>(i + 1)]));
        }
        if (row.empty())
            continue;
        const auto offset = static_cast<off_t>((r * columns_ + first) * 4);
        const auto bytes = static_cast<ssize_t>(row.size() * 4);
        if (::pwrite(fd_, row.data(), static_cast<std::size_t>(bytes), offset) != bytes)
            throw ToolError(
                fmt::format("cannot keep level {}'s heights in {}: {}", level_, Quoted(folder_), std::strerror(errno)));
    }
}

void LatticeFile::StorePoint(int64_t column, int64_t row, float height)
{
    const int64_t c = column - column0_, r = row - row0_;
    if (c < 0 || c >= columns_ || r < 0 || r >= rows_)
        return;
    const uint32_t stored = Encode(height);
    if (::pwrite(fd_, &stored, 4, static_cast<off_t>((r * columns_ + c) * 4)) != 4)
        throw ToolError(
            fmt::format("cannot keep level {}'s heights in {}: {}", level_, Quoted(folder_), std::strerror(errno)));
}

void LatticeFile::Read(const TileKey& tile, int32_t halo, std::vector<float>& heights) const
{
    const int32_t size = cells_ + 1 + 2 * halo;
    heights.assign(static_cast<std::size_t>(size) * size, std::numeric_limits<float>::quiet_NaN());
    const int64_t x = tile.x * cells_ - halo - column0_, y = NorthRow(tile, cells_) - halo - row0_;
    // The columns of the tile the file holds.
    const int64_t from = std::max<int64_t>(0, -x), to = std::min<int64_t>(size, columns_ - x);
    if (from >= to)
        return;
    std::vector<uint32_t> row(static_cast<std::size_t>(to - from));
    for (int32_t j = 0; j < size; ++j) {
        const int64_t r = y + j;
        if (r < 0 || r >= rows_)
            continue;
        const auto bytes = static_cast<ssize_t>(row.size() * 4);
        if (::pread(fd_, row.data(), static_cast<std::size_t>(bytes),
                    static_cast<off_t>((r * columns_ + x + from) * 4)) != bytes)
            throw ToolError(fmt::format("cannot read back level {}'s heights from {}: {}", level_, Quoted(folder_),
                                        std::strerror(errno)));
        for (int64_t i = from; i < to; ++i)
            heights[static_cast<std::size_t>(j) * size + static_cast<std::size_t>(i)] =
                Decode(row[static_cast<std::size_t>(i - from)]);
    }
}

}  // namespace heightmesh::tool
