// Table structures, their two file forms (also damaged), and records.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Core/Orvex/__field.h"

using namespace Orvex;

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

std::string textOf(const TFields& s) {
    std::ostringstream os;
    s.to_stream(os);
    return os.str();
}

std::string binaryOf(const TFields& s) {
    std::ostringstream os;
    s.serial_write(os);
    return os.str();
}

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
std::string u16(unsigned v) { return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }
std::string sstr(const std::string& s) {
    const std::uint32_t n = static_cast<std::uint32_t>(s.size());
    std::string out{static_cast<char>(n & 0xFF), static_cast<char>((n >> 8) & 0xFF), static_cast<char>((n >> 16) & 0xFF),
                    static_cast<char>(n >> 24)};
    return out + s;
}
std::string intField(const std::string& type, const std::string& name, int width) {
    return sstr(type) + sstr(name) + std::string(1, static_cast<char>(width));
}
std::string strField(const std::string& name, unsigned length, bool packed) {
    return sstr("str") + sstr(name) + u16(length) + std::string(1, packed ? 1 : 0);
}

unsigned offsetOf(const TFieldInfo& f) {
    if (const TField<std::string>* s = dynamic_cast<const TField<std::string>*>(&f)) {
        (void)s;
        ADD_FAILURE() << "no single offset for a string";
        return 0;
    }
    if (const TField<int>* i = dynamic_cast<const TField<int>*>(&f)) return i->placement().offset();
    if (const TField<unsigned int>* u = dynamic_cast<const TField<unsigned int>*>(&f)) return u->placement().offset();
    if (const TField<long>* l = dynamic_cast<const TField<long>*>(&f)) return l->placement().offset();
    if (const TField<unsigned long>* ul = dynamic_cast<const TField<unsigned long>*>(&f)) return ul->placement().offset();
    return static_cast<const TField<fixed_point>&>(f).placement().offset();
}

// Three fields of widths 5, 7 and 4 with the key after the second.
TFields sample() {
    TFields s;
    s += TField<unsigned int>("a", 5) | TField<int>("b", 7) | TEndOfKey() | TField<unsigned long>("c", 4);
    return s;
}

void expectSampleLayout(const TFields& s) {
    ASSERT_EQ(3u, s.size());
    EXPECT_EQ(0u, offsetOf(s[0]));
    EXPECT_EQ(5u, offsetOf(s[1]));
    EXPECT_EQ(12u, offsetOf(s["c"]));
    EXPECT_EQ(16u, s.bitSize());
    EXPECT_EQ(2u, s.byteSize());
    EXPECT_EQ(2u, s.endOfKey());
    EXPECT_EQ(12u, s.bitCompareSize());
    EXPECT_TRUE(s.comparable());
}

}  // namespace

// ---------------------------------------------------------- structures

TEST(Structure, Empty) {
    TFields s;
    EXPECT_TRUE(s.empty());
    EXPECT_EQ(0u, s.bitSize());
    EXPECT_EQ(0u, s.byteSize());
    EXPECT_EQ(0u, s.endOfKey());
    EXPECT_EQ(0u, s.bitCompareSize());
    EXPECT_TRUE(s.comparable());
    EXPECT_EQ("0\t0\t\n", textOf(s));
    EXPECT_EQ(std::string(4, '\0'), binaryOf(s));
    EXPECT_EQ(4u, s.serial_size());
    EXPECT_FALSE(s.fixed_size());
}

TEST(Structure, OffsetsAndKeyInBothForms) {
    TFields s = sample();
    expectSampleLayout(s);
    const std::string text = textOf(s);
    EXPECT_EQ(0u, text.find("3\t2\t\n\"u_int\"\t\"a\"\t5\t\n"));
    const std::string bin = binaryOf(s);
    EXPECT_EQ(u16(3) + u16(2) + intField("u_int", "a", 5) + intField("int", "b", 7) + intField("u_long", "c", 4), bin);
    EXPECT_EQ(bin.size(), s.serial_size());
    expectSampleLayout(fromText(text));
    expectSampleLayout(fromBinary(bin));
}

