// Bit storage: placement of values at any offset and width in a record.
#include <gtest/gtest.h>

#include <climits>
#include <random>
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
            bit_buffer b(offset + width + 9);
            for (unsigned i = 0; i < b.size(); ++i) *b(i) = static_cast<char>(rng());
            const std::vector<unsigned char> before = bytes(b);
            bit_field f(offset, width);
            const unsigned long value = width == 0 ? 0 : (rng() & f.max_unsigned_value());
            ASSERT_EQ(f.set_u_long(b, value), 0);
            EXPECT_EQ(f.get_u_long(b), value) << width << "@" << offset;
            const std::vector<unsigned char> after = bytes(b);
            for (int n = 0; n < static_cast<int>(after.size()) * 8; ++n) {
                const bool inField = n >= offset && n < offset + width;
                ASSERT_EQ(bitAt(after, n), inField ? ((value >> (offset + width - 1 - n)) & 1) != 0 : bitAt(before, n))
                    << "bit " << n << " of " << width << "@" << offset;
            }
            for (long v : {f.min_signed_value(), f.max_signed_value()}) {
                ASSERT_EQ(f.set_long(b, v), 0);
                EXPECT_EQ(f.get_long(b), v);
            }
        }
    }
}

// Values just past what a width holds are refused (-1) and change nothing;
// width 0 holds only 0 and writes nothing.
TEST(BitField, RefusalsChangeNothing) {
    for (int width : {0, 1, 8, 13, 32}) {
        bit_buffer b(48);
        for (unsigned i = 0; i < b.size(); ++i) *b(i) = static_cast<char>(0xA5);
        const bit_field f(4, width);
        const std::vector<unsigned char> before = bytes(b);
        EXPECT_EQ(f.set_u_long(b, f.max_unsigned_value() + 1) + f.set_long(b, f.max_signed_value() + 1L) +
                      f.set_long(b, f.min_signed_value() - 1L), -3) << width;
        EXPECT_EQ(width ? 0L : f.set_long(b, 0L) + f.set_u_long(b, 0UL) + f.get_long(b), 0L);
        EXPECT_EQ(bytes(b), before) << width;
    }
}

TEST(BitField, WidthsOutsideZeroToThirtyTwoAndNegativeOffsetsAreRefusedByName) {
    EXPECT_THROW(bit_field(0, -1), std::runtime_error);
    EXPECT_THROW(bit_field(-8, 4), std::runtime_error);
    try {
        bit_field(0, 33);
        ADD_FAILURE() << "width 33";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("33"), std::string::npos);
    }
}

}  // namespace
