// Table structures, their two file forms (also damaged), and records.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>

#include "Core/Orvex/__field.h"
#include "tests/test_support.h"

using namespace Orvex;
using namespace TestSupport;

namespace {

TFields fromText(const std::string& text) {
    std::istringstream is(text);
    return TFields(is);
}

TFields fromBinary(const std::string& data) {
    std::istringstream is(data);
    serial::serial_in in(is);
    return TFields(in);
}

// "name@offset ...; bits in bytes; key fields, bits": where every field
// sits and the key boundary, in one line.
std::string layout(const TFields& s) {
    std::string out;
    for (unsigned i = 0; i < s.size(); ++i) out += (i ? " " : "") + s[i].name() + "@" + std::to_string(s[i].bitOffset());
    out += "; " + std::to_string(s.bitSize()) + " bits in " + std::to_string(s.byteSize()) + " bytes; key " +
           std::to_string(s.endOfKey()) + " fields, " + std::to_string(s.bitCompareSize()) + " bits";
    return s.comparable() ? out : out + "; not comparable";
}

// Three fields of widths 5, 7 and 4 with the key after the second.
TFields sample() {
    return fieldsOf(TField<unsigned int>("a", 5) | TField<int>("b", 7) | TEndOfKey() | TField<unsigned long>("c", 4));
}
const char* const kSampleLayout = "a@0 b@5 c@12; 16 bits in 2 bytes; key 2 fields, 12 bits";

}  // namespace

// ---------------------------------------------------------- structures

// Each layout, and the same again from both file forms.
TEST(Structure, OffsetsAndKeysInBothForms) {
    TField<int> x("x", 3), y("y", 4), z("z", 5);
    const std::pair<TFields, const char*> cases[] = {
        {sample(), kSampleLayout},
        // No marker: the whole record is the key. The last marker wins.
        {fieldsOf(x | y), "x@0 y@3; 7 bits in 1 bytes; key 2 fields, 7 bits"},
        {fieldsOf(x | TEndOfKey() | y | TEndOfKey() | z), "x@0 y@3 z@7; 12 bits in 2 bytes; key 2 fields, 7 bits"},
        {fieldsOf(TEndOfKey() | x | y), "x@0 y@3; 7 bits in 1 bytes; key 0 fields, 0 bits; not comparable"},
        {fieldsOf(TFieldComposite(TFieldComposite(x, y), TFieldComposite(TEndOfKey(), z))),
         "x@0 y@3 z@7; 12 bits in 2 bytes; key 2 fields, 7 bits"},
        {fieldsOf(TField<unsigned int>("k", 24) | TEndOfKey() | TField<fixed_point>("p", 2, 20) |
                  TField<std::string>("c", 4, true) | TField<std::string>("n", 3, false) | TField<long>("l", 32) |
                  TField<unsigned long>("u", 0)),
         "k@0 p@24 c@44 n@68 l@92 u@124; 124 bits in 16 bytes; key 1 fields, 24 bits"},
    };
    for (const auto& [s, expected] : cases) {
        EXPECT_EQ(layout(s), expected);
        EXPECT_EQ(binaryOf(s).size(), s.serial_size());
        for (const TFields& back : {fromText(textOf(s)), fromBinary(binaryOf(s))}) {
            EXPECT_EQ(layout(back), expected);
            EXPECT_EQ(textOf(back), textOf(s));
        }
    }
    EXPECT_EQ(textOf(sample()).find("3\t2\t\n\"u_int\"\t\"a\"\t5\t\n"), 0u);
    EXPECT_EQ(binaryOf(sample()), u16(3) + u16(2) + sstr("u_int") + sstr("a") + '\5' + sstr("int") + sstr("b") + '\7' +
                                      sstr("u_long") + sstr("c") + '\4');
    // Appending to a structure that a record and a copy share leaves theirs alone.
    TFields s = sample(), alias = s;
    TRecord before(s);
    s += TField<int>("d", 8) | TField<std::string>("e", 1, true);
    EXPECT_EQ(layout(before.fields()) + " | " + layout(alias), std::string(kSampleLayout) + " | " + kSampleLayout);
    EXPECT_EQ(layout(s), "a@0 b@5 c@12 d@16 e@24; 30 bits in 4 bytes; key 2 fields, 12 bits");
    EXPECT_TRUE(s[4].typeValue() == TType::tpStr && s[4].bitWidth() == 6 && s[3].typeValue() == TType::tpInt);
}