TEST(Structure, AddingInOrderLaysFieldsBackToBack) {
    TFields s;
    s += TField<int>("x", 3);
    s.append(TField<long>("y", 12));
    s += TField<unsigned int>("z", 1);
    EXPECT_EQ(0u, offsetOf(s[0]));
    EXPECT_EQ(3u, offsetOf(s[1]));
    EXPECT_EQ(15u, offsetOf(s[2]));
    EXPECT_EQ(16u, s.bitSize());
    EXPECT_EQ(3u, s.endOfKey());  // no marker: the whole record is the key
    EXPECT_EQ(16u, s.bitCompareSize());
}

TEST(Structure, MarkerBeforeAnyField) {
    TFields s;
    s += TEndOfKey() | TField<int>("x", 3) | TField<int>("y", 4);
    EXPECT_EQ(0u, s.endOfKey());
    EXPECT_EQ(0u, s.bitCompareSize());
    EXPECT_FALSE(s.comparable());
    EXPECT_EQ(u16(2) + u16(0), binaryOf(s).substr(0, 4));
    for (const TFields& back : {fromText(textOf(s)), fromBinary(binaryOf(s))}) {
        EXPECT_EQ(2u, back.size());
        EXPECT_EQ(0u, back.endOfKey());
        EXPECT_FALSE(back.comparable());
    }
}

TEST(Structure, TheLastMarkerWins) {
    TFields s;
    s += TField<int>("x", 3) | TEndOfKey() | TField<int>("y", 4) | TEndOfKey() | TField<int>("z", 5);
    EXPECT_EQ(2u, s.endOfKey());
    EXPECT_EQ(7u, s.bitCompareSize());
}

TEST(Structure, KeyCountEqualToFieldCountMeansWholeRecord) {
    TFields s = fromBinary(u16(2) + u16(2) + intField("int", "x", 3) + intField("int", "y", 4));
    EXPECT_EQ(2u, s.endOfKey());
    EXPECT_EQ(7u, s.bitCompareSize());
    EXPECT_TRUE(s.comparable());
}

TEST(Structure, Errors) {
    TFields s = sample();
    EXPECT_EQ("Index 3 out of valid range.", messageOf<std::runtime_error>([&] { s[3]; }));
    EXPECT_EQ("Field zz doesn't exist", messageOf<std::runtime_error>([&] { s["zz"]; }));
    EXPECT_EQ("Field b already exists", messageOf<std::runtime_error>([&] { s += TField<int>("b", 1); }));
    EXPECT_EQ(3u, s.size());
    EXPECT_EQ(16u, s.bitSize());
    EXPECT_EQ(3u, s.indexOf("zz"));
    TFieldsRep rep;
    std::istringstream is("x 3");
    EXPECT_EQ("Unknown field type: float", messageOf<std::runtime_error>([&] { rep.append(is, "float", false); }));
}

TEST(Structure, AppendingToASharedRepresentationCopiesIt) {
    TFields s = sample();
    TRecord before(s);
    TFields alias = s;
    EXPECT_FALSE(alias != s);
    s += TField<int>("d", 8);
    EXPECT_TRUE(alias != s);
    EXPECT_EQ(3u, before.fields().size());
    EXPECT_EQ(16u, before.fields().bitSize());
    EXPECT_EQ(2u, before.serial_size());
    EXPECT_EQ(4u, s.size());
    expectSampleLayout(alias);
    // The copy has the same offsets and key as the original.
    EXPECT_EQ(12u, offsetOf(s[2]));
    EXPECT_EQ(16u, offsetOf(s[3]));
    EXPECT_EQ(12u, s.bitCompareSize());
    EXPECT_EQ(2u, s.endOfKey());
}

TEST(Structure, AppendingToAnUnsharedRepresentationKeepsIt) {
    TFields s = sample();
    const TFieldsRep* rep = &s.rep();
    s += TField<int>("d", 8);
    EXPECT_EQ(rep, &s.rep());
}

TEST(Structure, AFailedAppendToASharedHandleKeepsSharing) {
    TFields s = sample();
    TFields alias = s;
    EXPECT_THROW(alias += TField<int>("new", 2) | TField<int>("a", 1), std::runtime_error);
    EXPECT_FALSE(alias != s);
    EXPECT_EQ(3u, alias.size());
}

TEST(Structure, EqualityIsIdentityOfTheRepresentation) {
    const std::string text = textOf(sample());
    TFields one = fromText(text), two = fromText(text);
    EXPECT_TRUE(one != two);
    TFields copy(one);
    EXPECT_FALSE(copy != one);
    EXPECT_TRUE(copy == one);
}

