// Field types, field descriptors and their value encodings, value references.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "Core/Orvex/__field.h"
#include "tests/test_support.h"

using namespace Orvex;
using namespace TestSupport;

namespace {

std::string content(const bit_buffer& b) { return std::string(b(0), b.size()); }

// One field after `lead` bits of another in a structure of its own, with a record.
struct OneField {
    TFields fields;
    TRecord record;
    template <class F>
    OneField(const F& f, unsigned lead = 0)
        : fields(lead ? fieldsOf(TField<unsigned int>("lead", lead) | f) : fieldsOf(f)), record(fields) {}
    TFieldInfo::reference ref() { return record[fields.size() - 1]; }
    const TFieldInfo& field() const { return fields[fields.size() - 1]; }
};

template <class N>
std::string show(N v) { return std::to_string(v); }
std::string show(const std::string& v) { return v; }
std::string show(const fixed_point& v) { return std::to_string(v.raw) + "/" + std::to_string(v.precision); }

// Stores v in the field and reads it back; or the range error's text, after
// checking that the refused value left the record's bytes alone.
template <class T>
std::string put(OneField& f, const T& v) {
    const std::string before = content(f.record.data());
    try {
        f.ref() = v;
    } catch (const std::out_of_range& e) {
        EXPECT_EQ(content(f.record.data()), before) << "refused " << e.what();
        return e.what();
    }
    return show(f.ref().get<T>());
}

// A value token read into the field, and the field's token written back.
std::string tokenRoundTrip(OneField& f, const std::string& token) {
    std::istringstream is(token);
    f.field().value_from_stream(is, f.record.data());
    std::ostringstream os;
    f.field().value_to_stream(os, f.record.data());
    return is.fail() ? "<failed> " + os.str() : os.str();
}

}  // namespace

// ------------------------------------------------------------ bit_slot

// The descriptors read and write through bit_slot; it must agree with the
// bit_field it is made from on every bit and every refusal.
TEST(BitSlot, AgreesWithItsBitFieldForEveryWidthAndOffset) {
    std::mt19937 random(7);
    for (int width = 0; width <= 32; ++width) {
        // Offsets past 56 reach the runs moved as one word.
        for (int offset = 0; offset < 80; offset += offset < 16 ? 1 : 7) {
            const bit_field field(offset, width);
            const bit_slot slot(field);
            for (int round = 0; round < 20; ++round) {
                bit_buffer a(offset + width + 9), b(0);
                for (unsigned i = 0; i < a.size(); ++i) *a(static_cast<int>(i)) = static_cast<char>(random());
                b = a;
                const unsigned long v = round == 0 ? 0xFFFFFFFFUL : random();
                const unsigned long u = width == 0 ? 0 : v >> (32 - width);
                ASSERT_EQ(0, field.set_u_long(a, u));
                ASSERT_TRUE(slot.fits(u));
                slot.put(b, static_cast<std::uint32_t>(u));
                ASSERT_EQ(content(a), content(b)) << width << "@" << offset;
                ASSERT_EQ(field.get_u_long(a), slot.get(b));
                ASSERT_EQ(field.get_long(a), slot.get_signed(b)) << width << "@" << offset;
            }
            const long limits[] = {field.min_signed_value(), field.max_signed_value(), field.min_signed_value() - 1,
                                   field.max_signed_value() + 1, 0, -1, 1};
            for (long v : limits) ASSERT_EQ(field.can_store(v), slot.fits(v)) << v << " in " << width;
            const unsigned long ulimits[] = {field.max_unsigned_value(), field.max_unsigned_value() + 1, 0, 1,
                                             0x100000000UL};
            for (unsigned long v : ulimits) ASSERT_EQ(field.can_store(v), slot.fits(v)) << v << " in " << width;
        }
    }
}

// ---------------------------------------------------------------- TType

