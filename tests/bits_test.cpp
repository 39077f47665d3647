// Bit storage: placement of values at any offset and width in a record.
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <sstream>
#include <vector>

#include "Core/Orvex/__bfield.h"

using Orvex::bit_buffer;
using Orvex::bit_field;

namespace {

std::vector<unsigned char> bytes(const bit_buffer& b) {
    return std::vector<unsigned char>(reinterpret_cast<const unsigned char*>(b(0)),
                                      reinterpret_cast<const unsigned char*>(b(0)) + b.size());
}

// Reference model: bit n of the record, counted from the top bit of byte 0.
bool bitAt(const std::vector<unsigned char>& v, int n) { return (v[n / 8] >> (7 - n % 8)) & 1; }

TEST(BitField, EveryWidthAndOffsetRoundTripsWithoutTouchingNeighbours) {
    std::mt19937 rng(7);
    for (int width = 0; width <= 32; ++width) {
        for (int offset = 0; offset < 24; ++offset) {
            const int bits = offset + width + 9;
            bit_buffer b(bits);
            for (unsigned i = 0; i < b.size(); ++i) *b(i) = static_cast<char>(rng());
            std::vector<unsigned char> before = bytes(b);
            bit_field f(offset, width);
            unsigned long value = width == 0 ? 0 : (rng() & f.max_unsigned_value());
            ASSERT_EQ(f.set_u_long(b, value), 0);
            EXPECT_EQ(f.get_u_long(b), value) << width << "@" << offset;
            std::vector<unsigned char> after = bytes(b);
            for (int n = 0; n < static_cast<int>(after.size()) * 8; ++n) {
                if (n >= offset && n < offset + width)
                    EXPECT_EQ(bitAt(after, n), ((value >> (offset + width - 1 - n)) & 1) != 0);
                else
                    ASSERT_EQ(bitAt(after, n), bitAt(before, n)) << "bit " << n << " of " << width << "@" << offset;
            }
            long low = f.min_signed_value(), high = f.max_signed_value();
            ASSERT_EQ(f.set_long(b, low), 0);
            EXPECT_EQ(f.get_long(b), low);
            ASSERT_EQ(f.set_long(b, high), 0);
            EXPECT_EQ(f.get_long(b), high);
        }
    }
}

TEST(BitField, RangesFollowTheWidth) {
    bit_field zero(5, 0);
    EXPECT_EQ(zero.max_unsigned_value(), 0u);
    EXPECT_EQ(zero.max_signed_value(), 0);
    EXPECT_EQ(zero.min_signed_value(), 0);
    bit_field eight(0, 8);
    EXPECT_EQ(eight.max_unsigned_value(), 255u);
    EXPECT_EQ(eight.max_signed_value(), 127);
    EXPECT_EQ(eight.min_signed_value(), -128);
    bit_field full(0, 32);
    EXPECT_EQ(full.max_unsigned_value(), 0xFFFFFFFFu);
    EXPECT_EQ(full.min_signed_value(), INT_MIN);
}

TEST(BitField, ZeroWidthReadsZeroAcceptsOnlyZeroAndWritesNothing) {
    bit_buffer b(16);
    *b(0) = 0x5A;
    *b(1) = static_cast<char>(0xA5);
    bit_field f(16, 0);
    EXPECT_EQ(f.set_u_long(b, 0), 0);
    EXPECT_EQ(f.set_long(b, 0L), 0);
    EXPECT_EQ(f.set_u_long(b, 1), -1);
    EXPECT_EQ(f.set_long(b, -1L), -1);
    EXPECT_EQ(f.get_u_long(b), 0u);
    EXPECT_EQ(f.get_long(b), 0);
    EXPECT_EQ(bytes(b), (std::vector<unsigned char>{0x5A, 0xA5}));
}

TEST(BitField, RefusedValuesLeaveTheBufferAsItWas) {
    bit_buffer b(16);
    bit_field f(4, 8);
    ASSERT_EQ(f.set_u_long(b, 200), 0);
    std::vector<unsigned char> before = bytes(b);
    EXPECT_EQ(f.set_u_long(b, 256), -1);
    EXPECT_EQ(f.set_long(b, 128L), -1);
    EXPECT_EQ(f.set_long(b, -129L), -1);
    EXPECT_EQ(bytes(b), before);
    // Values beyond 32 bits never fit, whatever the host's long.
    bit_field full(0, 32);
    EXPECT_EQ(full.set_u_long(b, 0x100000000UL), -1);
    EXPECT_EQ(full.set_long(b, 0x80000000L), -1);
    EXPECT_EQ(full.set_long(b, -0x80000001L), -1);
    EXPECT_EQ(bytes(b), before);
}

TEST(BitField, WidthsOutsideZeroToThirtyTwoAreRefusedByName) {
    try {
        bit_field(0, 33);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("33"), std::string::npos);
    }
    EXPECT_THROW(bit_field(0, -1), std::runtime_error);
    EXPECT_THROW(bit_field(-8, 4), std::runtime_error);
}

TEST(BitBuffer, SerialFormIsTheContentBytesOnly) {
    bit_buffer b(9);
    EXPECT_EQ(b.serial_size(), 2u);
    EXPECT_TRUE(b.fixed_size());
    *b(0) = 'x';
    *b(1) = 'y';
    std::stringstream s;
    b.serial_write(s);
    EXPECT_EQ(s.str(), "xy");
    bit_buffer back(9);
    back.serial_read(s);
    EXPECT_EQ(bytes(back), bytes(b));
}

TEST(BitBuffer, ShortReadKeepsTheBytesItGotAndLeavesTheRestUnchanged) {
    for (int bits : {16, 4096}) {
        bit_buffer b(bits);
        *b(0) = 'k';
        *b(1) = 'l';
        std::istringstream s("z");
        b.serial_read(s);
        EXPECT_TRUE(s.fail());
        EXPECT_EQ(*b(0), 'z');
        EXPECT_EQ(*b(1), 'l');
    }
}

TEST(BitBuffer, KeysCompareBytewiseInNumericOrder) {
    bit_buffer a(12), b(12);
    bit_field f(0, 12);
    f.set_u_long(a, 0x0FF);
    f.set_u_long(b, 0x100);
    EXPECT_EQ(bytes(a), (std::vector<unsigned char>{0x0F, 0xF0}));
    EXPECT_EQ(bytes(b), (std::vector<unsigned char>{0x10, 0x00}));
    EXPECT_LT(bytes(a), bytes(b));
}

}  // namespace