TEST(Structure, MixedTypesRoundTripInBothForms) {
    TFields s;
    s += TField<unsigned int>("key", 24) | TEndOfKey() | TField<int>("qty", 13) |
         TField<fixed_point>("price", 2, 20) | TField<std::string>("code", 4, true) |
         TField<std::string>("note", 3, false) | TField<long>("l", 32) | TField<unsigned long>("ul", 0);
    EXPECT_EQ(24u + 13 + 20 + 24 + 24 + 32, s.bitSize());
    for (const TFields& back : {fromText(textOf(s)), fromBinary(binaryOf(s))}) {
        EXPECT_EQ(textOf(s), textOf(back));
        EXPECT_EQ(binaryOf(s), binaryOf(back));
        EXPECT_EQ(s.bitSize(), back.bitSize());
        EXPECT_EQ(1u, back.endOfKey());
        EXPECT_EQ("fixed", back["price"].Type());
        EXPECT_EQ(2u, static_cast<const TField<fixed_point>&>(back["price"]).Precision());
        EXPECT_TRUE(static_cast<const TField<std::string>&>(back["code"]).Packed());
    }
}

TEST(Structure, TextFormAcceptsHandSpacingAndBareWords) {
    TFields s = fromText("2 1\n  int   qty 13\nstr code 4 1\n");
    ASSERT_EQ(2u, s.size());
    EXPECT_EQ("qty", s[0].name());
    EXPECT_EQ(1u, s.endOfKey());
    EXPECT_EQ(37u, s.bitSize());
}

// -------------------------------------------------------- composites

TEST(Composite, ConstructorAndNestingAddInReadingOrder) {
    TField<int> a("a", 1), b("b", 2), c("c", 3);
    TFields s;
    s += TFieldComposite(TFieldComposite(a, b), TFieldComposite(TEndOfKey(), c));
    EXPECT_EQ("a", s[0].name());
    EXPECT_EQ("c", s[2].name());
    EXPECT_EQ(3u, offsetOf(s[2]));
    EXPECT_EQ(2u, s.endOfKey());
}

TEST(Composite, AKeptChainOutlivesItsTemporaries) {
    TFieldComposite chain = TField<int>("a", 3) | TEndOfKey() | TField<std::string>("s", 2, false) | TField<int>("b", 4);
    EXPECT_EQ(4u, chain.parts());
    TFields s, t;
    s += chain;
    t += chain;  // usable again
    EXPECT_EQ(3u, s.size());
    EXPECT_EQ(1u, s.endOfKey());
    EXPECT_EQ(19u, offsetOf(s[2]));
    EXPECT_EQ(23u, t.bitSize());
}

TEST(Composite, OtherElementsAreHeldByReference) {
    struct Marker : TFieldsElement {
        mutable int added = 0;
        Marker() : TFieldsElement("m") {}
        void addToFieldsRep(TFieldsRep&) const override { ++added; }
    } marker;
    TFields s;
    s += TField<int>("a", 1) | marker;
    EXPECT_EQ(1, marker.added);
}

// ------------------------------------------------------ damaged files

TEST(DamagedStructure, HugeFieldCountStopsAtTheEndOfTheData) {
    TFields bin = fromBinary(u16(65535) + u16(65535) + intField("int", "a", 3) + intField("int", "b", 4));
    EXPECT_EQ(2u, bin.size());
    EXPECT_EQ(7u, bin.bitSize());
    TFields text = fromText("65535 65535\nint a 3\nint b 4\n");
    EXPECT_EQ(2u, text.size());
}

TEST(DamagedStructure, ForgedStringLengthsFailTheStream) {
    const std::string huge("\xFF\xFF\xFF\xFF", 4);
    for (const std::string& data : {u16(1) + u16(1) + huge + "int", u16(2) + u16(2) + intField("int", "a", 3) +
                                                                 sstr("int") + huge + "name"}) {
        std::istringstream is(data);
        serial::serial_in in(is);
        TFields s(in);
        EXPECT_TRUE(is.fail());
        EXPECT_EQ(data.size() > 30 ? 1u : 0u, s.size());
    }
}

