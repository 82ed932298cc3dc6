// Message texts and number formatting: exact texts for kinds, widths,
// precisions, case and capacities, the null-argument aborts, and properties
// over random values (cut texts are prefixes, nothing is written at or past
// the capacity, the integer layout agrees with the C library's printf).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "host/host_binding.h"
#include "text/fixed_text.h"

namespace heightmesh {
namespace {

constexpr int32_t kLarge = 1000;
constexpr uint8_t kGuard = 0xA5;

uint32_t Spec(int kind, int width = 0, int precision = 0, int lowercase = 0)
{
    return PackFormatSpec(FormatSpec{uint8_t(kind), int8_t(width), uint8_t(precision), uint8_t(lowercase)});
}

using Append = std::function<void(uint8_t* bytes, int32_t* length, int32_t capacity)>;

// Runs an append twice: into a guarded buffer, checking that no byte at or
// past the running length (and so none at or past the capacity) changed, and
// into a heap block of exactly the capacity, where ASan sees any overrun.
std::string Render(const Append& append, int32_t capacity = kLarge)
{
    const size_t size = size_t(capacity > 0 ? capacity : 0);
    std::vector<uint8_t> guarded(size + 64, kGuard);
    int32_t length = 0;
    append(guarded.data(), &length, capacity);
    EXPECT_GE(length, 0);
    EXPECT_LE(size_t(length), size);
    for (size_t i = size_t(length); i < guarded.size(); ++i)
        if (guarded[i] != kGuard) {
            ADD_FAILURE() << "byte " << i << " touched, running length " << length << ", capacity " << capacity;
            break;
        }

    std::unique_ptr<uint8_t[]> exact(new uint8_t[size ? size : 1]);
    int32_t exactLength = 0;
    append(exact.get(), &exactLength, capacity);
    EXPECT_EQ(exactLength, length);
    return std::string(reinterpret_cast<const char*>(guarded.data()), size_t(length));
}

Append Integer(int32_t value, uint32_t spec = 0)
{
    return [=](uint8_t* b, int32_t* l, int32_t c) { AppendInteger(b, l, c, value, spec); };
}

Append Signed(int64_t value, uint32_t spec = 0)
{
    return [=](uint8_t* b, int32_t* l, int32_t c) { AppendSigned(b, l, c, value, spec); };
}

Append Unsigned(uint64_t value, uint32_t spec = 0)
{
    return [=](uint8_t* b, int32_t* l, int32_t c) { AppendUnsigned(b, l, c, value, spec); };
}

Append Text(std::string literal, uint32_t spec = 0)
{
    return [=](uint8_t* b, int32_t* l, int32_t c) {
        AppendText(b, l, c, reinterpret_cast<const uint8_t*>(literal.data()), int32_t(literal.size()), spec);
    };
}

// A digit record built afresh for every run (the general layout rounds it in
// place), its digits in a heap block holding exactly the string and its zero.
struct Record {
    std::string digits;
    int32_t exponent;
    bool negative = false;
    int32_t numberKind = 1;
    int32_t digitCount = INT32_MIN;  // INT32_MIN: the string's length
};

Append Number(Record record, uint32_t spec = 0)
{
    return [=](uint8_t* b, int32_t* l, int32_t c) {
        std::unique_ptr<uint8_t[]> digits(new uint8_t[record.digits.size() + 1]);
        std::memcpy(digits.get(), record.digits.c_str(), record.digits.size() + 1);
        int32_t count = record.digitCount == INT32_MIN ? int32_t(record.digits.size()) : record.digitCount;
        NumberDigits number{digits.get(), record.numberKind, count, record.exponent, uint8_t(record.negative)};
        AppendNumber(b, l, c, &number, spec);
    };
}

struct Case {
    Append append;
    std::string expected;
    int32_t capacity = kLarge;
};

void ExpectCases(const std::vector<Case>& cases)
{
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(Render(cases[i].append, cases[i].capacity), cases[i].expected)
            << "case " << i << ", capacity " << cases[i].capacity;
}

TEST(TextFormat, FormatSpecPacksLowByteFirst)
{
    EXPECT_EQ(Spec(3, -2, 255, 1), 0x01FFFE03u);
    for (int width = -128; width <= 127; ++width) {
        FormatSpec spec = UnpackFormatSpec(Spec(7, width, 200, 9));
        EXPECT_EQ(spec.kind, 7);
        EXPECT_EQ(spec.fieldWidth, width);
        EXPECT_EQ(spec.precision, 200);
        EXPECT_EQ(spec.lowercase, 9);
    }
}

TEST(TextFormat, ConstantTextLayout)
{
    static constexpr auto kLiteral = MakeConstantText("Index ");
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(&kLiteral);
    EXPECT_EQ(raw[0] | raw[1] << 8, 6);
    EXPECT_EQ(std::memcmp(raw + 2, "Index ", 7), 0);  // bytes and zero byte
}

TEST(TextFormat, PlainDecimal)
{
    ExpectCases({{Integer(0), "0"},
                 {Integer(42), "42"},
                 {Integer(-1), "-1"},
                 {Integer(2147483647), "2147483647"},
                 {Integer(INT32_MIN), "-2147483648"},
                 {Signed(INT64_MIN), "-9223372036854775808"},
                 {Signed(INT64_MAX), "9223372036854775807"},
                 {Unsigned(UINT64_MAX), "18446744073709551615"},
                 {Unsigned(UINT64_MAX, Spec(kHexadecimal, 0, 0, 1)), "ffffffffffffffff"}});
    // Every power of ten and its predecessor, across the 64-bit range.
    uint64_t power = 1;
    for (int k = 0; k <= 19; ++k, power *= 10) {
        EXPECT_EQ(Render(Unsigned(power)), std::to_string(power));
        EXPECT_EQ(Render(Unsigned(power - 1)), std::to_string(power - 1));
        EXPECT_EQ(Render(Signed(-int64_t(power - 1) - 1)), std::to_string(-int64_t(power - 1) - 1));
    }
}

// Kinds, widths and precisions of the integer layout are swept against printf
// below; these are the cases printf has no counterpart for.
TEST(TextFormat, KindsPrintfCannotCheck)
{
    ExpectCases({{Signed(-255, Spec(kHexadecimal)), "-FF"},
                 {Unsigned(42, Spec(kSignedDecimal, -5)), "+42  "},
                 {Integer(0, Spec(kDecimal)), "0"},
                 {Integer(1000, Spec(4)), "1000"},
                 {Integer(-1000, Spec(200)), "-1000"},
                 {Integer(1, Spec(0, 127)), std::string(126, ' ') + "1"},
                 {Integer(255, Spec(kHexadecimal, -128)), "FF" + std::string(126, ' ')}});
}

TEST(TextFormat, CapacityCutsAnywhere)
{
    ExpectCases({{Integer(-123), "-", 1},
                 {Integer(-123), "", 0},
                 {Integer(-123), "", -5},
                 {Integer(INT32_MIN), "", INT32_MIN},
                 {Integer(INT32_MIN), "-2147", 5},
                 {Integer(42, Spec(0, 6)), "   ", 3},
                 {Integer(-5, Spec(kSignedDecimal, 0, 3)), "-0", 2}});
}

// A running length outside [0, capacity] leaves no room: nothing is written
// before the text or past it, and closing keeps the terminator inside.
TEST(TextFormat, RunningLengthOutsideTextWritesNothing)
{
    for (int32_t start : {-1, INT32_MIN, 9, INT32_MAX}) {
        FixedText<8> text{};
        std::memset(text.bytes, kGuard, sizeof text.bytes);
        int32_t length = start;
        AppendInteger(text.bytes, &length, text.kCapacity, -12, Spec(0, -5));
        AppendText(text.bytes, &length, text.kCapacity, MakeConstantText("abc"), Spec(0, 5));
        EXPECT_EQ(length, start);
        for (uint8_t byte : text.bytes)
            EXPECT_EQ(byte, kGuard);
        CloseText(text, length);
        EXPECT_EQ(text.length, start < 0 ? 0 : 8);
        EXPECT_EQ(text.bytes[text.length], 0);
    }
}

TEST(TextFormat, AppendText)
{
    ExpectCases({{Text("abc", Spec(0, 6)), "   abc"},
                 {Text("abc", Spec(0, -6)), "abc   "},
                 {Text("abc", Spec(0, 2)), "abc"},
                 {Text("abc", Spec(3, 4, 9, 1)), " abc"},  // only the width counts
                 {Text("", Spec(0, 4)), "    "},
                 {Text("", Spec(0, -4)), ""},
                 {Text("abcdef"), "abcd", 4},
                 {Text("abc", Spec(0, 6)), "   a", 4},
                 {Text("abc", Spec(0, -6)), "abc  ", 5},
                 {Text("abc", Spec(0, -6)), "", 0}});
    // A negative length L copies nothing; the left padding is w - L spaces,
    // as many as the capacity holds, and there is no right padding.
    auto negative = [](int32_t length, int8_t width) {
        return [=](uint8_t* b, int32_t* l, int32_t c) {
            AppendText(b, l, c, reinterpret_cast<const uint8_t*>("x"), length, Spec(0, width));
        };
    };
    EXPECT_EQ(Render(negative(-2, 3)), "     ");
    EXPECT_EQ(Render(negative(-1, 1)), "  ");
    EXPECT_EQ(Render(negative(-2, 0)), "");
    EXPECT_EQ(Render(negative(-2, -6)), "");
    EXPECT_EQ(Render(negative(INT32_MIN, 3)), std::string(kLarge, ' '));
}

// A text filled to its capacity keeps its terminator inside the record.
TEST(TextFormat, FullTextKeepsItsTerminatorInside)
{
    FixedText<4> small{};
    int32_t smallLength = 0;
    AppendText(small.bytes, &smallLength, small.kCapacity, MakeConstantText(" is out of range of '"));
    CloseText(small, smallLength);
    EXPECT_EQ(small.length, 4);
    EXPECT_STREQ(reinterpret_cast<const char*>(small.bytes), " is ");
}

// Integers in the general layout are checked against exact rounding below;
// these rows pin the carries, trimming and the written forms.
TEST(TextFormat, GeneralLayoutOfIntegers)
{
    ExpectCases({{Integer(123456, Spec(0, 0, 3)), "1.23E+05"},
                 {Integer(949, Spec(0, 0, 2)), "9.5E+02"},
                 {Integer(125, Spec(0, 0, 2)), "1.3E+02"},
                 {Integer(1249, Spec(0, 0, 2)), "1.2E+03"},
                 {Integer(-995, Spec(0, 0, 2)), "-1E+03"},
                 {Integer(100, Spec(0, 0, 2)), "1E+02"},
                 {Integer(0, Spec(0, 0, 1)), "0"},
                 {Integer(1234, Spec(0, 0, 255)), "1234"},
                 {Integer(INT32_MIN, Spec(0, 0, 4)), "-2.147E+09"},
                 {Integer(12345678, Spec(0, 0, 3, 1)), "1.23e+07"},
                 {Integer(99999, Spec(0, 10, 4)), "     1E+05"}});
}

TEST(TextFormat, GeneralLayoutOfRecords)
{
    ExpectCases({{Number({"12345", 0}), "0.12345"},
                 {Number({"125", 1}), "1.25"},
                 {Number({"5", -2}), "0.005"},
                 {Number({"5", -3}), "0.0005"},
                 {Number({"5", -4}), "5E-05"},
                 {Number({"15", -4, true}), "-1.5E-05"},
                 {Number({"125", 1}, Spec(0, 0, 2)), "1.2"},
                 {Number({"125", 1, false, 0}, Spec(0, 0, 2)), "1.3"},
                 {Number({"999", 1, false, 0}, Spec(0, 0, 2)), "10"},
                 {Number({"999", 1}, Spec(0, 0, 2)), "9.9"},
                 {Number({"95", -3, false, 0}, Spec(0, 0, 1)), "0.001"},
                 {Number({"45", 0, false, 0}, Spec(0, 0, 1)), "0.5"},
                 {Number({"12", 4}), "1.2E+03"},
                 {Number({"1234", 4}), "1234"},
                 {Number({"1", 21}), "1E+20"},
                 {Number({"1", 101}, Spec(0, 0, 0, 1)), "1e+100"},
                 {Number({"1", -99, true}), "-1E-100"},
                 {Number({"1", INT32_MAX}), "1E+2147483646"},
                 {Number({"95", INT32_MAX, false, 0}, Spec(0, 0, 1)), "1E+2147483647"},
                 {Number({"123", 2}, Spec(0, 10)), "      12.3"},
                 {Number({"123", 2, true}, Spec(0, -10)), "-12.3     "},
                 {Number({"5", -3}, Spec(0, 8)), "  0.0005"},
                 {Number({"0", 1, true}), "-0"},
                 {Number({"", 1, true}), "-0"},
                 {Number({"", 0}), "0"},
                 {Number({"123", 2}, Spec(4)), "12.3"},
                 {Number({"123", 2}, Spec(kDecimal)), "123"},
                 {Number({"123", 2, true}), "-12", 3},
                 {Number({"1", 21}), "1E+2", 4},
                 {Number({"1", 21}), "1E+", 3},
                 {Number({"5", -2}), "0.00", 4},
                 // Counts that disagree with the string never read past its zero byte.
                 {Number({"12", 2, false, 0, 40}, Spec(kDecimal)), "12"},
                 {Number({"12", 2, false, 0, 40}, Spec(5)), "12"},
                 {Number({"123", 3, false, 0, -4}, Spec(5)), "0"}});
}

TEST(TextFormat, GeneralLayoutLeavesRecordRounded)
{
    for (int32_t capacity : {0, 2, kLarge}) {
        uint8_t digits[] = "99951";
        NumberDigits number{digits, 0, 5, 3, 0};
        std::vector<uint8_t> text(size_t(capacity) + 1);
        int32_t length = 0;
        AppendNumber(text.data(), &length, capacity, &number, Spec(0, 0, 3));
        EXPECT_STREQ(reinterpret_cast<const char*>(digits), "1");
        EXPECT_EQ(number.digitCount, 1);
        EXPECT_EQ(number.exponent, 4);
    }
}

TEST(TextFormat, WriteGeneralWritesRoundedRecordAsIs)
{
    uint8_t digits[] = "123";
    NumberDigits number{digits, 0, 3, 7, 1};
    uint8_t text[32];
    int32_t length = 0;
    WriteGeneral(text, &length, 32, &number, 10, 'e');
    EXPECT_EQ(std::string(reinterpret_cast<char*>(text), size_t(length)), "-1230000");
    length = 0;
    WriteGeneral(text, &length, 32, &number, 6, 'e');
    EXPECT_EQ(std::string(reinterpret_cast<char*>(text), size_t(length)), "-1.23e+06");
}

// ---- Null arguments -------------------------------------------------------------

struct AbortCall {
    std::string typeName;
    std::string message;
};

void ThrowingAbort(const char* typeName, const char* message) { throw AbortCall{typeName, message}; }

class TextAbort : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = heightmesh_host_functions.abort;
        heightmesh_host_functions.abort = &ThrowingAbort;
    }
    void TearDown() override { heightmesh_host_functions.abort = saved_; }

