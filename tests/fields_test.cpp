// Field types, field descriptors and their value encodings, value references.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>

#include "Core/Orvex/__field.h"

using namespace Orvex;

// Counts every allocation of the process, so a test can show that a loop
// does not allocate. (The replacement pairs malloc with free on purpose.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static std::atomic<long> g_allocations(0);

void* operator new(std::size_t size) {
    ++g_allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

template <class E, class F>
std::string messageOf(F f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "wrong exception type: " << e.what();
        return std::string();
    }
    ADD_FAILURE() << "nothing raised";
    return std::string();
}

std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list) s += static_cast<char>(b);
    return s;
}

std::string content(const bit_buffer& b) { return std::string(b(0), b.size()); }

template <class F>
std::string binaryForm(const F& field) {
    std::ostringstream os;
    serial::serial_out out(os);
    field.serial_write(out);
    return os.str();
}

template <class F>
std::string textForm(const F& field) {
    std::ostringstream os;
    field.to_stream(os);
    return os.str();
}

// One field placed at `offset` in a structure of its own, with a record.
struct OneField {
    TFields fields;
    TRecord record;
    template <class F>
    OneField(const F& f, unsigned lead = 0) : fields(make(f, lead)), record(fields) {}
    template <class F>
    static TFields make(const F& f, unsigned lead) {
        TFields s;
        if (lead) s += TField<unsigned int>("lead", lead);
        s += f;
        return s;
    }
    TFieldInfo::reference ref() { return record[fields.size() - 1]; }
};

}  // namespace

// ------------------------------------------------------------ bit_slot