TEST(TType, NamesMapToValuesAndBackAndOthersAreNoneOrRaise) {
    const char* names[] = {"int", "u_int", "long", "u_long", "str", "fixed"};
    for (int v = 1; v <= 6; ++v) {
        EXPECT_EQ(TType::typeByName(names[v - 1]), v) << names[v - 1];
        EXPECT_EQ(static_cast<const std::string&>(TType(static_cast<TType::EType>(v))), names[v - 1]);
    }
    for (const char* name : {"in", "integer", "Int", ""}) EXPECT_EQ(TType::typeByName(name), TType::tpNone) << name;
    EXPECT_EQ(TType::findByName("u_long"), TType::tpULong);
    EXPECT_EQ(message<std::logic_error>([] { TType::typeByName("ints"); }), "Error converting ints to Orvex::TType");
    EXPECT_EQ(message<std::logic_error>([] { TType t("sit"); }), "Error converting sit to Orvex::TType");
    EXPECT_EQ(TType::findByName("sit"), TType::tpNone);
}

// ------------------------------------------------------ integer fields

TEST(IntegerField, ValuesAtTheLimitsOfTheWidthAndTheFieldsMessageBeyond) {
    OneField u8(TField<unsigned int>("n", 8), 3);
    EXPECT_EQ(put(u8, 255u), "255");
    EXPECT_EQ(put(u8, 256u), "Field n maximum value exceeded: 256");
    OneField s8(TField<int>("n", 8), 5);
    EXPECT_EQ(put(s8, -128), "-128");
    EXPECT_EQ(put(s8, 127), "127");
    EXPECT_EQ(put(s8, -129), "Field n maximum value exceeded: -129");
    EXPECT_EQ(put(s8, 128), "Field n maximum value exceeded: 128");
    // Longs outside 32 bits are refused like any value that does not fit.
    OneField s(TField<long>("s", 32));
    EXPECT_EQ(put(s, -2147483648L), "-2147483648");
    EXPECT_EQ(put(s, 2147483648L), "Field s maximum value exceeded: 2147483648");
    EXPECT_EQ(put(s, -2147483649L), "Field s maximum value exceeded: -2147483649");
    OneField u(TField<unsigned long>("u", 32), 5);
    EXPECT_EQ(put(u, 0xFFFFFFFFUL), "4294967295");
    EXPECT_EQ(put(u, 0x100000000UL), "Field u maximum value exceeded: 4294967296");
    // Width 0 holds only 0, and writes nothing into its neighbour.
    OneField z(TField<int>("z", 0), 4);
    z.record[0] = 9u;
    EXPECT_EQ(put(z, 0), "0");
    EXPECT_EQ(put(z, 1), "Field z maximum value exceeded: 1");
    EXPECT_EQ(z.record[0].get<unsigned int>(), 9u);
}

TEST(IntegerField, WidthAbove32IsRefusedNamingFieldAndWidth) {
    EXPECT_EQ(message<std::runtime_error>([] { TField<int> f("wide", 33); }), "Field wide width 33 is above 32");
    EXPECT_THROW(TField<unsigned long>("w", 256), std::runtime_error);  // not wrapped to 0
    std::istringstream text("wide 40"), bin(sstr("wx") + static_cast<char>(99));
    EXPECT_EQ(message<std::runtime_error>([&] { TField<long> f(text); }), "Field wide width 40 is above 32");
    serial::serial_in in(bin);
    EXPECT_EQ(message<std::runtime_error>([&] { TField<unsigned int> f(in); }), "Field wx width 99 is above 32");
}

TEST(IntegerField, BothFormsReadBack) {
    TField<int> f("ab", 10);
    EXPECT_EQ(binaryOf(f), sstr("int") + sstr("ab") + '\x0A');
    EXPECT_EQ(f.serial_size(), 14u);
    EXPECT_EQ(static_cast<const TFieldInfo&>(f).serial_size(), 14u);
    std::istringstream is(binaryOf(f).substr(7));  // the reader has taken the type name
    serial::serial_in in(is);
    EXPECT_EQ(shapeOf(TField<int>(in)), "ab int 10");

    TField<unsigned long> g("count", 17);
    EXPECT_EQ(textOf(g), "\"u_long\"\t\"count\"\t17\t");
    std::istringstream text(textOf(g));
    TType t;
    tabulation::from_stream(text, t);
    EXPECT_EQ(t, TType::tpULong);
    TField<unsigned long> back(text);
    EXPECT_FALSE(text.fail());
    EXPECT_EQ(shapeOf(back), "count u_long 17");
}

TEST(IntegerField, ValueTokensAndAFailedTokenWritesNothing) {
    OneField f(TField<int>("v", 12), 3);
    EXPECT_EQ(tokenRoundTrip(f, "-2048"), "-2048\t");
    EXPECT_EQ(tokenRoundTrip(f, "oops"), "<failed> -2048\t");
}

