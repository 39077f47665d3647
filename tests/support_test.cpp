// Support services: numbers, binary forms, text tokens, width arithmetic.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <new>
#include <random>
#include <sstream>

#include "support/Tools.h"
#include "support/Utils.h"
#include "support/fixed_point.h"
#include "support/jobject.h"
#include "support/pointer.h"
#include "support/scratch.h"
#include "support/serial.h"
#include "support/tabulation.h"

namespace {

std::string printed(const fixed_point& v) {
    std::ostringstream os;
    os.precision(0);
    os << v;
    return os.str();
}

TEST(FixedPoint, ConvertsBetweenPrecisionsRoundingHalfAwayFromZero) {
    EXPECT_EQ(fixed_point(2, 12.34).raw, 1234);
    EXPECT_EQ(fixed_point(2, 7).raw, 700);
    EXPECT_EQ(fixed_point(2, fixed_point(3, 1.235)).raw, 124);
    EXPECT_EQ(fixed_point(2, fixed_point(3, -1.235)).raw, -124);
    EXPECT_EQ(fixed_point(4, fixed_point(1, 2.5)).raw, 25000);
    EXPECT_EQ(fixed_point(0, -2.5).raw, -3);
    fixed_point target(5);
    target.assign(fixed_point(1, 3.5));
    EXPECT_EQ(target.precision, 1u);
    EXPECT_EQ(target.raw, 35);
}

TEST(FixedPoint, RefusesRawValuesBeyond32Bits) {
    EXPECT_THROW(fixed_point(2, 30000000), std::out_of_range);
    EXPECT_THROW(fixed_point(0, 5000000000L), std::out_of_range);
    EXPECT_THROW(fixed_point(9, fixed_point(0, 3)), std::out_of_range);
    EXPECT_THROW(fixed_point(12, 1.0), std::out_of_range);
    EXPECT_NO_THROW(fixed_point(12, 0));
    int raw = 17;
    EXPECT_FALSE(fixed_point::convert(3, 3000000LL, raw));
    EXPECT_EQ(raw, 17);
    EXPECT_TRUE(fixed_point::convert(0, fixed_point(30, 0), raw));
    EXPECT_EQ(raw, 0);
}

TEST(FixedPoint, PrintsExactlyItsPrecisionsDigitsWhateverTheStreamPrecision) {
    EXPECT_EQ(printed(fixed_point(2, 12.34)), "12.34");
    EXPECT_EQ(printed(fixed_point(2, -0.05)), "-0.05");
    EXPECT_EQ(printed(fixed_point(0, 7)), "7");
    EXPECT_EQ(printed(fixed_point(3, 0)), "0.000");
    fixed_point lowest(0);
    lowest.raw = INT_MIN;
    lowest.precision = 4;
    EXPECT_EQ(printed(lowest), "-214748.3648");
}

TEST(FixedPoint, BinaryFormIsTheRawIntegerInFourBytes) {
    std::stringstream s;
    fixed_point(2, -1.0).serial_write(s);
    EXPECT_EQ(s.str(), std::string("\x9c\xff\xff\xff", 4));
    fixed_point back(2);
    back.serial_read(s);
    EXPECT_EQ(back.raw, -100);
}

TEST(Serial, NumbersAreLittleEndianAndFixedWidth) {
    std::stringstream s;
    serial::serial_out out(s);
    out << static_cast<unsigned char>(1) << static_cast<unsigned short>(0x0203) << -2L << 0x04050607UL;
    EXPECT_EQ(s.str(), std::string("\x01\x03\x02\xfe\xff\xff\xff\x07\x06\x05\x04", 11));
    serial::serial_in in(s);
    unsigned char a = 0;
    unsigned short b = 0;
    long c = 0;
    unsigned long d = 0;
    in >> a >> b >> c >> d;
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 0x0203);
    EXPECT_EQ(c, -2);
    EXPECT_EQ(d, 0x04050607UL);
}

TEST(Serial, StringIsLengthThenBytes) {
    std::stringstream s;
    serial::serial_write(s, std::string("ab\0c", 4));
    EXPECT_EQ(s.str(), std::string("\x04\0\0\0ab\0c", 8));
    EXPECT_EQ(serial::serial_size(std::string("abc")), 7u);
    std::string back = "old";
    serial::serial_read(s, back);
    EXPECT_EQ(back, std::string("ab\0c", 4));
}

