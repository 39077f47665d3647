// Support services: numbers, binary forms, text tokens, width arithmetic.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <new>
#include <sstream>

#include "support/Tools.h"
#include "support/fixed_point.h"
#include "support/scratch.h"
#include "support/serial.h"
#include "support/tabulation.h"

namespace {

std::string show(const fixed_point& v) { return std::to_string(v.raw) + "/" + std::to_string(v.precision); }

TEST(FixedPoint, ConvertsRoundingHalfAwayFromZeroAndRefusesWhatPasses32Bits) {
    const struct {
        std::function<fixed_point()> make;
        const char* expected;
    } cases[] = {
        {[] { return fixed_point(2, 12.34); }, "1234/2"},
        {[] { return fixed_point(2, 7); }, "700/2"},
        {[] { return fixed_point(2, fixed_point(3, 1.235)); }, "124/2"},
        {[] { return fixed_point(2, fixed_point(3, -1.235)); }, "-124/2"},
        {[] { return fixed_point(4, fixed_point(1, 2.5)); }, "25000/4"},
        {[] { return fixed_point(0, -2.5); }, "-3/0"},
        {[] { return fixed_point(12, 0); }, "0/12"},
        {[] { return fixed_point(2, 30000000); }, "<out of range>"},
        {[] { return fixed_point(0, 5000000000L); }, "<out of range>"},
        {[] { return fixed_point(9, fixed_point(0, 3)); }, "<out of range>"},
        {[] { return fixed_point(12, 1.0); }, "<out of range>"},
    };
    for (const auto& c : cases) {
        try {
            EXPECT_EQ(show(c.make()), c.expected);
        } catch (const std::out_of_range&) {
            EXPECT_STREQ("<out of range>", c.expected);
        }
    }
    fixed_point target(5);
    target.assign(fixed_point(1, 3.5));
    EXPECT_EQ(show(target), "35/1");
    int raw = 17;
    EXPECT_FALSE(fixed_point::convert(3, 3000000LL, raw));
    EXPECT_EQ(raw, 17);
    EXPECT_TRUE(fixed_point::convert(0, fixed_point(30, 0), raw));
    EXPECT_EQ(raw, 0);
}

TEST(FixedPoint, PrintsItsPrecisionsDigitsWhateverTheStreamPrecision) {
    fixed_point lowest(4);
    lowest.raw = INT_MIN;
    const std::pair<fixed_point, const char*> cases[] = {{fixed_point(2, 12.34), "12.34"}, {fixed_point(2, -0.05), "-0.05"},
                                                         {fixed_point(0, 7), "7"},         {fixed_point(3, 0), "0.000"},
                                                         {lowest, "-214748.3648"}};
    for (const auto& [value, text] : cases) {
        std::ostringstream os;
        os.precision(0);
        os << value;
        EXPECT_EQ(os.str(), text);
    }
}

TEST(Serial, LittleEndianFixedWidthNumbersAndLengthPrefixedStrings) {
    std::stringstream s;
    serial::serial_out out(s);
    out << static_cast<unsigned char>(1) << static_cast<unsigned short>(0x0203) << -2L << 0x04050607UL;
    fixed_point(2, -1.0).serial_write(s);
    serial::serial_write(s, std::string("ab\0c", 4));
    EXPECT_EQ(s.str(), std::string("\x01\x03\x02\xfe\xff\xff\xff\x07\x06\x05\x04\x9c\xff\xff\xff\x04\0\0\0ab\0c", 23));
    serial::serial_in in(s);
    unsigned char a = 0;
    unsigned short b = 0;
    long c = 0;
    unsigned long d = 0;
    fixed_point e(2);
    std::string f;
    in >> a >> b >> c >> d;
    e.serial_read(s);
    serial::serial_read(s, f);
    EXPECT_EQ(std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c) + " " + std::to_string(d),
              "1 515 -2 67438087");
    EXPECT_EQ(show(e), "-100/2");
    EXPECT_EQ(f, std::string("ab\0c", 4));
    EXPECT_EQ(serial::serial_size(std::string("abc")), 7u);
}

TEST(Serial, ForgedOrCutStringLengthFailsTheStreamAndKeepsTheTarget) {
    // The first announces 4 GiB but carries three bytes: nothing may be reserved for it.
    for (const std::string& data : {std::string("\xff\xff\xff\xff" "abc", 7), std::string("\x02\x00", 2)}) {
        std::istringstream s(data);
        std::string target = "kept";
        serial::serial_read(s, target);
        EXPECT_TRUE(s.fail());
        EXPECT_EQ(target, "kept");
    }
}

template <class T>
std::string reread(const std::string& text, T start) {
    std::istringstream is(text);
    tabulation::from_stream(is, start);
    std::ostringstream os;
    tabulation::to_stream(os, start);
    return (is.fail() ? "<failed> " : "") + os.str();
}

