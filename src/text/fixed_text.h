// Fixed-capacity message texts and the library's own number formatting.
//
// Messages are composed in FixedText records in automatic storage. While a
// text is built its length lives apart, in a signed 32-bit running length that
// every append takes by address; appends never write at or past the capacity
// and silently drop what does not fit. No allocation, no static state, no libc.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace heightmesh {

// ---- Texts -------------------------------------------------------------------

// A text of up to Capacity bytes plus room for its zero terminator. A new text
// is all zero; CloseText stores the length and the terminator.
template <int Capacity>
struct FixedText {
    static_assert(Capacity >= 0 && Capacity <= 65535, "the length must fit 16 bits");
    static constexpr int32_t kCapacity = Capacity;

    uint16_t length;
    uint8_t bytes[Capacity + 1];
};

template <int Capacity>
inline void CloseText(FixedText<Capacity>& text, int32_t runningLength)
{
    text.bytes[runningLength] = 0;
    text.length = static_cast<uint16_t>(runningLength);
}

// A constant literal as kept in the library's constant data: a 16-bit length,
// the bytes and a zero byte.
template <size_t N>
struct ConstantText {
    uint16_t length;
    char bytes[N];
};

template <size_t N>
consteval ConstantText<N> MakeConstantText(const char (&literal)[N])
{
    static_assert(N >= 1 && N - 1 <= 65535);
    ConstantText<N> text{};
    text.length = static_cast<uint16_t>(N - 1);
    for (size_t i = 0; i < N; ++i)
        text.bytes[i] = literal[i];
    return text;
}

// ---- Format options ----------------------------------------------------------

enum FormatKind : uint8_t {
    kGeneral = 0,
    kDecimal = 1,
    kSignedDecimal = 2,
    kHexadecimal = 3,
};

// Four bytes passed as one 32-bit word, byte 0 the least significant.
struct FormatSpec {
    uint8_t kind;       // FormatKind; 4..255 take the general layout
    int8_t fieldWidth;  // > 0 right-aligns, < 0 left-aligns, in a field of at least |w|
    uint8_t precision;  // integers: minimum digits; general layout: significant digits
    uint8_t lowercase;  // non-zero: a-f and "e"
};

constexpr uint32_t PackFormatSpec(FormatSpec spec)
{
    return uint32_t(spec.kind) | uint32_t(uint8_t(spec.fieldWidth)) << 8 | uint32_t(spec.precision) << 16 |
           uint32_t(spec.lowercase) << 24;
}

constexpr FormatSpec UnpackFormatSpec(uint32_t packed)
{
    return FormatSpec{uint8_t(packed), int8_t(uint8_t(packed >> 8)), uint8_t(packed >> 16), uint8_t(packed >> 24)};
}

// Plain decimal: no padding, no leading zeros, a minus sign only when negative.
inline constexpr uint32_t kPlainFormat = 0;

// ---- Digit records -----------------------------------------------------------

// The value 0.d1d2... x 10^exponent. numberKind 0: exact integer digits;
// 1: already rounded, never rounded up again.
struct NumberDigits {
    uint8_t* digits;     // digit characters, most significant first, then a zero byte
    int32_t numberKind;
    int32_t digitCount;
    int32_t exponent;
    uint8_t isNegative;
};

// ---- Appends -----------------------------------------------------------------
// Common parameters: bytes addresses at least `capacity` bytes of text;
// runningLength is the text's running length, advanced by what is written.

// Appends literalLength bytes of literal, aligned by spec's fieldWidth. A null
// destination or literal ends the job through the abort slot with
// "System.ArgumentNullException" ("destination" or "source"), but only when
// there is something to copy.
void AppendText(uint8_t* bytes, int32_t* runningLength, int32_t capacity, const uint8_t* literal,
                int32_t literalLength, uint32_t spec);

template <size_t N>
inline void AppendText(uint8_t* bytes, int32_t* runningLength, int32_t capacity, const ConstantText<N>& literal,
                       uint32_t spec = kPlainFormat)
{
    AppendText(bytes, runningLength, capacity, reinterpret_cast<const uint8_t*>(literal.bytes), literal.length, spec);
}

// Appends a 32-bit integer; Hexadecimal prints its two's-complement bits.
void AppendInteger(uint8_t* bytes, int32_t* runningLength, int32_t capacity, int32_t value, uint32_t spec);

// The digit producers: build the digit record of value and lay it out.
void AppendSigned(uint8_t* bytes, int32_t* runningLength, int32_t capacity, int64_t value, uint32_t spec);
void AppendUnsigned(uint8_t* bytes, int32_t* runningLength, int32_t capacity, uint64_t value, uint32_t spec);

// Lays out a digit record: the integer layout, or the general layout (which
// rounds and trims number in place).
void AppendNumber(uint8_t* bytes, int32_t* runningLength, int32_t capacity, NumberDigits* number, uint32_t spec);

// Writes sign, digits, decimal point and exponent of an already rounded record.
void WriteGeneral(uint8_t* bytes, int32_t* runningLength, int32_t capacity, NumberDigits* number,
                  int32_t significantDigits, uint8_t exponentLetter);

// ---- Bytes -------------------------------------------------------------------

// Ascending copy in 32-byte blocks, then single bytes. Ranges never overlap.
void CopyBytes(void* destination, const void* source, uint64_t count);
void FillBytes(void* destination, uint8_t value, uint32_t count);

}  // namespace heightmesh