    // The parameter name of the abort, or "" when the call returned.
    static std::string AbortOf(const std::function<void()>& call)
    {
        try {
            call();
        } catch (const AbortCall& abort) {
            EXPECT_EQ(abort.typeName, "System.ArgumentNullException");
            return abort.message;
        }
        return "";
    }

    HeightmeshAbortFn saved_ = nullptr;
};

TEST_F(TextAbort, NullArgumentsOnlyWhenSomethingIsWritten)
{
    const uint8_t* abc = reinterpret_cast<const uint8_t*>("abc");
    uint8_t text[8] = {};
    int32_t length = 0;
    EXPECT_EQ(AbortOf([&] { AppendText(nullptr, &length, 8, abc, 3, 0); }), "destination");
    EXPECT_EQ(AbortOf([&] { AppendText(nullptr, &length, 8, nullptr, 3, 0); }), "destination");
    EXPECT_EQ(AbortOf([&] { AppendText(nullptr, &length, 8, abc, 0, Spec(0, 2)); }), "destination");
    EXPECT_EQ(AbortOf([&] { AppendInteger(nullptr, &length, 8, 5, 0); }), "destination");
    EXPECT_EQ(AbortOf([&] { AppendText(nullptr, &length, 0, abc, 3, Spec(0, 5)); }), "");
    EXPECT_EQ(AbortOf([&] { AppendText(nullptr, &length, 8, abc, 0, 0); }), "");
    EXPECT_EQ(AbortOf([&] { AppendInteger(nullptr, &length, -1, 5, 0); }), "");
    EXPECT_EQ(AbortOf([&] { AppendText(text, &length, 8, nullptr, 0, Spec(0, -3)); }), "");
    EXPECT_EQ(length, 0);

    // The left padding is written before the literal is found null.
    EXPECT_EQ(AbortOf([&] { AppendText(text, &length, 8, nullptr, 3, Spec(0, 5)); }), "source");
    EXPECT_EQ(length, 2);
    EXPECT_EQ(std::memcmp(text, "  ", 2), 0);

    // A full text needs no literal.
    length = 8;
    EXPECT_EQ(AbortOf([&] { AppendText(text, &length, 8, nullptr, 3, 0); }), "");
    EXPECT_EQ(length, 8);
}