TEST(Tokens, WrittenTabSeparatedAndReadBack) {
    std::ostringstream os;
    tabulation::to_stream(os, 3u);
    tabulation::to_stream(os, std::string("\xe9\n\"", 3));
    tabulation::to_stream(os, fixed_point(1, 2.5));
    tabulation::to_stream(os, INT_MIN);
    tabulation::to_stream(os, ULONG_MAX);
    EXPECT_EQ(os.str(), "3\t\"\\xE9\\n\\\"\"\t2.5\t-2147483648\t" + std::to_string(ULONG_MAX) + "\t");
    std::istringstream is(os.str() + " bare\t13");
    unsigned u = 0;
    std::string s, bare;
    fixed_point p(0);
    int i = 0;
    unsigned long ul = 0;
    unsigned char width = 0;
    tabulation::from_stream(is, u);
    tabulation::from_stream(is, s);
    tabulation::from_stream(is, p);
    tabulation::from_stream(is, i);
    tabulation::from_stream(is, ul);
    tabulation::from_stream(is, bare);
    tabulation::from_stream(is, width);
    EXPECT_FALSE(is.fail());
    EXPECT_EQ(u, 3u);
    EXPECT_EQ(s, "\xe9\n\"");
    EXPECT_EQ(show(p), "25/1");
    EXPECT_EQ(i, INT_MIN);
    EXPECT_EQ(ul, ULONG_MAX);
    EXPECT_EQ(bare, "bare");
    EXPECT_EQ(width, 13);
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    for (const std::string& sample : {std::string(), all, std::string("a b\\\"q\"")}) {
        std::ostringstream written;
        tabulation::to_stream(written, sample);
        std::string back = "x";
        std::istringstream in(written.str());
        tabulation::from_stream(in, back);
        EXPECT_EQ(back, sample);
    }
}

// A fixed-point token keeps its own precision, dropping trailing zeros only
// as far as 32 bits need; the zeros go in linear time.
TEST(Tokens, FixedPointTokensKeepValueAndPrecision) {
    const std::string zeros(400000, '0');
    const struct {
        std::string text;
        unsigned start;
        std::string expected;
    } cases[] = {
        {"12.5", 2, "1250/2\t"},
        {"-1.234", 1, "-1234/3\t"},
        {"2.50000000000000", 1, "250000000/8\t"},
        {"1." + zeros, 2, "1000000000/9\t"},
        {"-0." + zeros + "5" + zeros, 0, "-500000000/400009\t"},
        {"0." + zeros, 3, "0/400000\t"},
    };
    for (const auto& c : cases) {
        std::istringstream is(c.text);
        fixed_point v(c.start);
        tabulation::from_stream(is, v);
        EXPECT_EQ(show(v) + (is.fail() ? "<failed>" : "\t"), c.expected) << c.text.substr(0, 20);
    }
}

TEST(Tokens, MalformedInputFailsAndChangesNothing) {
    for (const char* text : {"", "   ", "-", "12x", "+-3", "99999999999", "4294967296", "x"})
        EXPECT_EQ(reread<int>(text, 42), "<failed> 42\t") << text;
    for (const char* text : {"-1", "256"}) EXPECT_EQ(reread<unsigned char>(text, 7), "<failed> 7\t") << text;
    for (const char* text : {"\"open", "\"bad \\q escape\"", "\"\\x4\"", "\"\\xG1\"", ""})
        EXPECT_EQ(reread<std::string>(text, "kept"), "<failed> \"kept\"\t") << text;
    for (const char* text : {"1.", ".5", "1.2.3", "2147483648", "-2147483649", "1e5", "--1"})
        EXPECT_EQ(reread<fixed_point>(text, fixed_point(0, 9)), "<failed> 9\t") << text;
}

TEST(Widths, Log2CountsTheBitsOfEveryRange) {
    const std::pair<unsigned long, unsigned> unsignedCases[] = {{0, 0}, {1, 1}, {100, 7}, {1000, 10},
                                                                {0xFFFFFFFFUL, 32}, {0x100000000UL, 33}};
    for (const auto& [v, bits] : unsignedCases) EXPECT_EQ(Tools::log2(v), bits) << v;
    const struct {
        long max, min;
        unsigned bits;
    } signedCases[] = {{0, 0, 0}, {0, -1, 1}, {5, -5, 4}, {7, -3, 4}, {4294967296L, 0, 34}};
    for (const auto& c : signedCases) EXPECT_EQ(Tools::log2(c.max, c.min), c.bits) << c.max << " " << c.min;
    for (int w = 1; w <= 32; ++w) {
        const long max = (1L << (w - 1)) - 1, min = -(1L << (w - 1));
        EXPECT_LE(Tools::log2(max, 0L), static_cast<unsigned>(w));
        EXPECT_GT(Tools::log2(max + 1, 0L), static_cast<unsigned>(w));
        EXPECT_EQ(Tools::log2(0L, min), static_cast<unsigned>(w));
        EXPECT_EQ(Tools::log2(0L, min - 1), static_cast<unsigned>(w + 1));
    }
}

// Arrays below and above the huge page size hold every element, apart from
// each other; the large ones start on a huge page; an impossible count is
// refused before anything is allocated.
TEST(Scratch, ArraysHoldWhatTheyWereAskedForAndLargeOnesStartOnAHugePage) {
    const std::size_t hugePage = std::size_t(2) << 20;
    for (std::size_t count : {std::size_t(0), std::size_t(1000), hugePage / 8 - 1, hugePage / 8 * 3 + 5}) {
        Orvex::ScratchArray<std::uint64_t> a = Orvex::scratchArray<std::uint64_t>(count);
        Orvex::ScratchArray<std::uint64_t> b = Orvex::scratchArray<std::uint64_t>(count);
        ASSERT_NE(a.get(), nullptr);
        for (std::size_t i = 0; i < count; ++i) a[i] = i * 2654435761u, b[i] = ~i;
        for (std::size_t i = 0; i < count; ++i) ASSERT_TRUE(a[i] == i * 2654435761u && b[i] == ~i) << count << "@" << i;
        if (count * 8 >= hugePage) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a.get()) % hugePage, 0u) << count;
        }
    }
    EXPECT_THROW(Orvex::scratchArray<std::uint64_t>(static_cast<std::size_t>(-1) / 4), std::bad_alloc);
}

}  // namespace