// -------------------------------------------------- fixed-point fields

TEST(FixedField, StoresTheRawIntegerAtItsPrecisionConvertingOtherPrecisionsFirst) {
    OneField f(TField<fixed_point>("price", 2, 16), 3);
    EXPECT_EQ(put(f, fixed_point(2, 12.34)), "1234/2");
    EXPECT_EQ(static_cast<const TField<fixed_point>&>(f.field()).placement().get_long(f.record.data()), 1234);
    EXPECT_EQ(put(f, fixed_point(2, 400)), "Field price maximum value exceeded: 400.00");
    OneField g(TField<fixed_point>("p", 2, 12));
    // 1235 at precision 3 does not fit 12 bits; 124 at precision 2 does.
    EXPECT_EQ(put(g, fixed_point(3, 1.235)), "124/2");
    // Overflowing the 32-bit raw integer during conversion gives the field's message.
    EXPECT_EQ(put(g, fixed_point(0, 2000000000)), "Field p maximum value exceeded: 2000000000");
}

TEST(FixedField, FormsAndValueTokens) {
    TField<fixed_point> f("p", 3, 20);
    EXPECT_EQ(binaryOf(f), sstr("fixed") + sstr("p") + bytes({20, 3}));
    EXPECT_EQ(f.serial_size(), 16u);
    EXPECT_EQ(textOf(f), "\"fixed\"\t\"p\"\t20\t3\t");
    std::istringstream is("p 20 3"), wide("p 33 3");
    EXPECT_EQ(shapeOf(TField<fixed_point>(is)), "p fixed 20.3");
    EXPECT_EQ(message<std::runtime_error>([&] { TField<fixed_point> g(wide); }), "Field p width 33 is above 32");
    OneField v(TField<fixed_point>("p", 2, 20));
    EXPECT_EQ(tokenRoundTrip(v, "-3.456"), "-3.46\t");
    EXPECT_EQ(v.ref().get<fixed_point>().raw, -346);
}

// ------------------------------------------------------ string fields

TEST(StringField, UnpackedBytes) {
    OneField f(TField<std::string>("s", 4, false));
    EXPECT_EQ(put(f, std::string("AB")), "AB");
    EXPECT_EQ(content(f.record.data()), bytes({'A', 'B', 0, 0}));
    EXPECT_EQ(put(f, std::string("ABCDE")), "Field s maximum value exceeded: \"ABCDE\"");
    f.ref() = "WXYZ";
    f.ref() = "q";  // a shorter string clears the rest
    EXPECT_EQ(content(f.record.data()), bytes({'q', 0, 0, 0}));
}

TEST(StringField, PackedCodesAndTheirCharacterSet) {
    OneField f(TField<std::string>("s", 3, true));
    EXPECT_EQ(f.fields.bitSize(), 18u);
    f.ref() = "a?";
    // codes 33, 31, 63: 100001 011111 111111
    EXPECT_EQ(content(f.record.data()), bytes({0x85, 0xFF, 0xC0}));
    EXPECT_EQ(f.ref().get<std::string>(), "A?_");
    typedef TField<std::string> S;
    const std::pair<char, unsigned> codes[] = {{'^', 62}, {'_', 63}, {' ', 0},     {'~', 63},
                                               {'\x80', 63}, {'\xFF', 63}, {'\n', 63}, {'z', S::packedCode('Z')}};
    for (const auto& [c, code] : codes) EXPECT_EQ(S::packedCode(c), code) << int(c);
    OneField g(S("s", 5, true));
    g.ref() = "^~\x81\t";
    EXPECT_EQ(g.ref().get<std::string>(), "^____");
}

TEST(StringField, LengthZeroAndAnUnplacedDescriptor) {
    OneField f(TField<std::string>("e", 0, false), 3);
    EXPECT_EQ(f.fields.bitSize(), 3u);
    EXPECT_EQ(put(f, std::string()), "");
    EXPECT_EQ(put(f, std::string("x")), "Field e maximum value exceeded: \"x\"");
    // A descriptor outside any structure touches nothing.
    TField<std::string> loose("s", 4, false);
    bit_buffer b(8);
    loose.Set(b, "ab");
    EXPECT_EQ(content(b), bytes({0}));
    EXPECT_EQ(loose.Get(b), "");
}

