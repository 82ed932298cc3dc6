#include "text/fixed_text.h"

namespace heightmesh {

void CopyBytes(void* destination, const void* source, uint64_t count)
{
    uint8_t* to = static_cast<uint8_t*>(destination);
    const uint8_t* from = static_cast<const uint8_t*>(source);
    for (; count >= 32; count -= 32, to += 32, from += 32)
        for (int i = 0; i < 32; ++i)
            to[i] = from[i];
    for (; count > 0; --count)
        *to++ = *from++;
}

void FillBytes(void* destination, uint8_t value, uint32_t count)
{
    uint8_t* to = static_cast<uint8_t*>(destination);
    for (; count >= 32; count -= 32, to += 32)
        for (int i = 0; i < 32; ++i)
            to[i] = value;
    for (; count > 0; --count)
        *to++ = value;
}

}  // namespace heightmesh