TEST(Serial, ForgedStringLengthFailsTheStreamAndKeepsTheTarget) {
    // Announces 4 GiB but carries three bytes: the reader must not reserve
    // the announced size and must leave the target alone.
    std::istringstream s(std::string("\xff\xff\xff\xff" "abc", 7));
    std::string target = "kept";
    serial::serial_read(s, target);
    EXPECT_TRUE(s.fail());
    EXPECT_EQ(target, "kept");

    std::istringstream shortLength(std::string("\x02\x00", 2));
    serial::serial_read(shortLength, target);
    EXPECT_TRUE(shortLength.fail());
    EXPECT_EQ(target, "kept");
}

template <class T>
T roundTrip(T value, T start) {
    std::stringstream s;
    tabulation::to_stream(s, value);
    tabulation::from_stream(s, start);
    EXPECT_FALSE(s.fail()) << s.str();
    return start;
}

TEST(Tokens, NumbersRoundTripAtTheirLimits) {
    EXPECT_EQ(roundTrip<int>(INT_MIN, 0), INT_MIN);
    EXPECT_EQ(roundTrip<int>(INT_MAX, 0), INT_MAX);
    EXPECT_EQ(roundTrip<long>(LONG_MIN, 0), LONG_MIN);
    EXPECT_EQ(roundTrip<unsigned long>(ULONG_MAX, 0), ULONG_MAX);
    EXPECT_EQ(roundTrip<unsigned char>(255, 0), 255);
    EXPECT_EQ(roundTrip<unsigned short>(65535, 0), 65535);
}

TEST(Tokens, TokensAreTabSeparatedOnALine) {
    std::ostringstream os;
    tabulation::to_stream(os, 3u);
    tabulation::to_stream(os, std::string("id"));
    tabulation::to_stream(os, fixed_point(1, 2.5));
    EXPECT_EQ(os.str(), "3\t\"id\"\t2.5\t");
}

TEST(Tokens, StringsRoundTripEveryByte) {
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    const std::string samples[] = {"", " ", "a b", "\"quoted\"", "back\\slash", "line\nbreak", all};
    for (const std::string& sample : samples) EXPECT_EQ(roundTrip<std::string>(sample, "x"), sample);
    std::ostringstream os;
    tabulation::to_stream(os, std::string("\xe9\n\"", 3));
    EXPECT_EQ(os.str(), "\"\\xE9\\n\\\"\"\t");
}

TEST(Tokens, BareWordsReadAsStrings) {
    std::istringstream is("  int\tqty 13");
    std::string a, b;
    unsigned char width = 0;
    tabulation::from_stream(is, a);
    tabulation::from_stream(is, b);
    tabulation::from_stream(is, width);
    EXPECT_EQ(a, "int");
    EXPECT_EQ(b, "qty");
    EXPECT_EQ(width, 13);
    EXPECT_FALSE(is.fail());
}

TEST(Tokens, FixedPointTokensKeepValueAndPrecision) {
    fixed_point target(2);
    std::istringstream exact("12.5");
    tabulation::from_stream(exact, target);
    EXPECT_EQ(target.raw, 1250);
    EXPECT_EQ(target.precision, 2u);

    fixed_point finer(1);
    std::istringstream more("-1.234");
    tabulation::from_stream(more, finer);
    EXPECT_EQ(finer.raw, -1234);
    EXPECT_EQ(finer.precision, 3u);

    fixed_point zeros(1);
    std::istringstream trailing("2.50000000000000");
    tabulation::from_stream(trailing, zeros);
    // Too many digits for 32 bits: trailing zeros go, the value stays.
    EXPECT_EQ(zeros.precision, 8u);
    EXPECT_EQ(fixed_point(1, zeros).raw, 25);
}

// Dropping trailing zeros one at a time rebuilt the digits for each, so a
// long run of them took time quadratic in its length.
TEST(Tokens, LongRunsOfTrailingZerosReadInLinearTime) {
    const std::string zeros(400000, '0');
    fixed_point one(2);
    std::istringstream many("1." + zeros);
    tabulation::from_stream(many, one);
    EXPECT_FALSE(many.fail());
    EXPECT_EQ(one.raw, 1000000000);
    EXPECT_EQ(one.precision, 9u);

    fixed_point small(0);
    std::istringstream tiny("-0." + zeros + "5" + zeros);
    tabulation::from_stream(tiny, small);
    EXPECT_FALSE(tiny.fail());
    EXPECT_EQ(small.raw, -500000000);  // zeros after the 5 go only as far as 32 bits need
    EXPECT_EQ(small.precision, 400009u);

    fixed_point nothing(3);
    std::istringstream zero("0." + zeros);
    tabulation::from_stream(zero, nothing);
    EXPECT_EQ(nothing.raw, 0);
    EXPECT_EQ(nothing.precision, 400000u);
}