TEST(StringField, RangeFormsAndLimits) {
    TField<std::string> packed("c", 3, true), plain("d", 2, false);
    EXPECT_EQ(packed.maxValue(), "___");
    EXPECT_EQ(plain.maxValue(), "\xFF\xFF");
    EXPECT_EQ(plain.minValue(), "");
    EXPECT_TRUE(plain.canStore("ab"));
    EXPECT_FALSE(plain.canStore("abc"));
    EXPECT_EQ(binaryOf(packed), sstr("str") + sstr("c") + bytes({3, 0, 1}));
    EXPECT_EQ(packed.serial_size(), 15u);
    EXPECT_EQ(textOf(packed), "\"str\"\t\"c\"\t3\t1\t");
    EXPECT_EQ(message<std::runtime_error>([] { TField<std::string> f("big", 65536, false); }),
              "Field big length 65536 is above 65535");
    OneField f(TField<std::string>("s", 6, false));
    EXPECT_EQ(tokenRoundTrip(f, "\"a b\\t\""), "\"a b\\t\"\t");  // value tokens are quoted
    EXPECT_EQ(f.ref().get<std::string>(), "a b\t");
}

// ---------------------------------------------------------- references

TEST(Reference, WrongTypeIsRefusedBeforeWriting) {
    OneField f(TField<long>("total", 16));
    f.ref() = 7L;
    EXPECT_EQ(message<std::logic_error>([&] { f.ref() = 5; }), "Field total is type of (long), should be (int)");
    EXPECT_EQ(message<std::logic_error>([&] { f.ref().get<unsigned long>(); }),
              "Field total is type of (long), should be (u_long)");
    EXPECT_THROW(f.ref() = "5", std::logic_error);
    EXPECT_THROW(f.ref() = fixed_point(0, 5), std::logic_error);
    EXPECT_EQ(f.ref().get<long>(), 7L);
}


TEST(Reference, CopyBetweenFieldsOfOneType) {
    TFields s = fieldsOf(TField<unsigned int>("wide", 16) | TField<unsigned int>("narrow", 8) |
                         TField<std::string>("long", 10, false) | TField<std::string>("short", 4, true) |
                         TField<fixed_point>("p3", 3, 20) | TField<fixed_point>("p1", 1, 12));
    TRecord r = recordOf(s, 300u, 0u, "abcd", "", fixed_point(3, 1.25));
    EXPECT_EQ(message<std::out_of_range>([&] { r[1] = r[0]; }), "Field narrow maximum value exceeded: 300");
    r[0] = 200u;
    r[1] = r[0];
    EXPECT_EQ(r[1].get<unsigned int>(), 200u);
    r[3] = r[2];
    EXPECT_EQ(r[3].get<std::string>(), "ABCD");
    r[2] = "abcde";
    EXPECT_EQ(message<std::out_of_range>([&] { r[3] = r[2]; }), "Field short maximum value exceeded: \"abcde\"");
    r[5] = r[4];
    EXPECT_EQ(show(r[5].get<fixed_point>()), "13/1");
    EXPECT_EQ(message<std::logic_error>([&] { r[1] = r[2]; }), "Field narrow is type of (u_int), should be (str)");
    // From another record through a const reference.
    TRecord other(s);
    const TRecord& source = r;
    other[4] = source[4];
    EXPECT_EQ(show(other[4].get<fixed_point>()), "1250/3");
    EXPECT_EQ(show(source["p3"].get<fixed_point>()), "1250/3");
}


// ---------------------------------------------------- transformer args

namespace {
class DummyArgs : public field_transformer_base::args {
public:
    std::string category() const override { return "dummy"; }
    void serial_write(std::ostream&) const override {}
    void to_stream(std::ostream&) const override {}
};
}  // namespace