// ---- Properties -----------------------------------------------------------------

// The integer layout agrees with printf for every kind, width and precision
// (printf prints nothing for 0 at precision 0, the layout prints "0").
TEST(TextFormatProperty, IntegerLayoutMatchesPrintf)
{
    std::mt19937_64 random(1);
    char expected[512];
    for (int i = 0; i < 20000; ++i) {
        const int64_t value = int64_t(random()) >> (random() % 64);
        const int kind = int(random() % 4);
        const int width = int(int8_t(random()));
        const int precision = kind == 0 ? 0 : int(random() % 40) + (i % 100 == 0 ? 215 : 0);
        const int lowercase = int(random() % 2);
        const uint32_t spec = Spec(kind, width, precision, lowercase);
        const int minimum = precision > 0 ? precision : 1;
        const int32_t value32 = int32_t(value);
        if (kind == kHexadecimal)
            std::snprintf(expected, sizeof expected, lowercase ? "%*.*x" : "%*.*X", width, minimum, uint32_t(value32));
        else
            std::snprintf(expected, sizeof expected, kind == kSignedDecimal ? "%+*.*d" : "%*.*d", width, minimum,
                          value32);
        ASSERT_EQ(Render(Integer(value32, spec)), expected) << value32 << " spec " << std::hex << spec;

        if (kind == kHexadecimal)
            std::snprintf(expected, sizeof expected, lowercase ? "%*.*llx" : "%*.*llX", width, minimum,
                          (unsigned long long)value);
        else
            std::snprintf(expected, sizeof expected, "%*.*llu", width, minimum, (unsigned long long)value);
        ASSERT_EQ(Render(Unsigned(uint64_t(value), kind == kSignedDecimal ? Spec(1, width, precision) : spec)),
                  expected);
        if (kind != kHexadecimal) {
            std::snprintf(expected, sizeof expected, kind == kSignedDecimal ? "%+*.*lld" : "%*.*lld", width, minimum,
                          (long long)value);
            ASSERT_EQ(Render(Signed(value, spec)), expected);
        }
    }
}