// Damaged forms and bad requests; none may leave a half-made structure.
TEST(Structure, ErrorsNameWhatIsWrong) {
    TFields s = sample();
    std::string big = u16(65535) + u16(0);
    for (int i = 0; i < 5; ++i) big += sstr("str") + sstr("s" + std::to_string(i)) + u16(65535) + '\0';
    TFieldsRep rep;
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { s[3]; }, "Index 3 out of valid range."},
        {[&] { TRecord r(s); r["nope"]; }, "Field nope doesn't exist"},
        {[&] { s += TField<int>("new", 2) | TField<int>("b", 1); }, "Field b already exists"},
        {[&] { fromText("1 1\nfixed p 255 2\n"); }, "Field p width 255 is above 32"},
        {[&] { fromBinary(big); }, "Field s2 makes the record too large: 1572840 bits, at most 1048576"},
        {[&] { std::istringstream is("x 3"); rep.append(is, "integer", true); }, "Unknown field type: integer"},
        // The lookup's own error for a name it refuses rather than maps to no type.
        {[&] { std::istringstream is("x 3"); rep.append(is, "ints", false); }, "Error converting ints to Orvex::TType"},
    };
    for (const auto& [action, expected] : cases) EXPECT_EQ(message(action), expected);
    EXPECT_EQ(layout(s), kSampleLayout);
    EXPECT_EQ(rep.size(), 0u);
    // 261 and 2^64 + 5 would both wrap to a 5-bit width.
    for (const char* width : {"261", "18446744073709551621"}) {
        std::istringstream in(std::string("1\t1\t\n\"u_long\"\t\"id\"\t") + width + "\t\n");
        TFields fields(in);
        EXPECT_TRUE(in.fail()) << width;
    }
    // A record that fits to the last bit is accepted.
    TFields full = fieldsOf(TField<std::string>("a", 65535, false) | TField<std::string>("b", 65535, false) |
                            TField<std::string>("c", 2, false) | TField<int>("none", 0));
    EXPECT_EQ(full.bitSize(), TFieldsRep::kMaxRecordBits);
    EXPECT_THROW(full += TField<int>("one", 1), std::runtime_error);
}

// ------------------------------------------------------------ records

TEST(Record, BothFormsAndShortReads) {
    TRecord r = recordOf(sample(), 0x15u, -1, 0x9UL);
    EXPECT_EQ(binaryOf(r), bytes({0xAF, 0xF9}));  // 10101 1111111 1001
    EXPECT_EQ(binaryOf(TRecord(sample())), bytes({0, 0}));
    TRecord back(sample());
    std::istringstream is(binaryOf(r) + "\x01");
    back.serial_read(is);
    EXPECT_EQ(binaryOf(back), binaryOf(r));
    // A stream that ends early: the byte read is kept, the rest is as it was.
    back.serial_read(is);
    EXPECT_TRUE(is.fail());
    EXPECT_EQ(binaryOf(back), bytes({0x01, 0xF9}));

    TFields s = fieldsOf(TField<int>("i", 10) | TField<std::string>("s", 5, false) | TField<fixed_point>("p", 1, 12));
    TRecord t = recordOf(s, -12, "a\"b", fixed_point(1, 3.5));
    EXPECT_EQ(textOf(t), "-12\t\"a\\\"b\"\t3.5\t");
    // The line form built in place is what to_stream writes.
    for (const TRecord* x : {&r, &t}) {
        std::string line = "before\t";
        x->append_text(line);
        EXPECT_EQ(line, "before\t" + textOf(*x));
    }
    TRecord copy(s);
    std::istringstream text(textOf(t));
    copy.from_stream(text);
    EXPECT_EQ(textOf(copy), textOf(t));
    TRecord partial = recordOf(s, 0, "", fixed_point(1, 9.9));
    std::istringstream cut("7 \"oops");  // the string token is never closed
    partial.from_stream(cut);
    EXPECT_EQ(textOf(partial), "7\t\"\"\t9.9\t");
}