// The descriptors read and write through bit_slot; it must agree with the
// bit_field it is made from on every bit and every refusal.
TEST(BitSlot, AgreesWithItsBitFieldForEveryWidthAndOffset) {
    std::mt19937 random(7);
    for (int width = 0; width <= 32; ++width) {
        for (int offset = 0; offset < 16; ++offset) {
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

TEST(TType, NamesMapToValuesAndBack) {
    const char* names[] = {"int", "u_int", "long", "u_long", "str", "fixed"};
    for (int v = 1; v <= 6; ++v) {
        EXPECT_EQ(v, TType::typeByName(names[v - 1])) << names[v - 1];
        EXPECT_EQ(names[v - 1], static_cast<const std::string&>(TType(static_cast<TType::EType>(v))));
    }
}

TEST(TType, NamesOutsideTheTableAreNoneWithoutError) {
    EXPECT_EQ(TType::tpNone, TType::typeByName("in"));
    EXPECT_EQ(TType::tpNone, TType::typeByName("integer"));
    EXPECT_EQ(TType::tpNone, TType::typeByName("Int"));  // A('I') = 11: hash 14
    EXPECT_EQ(TType::tpNone, TType::typeByName(""));
}

TEST(TType, NamesHashingIntoTheTableRaise) {
    EXPECT_EQ("Error converting ints to Orvex::TType",
              messageOf<std::logic_error>([] { TType::typeByName("ints"); }));  // empty slot 9
    EXPECT_EQ("Error converting sit to Orvex::TType",
              messageOf<std::logic_error>([] { TType t("sit"); }));  // slot of "str"
    EXPECT_EQ(TType::tpNone, TType::findByName("sit"));
}

TEST(TType, NoneHasNoNameAndWritesNothing) {
    EXPECT_EQ("Attempt to convert Orvex::TType == tpNone to std::string",
              messageOf<std::logic_error>([] { TType().name(); }));
    std::ostringstream os;
    EXPECT_THROW(tabulation::to_stream(os, TType()), std::logic_error);
    EXPECT_EQ("", os.str());
}

TEST(TType, TokenRoundTripAndFailedReadKeepsValue) {
    std::ostringstream os;
    tabulation::to_stream(os, TType(TType::tpFixed));
    std::istringstream is(os.str());
    TType t(TType::tpInt);
    tabulation::from_stream(is, t);
    EXPECT_EQ(TType::tpFixed, t);

    std::istringstream empty("   ");
    tabulation::from_stream(empty, t);
    EXPECT_TRUE(empty.fail());
    EXPECT_EQ(TType::tpFixed, t);
}

// ------------------------------------------------------ integer fields

TEST(IntegerField, UnsignedWidth8) {
    OneField f(TField<unsigned int>("n", 8), 3);
    f.ref() = 255u;
    EXPECT_EQ(255u, f.ref().get<unsigned int>());
    const std::string before = content(f.record.data());
    EXPECT_EQ("Field n maximum value exceeded: 256",
              messageOf<std::out_of_range>([&] { f.ref() = 256u; }));
    EXPECT_EQ(before, content(f.record.data()));
}

TEST(IntegerField, SignedWidth8) {
    OneField f(TField<int>("n", 8), 5);
    f.ref() = -128;
    EXPECT_EQ(-128, f.ref().get<int>());
    f.ref() = 127;
    EXPECT_EQ(127, f.ref().get<int>());
    EXPECT_EQ("Field n maximum value exceeded: -129", messageOf<std::out_of_range>([&] { f.ref() = -129; }));
    EXPECT_EQ("Field n maximum value exceeded: 128", messageOf<std::out_of_range>([&] { f.ref() = 128; }));
    EXPECT_EQ(127, f.ref().get<int>());
}

TEST(IntegerField, LongValuesOutside32BitsAreRefusedWithTheFieldsMessage) {
    OneField s(TField<long>("s", 32));
    s.ref() = -2147483648L;
    EXPECT_EQ(-2147483648L, s.ref().get<long>());
    EXPECT_EQ("Field s maximum value exceeded: 2147483648",
              messageOf<std::out_of_range>([&] { s.ref() = 2147483648L; }));
    EXPECT_EQ("Field s maximum value exceeded: -2147483649",
              messageOf<std::out_of_range>([&] { s.ref() = -2147483649L; }));

    OneField u(TField<unsigned long>("u", 32), 5);
    u.ref() = 0xFFFFFFFFUL;
    EXPECT_EQ(0xFFFFFFFFUL, u.ref().get<unsigned long>());
    EXPECT_EQ("Field u maximum value exceeded: 4294967296",
              messageOf<std::out_of_range>([&] { u.ref() = 0x100000000UL; }));
    EXPECT_EQ(0xFFFFFFFFUL, u.ref().get<unsigned long>());
}

TEST(IntegerField, RangeQueriesFollowTheWidth) {
    OneField s(TField<int>("s", 5));
    const TField<int>& sf = static_cast<const TField<int>&>(s.fields[0]);
    EXPECT_EQ(-16, sf.minValue());
    EXPECT_EQ(15, sf.maxValue());
    EXPECT_TRUE(sf.canStore(-16));
    EXPECT_FALSE(sf.canStore(16));

    OneField u(TField<unsigned long>("u", 5));
    const TFieldInfo& uf = u.fields[0];
    unsigned long lo = 7, hi = 0, probe = 32;
    uf.impl().minValue(uf, &lo);
    uf.impl().maxValue(uf, &hi);
    EXPECT_EQ(0u, lo);
    EXPECT_EQ(31u, hi);
    EXPECT_FALSE(uf.impl().canStore(uf, &probe));
}

TEST(IntegerField, ZeroWidthHoldsOnlyZero) {
    OneField f(TField<int>("z", 0), 4);
    f.record[0] = 9u;
    f.ref() = 0;
    EXPECT_EQ(0, f.ref().get<int>());
    EXPECT_THROW(f.ref() = 1, std::out_of_range);
    EXPECT_EQ(9u, f.record[0].get<unsigned int>());
}

TEST(IntegerField, WidthAbove32IsRefusedNamingFieldAndWidth) {
    EXPECT_EQ("Field wide width 33 is above 32",
              messageOf<std::runtime_error>([] { TField<int> f("wide", 33); }));
    EXPECT_THROW(TField<unsigned long>("w", 256), std::runtime_error);  // not wrapped to 0
    std::istringstream text("wide 40");
    EXPECT_EQ("Field wide width 40 is above 32", messageOf<std::runtime_error>([&] { TField<long> f(text); }));
    std::istringstream bin(bytes({2, 0, 0, 0, 'w', 'x', 99}));
    serial::serial_in in(bin);
    EXPECT_EQ("Field wx width 99 is above 32", messageOf<std::runtime_error>([&] { TField<unsigned int> f(in); }));
}

TEST(IntegerField, BinaryFormOfATwoLetterIntField) {
    TField<int> f("ab", 10);
    EXPECT_EQ(bytes({3, 0, 0, 0, 'i', 'n', 't', 2, 0, 0, 0, 'a', 'b', 10}), binaryForm(f));
    EXPECT_EQ(14u, f.serial_size());
    EXPECT_EQ(14u, static_cast<const TFieldInfo&>(f).serial_size());

    std::istringstream is(binaryForm(f).substr(7));  // the reader has taken the type name
    serial::serial_in in(is);
    TField<int> back(in);
    EXPECT_EQ("ab", back.name());
    EXPECT_EQ(10u, back.bits());
}

TEST(IntegerField, TextFormReadsBack) {
    TField<unsigned long> f("count", 17);
    const std::string text = textForm(f);
    EXPECT_EQ("\"u_long\"\t\"count\"\t17\t", text);
    std::istringstream is(text);
    TType t;
    tabulation::from_stream(is, t);
    EXPECT_EQ(TType::tpULong, t);
    TField<unsigned long> back(is);
    EXPECT_FALSE(is.fail());
    EXPECT_EQ("count", back.name());
    EXPECT_EQ(17u, back.bits());
}

TEST(IntegerField, CopyFromChecksTheDestinationWidth) {
    TFields s;
    s += TField<long>("wide", 16) | TField<long>("narrow", 8);
    TRecord r(s);
    r[0] = 300L;
    EXPECT_EQ("Field narrow maximum value exceeded: 300", messageOf<std::out_of_range>([&] {
                  s[1].impl().copyFrom(s[1], r.data(), s[0], r.data());
              }));
    r[0] = -100L;
    s[1].impl().copyFrom(s[1], r.data(), s[0], r.data());
    EXPECT_EQ(-100L, r[1].get<long>());
}

TEST(IntegerField, ValueTokens) {
    OneField f(TField<int>("v", 12), 3);
    std::istringstream is("-2048 oops");
    f.ref().field().value_from_stream(is, f.record.data());
    EXPECT_EQ(-2048, f.ref().get<int>());
    f.ref().field().value_from_stream(is, f.record.data());  // failed token writes nothing
    EXPECT_TRUE(is.fail());
    EXPECT_EQ(-2048, f.ref().get<int>());
    std::ostringstream os;
    f.ref().field().value_to_stream(os, f.record.data());
    EXPECT_EQ("-2048\t", os.str());
}

// -------------------------------------------------- fixed-point fields

TEST(FixedField, StoresTheRawIntegerAtItsPrecision) {
    OneField f(TField<fixed_point>("price", 2, 16), 3);
    f.ref() = fixed_point(2, 12.34);
    fixed_point v = f.ref().get<fixed_point>();
    EXPECT_EQ(1234, v.raw);
    EXPECT_EQ(2u, v.precision);
    EXPECT_EQ(1234, static_cast<const TField<fixed_point>&>(f.ref().field()).placement().get_long(f.record.data()));

    EXPECT_EQ("Field price maximum value exceeded: 400.00",
              messageOf<std::out_of_range>([&] { f.ref() = fixed_point(2, 400); }));
    EXPECT_EQ(1234, f.ref().get<fixed_point>().raw);
}

TEST(FixedField, OtherPrecisionsAreConvertedFirst) {
    OneField f(TField<fixed_point>("p", 2, 12));
    f.ref() = fixed_point(3, 1.235);  // 1235 at precision 3 does not fit 12 bits; 124 at precision 2 does
    EXPECT_EQ(124, f.ref().get<fixed_point>().raw);
    // Overflowing the 32-bit raw integer during conversion gives the field's message.
    EXPECT_EQ("Field p maximum value exceeded: 2000000000",
              messageOf<std::out_of_range>([&] { f.ref() = fixed_point(0, 2000000000); }));
}

TEST(FixedField, RangeAndCanStore) {
    TFields s;
    s += TField<fixed_point>("p", 1, 8);
    const TField<fixed_point>& f = static_cast<const TField<fixed_point>&>(s[0]);
    EXPECT_EQ(-128, f.minValue().raw);
    EXPECT_EQ(127, f.maxValue().raw);
    EXPECT_EQ(1u, f.maxValue().precision);
    EXPECT_TRUE(f.canStore(fixed_point(2, 12.7)));
    EXPECT_FALSE(f.canStore(fixed_point(2, 12.8)));
    fixed_point out(5);
    f.impl().maxValue(f, &out);
    EXPECT_EQ(127, out.raw);
    EXPECT_EQ(1u, out.precision);
}

TEST(FixedField, Forms) {
    TField<fixed_point> f("p", 3, 20);
    EXPECT_EQ(bytes({5, 0, 0, 0, 'f', 'i', 'x', 'e', 'd', 1, 0, 0, 0, 'p', 20, 3}), binaryForm(f));
    EXPECT_EQ(16u, f.serial_size());
    EXPECT_EQ("\"fixed\"\t\"p\"\t20\t3\t", textForm(f));
    std::istringstream is("p 20 3");
    TField<fixed_point> back(is);
    EXPECT_EQ(20u, back.bits());
    EXPECT_EQ(3u, back.Precision());
    std::istringstream wide("p 33 3");
    EXPECT_EQ("Field p width 33 is above 32", messageOf<std::runtime_error>([&] { TField<fixed_point> g(wide); }));
}

TEST(FixedField, ValueTokens) {
    OneField f(TField<fixed_point>("p", 2, 20));
    std::istringstream is("-3.456");
    f.ref().field().value_from_stream(is, f.record.data());
    EXPECT_EQ(-346, f.ref().get<fixed_point>().raw);
    std::ostringstream os;
    f.record.to_stream(os);
    EXPECT_EQ("-3.46\t", os.str());
}

// ------------------------------------------------------ string fields

TEST(StringField, UnpackedBytes) {
    OneField f(TField<std::string>("s", 4, false));
    f.ref() = std::string("AB");
    EXPECT_EQ(bytes({0x41, 0x42, 0, 0}), content(f.record.data()));
    EXPECT_EQ("AB", f.ref().get<std::string>());
    EXPECT_EQ("Field s maximum value exceeded: \"ABCDE\"",
              messageOf<std::out_of_range>([&] { f.ref() = "ABCDE"; }));
    EXPECT_EQ(bytes({0x41, 0x42, 0, 0}), content(f.record.data()));
    f.ref() = "WXYZ";
    f.ref() = "q";  // a shorter string clears the rest
    EXPECT_EQ(bytes({'q', 0, 0, 0}), content(f.record.data()));
}

TEST(StringField, PackedCodes) {
    OneField f(TField<std::string>("s", 3, true));
    EXPECT_EQ(18u, f.fields.bitSize());
    f.ref() = "a?";
    // codes 33, 31, 63: 100001 011111 111111
    EXPECT_EQ(bytes({0x85, 0xFF, 0xC0}), content(f.record.data()));
    EXPECT_EQ("A?_", f.ref().get<std::string>());
}

TEST(StringField, PackedCharacterSet) {
    typedef TField<std::string> S;
    EXPECT_EQ(62u, S::packedCode('^'));
    EXPECT_EQ(63u, S::packedCode('_'));
    EXPECT_EQ(0u, S::packedCode(' '));
    EXPECT_EQ(63u, S::packedCode('~'));
    EXPECT_EQ(63u, S::packedCode('\x80'));
    EXPECT_EQ(63u, S::packedCode('\xFF'));
    EXPECT_EQ(63u, S::packedCode('\n'));
    EXPECT_EQ(S::packedCode('Z'), S::packedCode('z'));
    OneField f(S("s", 5, true));
    f.ref() = "^~\x81\t";
    EXPECT_EQ("^____", f.ref().get<std::string>());
}

TEST(StringField, LengthZero) {
    OneField f(TField<std::string>("e", 0, false), 3);
    EXPECT_EQ(3u, f.fields.bitSize());
    f.ref() = "";
    EXPECT_EQ("", f.ref().get<std::string>());
    EXPECT_THROW(f.ref() = "x", std::out_of_range);
}

TEST(StringField, UnplacedDescriptorTouchesNothing) {
    TField<std::string> f("s", 4, false);
    bit_buffer b(8);
    f.Set(b, "ab");
    EXPECT_EQ(bytes({0}), content(b));
    EXPECT_EQ("", f.Get(b));
}

TEST(StringField, RangeFormsAndLimits) {
    TField<std::string> packed("c", 3, true), plain("d", 2, false);
    EXPECT_EQ("___", packed.maxValue());
    EXPECT_EQ("\xFF\xFF", plain.maxValue());
    EXPECT_EQ("", plain.minValue());
    EXPECT_TRUE(plain.canStore("ab"));
    EXPECT_FALSE(plain.canStore("abc"));
    EXPECT_EQ(bytes({3, 0, 0, 0, 's', 't', 'r', 1, 0, 0, 0, 'c', 3, 0, 1}), binaryForm(packed));
    EXPECT_EQ(15u, packed.serial_size());
    EXPECT_EQ("\"str\"\t\"c\"\t3\t1\t", textForm(packed));
    EXPECT_EQ("Field big length 65536 is above 65535",
              messageOf<std::runtime_error>([] { TField<std::string> f("big", 65536, false); }));
}

TEST(StringField, ValueTokensAreQuoted) {
    OneField f(TField<std::string>("s", 6, false));
    std::istringstream is("\"a b\\t\"");
    f.ref().field().value_from_stream(is, f.record.data());
    EXPECT_EQ("a b\t", f.ref().get<std::string>());
    std::ostringstream os;
    f.record.to_stream(os);
    EXPECT_EQ("\"a b\\t\"\t", os.str());
}

// ---------------------------------------------------------- references

TEST(Reference, WrongTypeIsRefusedBeforeWriting) {
    OneField f(TField<long>("total", 16));
    f.ref() = 7L;
    EXPECT_EQ("Field total is type of (long), should be (int)",
              messageOf<std::logic_error>([&] { f.ref() = 5; }));
    EXPECT_EQ(7L, f.ref().get<long>());
    EXPECT_EQ("Field total is type of (long), should be (u_long)",
              messageOf<std::logic_error>([&] { f.ref().get<unsigned long>(); }));
    EXPECT_THROW(f.ref() = "5", std::logic_error);
    EXPECT_THROW(f.ref() = fixed_point(0, 5), std::logic_error);
    EXPECT_EQ(7L, f.ref().get<long>());
}

TEST(Reference, CharPointerBehavesAsString) {
    OneField a(TField<std::string>("s", 5, true)), b(TField<std::string>("s", 5, true));
    a.ref() = "hi!";
    b.ref() = std::string("hi!");
    EXPECT_EQ(content(a.record.data()), content(b.record.data()));
    EXPECT_EQ(messageOf<std::out_of_range>([&] { a.ref() = "toolong"; }),
              messageOf<std::out_of_range>([&] { b.ref() = std::string("toolong"); }));
}

TEST(Reference, CopyBetweenFieldsOfOneType) {
    TFields s;
    s += TField<unsigned int>("wide", 16) | TField<unsigned int>("narrow", 8) | TField<std::string>("long", 10, false) |
         TField<std::string>("short", 4, true) | TField<fixed_point>("p3", 3, 20) | TField<fixed_point>("p1", 1, 12);
    TRecord r(s);
    r[0] = 300u;
    EXPECT_EQ("Field narrow maximum value exceeded: 300", messageOf<std::out_of_range>([&] { r[1] = r[0]; }));
    r[0] = 200u;
    r[1] = r[0];
    EXPECT_EQ(200u, r[1].get<unsigned int>());

    r[2] = "abcd";
    r[3] = r[2];
    EXPECT_EQ("ABCD", r[3].get<std::string>());
    r[2] = "abcde";
    EXPECT_EQ("Field short maximum value exceeded: \"abcde\"", messageOf<std::out_of_range>([&] { r[3] = r[2]; }));

    r[4] = fixed_point(3, 1.25);
    r[5] = r[4];
    EXPECT_EQ(13, r[5].get<fixed_point>().raw);
    EXPECT_EQ(1u, r[5].get<fixed_point>().precision);

    EXPECT_EQ("Field narrow is type of (u_int), should be (str)", messageOf<std::logic_error>([&] { r[1] = r[2]; }));
}

TEST(Reference, CopyFromAnotherRecordThroughConstReference) {
    TFields s;
    s += TField<int>("a", 10);
    TRecord src(s), dst(s);
    src[0] = -300;
    const TRecord& csrc = src;
    dst[0] = csrc[0];
    EXPECT_EQ(-300, dst[0].get<int>());
    EXPECT_EQ(-300, csrc[0].get<int>());
    EXPECT_EQ(-300, csrc["a"].get<int>());
}

TEST(Reference, ValuesThroughTheBaseClass) {
    OneField f(TField<unsigned long>("u", 20));
    Val<unsigned long> v(77);
    const TBaseValue& base = v;
    f.ref() = base;
    EXPECT_EQ(77u, f.ref().get<unsigned long>());
    Val<int> wrong(1);
    EXPECT_EQ("Field u is type of (u_long), should be (int)",
              messageOf<std::logic_error>([&] { f.ref() = static_cast<const TBaseValue&>(wrong); }));
    EXPECT_THROW(base.CheckType(TFieldInfo::const_reference(f.ref()), "int"), std::logic_error);
    EXPECT_NO_THROW(base.CheckType(f.ref(), std::string("u_long")));  // equal text, other object
    EXPECT_EQ("Field u is type of (u_long), should be (fixed)",
              messageOf<std::logic_error>([&] { f.fields[0].CheckType("fixed"); }));
}

TEST(Reference, OneStrategyPerType) {
    TField<int> a("a", 1), b("b", 2);
    EXPECT_EQ(&a.impl(), &b.impl());
    EXPECT_EQ(&a.Type(), &b.Type());
    EXPECT_EQ(&TImpl<int>::s_impl().typeName(), &a.Type());
    EXPECT_NE(&a.impl(), &TField<long>("c", 3).impl());
}

TEST(Reference, FieldAccessDoesNotAllocate) {
    TFields s;
    s += TField<unsigned int>("key", 24) | TEndOfKey() | TField<int>("qty", 13) |
         TField<fixed_point>("price", 2, 20) | TField<std::string>("code", 4, true);
    TRecord r(s);
    const fixed_point price(2, 1.5);
    const std::string code("AB");
    long sum = 0;
    const long probe = g_allocations;
    { TFields counted; }  // the library's own allocations are seen by the counter
    ASSERT_GT(g_allocations.load(), probe);
    const long before = g_allocations;
    for (int i = 0; i < 100; ++i) {
        r[0] = static_cast<unsigned int>(i);
        r[1] = -i;
        r[2] = price;
        r[3] = code;
        TRecord copy(r);
        sum += copy[0].get<unsigned int>() + copy[1].get<int>() + copy[2].get<fixed_point>().raw;
        sum += static_cast<long>(copy[3].get<std::string>().size());
    }
    EXPECT_EQ(before, g_allocations.load());
    EXPECT_EQ(100L * 150 + 100L * 4, sum);
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

TEST(TransformerArgs, TravelWithTheDescriptorButNotWithItsForms) {
    TField<int> f("a", 4);
    EXPECT_FALSE(f.transformer());
    pointer<field_transformer_base::args> args(new DummyArgs);
    f.transformer(args);
    TFields s;
    s += f;
    EXPECT_EQ(args.get(), s[0].transformer().get());
    EXPECT_EQ(bytes({3, 0, 0, 0, 'i', 'n', 't', 1, 0, 0, 0, 'a', 4}), binaryForm(f));
    TFields copy(s);
    copy += TField<int>("b", 1);  // re-adds every field
    EXPECT_EQ(args.get(), copy[0].transformer().get());
}