// An integer kept to N significant digits is the integer rounded half away
// from zero at that digit; it is written in full when it has at most N digits,
// otherwise as one digit, a fraction without trailing zeros and an exponent.
TEST(TextFormatProperty, GeneralLayoutRoundsIntegers)
{
    std::mt19937_64 random(2);
    for (int i = 0; i < 20000; ++i) {
        const int64_t value = int64_t(random()) >> (random() % 64);
        const int precision = int(random() % 22) + 1;
        const bool lowercase = random() % 2;
        const std::string text =
            Render(Signed(value, Spec(int(random() % 2 ? 0 : 4 + random() % 252), 0, precision, lowercase)));

        const unsigned __int128 magnitude = value < 0 ? 0 - uint64_t(value) : uint64_t(value);
        int digits = 1;
        unsigned __int128 scale = 1;
        for (unsigned __int128 m = magnitude; m >= 10; m /= 10, ++digits) {}
        for (int k = digits; k > precision; --k)
            scale *= 10;
        unsigned __int128 rounded = magnitude / scale + (2 * (magnitude % scale) >= scale ? 1 : 0);
        int roundedDigits = 1;
        for (unsigned __int128 m = rounded; m >= 10; m /= 10, ++roundedDigits) {}
        const int power = roundedDigits - 1 + (digits - std::min(digits, precision));  // of the first digit

        std::string mantissa;
        for (unsigned __int128 m = rounded; m != 0; m /= 10)
            mantissa.insert(mantissa.begin(), char('0' + int(m % 10)));
        std::string expected = value < 0 ? "-" : "";
        if (rounded == 0) {
            expected += "0";
        } else if (power + 1 <= precision) {
            expected += mantissa + std::string(size_t(power + 1) - mantissa.size(), '0');
        } else {
            while (mantissa.size() > 1 && mantissa.back() == '0')
                mantissa.pop_back();
            expected += mantissa[0];
            if (mantissa.size() > 1)
                expected.append(1, '.').append(mantissa, 1);
            char exponent[16];
            std::snprintf(exponent, sizeof exponent, "%c+%02d", lowercase ? 'e' : 'E', power);
            expected += exponent;
        }
        ASSERT_EQ(text, expected) << value << " precision " << precision;
    }
}