TEST(DamagedStructure, EveryTruncationKeepsAPrefixOfTheFields) {
    TFields full;
    full += TField<unsigned int>("key", 24) | TEndOfKey() | TField<fixed_point>("price", 2, 20) |
            TField<std::string>("code", 4, true) | TField<int>("qty", 13);
    const std::string bin = binaryOf(full);
    for (std::size_t cut = 0; cut < bin.size(); ++cut) {
        std::istringstream is(bin.substr(0, cut));
        serial::serial_in in(is);
        TFields part(in);
        EXPECT_TRUE(is.fail()) << cut;
        ASSERT_LT(part.size(), full.size()) << cut;
        for (unsigned i = 0; i < part.size(); ++i) EXPECT_EQ(full[i].name(), part[i].name()) << cut;
        if (part.size() > 0) {
            EXPECT_EQ(binaryOf(full).substr(4, binaryOf(part).size() - 4), binaryOf(part).substr(4));
        }
    }
    const std::string text = textOf(full);
    for (std::size_t cut = 0; cut < text.size(); ++cut) {
        std::istringstream is(text.substr(0, cut));
        TFields part(is);  // a number cut short may still read, as a smaller number
        ASSERT_LE(part.size(), full.size()) << cut;
        for (unsigned i = 0; i < part.size(); ++i) EXPECT_EQ(full[i].name(), part[i].name()) << cut;
    }
}

TEST(DamagedStructure, UnknownTypeNamesRaiseARuntimeError) {
    for (const char* type : {"float", "sit", "ints", "Int", "", "u_int\x01"}) {
        TFieldsRep rep;
        std::istringstream is(u16(2) + u16(2) + intField("int", "a", 3) + intField(type, "b", 4));
        EXPECT_EQ(std::string("Unknown field type: ") + type,
                  messageOf<std::runtime_error>([&] { rep.serial_read(is); }));
        EXPECT_EQ(1u, rep.size());  // the fields before stay
    }
    TFieldsRep rep;
    std::istringstream text("1 1\nsit a 3\n");
    EXPECT_EQ("Unknown field type: sit", messageOf<std::runtime_error>([&] { rep.from_stream(text); }));
}

TEST(DamagedStructure, WidthAbove32) {
    EXPECT_EQ("Field q width 40 is above 32",
              messageOf<std::runtime_error>([] { fromBinary(u16(1) + u16(1) + intField("u_long", "q", 40)); }));
    EXPECT_EQ("Field p width 255 is above 32",
              messageOf<std::runtime_error>([] { fromText("1 1\nfixed p 255 2\n"); }));
    EXPECT_EQ("Field w width 33 is above 32", messageOf<std::runtime_error>([] { fromText("1 1\nint w 33\n"); }));
}

TEST(DamagedStructure, RecordsAreCappedInSize) {
    std::string bin = u16(65535) + u16(0);
    for (int i = 0; i < 5; ++i) bin += strField("s" + std::to_string(i), 65535, false);
    EXPECT_EQ("Field s2 makes the record too large: 1572840 bits, at most 1048576",
              messageOf<std::runtime_error>([&] { fromBinary(bin); }));
    TFieldsRep rep;
    std::istringstream is(bin);
    EXPECT_THROW(rep.serial_read(is), std::runtime_error);
    EXPECT_EQ(2u, rep.size());
    EXPECT_EQ(2u * 65535 * 8, rep.bitSize());
    // A string that fits to the last bit is accepted.
    TFields s;
    s += TField<std::string>("a", 65535, false) | TField<std::string>("b", 65535, false) |
         TField<std::string>("c", 2, false);
    EXPECT_EQ(TFieldsRep::kMaxRecordBits, s.bitSize());
    EXPECT_THROW(s += TField<int>("one", 1), std::runtime_error);
    s += TField<int>("none", 0);
}

TEST(DamagedStructure, DuplicateNames) {
    EXPECT_EQ("Field a already exists", messageOf<std::runtime_error>([] {
                  fromBinary(u16(2) + u16(2) + intField("int", "a", 3) + intField("long", "a", 4));
              }));
    EXPECT_EQ("Field a already exists",
              messageOf<std::runtime_error>([] { fromText("2 2\nint a 3\nstr a 4 0\n"); }));
}