TEST(Tokens, MalformedInputFailsAndChangesNothing) {
    const char* badInts[] = {"", "   ", "-", "12x", "+-3", "99999999999", "4294967296", "x"};
    for (const char* text : badInts) {
        std::istringstream is(text);
        int v = 42;
        tabulation::from_stream(is, v);
        EXPECT_TRUE(is.fail()) << text;
        EXPECT_EQ(v, 42) << text;
    }
    const char* badUnsigned[] = {"-1", "256"};
    for (const char* text : badUnsigned) {
        std::istringstream is(text);
        unsigned char v = 7;
        tabulation::from_stream(is, v);
        EXPECT_TRUE(is.fail()) << text;
        EXPECT_EQ(v, 7) << text;
    }
    const char* badStrings[] = {"\"open", "\"bad \\q escape\"", "\"\\x4\"", ""};
    for (const char* text : badStrings) {
        std::istringstream is(text);
        std::string v = "kept";
        tabulation::from_stream(is, v);
        EXPECT_TRUE(is.fail()) << text;
        EXPECT_EQ(v, "kept") << text;
    }
    const char* badFixed[] = {"1.", ".5", "1.2.3", "2147483648", "-2147483649", "1e5", "--1"};
    for (const char* text : badFixed) {
        std::istringstream is(text);
        fixed_point v(0, 9);
        tabulation::from_stream(is, v);
        EXPECT_TRUE(is.fail()) << text;
        EXPECT_EQ(v.raw, 9) << text;
        EXPECT_EQ(v.precision, 0u) << text;
    }
}


TEST(Widths, Log2CountsSignificantBits) {
    EXPECT_EQ(Tools::log2(0UL), 0u);
    EXPECT_EQ(Tools::log2(1UL), 1u);
    EXPECT_EQ(Tools::log2(100UL), 7u);
    EXPECT_EQ(Tools::log2(1000UL), 10u);
    EXPECT_EQ(Tools::log2(0xFFFFFFFFUL), 32u);
    EXPECT_EQ(Tools::log2(0x100000000UL), 33u);
}

TEST(Widths, SignedLog2MatchesTheSignedRangeOfEveryWidth) {
    EXPECT_EQ(Tools::log2(0L, 0L), 0u);
    EXPECT_EQ(Tools::log2(0L, -1L), 1u);
    EXPECT_EQ(Tools::log2(5L, -5L), 4u);
    EXPECT_EQ(Tools::log2(7L, -3L), 4u);
    for (int w = 1; w <= 32; ++w) {
        long max = (1L << (w - 1)) - 1, min = -(1L << (w - 1));
        EXPECT_LE(Tools::log2(max, 0L), static_cast<unsigned>(w));
        EXPECT_GT(Tools::log2(max + 1, 0L), static_cast<unsigned>(w));
        EXPECT_EQ(Tools::log2(0L, min), static_cast<unsigned>(w));
        EXPECT_EQ(Tools::log2(0L, min - 1), static_cast<unsigned>(w + 1));
    }
    EXPECT_EQ(Tools::log2(4294967296L, 0L), 34u);
}

struct Widget : jobject {
    int value = 7;
};

// Scratch arrays below the huge page size and above it hold every element
// they were asked for, independently of each other; the large ones start on
// a huge page boundary; a count whose size passes std::size_t is refused
// before anything is allocated.
TEST(Scratch, ArraysHoldWhatTheyWereAskedForAndLargeOnesStartOnAHugePage) {
    const std::size_t hugePage = std::size_t(2) << 20;
    for (std::size_t count : {std::size_t(0), std::size_t(1), std::size_t(1000), hugePage / 8 - 1, hugePage / 8,
                              hugePage / 8 * 3 + 5}) {
        Orvex::ScratchArray<std::uint64_t> a = Orvex::scratchArray<std::uint64_t>(count);
        Orvex::ScratchArray<std::uint64_t> b = Orvex::scratchArray<std::uint64_t>(count);
        ASSERT_NE(a.get(), nullptr);
        for (std::size_t i = 0; i < count; ++i) a[i] = i * 2654435761u, b[i] = ~i;
        for (std::size_t i = 0; i < count; ++i) {
            ASSERT_EQ(a[i], i * 2654435761u) << count << " at " << i;
            ASSERT_EQ(b[i], ~i) << count << " at " << i;
        }
        if (count * 8 >= hugePage) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a.get()) % hugePage, 0u) << count;
        }
    }
    EXPECT_THROW(Orvex::scratchArray<std::uint64_t>(static_cast<std::size_t>(-1) / 4), std::bad_alloc);
}

}  // namespace