// A random item of any kind under the given format, with extreme records (nines,
// zeros, exponents at the 32-bit limits) and every width and precision.
// emptyText tells an empty literal, which gets no right padding.
Append RandomItem(std::mt19937_64& random, uint32_t spec, bool* emptyText = nullptr)
{
    if (emptyText)
        *emptyText = false;
    switch (random() % 5) {
    case 0: return Integer(int32_t(random()), spec);
    case 1: return Signed(int64_t(random()) >> (random() % 64), spec);
    case 2: return Unsigned(random() >> (random() % 64), spec);
    case 3: {
        std::string literal(random() % 12, 'x');
        for (char& c : literal)
            c = char('a' + random() % 26);
        if (emptyText)
            *emptyText = literal.empty();
        return Text(literal, spec);
    }
    default: {
        Record record;
        const char* alphabets[] = {"0123456789", "9", "0", "059"};
        const char* alphabet = alphabets[random() % 4];
        record.digits.resize(random() % 25);
        for (char& c : record.digits)
            c = alphabet[random() % std::strlen(alphabet)];
        const int32_t exponents[] = {INT32_MIN, INT32_MAX, -1000, 300};
        record.exponent = random() % 5 == 0 ? exponents[random() % 4] : int32_t(random() % 40) - 20;
        record.negative = random() % 2;
        record.numberKind = int32_t(random() % 3);
        return Number(record, spec);
    }
    }
}