TEST(DamagedStructure, BadHeadReadsNothing) {
    EXPECT_EQ(0u, fromText("70000 1\nint a 3\n").size());
    EXPECT_EQ(0u, fromText("").size());
    EXPECT_EQ(0u, fromBinary(std::string("\x01", 1)).size());
}

TEST(DamagedStructure, RandomDamageNeverCrashes) {
    TFields full;
    full += TField<unsigned int>("key", 24) | TEndOfKey() | TField<fixed_point>("price", 2, 20) |
            TField<std::string>("code", 4, true) | TField<long>("qty", 13);
    const std::string forms[2] = {binaryOf(full), textOf(full)};
    std::mt19937 random(20240607);
    int raised = 0, read = 0;
    for (int round = 0; round < 4000; ++round) {
        const bool binary = round % 2 == 0;
        std::string data = forms[binary ? 0 : 1];
        const int changes = 1 + static_cast<int>(random() % 4);
        for (int k = 0; k < changes; ++k) data[random() % data.size()] = static_cast<char>(random() & 0xFF);
        std::istringstream is(data);
        try {
            if (binary) {
                serial::serial_in in(is);
                TFields s(in);
                TRecord r(s);
                read += r.serial_size() <= TFieldsRep::kMaxRecordBits / 8 ? 1 : 0;
            } else {
                TFields s(is);
                TRecord r(s);
                read += r.serial_size() <= TFieldsRep::kMaxRecordBits / 8 ? 1 : 0;
            }
        } catch (const std::runtime_error&) {
            ++raised;
        }
    }
    EXPECT_EQ(4000, raised + read);
    EXPECT_GT(raised, 0);
    EXPECT_GT(read, 0);
}

// ------------------------------------------------------------ records

TEST(Record, StartsZeroedAndSizedByTheStructure) {
    TFields s;
    s += TField<unsigned int>("x", 13);
    TRecord r(s);
    EXPECT_EQ(2u, r.serial_size());
    EXPECT_TRUE(r.fixed_size());
    std::ostringstream os;
    r.serial_write(os);
    EXPECT_EQ(std::string(2, '\0'), os.str());
    EXPECT_FALSE(r.fields() != s);
}

TEST(Record, BinaryFormIsThePackedBytes) {
    TFields s = sample();
    TRecord r(s);
    r["a"] = 0x15u;
    r["b"] = -1;
    r["c"] = 0x9UL;
    std::ostringstream os;
    r.serial_write(os);
    EXPECT_EQ(std::string("\xAF\xF9", 2), os.str());  // 10101 1111111 1001
    TRecord back(s);
    std::istringstream is(os.str());
    back.serial_read(is);
    EXPECT_EQ(0x15u, back[0].get<unsigned int>());
    EXPECT_EQ(-1, back[1].get<int>());
    EXPECT_EQ(0x9UL, back[2].get<unsigned long>());
    std::istringstream shortData("\x01");
    back.serial_read(shortData);
    EXPECT_TRUE(shortData.fail());
    EXPECT_EQ(0x15u, back[0].get<unsigned int>());
}

TEST(Record, TextFormAndAFailedReadStops) {
    TFields s;
    s += TField<int>("i", 10) | TField<std::string>("s", 5, false) | TField<fixed_point>("p", 1, 12);
    TRecord r(s);
    r[0] = -12;
    r[1] = "a\"b";
    r[2] = fixed_point(1, 3.5);
    std::ostringstream os;
    r.to_stream(os);
    EXPECT_EQ("-12\t\"a\\\"b\"\t3.5\t", os.str());
    TRecord back(s);
    std::istringstream is(os.str());
    back.from_stream(is);
    EXPECT_EQ(0, back.compareTo(r));
    EXPECT_EQ("a\"b", back[1].get<std::string>());

    TRecord partial(s);
    partial[2] = fixed_point(1, 9.9);
    std::istringstream cut("7 \"oops");  // the string token is never closed
    partial.from_stream(cut);
    EXPECT_EQ(7, partial[0].get<int>());
    EXPECT_EQ("", partial[1].get<std::string>());
    EXPECT_EQ(99, partial[2].get<fixed_point>().raw);
}

