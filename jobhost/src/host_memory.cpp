// Memory for host buffers: large blocks as huge-page-aligned anonymous
// mappings, small ones from calloc; both start zeroed.
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

#include "jobhost/jobhost.h"

namespace jobhost::detail {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

bool IsLarge(std::size_t bytes) noexcept { return bytes >= HostAllocator<char>::kLargeBlock; }

std::size_t MappedSize(std::size_t bytes) noexcept { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

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
    void* mapped = ::mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapped == MAP_FAILED)
        throw std::bad_alloc();
    const auto start = reinterpret_cast<uintptr_t>(mapped);
    const uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
    if (aligned > start)
        ::munmap(mapped, aligned - start);
    const uintptr_t end = aligned + size;
    if (start + reserved > end)
        ::munmap(reinterpret_cast<void*>(end), start + reserved - end);
    ::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);  // only advice: ignored where unsupported
    return reinterpret_cast<void*>(aligned);
}

void FreeHostBlock(void* block, std::size_t bytes) noexcept
{
    if (block == nullptr)
        return;
    if (!IsLarge(bytes))
        std::free(block);
    else
        ::munmap(block, MappedSize(bytes));
}

}  // namespace jobhost::detail
