// Field types, their descriptors, value encodings, references and handles.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Core/Orvex/__field.h"
#include "tests/test_support.h"

using namespace Orvex;
using namespace TestSupport;

namespace {

std::string hex(const unsigned char* bytes, unsigned size) {
    std::string out;
    for (unsigned i = 0; i < size; ++i) out += "0123456789abcdef"[bytes[i] >> 4], out += "0123456789abcdef"[bytes[i] & 15];
    return out;
}

template <class N>
std::string show(N v) { return std::to_string(v); }
std::string show(const std::string& v) { return v; }
std::string show(const fixed_point& v) { return std::to_string(v.raw) + "/" + std::to_string(v.precision); }

// A structure of field `v` after `lead` bits of other fields (32 at most
// each), in a record whose every bit starts at one.
struct Placed {
    TFields fields;
    TRecord record;
    Placed(const TFieldsElement& v, unsigned lead) : fields(leadOf(lead)), record((fields += v, fields)) {
        for (unsigned i = 0; i < fields.byteSize(); ++i) record.bytes()[i] = 0xFF;
    }
    static TFields leadOf(unsigned lead) {
        TFields f;
        for (unsigned pad = 0; lead > 0; lead -= std::min(lead, 32u))
            f += TField<unsigned int>("pad" + std::to_string(pad++), std::min(lead, 32u));
        return f;
    }
    std::string bytes() const { return hex(record.bytes(), fields.byteSize()); }
};

// Stores `value` three ways: typed access on a record, a handle on a record,
// a handle on a copy of exactly the record's bytes. All must end with the
// same bytes, or refuse with the same message and change nothing. Gives
// "value read back = record bytes in hex", or the message.
template <class T>
std::string store(const TFieldsElement& decl, unsigned lead, const T& value) {
    Placed typed(decl, lead), byHandle(decl, lead);
    std::vector<unsigned char> raw(typed.record.bytes(), typed.record.bytes() + typed.fields.byteSize());
    const std::string before = typed.bytes();
    const field_handle<T> h = byHandle.fields.template handle<T>("v");
    const std::string error = message<std::out_of_range>([&] { typed.record["v"] = value; });
    EXPECT_EQ(message<std::out_of_range>([&] { h.set(byHandle.record, value); }), error);
    EXPECT_EQ(message<std::out_of_range>([&] { h.set(raw.data(), value); }), error);
    EXPECT_EQ(byHandle.bytes() + " " + hex(raw.data(), typed.fields.byteSize()), typed.bytes() + " " + typed.bytes());
    if (error != "<no error>") {
        EXPECT_EQ(typed.bytes(), before);
        return error;
    }
    const T back = typed.record["v"].template get<T>();
    EXPECT_EQ(show(h.get(raw.data())) + " " + show(h.get(byHandle.record)), show(back) + " " + show(back));
    return show(back) + " = " + typed.bytes();
}

typedef std::pair<std::function<std::string()>, std::string> Row;  // the run and what it gives
template <class T>
Row row(const TField<T>& decl, unsigned lead, const T& value, const std::string& expected) {
    return {[=] { return store<T>(decl, lead, value); }, expected};
}
std::string exceeded(const std::string& v) { return "Field v maximum value exceeded: " + v; }

}  // namespace

// ---------------------------------------------------------------- TType

TEST(TType, NamesMapToValuesAndBackAndOthersAreNoneOrRaise) {
    const char* names[] = {"int", "u_int", "long", "u_long", "str", "fixed"};
    for (int v = 1; v <= 6; ++v)
        EXPECT_TRUE(TType::typeByName(names[v - 1]) == v && TType::findByName(names[v - 1]) == v &&
                    static_cast<const std::string&>(TType(static_cast<TType::EType>(v))) == names[v - 1]) << v;
    for (const char* name : {"in", "integer", "Int", ""}) EXPECT_EQ(TType::typeByName(name), TType::tpNone) << name;
    EXPECT_EQ(message<std::logic_error>([] { TType::typeByName("ints"); }), "Error converting ints to Orvex::TType");
    EXPECT_EQ(TType::findByName("sit"), TType::tpNone);
}

// ------------------------------------------------------- stored values

