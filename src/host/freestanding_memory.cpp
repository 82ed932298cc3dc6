// memcpy and memset for the freestanding shared library. The compiler may turn
// record copies and clears into calls to these; the library imports nothing,
// so it supplies them itself, hidden, on top of its own byte routines.
#include <stddef.h>

#include "text/fixed_text.h"

extern "C" {

__attribute__((visibility("hidden"))) void* memcpy(void* destination, const void* source, size_t count)
{
    heightmesh::CopyBytes(destination, source, count);
    return destination;
}

__attribute__((visibility("hidden"))) void* memset(void* destination, int value, size_t count)
{
    // FillBytes counts in 32 bits; the library never clears more than that at once.
    unsigned char* bytes = static_cast<unsigned char*>(destination);
    while (count > 0xFFFFFFFFu) {
        heightmesh::FillBytes(bytes, static_cast<uint8_t>(value), 0xFFFFFFFFu);
        bytes += 0xFFFFFFFFu;
        count -= 0xFFFFFFFFu;
    }
    heightmesh::FillBytes(bytes, static_cast<uint8_t>(value), static_cast<uint32_t>(count));
    return destination;
}

}  // extern "C"