// Keys compare only their own bits, as unsigned bytes.
TEST(Record, KeysCompareOnlyTheirBits) {
    const TFields s12 = fieldsOf(TField<unsigned int>("k", 12) | TEndOfKey() | TField<unsigned int>("v", 12)),
                  s16 = fieldsOf(TField<unsigned int>("k", 16) | TEndOfKey() | TField<unsigned int>("v", 8)),
                  s3 = fieldsOf(TField<unsigned int>("k", 3) | TEndOfKey() | TField<unsigned int>("v", 5)),
                  whole = fieldsOf(TField<unsigned int>("a", 8) | TField<unsigned int>("b", 5)),
                  none = fieldsOf(TEndOfKey() | TField<unsigned int>("a", 8) | TField<unsigned int>("b", 8));
    // structure, the fields of one record, of the other, and the outcome
    const std::tuple<const TFields&, unsigned, unsigned, unsigned, unsigned, int> cases[] = {
        {s12, 0x0FF, 1, 0x0FF, 0x800, 0}, {s12, 0x0FF, 1, 0x0FE, 0x800, 1}, {s12, 0x0FF, 1, 0x100, 0x800, -1},
        {s16, 0, 1, 0, 0, 0}, {s16, 0, 1, 1, 0, -1}, {s3, 0, 0, 0, 31, 0}, {s3, 0, 0, 4, 31, -1},
        {whole, 0, 0, 0, 1, -1}, {whole, 0, 1, 0, 0, 1}, {none, 5, 0, 0, 0, 0}};
    for (const auto& [s, a1, a2, b1, b2, expected] : cases)
        EXPECT_EQ(recordOf(s, a1, a2).compareTo(recordOf(s, b1, b2)), expected) << layout(s);
}

// Assignment takes the other record's structure, its length and key mask;
// a dropped record's structure share, parked for the next record made on
// its thread, goes only to a record of the same structure.
TEST(Record, AssignmentAndDroppedRecordsKeepEachRecordItsOwnStructure) {
    TFields small = fieldsOf(TField<unsigned int>("k", 4) | TEndOfKey() | TField<unsigned int>("v", 4));
    TFields big = fieldsOf(TField<unsigned int>("k", 16) | TField<unsigned int>("v", 16));
    TRecord r(small), &self = r;  // through a reference, as real self-assignments come
    r = recordOf(big, 0xBEEFu, 7u);
    r = self;
    EXPECT_EQ(binaryOf(r), bytes({0xBE, 0xEF, 0, 7}));
    EXPECT_EQ(r.compareTo(recordOf(big, 0xBEEFu, 8u)), -1);  // the whole record is big's key
    r = recordOf(small, 0u, 9u);
    EXPECT_EQ(binaryOf(r) + std::to_string(r.compareTo(TRecord(small))), bytes({9}) + "0");
    TRecord survivor = [] {
        TFields temporary = sample();
        { TRecord dropped(temporary); }
        return TRecord(temporary);
    }();
    { TRecord dropped(big); }
    { TRecord dropped(sample()); }
    EXPECT_TRUE(TRecord(big).fields() == big);
    EXPECT_EQ(layout(survivor.fields()), kSampleLayout);
    survivor[2] = 9UL;
    EXPECT_EQ(survivor[2].get<unsigned long>(), 9UL);
}
