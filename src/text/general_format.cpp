// The general layout of a digit record: a limited number of significant
// digits, rounded half away from zero in the digit string itself, written in
// fixed notation (with a decimal point) or in exponent notation ("1.23E+05").
#include "text/fixed_text.h"
#include "text/text_writer.h"

namespace heightmesh {

using text_detail::PutByte;
using text_detail::PutRepeated;

namespace {

// Fixed notation for exponents from -3 (0.000ddd) up to the number of
// significant digits; integerDigits is how many characters stand before the
// decimal point (zero or negative for values below 1 in fixed notation).
struct Notation {
    bool exponentForm;
    int32_t integerDigits;
};

Notation ChooseNotation(int32_t exponent, int32_t significantDigits)
{
    if (exponent >= -3 && exponent <= significantDigits)
        return Notation{false, exponent};
    return Notation{true, 1};
}

// The power of ten of the first digit, as written after the exponent letter.
// 32-bit arithmetic that wraps, as the exponent's carry does: a carry that
// wrapped INT32_MAX to INT32_MIN comes back as 2147483647.
int64_t WrittenExponent(int32_t exponent) { return int32_t(uint32_t(exponent) - 1u); }

uint64_t Magnitude(int64_t value) { return value < 0 ? 0 - uint64_t(value) : uint64_t(value); }

// The number of bytes WriteGeneral writes for a rounded record when nothing is
// cut, so the padding can be written before the item.
int64_t MeasureGeneral(const NumberDigits& number, int32_t significantDigits)
{
    const Notation notation = ChooseNotation(number.exponent, significantDigits);
    const int64_t digitCount = number.digitCount;
    const int64_t integerDigits = notation.integerDigits;

    int64_t length = number.isNegative ? 1 : 0;
    if (integerDigits > 0) {
        length += integerDigits;
        if (digitCount > integerDigits)
            length += 1 + (digitCount - integerDigits);
    } else {
        length += 1;
        if (number.exponent < 0 || digitCount > 0)
            length += 1 + (number.exponent < 0 ? -int64_t(number.exponent) : 0) + digitCount;
    }
    if (notation.exponentForm) {
        const int32_t exponentDigits = text_detail::DecimalDigitCount(Magnitude(WrittenExponent(number.exponent)));
        length += 2 + (exponentDigits > 2 ? exponentDigits : 2);
    }
    return length;
}

// Keeps at most significantDigits digits, rounding half away from zero on the
// first dropped digit unless the digits are already rounded (numberKind 1),
// and trims trailing zeros. Works inside the existing string; returns nothing,
// the record carries the result.
void RoundAndTrim(NumberDigits& number, int32_t significantDigits)
{
    uint8_t* digits = number.digits;
    const int32_t limit = significantDigits;

    // The kept length stops early at the end of a shorter string.
    int32_t kept = 0;
    while (kept < limit && digits[kept] != 0)
        ++kept;

    // digits[limit] is read only when the first `limit` bytes are all digits,
    // so it is a digit of the string or its zero byte.
    if (kept == limit && number.numberKind != 1 && digits[limit] >= '5') {
        // Carry through the trailing nines; they are dropped, not zeroed.
        while (kept > 0 && digits[kept - 1] == '9')
            --kept;
        if (kept > 0) {
            digits[kept - 1] = uint8_t(digits[kept - 1] + 1);
        } else {
            // All kept digits were nines: 0.99.. x 10^e becomes 0.1 x 10^(e+1).
            // The exponent wraps as 32-bit arithmetic would on the host.
            number.exponent = int32_t(uint32_t(number.exponent) + 1u);
            digits[0] = '1';
            kept = 1;
        }
    } else {
        while (kept > 0 && digits[kept - 1] == '0')
            --kept;
        if (kept == 0)
            number.exponent = 0;  // zero is written as "0", whatever the exponent was
    }
    digits[kept] = 0;
    number.digitCount = kept;
}

}  // namespace

namespace text_detail {

void AppendGeneral(uint8_t* bytes, int32_t* runningLength, int32_t capacity, NumberDigits* number, FormatSpec spec)
{
    // Significant digits: the precision, or every digit the record has.
    int32_t significantDigits = spec.precision;
    if (significantDigits == 0)
        significantDigits = number->digitCount > 0 ? number->digitCount : 0;

    RoundAndTrim(*number, significantDigits);

    const int64_t length = MeasureGeneral(*number, significantDigits);
    const int64_t width = spec.fieldWidth;
    if (width > 0 && width > length && !PutRepeated(bytes, runningLength, capacity, ' ', width - length))
        return;
    WriteGeneral(bytes, runningLength, capacity, number, significantDigits, spec.lowercase != 0 ? 'e' : 'E');
    if (width < 0 && -width > length)
        PutRepeated(bytes, runningLength, capacity, ' ', -width - length);
}

}  // namespace text_detail

void WriteGeneral(uint8_t* bytes, int32_t* runningLength, int32_t capacity, NumberDigits* number,
                  int32_t significantDigits, uint8_t exponentLetter)
{
    text_detail::RequireDestination(bytes, *runningLength, capacity);
    const Notation notation = ChooseNotation(number->exponent, significantDigits);
    const int32_t digitCount = text_detail::ReadableDigits(*number);
    const uint8_t* digits = number->digits;

    if (number->isNegative && !PutByte(bytes, runningLength, capacity, '-'))
        return;

    // Integer part: the leading digits, filled with zeros once they run out;
    // a single "0" for values below 1.
    int32_t next = 0;
    if (notation.integerDigits > 0) {
        for (int32_t k = 0; k < notation.integerDigits; ++k) {
            const uint8_t character = next < digitCount ? digits[next++] : uint8_t('0');
            if (!PutByte(bytes, runningLength, capacity, character))
                return;
        }
    } else if (!PutByte(bytes, runningLength, capacity, '0')) {
        return;
    }

    // Fraction: zeros between the point and the first digit (fixed notation
    // below 0.1 only), then the remaining digits.
    const bool leadingZeros = notation.integerDigits <= 0 && number->exponent < 0;
    if (next < digitCount || leadingZeros) {
        if (!PutByte(bytes, runningLength, capacity, '.'))
            return;
        if (leadingZeros && !PutRepeated(bytes, runningLength, capacity, '0', -int64_t(number->exponent)))
            return;
        for (; next < digitCount; ++next)
            if (!PutByte(bytes, runningLength, capacity, digits[next]))
                return;
    }

    // Exponent: always signed, at least two digits ("E+05", "E-10", "E+100").
    if (notation.exponentForm) {
        if (!PutByte(bytes, runningLength, capacity, exponentLetter))
            return;
        AppendSigned(bytes, runningLength, capacity, WrittenExponent(number->exponent),
                     PackFormatSpec(FormatSpec{kSignedDecimal, 0, 2, 0}));
    }
}

}  // namespace heightmesh
