// Support services: numbers, binary forms, text tokens, width arithmetic.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <sstream>
#include <tuple>

#include "support/Tools.h"
#include "support/fixed_point.h"
#include "support/number_text.h"
#include "support/serial.h"
#include "support/tabulation.h"

namespace {

std::string show(const fixed_point& v) { return std::to_string(v.raw) + "/" + std::to_string(v.precision); }

// Conversions round half away from zero; a raw value past 32 bits is refused.
TEST(FixedPoint, ConvertsPrintsAndRefusesWhatPasses32Bits) {
    const auto made = [](std::function<fixed_point()> make) {
        try {
            std::ostringstream os;
            os.precision(0);  // a fixed point prints its own digits whatever the stream's precision
            os << make();
            return show(make()) + " " + os.str();
        } catch (const std::out_of_range&) {
            return std::string("<out of range>");
        }
    };
    fixed_point lowest(4), target(5);
    lowest.raw = INT_MIN;
    target.assign(fixed_point(1, 3.5));
    const std::pair<std::function<fixed_point()>, const char*> cases[] = {
        {[] { return fixed_point(2, 12.34); }, "1234/2 12.34"}, {[] { return fixed_point(2, -0.05); }, "-5/2 -0.05"},
        {[] { return fixed_point(2, 7); }, "700/2 7.00"}, {[] { return fixed_point(0, -2.5); }, "-3/0 -3"},
        {[] { return fixed_point(2, fixed_point(3, 1.235)); }, "124/2 1.24"},
        {[] { return fixed_point(2, fixed_point(3, -1.235)); }, "-124/2 -1.24"},
        {[] { return fixed_point(4, fixed_point(1, 2.5)); }, "25000/4 2.5000"},
        {[] { return fixed_point(12, 0); }, "0/12 0.000000000000"}, {[&] { return lowest; }, "-2147483648/4 -214748.3648"},
        {[&] { return target; }, "35/1 3.5"},  {[] { return fixed_point(2, 30000000); }, "<out of range>"},
        {[] { return fixed_point(0, 5000000000L); }, "<out of range>"},
        {[] { return fixed_point(9, fixed_point(0, 3)); }, "<out of range>"},
        {[] { return fixed_point(12, 1.0); }, "<out of range>"},
    };
    for (const auto& [make, expected] : cases) EXPECT_EQ(made(make), expected);
    int raw = 17;
    EXPECT_TRUE(!fixed_point::convert(3, 3000000LL, raw) && raw == 17);  // refused, target kept
    EXPECT_TRUE(fixed_point::convert(0, fixed_point(30, 0), raw) && raw == 0);
}

// Numbers are little-endian and fixed-width; a string is its length, then
// its bytes. A forged or cut length fails the stream and keeps the target.
TEST(Serial, NumbersAndStrings) {
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
    EXPECT_TRUE(a == 1 && b == 0x0203 && c == -2 && d == 0x04050607UL && e.raw == -100 && f == std::string("ab\0c", 4));
    for (const std::string& data : {std::string("\xff\xff\xff\xff" "abc", 7), std::string("\x02\x00", 2)}) {
        std::istringstream forged(data);
        serial::serial_read(forged, f);
        EXPECT_TRUE(forged.fail());
        EXPECT_EQ(f, std::string("ab\0c", 4));
    }
}

std::string tokenOf(const std::string& s) {
    std::ostringstream os;
    tabulation::to_stream(os, s);
    return os.str();
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
    EXPECT_EQ(tokenOf(std::string("\xe9\n\"", 3)), "\"\\xE9\\n\\\"\"\t");
    EXPECT_EQ(reread<int>("-2147483648", 0) + reread<unsigned long>(std::to_string(ULONG_MAX), 0) +
                  reread<unsigned char>(" 13", 0) + reread<std::string>("\tbare", ""),
              "-2147483648\t" + std::to_string(ULONG_MAX) + "\t13\t\"bare\"\t");
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    EXPECT_EQ(reread<std::string>(tokenOf(all), ""), tokenOf(all));
    EXPECT_EQ(reread<std::string>("\"\\xab\\xAB\"", ""), tokenOf("\xab\xab"));
}

// A fixed-point token keeps its own precision, dropping trailing zeros only
// as far as 32 bits need; the zeros go in linear time.
TEST(Tokens, FixedPointTokensKeepValueAndPrecision) {
    const std::string zeros(400000, '0');
    const std::tuple<std::string, unsigned, std::string> cases[] = {
        {"12.5", 2, "1250/2"},         {"-1.234", 1, "-1234/3"},          {"2.50000000000000", 1, "250000000/8"},
        {"1." + zeros, 2, "1000000000/9"}, {"-0." + zeros + "5" + zeros, 0, "-500000000/400009"}, {"0." + zeros, 3, "0/400000"},
    };
    for (const auto& [text, start, expected] : cases) {
        std::istringstream is(text);
        fixed_point v(start);
        tabulation::from_stream(is, v);
        EXPECT_EQ(show(v) + (is.fail() ? "<failed>" : ""), expected) << text.substr(0, 20);
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

// A whole text is one number or none; out of reach is tooLarge, never wrapped.
TEST(Numbers, WholeTextsOnlyAndNothingWraps) {
    const std::tuple<const char*, Sign, NumberText, long long> integers[] = {
        {"+007", Sign::any, NumberText::ok, 7}, {"-0", Sign::noMinus, NumberText::malformed, 1},
        {" 1", Sign::any, NumberText::malformed, 1}, {"1e3", Sign::any, NumberText::malformed, 1},
        {"-9223372036854775808", Sign::any, NumberText::ok, LLONG_MIN},
        {"9223372036854775808", Sign::any, NumberText::tooLarge, 1}};
    for (const auto& [text, sign, status, value] : integers) {
        long long v = 1;
        EXPECT_TRUE(readInteger(text, v, sign) == status && v == value) << text;
    }
    fixed_point d(2);
    EXPECT_TRUE(readDecimal("-0.0000000001", d) == NumberText::ok && show(d) == "-1/10");
    EXPECT_TRUE(readDecimal("21474836.48", d) == NumberText::tooLarge && show(d) == "-1/10");
    EXPECT_EQ(integerShown("+007") + integerShown("-000") + integerShown("-12"), "70-12");
}

// log2(v, 0) <= w exactly when v fits the signed range of w bits, and
// log2(0, v) likewise for negative v.
TEST(Widths, Log2CountsTheBitsOfEveryRange) {
    EXPECT_EQ(Tools::log2(0UL) + Tools::log2(1UL) * 10 + Tools::log2(1000UL) * 100 + Tools::log2(0x100000000UL) * 1000, 34010u);
    EXPECT_EQ(Tools::log2(5L, -5L) * 100 + Tools::log2(7L, -3L) * 10 + Tools::log2(0L, 0L), 440u);
    for (int w = 1; w <= 33; ++w) {
        const long max = (1L << (w - 1)) - 1, min = -(1L << (w - 1));
        EXPECT_EQ(Tools::log2(max, 0L) <= unsigned(w) && Tools::log2(max + 1, 0L) > unsigned(w), true) << w;
        EXPECT_EQ(Tools::log2(0L, min) * 100 + Tools::log2(0L, min - 1), w * 101u + 1) << w;
    }
}

}  // namespace
