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

// Closes a text built with the given running length: the zero terminator at
// bytes[runningLength] (at most at bytes[Capacity]), then the length. Appends
// keep the running length within [0, Capacity]; a value outside is clamped so
// the terminator still falls inside the record.
template <int Capacity>
inline void CloseText(FixedText<Capacity>& text, int32_t runningLength)
{
    if (runningLength < 0)
        runningLength = 0;
    if (runningLength > Capacity)
        runningLength = Capacity;
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
    uint8_t* digits;  // digit characters, most significant first, then a zero byte
    int32_t numberKind;
    int32_t digitCount;
    int32_t exponent;
    uint8_t isNegative;
};

// ---- Appends -----------------------------------------------------------------
// Common parameters: bytes addresses at least `capacity` bytes of text;
// runningLength is the text's running length, advanced by what is written.
// Each byte is written only while the running length lies in [0, capacity);
// the first byte that finds no room ends the append, so a text cut by its
// capacity holds exactly the leading bytes of the uncut text. A zero or
// negative capacity receives nothing. A null bytes with room left ends the job
// through the abort slot with "System.ArgumentNullException" ("destination").

// Appends literalLength bytes of literal, aligned by the fieldWidth option (the
// other fields are ignored); the paddings are computed from the full length
// as given, so a negative length L pads w - L spaces on the left. When nothing of the literal fits or the
// literal is empty, the append ends after the left padding (no right padding).
// A null destination (before the first byte written) or a null literal (when
// bytes are to be copied) ends the job through the abort slot with
// "System.ArgumentNullException" and "destination" or "source".
void AppendText(uint8_t* bytes, int32_t* runningLength, int32_t capacity, const uint8_t* literal, int32_t literalLength,
                uint32_t spec);

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

// The digit scratch lives in the producer's frame: at most 20 digits (a 64-bit
// magnitude in base 10; 16 in base 16) plus the zero byte.

// Lays out a digit record: the integer layout (kind 0 with precision 0 on an
// integer record, as Decimal; kinds 1..3), or the general layout (which rounds
// and trims number in place). number->digits must be zero-terminated; no digit
// past digitCount or past the zero byte is written out.
void AppendNumber(uint8_t* bytes, int32_t* runningLength, int32_t capacity, NumberDigits* number, uint32_t spec);

// Writes sign, digits, decimal point and exponent of an already rounded record:
// fixed notation when -3 <= exponent <= significantDigits, otherwise one digit
// before the point and exponentLetter with a signed exponent of at least two
// digits. Never changes the record.
void WriteGeneral(uint8_t* bytes, int32_t* runningLength, int32_t capacity, NumberDigits* number,
                  int32_t significantDigits, uint8_t exponentLetter);

// ---- Bytes -------------------------------------------------------------------

// Ascending copy in 32-byte blocks, then single bytes. Ranges never overlap.
void CopyBytes(void* destination, const void* source, uint64_t count);
void FillBytes(void* destination, uint8_t value, uint32_t count);

}  // namespace heightmesh
