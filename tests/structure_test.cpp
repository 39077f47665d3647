// Table structures, their two file forms (also damaged), and records.
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

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

// Pieces of a hand-made ".dsb".
std::string intField(const std::string& type, const std::string& name, int width) {
    return sstr(type) + sstr(name) + static_cast<char>(width);
}
std::string strField(const std::string& name, unsigned length, bool packed) {
    return sstr("str") + sstr(name) + u16(length) + static_cast<char>(packed ? 1 : 0);
}

template <class T>
bool offsetOf(const TFieldInfo& f, std::string& out) {
    const TField<T>* t = dynamic_cast<const TField<T>*>(&f);
    if (t) out += "@" + std::to_string(t->placement().offset());
    return t;
}

// "name@offset ...; bits in bytes; key fields, bits": where every field
// sits (a string has no single offset) and the key boundary, in one line.
std::string layout(const TFields& s) {
    std::string out;
    for (unsigned i = 0; i < s.size(); ++i) {
        out += (i ? " " : "") + s[i].name();
        offsetOf<int>(s[i], out) || offsetOf<unsigned int>(s[i], out) || offsetOf<long>(s[i], out) ||
            offsetOf<unsigned long>(s[i], out) || offsetOf<fixed_point>(s[i], out);
    }
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

TEST(Structure, OffsetsAndKeyInBothForms) {
    TFields s = sample();
    EXPECT_EQ(layout(s), kSampleLayout);
    EXPECT_EQ(&s["c"], &s[2]);
    const std::string text = textOf(s), bin = binaryOf(s);
    EXPECT_EQ(text.find("3\t2\t\n\"u_int\"\t\"a\"\t5\t\n"), 0u);
    EXPECT_EQ(bin, u16(3) + u16(2) + intField("u_int", "a", 5) + intField("int", "b", 7) + intField("u_long", "c", 4));
    EXPECT_EQ(bin.size(), s.serial_size());
    EXPECT_EQ(layout(fromText(text)), kSampleLayout);
    EXPECT_EQ(layout(fromBinary(bin)), kSampleLayout);
}

TEST(Structure, KeyMarkers) {
    // No marker: the whole record is the key; so is a key count equal to the field count.
    TFields none;
    none += TField<int>("x", 3);
    none.append(TField<long>("y", 12));
    none += TField<unsigned int>("z", 1);
    EXPECT_EQ(layout(none), "x@0 y@3 z@15; 16 bits in 2 bytes; key 3 fields, 16 bits");
    EXPECT_EQ(layout(fromBinary(u16(2) + u16(2) + intField("int", "x", 3) + intField("int", "y", 4))),
              "x@0 y@3; 7 bits in 1 bytes; key 2 fields, 7 bits");
    // The last marker wins.
    EXPECT_EQ(layout(fieldsOf(TField<int>("x", 3) | TEndOfKey() | TField<int>("y", 4) | TEndOfKey() | TField<int>("z", 5))),
              "x@0 y@3 z@7; 12 bits in 2 bytes; key 2 fields, 7 bits");
    // A marker before any field: no key, in both forms too.
    TFields first = fieldsOf(TEndOfKey() | TField<int>("x", 3) | TField<int>("y", 4));
    const std::string noKey = "x@0 y@3; 7 bits in 1 bytes; key 0 fields, 0 bits; not comparable";
    EXPECT_EQ(layout(first), noKey);
    EXPECT_EQ(binaryOf(first).substr(0, 4), u16(2) + u16(0));
    EXPECT_EQ(layout(fromText(textOf(first))), noKey);
    EXPECT_EQ(layout(fromBinary(binaryOf(first))), noKey);
}

// A placed descriptor tells its type, width and first bit, whatever its
// type; an unplaced one starts at bit 0.
TEST(Structure, DescriptorsTellTypeWidthAndOffset) {
    TFields s = fieldsOf(TField<int>("i", 5) | TField<std::string>("s", 3, true) | TEndOfKey() |
                         TField<fixed_point>("f", 2, 11) | TField<unsigned long>("u", 0) | TField<long>("l", 32) |
                         TField<unsigned int>("w", 7) | TField<std::string>("p", 2, false));
    const struct {
        TType::EType type;
        unsigned width, offset;
    } expected[] = {{TType::tpInt, 5, 0},    {TType::tpStr, 18, 5},   {TType::tpFixed, 11, 23}, {TType::tpULong, 0, 34},
                    {TType::tpLong, 32, 34}, {TType::tpUInt, 7, 66}, {TType::tpStr, 16, 73}};
    ASSERT_EQ(s.size(), 7u);
    for (unsigned i = 0; i < s.size(); ++i) {
        EXPECT_EQ(s[i].typeValue(), expected[i].type) << i;
        EXPECT_EQ(TType(s[i].typeValue()).name(), s[i].Type()) << i;
        EXPECT_EQ(s[i].bitWidth(), expected[i].width) << i;
        EXPECT_EQ(s[i].bitOffset(), expected[i].offset) << i;
    }
    EXPECT_EQ(s.bitSize(), 89u);
    EXPECT_EQ(TField<std::string>("loose", 4, false).bitOffset(), 0u);
}

TEST(Structure, Errors) {
    TFields s = sample();
    EXPECT_EQ(message<std::runtime_error>([&] { s[3]; }), "Index 3 out of valid range.");
    EXPECT_EQ(message<std::runtime_error>([&] { s["zz"]; }), "Field zz doesn't exist");
    EXPECT_EQ(message<std::runtime_error>([&] { s += TField<int>("b", 1); }), "Field b already exists");
    EXPECT_EQ(layout(s), kSampleLayout);
    EXPECT_EQ(s.indexOf("zz"), 3u);
    TFieldsRep rep;
    std::istringstream is("x 3");
    EXPECT_EQ(message<std::runtime_error>([&] { rep.append(is, "integer", false); }), "Unknown field type: integer");
}

// The stream form of append goes through the type lookup, so a name the
// lookup refuses raises the lookup's own logic error; only a name it maps to
// no type is the structure's "Unknown field type". Nothing is appended.
TEST(Structure, AppendByNameRaisesTheTypeLookupsErrorForANameItRefuses) {
    for (const char* type : {"ints", "sit", "float"}) {
        TFieldsRep rep;
        std::istringstream is("x 3");
        EXPECT_EQ(message<std::logic_error>([&] { rep.append(is, type, false); }),
                  std::string("Error converting ") + type + " to Orvex::TType");
        EXPECT_EQ(rep.size(), 0u);
    }
    for (const char* type : {"in", "integer", "Int", "", "u_int\x01"}) {
        TFieldsRep rep;
        std::istringstream is("x 3");
        EXPECT_EQ(message<std::runtime_error>([&] { rep.append(is, type, true); }),
                  std::string("Unknown field type: ") + type);
    }
}

TEST(Structure, AppendingCopiesASharedRepresentationOnlyAndAFailedAppendKeepsSharing) {
    TFields s = sample();
    TRecord before(s);
    TFields alias = s;
    EXPECT_FALSE(alias != s);
    s += TField<int>("d", 8);
    EXPECT_TRUE(alias != s);
    EXPECT_EQ(layout(before.fields()), kSampleLayout);
    EXPECT_EQ(before.serial_size(), 2u);
    EXPECT_EQ(layout(alias), kSampleLayout);
    // The copy has the same offsets and key as the original.
    EXPECT_EQ(layout(s), "a@0 b@5 c@12 d@16; 24 bits in 3 bytes; key 2 fields, 12 bits");
    // Unshared now: appending keeps the representation.
    const TFieldsRep* rep = &s.rep();
    s += TField<int>("e", 8);
    EXPECT_EQ(rep, &s.rep());
    TFields again = alias;
    EXPECT_THROW(again += TField<int>("new", 2) | TField<int>("a", 1), std::runtime_error);
    EXPECT_FALSE(again != alias);
    EXPECT_EQ(again.size(), 3u);
}

TEST(Structure, MixedTypesRoundTripInBothForms) {
    TFields s = fieldsOf(TField<unsigned int>("key", 24) | TEndOfKey() | TField<int>("qty", 13) |
                         TField<fixed_point>("price", 2, 20) | TField<std::string>("code", 4, true) |
                         TField<std::string>("note", 3, false) | TField<long>("l", 32) | TField<unsigned long>("ul", 0));
    EXPECT_EQ(s.bitSize(), 24u + 13 + 20 + 24 + 24 + 32);
    EXPECT_EQ(s.endOfKey(), 1u);
    for (const TFields& back : {fromText(textOf(s)), fromBinary(binaryOf(s))}) {
        EXPECT_EQ(textOf(back), textOf(s));
        EXPECT_EQ(binaryOf(back), binaryOf(s));
        EXPECT_EQ(layout(back), layout(s));
        EXPECT_EQ(shapeOf(back["price"]), "price fixed 20.2");
        EXPECT_EQ(shapeOf(back["code"]), "code str 4 packed");
    }
}

// -------------------------------------------------------- composites

TEST(Composite, ConstructorAndNestingAddInReadingOrder) {
    TField<int> a("a", 1), b("b", 2), c("c", 3);
    EXPECT_EQ(layout(fieldsOf(TFieldComposite(TFieldComposite(a, b), TFieldComposite(TEndOfKey(), c)))),
              "a@0 b@1 c@3; 6 bits in 1 bytes; key 2 fields, 3 bits");
}

// ------------------------------------------------------ damaged files




TEST(DamagedStructure, WidthsAbove32AndDuplicateNames) {
    const std::pair<std::string, const char*> binaries[] = {
        {u16(1) + u16(1) + intField("u_long", "q", 40), "Field q width 40 is above 32"},
        {u16(2) + u16(2) + intField("int", "a", 3) + intField("long", "a", 4), "Field a already exists"},
    };
    for (const auto& entry : binaries)
        EXPECT_EQ(message<std::runtime_error>([&] { fromBinary(entry.first); }), entry.second);
    const std::pair<const char*, const char*> texts[] = {
        {"1 1\nfixed p 255 2\n", "Field p width 255 is above 32"},
        {"1 1\nint w 33\n", "Field w width 33 is above 32"},
        {"2 2\nint a 3\nstr a 4 0\n", "Field a already exists"},
    };
    for (const auto& entry : texts)
        EXPECT_EQ(message<std::runtime_error>([&] { fromText(entry.first); }), entry.second);
}

TEST(DamagedStructure, RecordsAreCappedInSize) {
    std::string bin = u16(65535) + u16(0);
    for (int i = 0; i < 5; ++i) bin += strField("s" + std::to_string(i), 65535, false);
    EXPECT_EQ(message<std::runtime_error>([&] { fromBinary(bin); }),
              "Field s2 makes the record too large: 1572840 bits, at most 1048576");
    TFieldsRep rep;
    std::istringstream is(bin);
    EXPECT_THROW(rep.serial_read(is), std::runtime_error);
    EXPECT_EQ(rep.size(), 2u);
    EXPECT_EQ(rep.bitSize(), 2u * 65535 * 8);
    // A string that fits to the last bit is accepted.
    TFields s = fieldsOf(TField<std::string>("a", 65535, false) | TField<std::string>("b", 65535, false) |
                         TField<std::string>("c", 2, false));
    EXPECT_EQ(s.bitSize(), TFieldsRep::kMaxRecordBits);
    EXPECT_THROW(s += TField<int>("one", 1), std::runtime_error);
    s += TField<int>("none", 0);
}


// ------------------------------------------------------------ records

TEST(Record, StartsZeroedAndSizedByTheStructure) {
    TFields s = fieldsOf(TField<unsigned int>("x", 13));
    TRecord r(s);
    EXPECT_EQ(r.serial_size(), 2u);
    EXPECT_TRUE(r.fixed_size());
    EXPECT_EQ(binaryOf(r), std::string(2, '\0'));
    EXPECT_FALSE(r.fields() != s);
}

TEST(Record, BinaryFormIsThePackedBytes) {
    TFields s = sample();
    TRecord r(s);
    r["a"] = 0x15u;
    r["b"] = -1;
    r["c"] = 0x9UL;
    EXPECT_EQ(binaryOf(r), bytes({0xAF, 0xF9}));  // 10101 1111111 1001
    TRecord back(s);
    std::istringstream is(binaryOf(r));
    back.serial_read(is);
    EXPECT_EQ(binaryOf(back), bytes({0xAF, 0xF9}));
    EXPECT_EQ(back[0].get<unsigned int>(), 0x15u);
    EXPECT_EQ(back[1].get<int>(), -1);
    EXPECT_EQ(back[2].get<unsigned long>(), 0x9UL);
    // A stream that ends early: the byte read is kept, the rest is as it was.
    std::istringstream shortData("\x01");
    back.serial_read(shortData);
    EXPECT_TRUE(shortData.fail());
    EXPECT_EQ(binaryOf(back), bytes({0x01, 0xF9}));
    TRecord record(s);
    std::istringstream full(bytes({0x8E, 0x40}));
    record.serial_read(full);
    std::istringstream one(bytes({0x08}));
    record.serial_read(one);
    EXPECT_TRUE(one.fail());
    EXPECT_EQ(binaryOf(record), bytes({0x08, 0x40}));
}

TEST(Record, TextFormAndAFailedReadStops) {
    TFields s = fieldsOf(TField<int>("i", 10) | TField<std::string>("s", 5, false) | TField<fixed_point>("p", 1, 12));
    TRecord r = recordOf(s, -12, "a\"b", fixed_point(1, 3.5));
    EXPECT_EQ(textOf(r), "-12\t\"a\\\"b\"\t3.5\t");
    TRecord back(s);
    std::istringstream is(textOf(r));
    back.from_stream(is);
    EXPECT_EQ(back.compareTo(r), 0);
    EXPECT_EQ(back[1].get<std::string>(), "a\"b");

    TRecord partial = recordOf(s, 0, "", fixed_point(1, 9.9));
    std::istringstream cut("7 \"oops");  // the string token is never closed
    partial.from_stream(cut);
    EXPECT_EQ(textOf(partial), "7\t\"\"\t9.9\t");
}

TEST(Record, AppendedTextIsWhatToStreamWritesForEveryType) {
    TFields s = fieldsOf(TField<int>("i", 32) | TField<unsigned int>("u", 32) | TField<long>("l", 17) |
                         TField<unsigned long>("ul", 3) | TField<fixed_point>("p", 3, 32) |
                         TField<fixed_point>("q", 0, 7) | TField<std::string>("s", 6, false) |
                         TField<std::string>("z", 4, true));
    std::mt19937 rng(7);
    for (int n = 0; n < 3000; ++n) {
        TRecord r(s);
        // Random bytes: every value each field can hold turns up, and
        // strings with every byte, quotes and escapes included.
        for (unsigned b = 0; b < s.byteSize(); ++b) r.bytes()[b] = static_cast<unsigned char>(rng());
        std::ostringstream written;
        r.to_stream(written);
        std::string line = "before\t";
        r.append_text(line);
        ASSERT_EQ(line, "before\t" + written.str());
    }
}

TEST(Record, BadPositionsAndNames) {
    TRecord r(sample());
    const TRecord& c = r;
    EXPECT_EQ(message<std::runtime_error>([&] { r[3]; }), "Index 3 out of valid range.");
    EXPECT_EQ(message<std::runtime_error>([&] { c[9]; }), "Index 9 out of valid range.");
    EXPECT_EQ(message<std::runtime_error>([&] { r["nope"]; }), "Field nope doesn't exist");
}

// compareTo of two records of `s` whose fields are set to `a` and `b`.
int compare(const TFields& s, std::pair<unsigned, unsigned> a, std::pair<unsigned, unsigned> b) {
    return recordOf(s, a.first, a.second).compareTo(recordOf(s, b.first, b.second));
}

TEST(Record, KeysCompareOnlyTheirBits) {
    // A key of 12 bits: bit 23 and bit 12 are after it, bit 11 in it.
    TFields s12 = fieldsOf(TField<unsigned int>("k", 12) | TEndOfKey() | TField<unsigned int>("rest", 12));
    EXPECT_EQ(compare(s12, {0x0FF, 1}, {0x0FF, 0x800}), 0);
    EXPECT_EQ(compare(s12, {0x0FF, 1}, {0x0FE, 0x800}), 1);
    EXPECT_EQ(compare(s12, {0x0FE, 0x800}, {0x0FF, 1}), -1);
    EXPECT_EQ(compare(s12, {0x0FF, 1}, {0x100, 0x800}), -1);  // 0x0F 0xF0 before 0x10 0x00
    // The byte after a 16-bit key is masked out entirely.
    TFields s16 = fieldsOf(TField<unsigned int>("k", 16) | TEndOfKey() | TField<unsigned int>("v", 8));
    EXPECT_EQ(compare(s16, {0, 1}, {0, 0}), 0);
    EXPECT_EQ(compare(s16, {0, 1}, {1, 0}), -1);
    TFields s3 = fieldsOf(TField<unsigned int>("k", 3) | TEndOfKey() | TField<unsigned int>("v", 5));
    EXPECT_EQ(compare(s3, {0, 0}, {0, 31}), 0);
    EXPECT_EQ(compare(s3, {0, 0}, {4, 31}), -1);
    // No marker: the whole record, to its last used bit (bit 12).
    TFields whole = fieldsOf(TField<unsigned int>("a", 8) | TField<unsigned int>("b", 5));
    EXPECT_EQ(compare(whole, {0, 0}, {0, 1}), -1);
    EXPECT_EQ(compare(whole, {0, 1}, {0, 0}), 1);
    const TRecord y = recordOf(whole, 0u, 1u);
    EXPECT_EQ(TRecord(y).compareTo(y), 0);
    // An empty key compares equal.
    TFields empty = fieldsOf(TEndOfKey() | TField<int>("a", 8));
    EXPECT_EQ(TRecord(empty).compareTo(recordOf(empty, 5)), 0);
}

TEST(Record, AssignmentTakesTheOtherStructure) {
    TFields small = fieldsOf(TField<unsigned int>("k", 4) | TEndOfKey() | TField<unsigned int>("v", 4));
    TFields big = fieldsOf(TField<unsigned int>("k", 16) | TField<unsigned int>("v", 16));
    TRecord r(small), other = recordOf(big, 0xBEEFu, 7u);
    r = other;
    EXPECT_FALSE(r.fields() != big);
    EXPECT_EQ(r.serial_size(), 4u);
    EXPECT_EQ(r[0].get<unsigned int>(), 0xBEEFu);
    EXPECT_EQ(r.compareTo(other), 0);
    EXPECT_EQ(r.compareTo(recordOf(big, 0xBEEFu, 8u)), -1);  // the whole record is big's key
    TRecord& self = r;  // through a reference, as real self-assignments come
    r = self;
    EXPECT_EQ(r[0].get<unsigned int>(), 0xBEEFu);
    // Back to the small structure: its mask and length again.
    const TRecord nine = recordOf(small, 0u, 9u);
    r = nine;
    EXPECT_EQ(r.serial_size(), 1u);
    EXPECT_EQ(r.compareTo(TRecord(small)), 0);
}

// A dropped record leaves its structure share with its thread for the next
// record; that must never hand a record another structure than its own, nor
// leave a record without a share of its structure.
TEST(Record, ADroppedRecordsShareGoesOnlyToARecordOfTheSameStructure) {
    TFields a = sample();
    TFields b = fieldsOf(TField<unsigned int>("k", 16) | TField<unsigned int>("v", 16));
    { TRecord dropped(a); }
    const TRecord ofB(b);
    EXPECT_TRUE(ofB.fields() == b);
    EXPECT_EQ(ofB.serial_size(), 4u);
    { TRecord dropped(b); }
    const TRecord ofA(a);
    EXPECT_TRUE(ofA.fields() == a);
    EXPECT_EQ(ofA.serial_size(), 2u);

    // The last record made from a handle that then goes away still holds
    // its structure.
    TRecord survivor = [] {
        TFields temporary = sample();
        { TRecord dropped(temporary); }
        return TRecord(temporary);
    }();
    { TRecord dropped(b); }  // the parked share moves to another structure
    EXPECT_EQ(layout(survivor.fields()), kSampleLayout);
    survivor[2] = 9UL;
    EXPECT_EQ(survivor[2].get<unsigned long>(), 9UL);
}