TEST(Record, BadPositionsAndNames) {
    TRecord r(sample());
    EXPECT_EQ("Index 3 out of valid range.", messageOf<std::runtime_error>([&] { r[3]; }));
    const TRecord& c = r;
    EXPECT_EQ("Index 9 out of valid range.", messageOf<std::runtime_error>([&] { c[9]; }));
    EXPECT_EQ("Field nope doesn't exist", messageOf<std::runtime_error>([&] { r["nope"]; }));
}

TEST(Record, KeyOf12BitsIgnoresLaterBits) {
    TFields s;
    s += TField<unsigned int>("k", 12) | TEndOfKey() | TField<unsigned int>("rest", 12);
    TRecord a(s), b(s);
    a[0] = 0x0FFu;
    b[0] = 0x0FFu;
    a[1] = 1u;  // bit 23
    b[1] = 0x800u;  // bit 12
    EXPECT_EQ(0, a.compareTo(b));
    b[0] = 0x0FEu;  // bit 11 differs
    EXPECT_EQ(1, a.compareTo(b));
    EXPECT_EQ(-1, b.compareTo(a));
    b[0] = 0x100u;  // 0x0F 0xF0 before 0x10 0x00
    EXPECT_EQ(-1, a.compareTo(b));
}

TEST(Record, KeyOf16And3Bits) {
    TFields s16;
    s16 += TField<unsigned int>("k", 16) | TEndOfKey() | TField<unsigned int>("v", 8);
    TRecord a(s16), b(s16);
    a[1] = 1u;
    EXPECT_EQ(0, a.compareTo(b));  // the byte after the key is masked out entirely
    b[0] = 1u;
    EXPECT_EQ(-1, a.compareTo(b));

    TFields s3;
    s3 += TField<unsigned int>("k", 3) | TEndOfKey() | TField<unsigned int>("v", 5);
    TRecord c(s3), d(s3);
    d[1] = 31u;
    EXPECT_EQ(0, c.compareTo(d));
    d[0] = 4u;
    EXPECT_EQ(-1, c.compareTo(d));
}

TEST(Record, NoMarkerMeansTheWholeRecord) {
    TFields s;
    s += TField<unsigned int>("a", 8) | TField<unsigned int>("b", 5);
    TRecord x(s), y(s);
    y[1] = 1u;  // the last used bit, bit 12
    EXPECT_EQ(-1, x.compareTo(y));
    EXPECT_EQ(1, y.compareTo(x));
    TRecord copy(y);
    EXPECT_EQ(0, copy.compareTo(y));
}

TEST(Record, EmptyKeyComparesEqual) {
    TFields s;
    s += TEndOfKey() | TField<int>("a", 8);
    TRecord x(s), y(s);
    y[0] = 5;
    EXPECT_EQ(0, x.compareTo(y));
}

TEST(Record, RecordsOfSeparateRepresentationsDoNotCompare) {
    const std::string text = textOf(sample());
    TRecord x(fromText(text)), y(fromText(text));
    EXPECT_EQ("Couldn't compare records", messageOf<std::runtime_error>([&] { x.compareTo(y); }));
    TFields s = sample();
    TRecord before(s);
    s += TField<int>("d", 8);
    TRecord after(s);
    EXPECT_THROW(before.compareTo(after), std::runtime_error);
}

TEST(Record, AssignmentTakesTheOtherStructure) {
    TFields small;
    small += TField<unsigned int>("k", 4) | TEndOfKey() | TField<unsigned int>("v", 4);
    TFields big;
    big += TField<unsigned int>("k", 16) | TField<unsigned int>("v", 16);
    TRecord r(small), other(big);
    other[0] = 0xBEEFu;
    other[1] = 7u;
    r = other;
    EXPECT_FALSE(r.fields() != big);
    EXPECT_EQ(4u, r.serial_size());
    EXPECT_EQ(0xBEEFu, r[0].get<unsigned int>());
    EXPECT_EQ(0, r.compareTo(other));
    TRecord lower(big);
    lower[1] = 8u;  // the whole record is big's key
    lower[0] = 0xBEEFu;
    EXPECT_EQ(-1, r.compareTo(lower));
    r = r;
    EXPECT_EQ(0xBEEFu, r[0].get<unsigned int>());
    // Back to the small structure: its mask and length again.
    TRecord s(small);
    s[1] = 9u;
    r = s;
    EXPECT_EQ(1u, r.serial_size());
    TRecord t(small);
    EXPECT_EQ(0, r.compareTo(t));
}