// Per type: the declaration, where it sits, the value, and what is read back
// with the record's bytes (all bits start at one), or the message.
TEST(FieldValues, StoredBitsAndRefusals) {
    typedef TField<std::string> Str;
    const Row rows[] = {
        row(TField<unsigned int>("v", 8), 4, 200u, "200 = fc8f"), row(TField<unsigned int>("v", 8), 4, 256u, exceeded("256")),
        row(TField<int>("v", 8), 4, -128, "-128 = f80f"), row(TField<int>("v", 8), 4, 127, "127 = f7ff"),
        row(TField<int>("v", 8), 4, -129, exceeded("-129")), row(TField<int>("v", 8), 4, 128, exceeded("128")),
        row(TField<int>("v", 5), 3, 3, "3 = e3"), row(TField<int>("v", 5), 3, -16, "-16 = f0"),
        row(TField<int>("v", 0), 4, 0, "0 = ff"), row(TField<int>("v", 0), 4, 1, exceeded("1")),
        // Longs outside 32 bits are refused like any value that does not fit.
        row(TField<long>("v", 32), 4, -2147483648L, "-2147483648 = f80000000f"),
        row(TField<long>("v", 32), 4, 2147483648L, exceeded("2147483648")),
        row(TField<long>("v", 32), 4, -2147483649L, exceeded("-2147483649")),
        row(TField<unsigned long>("v", 32), 0, 0xFFFFFFFEUL, "4294967294 = fffffffe"),
        row(TField<unsigned long>("v", 32), 0, 0x100000000UL, exceeded("4294967296")),
        // Past 56 bits the values move as one word, up to the record's last byte.
        row(TField<unsigned int>("v", 12), 60, 0xABCu, "2748 = fffffffffffffffabc"),
        row(TField<unsigned long>("v", 20), 57, 0x12345UL, "74565 = ffffffffffffff891a2f"),
        // Fixed point stores the raw integer, converting other precisions first.
        row(TField<fixed_point>("v", 2, 16), 4, fixed_point(2, 12.34), "1234/2 = f04d2f"),
        row(TField<fixed_point>("v", 2, 16), 4, fixed_point(2, 400), exceeded("400.00")),
        row(TField<fixed_point>("v", 2, 12), 0, fixed_point(3, 1.235), "124/2 = 07cf"),
        row(TField<fixed_point>("v", 2, 12), 0, fixed_point(0, 2000000000), exceeded("2000000000")),
        row(TField<fixed_point>("v", 2, 32), 0, fixed_point(2, -1.0), "-100/2 = ffffff9c"),
        // Strings clear their unused bytes; packed ones store 6-bit codes,
        // upper case, '_' for what has no code and for unused positions.
        row(Str("v", 4, false), 0, std::string("AB"), "AB = 41420000"),
        row(Str("v", 4, false), 0, std::string("ABCDE"), exceeded("\"ABCDE\"")),
        row(Str("v", 2, false), 4, std::string("hi"), "hi = f6869f"), row(Str("v", 0, false), 3, std::string(), " = ff"),
        row(Str("v", 0, false), 3, std::string("x"), exceeded("\"x\"")),
        row(Str("v", 3, true), 0, std::string("a?"), "A?_ = 85ffff"),
        row(Str("v", 4, true), 2, std::string(" ^~\x81"), " ^__ = c0fbffff"),
    };
    for (const auto& [run, expected] : rows) EXPECT_EQ(run(), expected);
    const std::pair<char, unsigned> codes[] = {{' ', 0},     {'^', 62},     {'_', 63}, {'~', 63},
                                               {'\x80', 63}, {'\xFF', 63}, {'\n', 63}, {'z', Str::packedCode('Z')}};
    for (const auto& [c, code] : codes) EXPECT_EQ(Str::packedCode(c), code) << int(c);
}

// A value token read into a field of all ones and the field's token written
// back; "<refused>" when the stream failed or the value was out of range.
std::string reread(const TFieldsElement& decl, const std::string& token) {
    Placed p(decl, 0);
    std::istringstream is(token);
    bool refused = false;
    try {
        p.fields[0].value_from_stream(is, p.record.data());
    } catch (const std::out_of_range&) {
        refused = true;
    }
    std::ostringstream os;
    p.fields[0].value_to_stream(os, p.record.data());
    return (refused || is.fail() ? "<refused> " : "") + os.str();
}

TEST(FieldValues, TokensReadIntoTheFieldOrAreRefusedNotWrapped) {
    EXPECT_EQ(reread(TField<int>("v", 12), "-2048"), "-2048\t");
    EXPECT_EQ(reread(TField<int>("v", 12), "oops"), "<refused> -1\t");
    EXPECT_EQ(reread(TField<unsigned int>("v", 32), "4294967295"), "4294967295\t");
    EXPECT_EQ(reread(TField<long>("v", 32), "-2147483648"), "-2147483648\t");
    EXPECT_EQ(reread(TField<fixed_point>("v", 2, 20), "-3.456"), "-3.46\t");
    EXPECT_EQ(reread(TField<std::string>("v", 6, false), "\"a b\\t\""), "\"a b\\t\"\t");
    // A reader that wraps would take these for 5, 0, 4294967295 or -1.
    for (const char* token : {"4294967301", "18446744073709551621", "18446744073709551616", "18446744073709551615",
                              "-18446744073709551621", "-4294967301"}) {
        EXPECT_EQ(reread(TField<int>("v", 32), token) + reread(TField<long>("v", 32), token), "<refused> -1\t<refused> -1\t");
        EXPECT_EQ(reread(TField<unsigned int>("v", 32), token) + reread(TField<unsigned long>("v", 32), token),
                  "<refused> 4294967295\t<refused> 4294967295\t");
    }
}

