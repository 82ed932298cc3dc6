// Internal helpers shared by the text and number routines: the single place
// where a byte is tested against the capacity and written, and the hand-over
// from the choice of layout to the general layout.
#pragma once

#include <stdint.h>

#include "text/fixed_text.h"

namespace heightmesh::text_detail {

// Ends the job with "System.ArgumentNullException" and the parameter's name.
// The text routines do not know how a failure reaches the host: the host
// binding supplies this (host/host_binding.cpp), so the dependency runs from
// the host layer to the text layer only.
[[noreturn]] void RaiseArgumentNull(const char* parameterName);

// A text has room while its running length lies in [0, capacity). A running
// length outside that range (negative, or past a capacity that is zero or
// negative) leaves no room, so nothing is ever written outside the text.
inline bool HasRoom(int32_t runningLength, int32_t capacity) { return runningLength >= 0 && runningLength < capacity; }

// Room left in the text, 0 when it is full.
inline int64_t RoomLeft(int32_t runningLength, int32_t capacity)
{
    return HasRoom(runningLength, capacity) ? int64_t(capacity) - runningLength : 0;
}

// Writes one byte if the text has room. Returns false once the text is full:
// the running length only grows, so every later byte would be dropped too and
// the caller stops there.
inline bool PutByte(uint8_t* bytes, int32_t* runningLength, int32_t capacity, uint8_t value)
{
    int32_t at = *runningLength;
    if (!HasRoom(at, capacity))
        return false;
    bytes[at] = value;
    *runningLength = at + 1;
    return true;
}

// Writes count copies of value, one checked byte at a time; count <= 0 writes
// nothing. Returns false when the text filled up before the last one.
inline bool PutRepeated(uint8_t* bytes, int32_t* runningLength, int32_t capacity, uint8_t value, int64_t count)
{
    for (int64_t k = 0; k < count; ++k)
        if (!PutByte(bytes, runningLength, capacity, value))
            return false;
    return true;
}

// A null destination is only an error when a byte would be written to it.
inline void RequireDestination(const uint8_t* bytes, int32_t runningLength, int32_t capacity)
{
    if (bytes == nullptr && HasRoom(runningLength, capacity))
        RaiseArgumentNull("destination");
}

// Number of digit characters that can be read from the record: digitCount,
// but never past the zero byte that ends the string (a record whose count
// disagrees with its string reads no byte outside it). 0 for a negative count.
inline int32_t ReadableDigits(const NumberDigits& number)
{
    int32_t count = 0;
    while (count < number.digitCount && number.digits[count] != 0)
        ++count;
    return count;
}

// Number of decimal digits of a magnitude; 1 for zero.
inline int32_t DecimalDigitCount(uint64_t magnitude)
{
    int32_t count = 1;
    while (magnitude >= 10) {
        magnitude /= 10;
        ++count;
    }
    return count;
}

// The general layout: rounds and trims number in place, then writes it padded
// to the field width (general_format.cpp).
void AppendGeneral(uint8_t* bytes, int32_t* runningLength, int32_t capacity, NumberDigits* number, FormatSpec spec);

}  // namespace heightmesh::text_detail
