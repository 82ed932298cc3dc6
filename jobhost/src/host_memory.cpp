// Memory for host buffers: large blocks as anonymous mappings faulted in on
// every core, small ones from calloc; both start zeroed.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "jobhost/jobhost.h"
#include "platform.h"

namespace jobhost::detail {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

bool IsLarge(std::size_t bytes) noexcept { return bytes >= HostAllocator<char>::kLargeBlock; }

std::size_t MappedSize(std::size_t bytes) noexcept { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

// Faults the block's pages in on every core at once, so that the job does
// not take a fault per page.
[[maybe_unused]] void Prefault(uintptr_t start, std::size_t size) noexcept
{
    constexpr std::size_t kPiece = std::size_t{64} << 20;
    const unsigned parts = static_cast<unsigned>(
        std::min<std::size_t>(std::max(1u, std::thread::hardware_concurrency()), (size + kPiece - 1) / kPiece));
    const auto populate = [=](unsigned part) {
        const std::size_t pages = size / kHugePage;
        const std::size_t begin = pages * part / parts * kHugePage, end = pages * (part + 1) / parts * kHugePage;
        platform::PopulatePages(reinterpret_cast<void*>(start + begin), end - begin);
    };
    std::vector<std::thread> helpers;
    try {
        for (unsigned part = 1; part < parts; ++part)
            helpers.emplace_back(populate, part);
    } catch (...) {
        // Fewer helpers: the pages left are faulted in when written.
    }
    populate(0);
    for (std::thread& helper : helpers)
        helper.join();
}

}  // namespace

void* AllocateHostBlock(std::size_t bytes)
{
    if (!IsLarge(bytes)) {
        void* block = std::calloc(bytes == 0 ? 1 : bytes, 1);
        if (block == nullptr)
            throw std::bad_alloc();
        return block;
    }
    if (bytes > SIZE_MAX - 2 * kHugePage)
        throw std::bad_alloc();
    // Map one huge page more than needed and trim both ends, so that the
    // block starts on a huge-page boundary and ends on one.
    const std::size_t size = MappedSize(bytes);
    const std::size_t reserved = size + kHugePage;
#ifdef _WIN32
    // Windows mappings start on 64 KiB boundaries and are released whole.
    (void)reserved;
    void* mapped = platform::MapPages(size);
    if (mapped == nullptr)
        throw std::bad_alloc();
    return mapped;
#else
    void* mapped = platform::MapPages(reserved);
    if (mapped == nullptr)
        throw std::bad_alloc();
    const auto start = reinterpret_cast<uintptr_t>(mapped);
    const uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
    if (aligned > start)
        platform::UnmapPages(mapped, aligned - start);
    const uintptr_t end = aligned + size;
    if (start + reserved > end)
        platform::UnmapPages(reinterpret_cast<void*>(end), start + reserved - end);
    Prefault(aligned, size);
    return reinterpret_cast<void*>(aligned);
#endif
}

void FreeHostBlock(void* block, std::size_t bytes) noexcept
{
    if (block == nullptr)
        return;
    if (!IsLarge(bytes))
        std::free(block);
    else
        platform::UnmapPages(block, MappedSize(bytes));
}

}  // namespace jobhost::detail