uint32_t WithWidth(uint32_t spec, int width) { return (spec & ~0xFF00u) | uint32_t(uint8_t(int8_t(width))) << 8; }

// A text cut at capacity c is exactly the first c bytes of the uncut text,
// for sequences of appends of every kind.
TEST(TextFormatProperty, CutTextIsPrefix)
{
    std::mt19937_64 random(3);
    for (int i = 0; i < 1500; ++i) {
        std::vector<Append> items;
        for (int n = int(random() % 4) + 1; n > 0; --n)
            items.push_back(RandomItem(random, uint32_t(random())));
        const Append sequence = [&](uint8_t* b, int32_t* l, int32_t c) {
            for (const Append& item : items)
                item(b, l, c);
        };
        const std::string full = Render(sequence);
        for (int32_t capacity = -2; capacity <= int32_t(full.size()) + 2; ++capacity)
            ASSERT_EQ(Render(sequence, capacity), full.substr(0, size_t(std::max(capacity, 0))));
    }
}

// The width only adds spaces, before the item when positive and after it when
// negative, up to the field width; it never cuts.
TEST(TextFormatProperty, WidthOnlyPads)
{
    std::mt19937_64 random(4);
    for (int i = 0; i < 5000; ++i) {
        const uint32_t spec = uint32_t(random());
        const int width = int(int8_t(random()));
        const uint64_t seed = random();
        std::mt19937_64 first(seed), second(seed);
        bool emptyText = false;
        const std::string bare = Render(RandomItem(first, WithWidth(spec, 0), &emptyText));
        const std::string padded = Render(RandomItem(second, WithWidth(spec, width)));
        const size_t field = size_t(width < 0 ? -width : width);
        const std::string spaces(field > bare.size() ? field - bare.size() : 0, ' ');
        if (width >= 0)
            ASSERT_EQ(padded, spaces + bare);
        else
            ASSERT_EQ(padded, emptyText ? bare : bare + spaces);
    }
}

TEST(TextFormat, CopyAndFillTouchOnlyTheirRange)
{
    for (uint32_t count = 0; count <= 100; ++count) {
        std::vector<uint8_t> source(count + 3), to(count + 8, kGuard), filled(count + 8, kGuard);
        for (uint32_t i = 0; i < source.size(); ++i)
            source[i] = uint8_t(i * 7 + 1);
        CopyBytes(to.data() + 3, source.data() + 1, count);
        FillBytes(filled.data() + 3, 0x3C, count);
        for (uint32_t i = 0; i < to.size(); ++i) {
            const bool inside = i >= 3 && i < 3 + count;
            ASSERT_EQ(to[i], inside ? source[i - 2] : kGuard) << count << " " << i;
            ASSERT_EQ(filled[i], inside ? 0x3C : kGuard) << count << " " << i;
        }
    }
}

}  // namespace
}  // namespace heightmesh