// ---------------------------------------------------------- descriptors

TEST(Descriptors, BinaryAndTextForms) {
    const TField<fixed_point> f("p", 3, 20);
    const TField<std::string> packed("c", 3, true), plain("d", 2, false);
    const struct {
        const TFieldInfo& decl;
        std::string binary, text;
    } cases[] = {
        {f, sstr("fixed") + sstr("p") + bytes({20, 3}), "\"fixed\"\t\"p\"\t20\t3\t"},
        {packed, sstr("str") + sstr("c") + bytes({3, 0, 1}), "\"str\"\t\"c\"\t3\t1\t"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(binaryOf(c.decl), c.binary);
        EXPECT_EQ(c.decl.serial_size(), c.binary.size());
        EXPECT_EQ(textOf(c.decl), c.text);
    }
    EXPECT_EQ(packed.maxValue() + "|" + plain.maxValue() + "|" + plain.minValue(), "___|\xFF\xFF|");
}

TEST(Descriptors, WidthsAndLengthsPastTheirLimitsAreRefusedByName) {
    std::istringstream text("wide 40"), fixedText("p 33 3"), bin(sstr("wx") + static_cast<char>(99));
    serial::serial_in in(bin);
    const std::pair<std::function<void()>, const char*> cases[] = {
        {[] { TField<unsigned long>("w", 256); }, "Field w width 256 is above 32"},  // not wrapped to 0
        {[&] { TField<long> f(text); }, "Field wide width 40 is above 32"},
        {[&] { TField<unsigned int> f(in); }, "Field wx width 99 is above 32"},
        {[&] { TField<fixed_point> f(fixedText); }, "Field p width 33 is above 32"},
        {[] { TField<std::string>("big", 65536, false); }, "Field big length 65536 is above 65535"},
    };
    for (const auto& [make, expected] : cases) EXPECT_EQ(message<std::runtime_error>(make), expected);
}

// ---------------------------------------------------------- references

TEST(References, TypesAreCheckedBeforeWritingAndCopiesConvertOrRefuse) {
    TFields s = fieldsOf(TField<unsigned int>("wide", 16) | TField<unsigned int>("narrow", 8) |
                         TField<std::string>("long", 10, false) | TField<std::string>("short", 4, true) |
                         TField<fixed_point>("p3", 3, 20) | TField<fixed_point>("p1", 1, 12) | TField<long>("total", 16));
    TRecord r = recordOf(s, 300u, 0u, "abcde", "", fixed_point(3, 1.25), fixed_point(1, 0), 7L), other(s);
    const std::pair<std::function<void()>, const char*> refusals[] = {
        {[&] { r[6] = 5; }, "Field total is type of (long), should be (int)"},
        {[&] { r[6].get<unsigned long>(); }, "Field total is type of (long), should be (u_long)"},
        {[&] { r[6] = "5"; }, "Field total is type of (long), should be (str)"},
        {[&] { r[1] = r[2]; }, "Field narrow is type of (u_int), should be (str)"},
        {[&] { s.handle<unsigned int>("total"); }, "Field total is type of (long), should be (u_int)"},
        {[&] { r[1] = r[0]; }, "Field narrow maximum value exceeded: 300"},
        {[&] { r[3] = r[2]; }, "Field short maximum value exceeded: \"abcde\""},
    };
    for (const auto& [action, expected] : refusals) EXPECT_EQ(message<std::logic_error>(action), expected);
    r[0] = 200u, r[2] = "abcd";
    r[1] = r[0], r[3] = r[2], r[5] = r[4];
    const TRecord& source = r;  // from another record through a const reference
    other[4] = source[4];
    EXPECT_EQ(show(r[1].get<unsigned int>()) + " " + r[3].get<std::string>() + " " + show(r[5].get<fixed_point>()) + " " +
                  show(r[6].get<long>()) + " " + show(other[4].get<fixed_point>()),
              "200 ABCD 13/1 7 1250/3");
    // A handle refuses a record of another structure.
    const field_handle<unsigned int> wide = s.handle<unsigned int>("wide");
    TRecord foreign(fieldsOf(TField<unsigned int>("wide", 16)));
    EXPECT_THROW(wide.get(foreign), std::logic_error);
    EXPECT_EQ(wide.get(r), 200u);
}