// A handle reads and writes what typed access does, checks the type once
// when made, refuses values that do not fit with the field's own message,
// and refuses records of another structure.
TEST(FieldHandles, ReadAndWriteAsTypedAccessDoes) {
    TFields f;
    f += TField<unsigned int>("id", 20) | TEndOfKey() | TField<int>("qty", 13) | TField<fixed_point>("price", 2, 20) |
         TField<std::string>("code", 4, true);
    const field_handle<unsigned int> id = f.handle<unsigned int>("id");
    const field_handle<int> qty = f.handle<int>("qty");
    const field_handle<fixed_point> price = f.handle<fixed_point>("price");
    const field_handle<std::string> code = f.handle<std::string>("code");
    Orvex::TRecord r(f);
    id.set(r, 1048575u);
    qty.set(r, -4096);
    price.set(r, fixed_point(2, 12.34));
    code.set(r, "ABCD");
    EXPECT_EQ(r["id"].get<unsigned int>(), 1048575u);
    EXPECT_EQ(r["qty"].get<int>(), -4096);
    EXPECT_EQ(r["price"].get<fixed_point>().raw, 1234);
    EXPECT_EQ(r["code"].get<std::string>(), "ABCD");
    r["qty"] = 4095;
    EXPECT_EQ(qty.get(r), 4095);
    EXPECT_EQ(id.get(r), 1048575u);
    EXPECT_EQ(code.get(r), "ABCD");
    try {
        qty.set(r, 4096);
        ADD_FAILURE() << "4096 fits 13 bits";
    } catch (const std::out_of_range& e) {
        EXPECT_EQ(std::string(e.what()), "Field qty maximum value exceeded: 4096");
    }
    EXPECT_EQ(qty.get(r), 4095);
    try {
        f.handle<unsigned int>("qty");
        ADD_FAILURE() << "qty is an int";
    } catch (const std::logic_error& e) {
        EXPECT_EQ(std::string(e.what()), "Field qty is type of (int), should be (u_int)");
    }
    TFields other;
    other += TField<unsigned int>("id", 20);
    Orvex::TRecord foreign(other);
    EXPECT_THROW(id.get(foreign), std::logic_error);
}

// ------------------------------------------------------- handles on raw bytes

