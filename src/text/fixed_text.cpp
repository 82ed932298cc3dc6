#include "text/fixed_text.h"

#include "text/text_writer.h"

namespace heightmesh {

using text_detail::PutRepeated;
using text_detail::RaiseArgumentNull;
using text_detail::RoomLeft;

void AppendText(uint8_t* bytes, int32_t* runningLength, int32_t capacity, const uint8_t* literal, int32_t literalLength,
                uint32_t spec)
{
    // The paddings are w - L and -w - L computed from the length as given:
    // a negative length copies nothing, but widens the left padding to
    // w - L spaces (all of them bounded by the capacity, byte by byte).
    const int64_t length = literalLength;
    const int64_t width = UnpackFormatSpec(spec).fieldWidth;
    const int64_t leftPadding = width > 0 && width > length ? width - length : 0;

    // The destination is tested before the first byte that would be written to
    // it, padding included; with nothing to write there is nothing to test.
    const int64_t room = RoomLeft(*runningLength, capacity);
    if (bytes == nullptr && room > 0 && (leftPadding > 0 || length > 0))
        RaiseArgumentNull("destination");

    if (!PutRepeated(bytes, runningLength, capacity, ' ', leftPadding))
        return;

    // Copy what fits; a literal longer than the room left is cut. With nothing
    // to copy (an empty literal or a full text) the append ends here, before
    // the null test of the literal and before any right padding.
    const int64_t fits = RoomLeft(*runningLength, capacity);
    const int64_t count = fits < length ? fits : length;
    if (count <= 0)
        return;
    if (literal == nullptr)
        RaiseArgumentNull("source");
    CopyBytes(bytes + *runningLength, literal, uint64_t(count));
    *runningLength += int32_t(count);

    if (width < 0 && -width > length)
        PutRepeated(bytes, runningLength, capacity, ' ', -width - length);
}

// Ascending, in 32-byte blocks while a whole block remains, then byte by byte.
// The build keeps these loops from being turned into memcpy/memset calls,
// which the shared library implements on top of them.
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
