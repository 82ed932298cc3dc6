// Integer appends: the digit producers for 64-bit magnitudes, the choice of
// layout for a digit record and the integer layout (sign, leading zeros,
// digits, padded to the field width).
#include "text/fixed_text.h"
#include "text/text_writer.h"

namespace heightmesh {

using text_detail::PutByte;
using text_detail::PutRepeated;

namespace {

// The most digits a 64-bit magnitude has: 20 in base 10 (18446744073709551615);
// base 16 needs at most 16. The scratch holds them plus the zero byte.
constexpr int32_t kMaxDigits = 20;

uint8_t DigitCharacter(uint32_t digit, bool lowercase)
{
    if (digit < 10)
        return uint8_t('0' + digit);
    return uint8_t((lowercase ? 'a' : 'A') + (digit - 10));
}

// Writes the digits of magnitude in the format's base into a scratch in this
// frame and lays the record out. Only C + 1 bytes of the scratch are used and
// cleared, C being the digit count.
void AppendMagnitude(uint8_t* bytes, int32_t* runningLength, int32_t capacity, uint64_t magnitude, bool isNegative,
                     uint32_t spec)
{
    const FormatSpec format = UnpackFormatSpec(spec);
    const uint64_t base = format.kind == kHexadecimal ? 16 : 10;

    int32_t count = 1;
    for (uint64_t rest = magnitude / base; rest != 0; rest /= base)
        ++count;

    uint8_t scratch[kMaxDigits + 1];
    FillBytes(scratch, 0, uint32_t(count) + 1);
    uint64_t rest = magnitude;
    for (int32_t at = count - 1; at >= 0; --at) {
        scratch[at] = DigitCharacter(uint32_t(rest % base), format.lowercase != 0);
        rest /= base;
    }

    NumberDigits number{scratch, 0, count, count, uint8_t(isNegative ? 1 : 0)};
    AppendNumber(bytes, runningLength, capacity, &number, spec);
}

// Sign, zeros up to the precision, then the digits; the item is right-aligned
// (positive width) or left-aligned (negative width) and never cut by the
// width. The record is not changed.
void WriteIntegerLayout(uint8_t* bytes, int32_t* runningLength, int32_t capacity, const NumberDigits& number,
                        FormatSpec format, uint8_t kind)
{
    const int32_t digitCount = text_detail::ReadableDigits(number);
    const uint8_t sign = number.isNegative ? '-' : (kind == kSignedDecimal ? '+' : 0);
    const int64_t zeros = format.precision > digitCount ? int64_t(format.precision) - digitCount : 0;
    const int64_t length = (sign != 0 ? 1 : 0) + zeros + digitCount;
    const int64_t width = format.fieldWidth;

    if (width > 0 && width > length && !PutRepeated(bytes, runningLength, capacity, ' ', width - length))
        return;
    if (sign != 0 && !PutByte(bytes, runningLength, capacity, sign))
        return;
    if (!PutRepeated(bytes, runningLength, capacity, '0', zeros))
        return;
    for (int32_t i = 0; i < digitCount; ++i)
        if (!PutByte(bytes, runningLength, capacity, number.digits[i]))
            return;
    if (width < 0 && -width > length)
        PutRepeated(bytes, runningLength, capacity, ' ', -width - length);
}

}  // namespace

void AppendInteger(uint8_t* bytes, int32_t* runningLength, int32_t capacity, int32_t value, uint32_t spec)
{
    // Hexadecimal prints the 32-bit two's-complement pattern, never a sign.
    if (UnpackFormatSpec(spec).kind == kHexadecimal)
        AppendUnsigned(bytes, runningLength, capacity, uint64_t(uint32_t(value)), spec);
    else
        AppendSigned(bytes, runningLength, capacity, int64_t(value), spec);
}

void AppendSigned(uint8_t* bytes, int32_t* runningLength, int32_t capacity, int64_t value, uint32_t spec)
{
    // The magnitude is taken in the unsigned domain, so INT64_MIN needs no
    // special case and nothing is negated as a signed value.
    const uint64_t magnitude = value < 0 ? 0 - uint64_t(value) : uint64_t(value);
    AppendMagnitude(bytes, runningLength, capacity, magnitude, value < 0, spec);
}

void AppendUnsigned(uint8_t* bytes, int32_t* runningLength, int32_t capacity, uint64_t value, uint32_t spec)
{
    AppendMagnitude(bytes, runningLength, capacity, value, false, spec);
}

void AppendNumber(uint8_t* bytes, int32_t* runningLength, int32_t capacity, NumberDigits* number, uint32_t spec)
{
    text_detail::RequireDestination(bytes, *runningLength, capacity);
    const FormatSpec format = UnpackFormatSpec(spec);
    if (number->numberKind == 0 && format.kind == kGeneral && format.precision == 0)
        WriteIntegerLayout(bytes, runningLength, capacity, *number, format, kDecimal);
    else if (format.kind == kDecimal || format.kind == kSignedDecimal || format.kind == kHexadecimal)
        WriteIntegerLayout(bytes, runningLength, capacity, *number, format, format.kind);
    else
        text_detail::AppendGeneral(bytes, runningLength, capacity, number, format);
}

}  // namespace heightmesh