namespace {

// A structure that places field `v` at bit `offset` (after pad fields of up
// to 32 bits) and a 7-bit field after it, so that both ends of `v` have
// neighbours whose bits must survive.
TFields placedAt(const TFieldsElement& v, unsigned offset) {
    TFields f;
    for (unsigned pad = 0; offset > 0; ++pad) {
        const unsigned bits = offset < 32 ? offset : 32;
        f += TField<unsigned int>("pad" + std::to_string(pad), bits);
        offset -= bits;
    }
    f += v;
    f += TField<unsigned int>("tail", 7);
    return f;
}

std::string hex(const unsigned char* bytes, unsigned size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < size; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

// Writes `value` through the handle on a record and on a copy of its bytes
// held in a buffer of exactly byteSize() bytes: both must end with the same
// bytes and read the value back alike, or both refuse it with the same
// message and change nothing. Returns the value read (as text) or the
// message.
template <class T>
std::string writeBothWays(const TFields& f, TRecord& r, std::vector<unsigned char>& raw, const T& value) {
    const field_handle<T> h = f.handle<T>("v");
    const std::string before = hex(raw.data(), f.byteSize());
    const std::string onRecord = message<std::out_of_range>([&] { h.set(r, value); });
    const std::string onBytes = message<std::out_of_range>([&] { h.set(raw.data(), value); });
    EXPECT_EQ(onBytes, onRecord);
    EXPECT_EQ(hex(raw.data(), f.byteSize()), hex(r.bytes(), f.byteSize()));
    if (onRecord != "<no error>") {
        EXPECT_EQ(hex(raw.data(), f.byteSize()), before) << "refused " << onRecord;
        return onRecord;
    }
    EXPECT_EQ(show(h.get(raw.data())), show(r["v"].get<T>()));
    return show(h.get(raw.data()));
}

// A record of `f` full of random bits, and a copy of exactly its bytes.
std::vector<unsigned char> scramble(const TFields& f, TRecord& r, std::mt19937& random) {
    for (unsigned i = 0; i < f.byteSize(); ++i) r.bytes()[i] = static_cast<unsigned char>(random());
    return std::vector<unsigned char>(r.bytes(), r.bytes() + f.byteSize());
}

const unsigned kOffsets[] = {0, 1, 5, 8, 13, 31, 56, 59, 63, 64, 71};

}  // namespace

template <class T>
class IntegerHandlesOnBytes : public ::testing::Test {};
using IntegerTypes = ::testing::Types<int, long, unsigned int, unsigned long>;
TYPED_TEST_SUITE(IntegerHandlesOnBytes, IntegerTypes);

// Integers of every width at aligned and unaligned offsets, including those
// moved as one word: the bytes a handle writes on raw record bytes are the
// record path's, values read back, and the largest value plus one (and the
// smallest minus one) is refused with the field's own message.
TYPED_TEST(IntegerHandlesOnBytes, EveryWidthAndOffsetMatchesTheRecordPath) {
    typedef TypeParam T;
    std::mt19937 random(11);
    for (unsigned width = 0; width <= 32; ++width) {
        const long half = width == 0 ? 0 : 1L << (width - 1);
        const long low = std::is_signed<T>::value ? -half : 0;
        const long high = std::is_signed<T>::value ? (half ? half - 1 : 0) : (width == 0 ? 0 : (1L << width) - 1);
        for (unsigned offset : kOffsets) {
            const TFields f = placedAt(TField<T>("v", width), offset);
            TRecord r(f);
            std::vector<unsigned char> raw = scramble(f, r, random);
            EXPECT_EQ(writeBothWays<T>(f, r, raw, static_cast<T>(low)), std::to_string(low));
            EXPECT_EQ(writeBothWays<T>(f, r, raw, static_cast<T>(high)), std::to_string(high));
            if (width == 32) continue;
            EXPECT_EQ(writeBothWays<T>(f, r, raw, static_cast<T>(high + 1)),
                      "Field v maximum value exceeded: " + std::to_string(high + 1));
            if (std::is_signed<T>::value)
                EXPECT_EQ(writeBothWays<T>(f, r, raw, static_cast<T>(low - 1)),
                          "Field v maximum value exceeded: " + std::to_string(low - 1));
        }
    }
}

// Fixed point converts to the field's precision before it stores, on bytes
// as on records.
TEST(FieldHandlesOnBytes, FixedPointMatchesTheRecordPath) {
    std::mt19937 random(12);
    for (unsigned width = 1; width <= 32; width += 3) {
        for (unsigned offset : kOffsets) {
            const TFields f = placedAt(TField<fixed_point>("v", 2, width), offset);
            TRecord r(f);
            std::vector<unsigned char> raw = scramble(f, r, random);
            const long high = (1L << (width - 1)) - 1;
            fixed_point v(2);
            v.raw = static_cast<int>(-high - 1);
            EXPECT_EQ(writeBothWays<fixed_point>(f, r, raw, v), std::to_string(-high - 1) + "/2");
            // A coarser value is converted first: 1.5 is stored as 150.
            fixed_point coarse(1);
            coarse.raw = 15;
            const std::string stored = writeBothWays<fixed_point>(f, r, raw, coarse);
            if (high >= 150) {
                EXPECT_EQ(stored, "150/2");
            } else {
                EXPECT_EQ(stored.rfind("Field v maximum value exceeded: ", 0), 0u) << stored;
            }
            if (width < 32) {
                v.raw = static_cast<int>(high + 1);
                EXPECT_EQ(writeBothWays<fixed_point>(f, r, raw, v).rfind("Field v maximum value exceeded: ", 0), 0u);
            }
        }
    }
}

// Strings, packed and plain, of every short length: the unused positions
// are written too, and a string one character too long is refused.
TEST(FieldHandlesOnBytes, StringsMatchTheRecordPath) {
    std::mt19937 random(13);
    for (bool packed : {false, true}) {
        for (unsigned length = 0; length <= 12; ++length) {
            for (unsigned offset : kOffsets) {
                const TFields f = placedAt(TField<std::string>("v", length, packed), offset);
                TRecord r(f);
                std::vector<unsigned char> raw = scramble(f, r, random);
                std::string full;
                for (unsigned i = 0; i < length; ++i) full += static_cast<char>('A' + random() % 26);
                EXPECT_EQ(writeBothWays<std::string>(f, r, raw, full), full);
                const std::string shorter = full.substr(0, length / 2);
                // Packed positions read unused ones back as '_'.
                EXPECT_EQ(writeBothWays<std::string>(f, r, raw, shorter),
                          packed ? shorter + std::string(length - shorter.size(), '_') : shorter);
                EXPECT_EQ(writeBothWays<std::string>(f, r, raw, full + "x"),
                          "Field v maximum value exceeded: \"" + full + "x\"");
            }
        }
    }
}

