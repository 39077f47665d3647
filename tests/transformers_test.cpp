// Transformer registry, range fixer and strip transformers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Core/Orvex/Ranfixer.h"
#include "Core/Orvex/Stripper.h"
#include "Core/Orvex/Trans.h"
#include "Core/Orvex/__field.h"
#include "Core/Orvex/__table.h"
#include "host/memory_file_set.h"
#include "support/serial.h"
#include "support/tabulation.h"
#include "tests/test_support.h"

using namespace Orvex;
using namespace TestSupport;

namespace {

typedef pointer<field_transformer_base::creator> creator_ptr;
typedef pointer<field_transformer_base::args::creator> args_creator_ptr;

// ------------------------------------------------ the test's own transformers

// Remembers every value it is shown and re-adds the field unchanged.
template <class T>
class recording_transformer : public field_transformer<T> {
public:
    void do_onChange(const T& v) override { seen.push_back(v); }
    void do_addToFields(TFields& fields, const TField<T>& field) const override { fields += field; }
    std::vector<T> seen;
};

template <class T>
class recording_creator : public field_transformer<T>::creator {
public:
    pointer<field_transformer_base> create(const TTables& tables, const field_transformer_base::args&) const override {
        lastTables = &tables;
        return pointer<field_transformer_base>(new recording_transformer<T>);
    }
    mutable const TTables* lastTables = nullptr;
};

// A creator that can make nothing.
class empty_creator : public field_transformer_base::creator {
public:
    explicit empty_creator(const std::string& type) : field_transformer_base::creator(type) {}
    pointer<field_transformer_base> create(const TTables&, const field_transformer_base::args&) const override {
        return pointer<field_transformer_base>();
    }
};

// Arguments of category "testCat": one number, and where they came from.
class test_args : public field_transformer_base::args {
public:
    test_args(long v = 0, int m = 0, const std::string& f = "") : value(v), maker(m), form(f) {}
    std::string category() const override { return "testCat"; }
    void serial_write(std::ostream& os) const override { serial::write_u32(os, static_cast<unsigned long>(value)); }
    void to_stream(std::ostream& os) const override { tabulation::to_stream(os, value); }
    long value;
    int maker;
    std::string form;
};

class test_args_creator : public field_transformer_base::args::creator {
public:
    explicit test_args_creator(int tag) : m_tag(tag) {}
    pointer<field_transformer_base::args> create(std::istream& in) const override {
        long v = 0;
        tabulation::from_stream(in, v);
        return argsPtr(new test_args(v, m_tag, "text"));
    }
    pointer<field_transformer_base::args> create(serial::serial_in& in) const override {
        long v = 0;
        in >> v;
        return argsPtr(new test_args(v, m_tag, "binary"));
    }

private:
    int m_tag;
};

creator_ptr intRecorder() { return creator_ptr(new recording_creator<int>); }

// "<maker> <form> <value>" of the test_args that `m` reads from `data`, or
// the error raised.
std::string readArgs(field_transformer_manager& m, const std::string& category, const std::string& data, bool binary) {
    std::istringstream in(data);
    try {
        pointer<field_transformer_base::args> a = m.createArgs(category, in, binary);
        const test_args& t = dynamic_cast<const test_args&>(*a);
        return std::to_string(t.maker) + " " + t.form + " " + std::to_string(t.value);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
}

std::string cannotCreate(const std::string& cat, const std::string& type) {
    return " cannot create transformer (category: " + cat + " , type " + type + ")";
}

bool isNullCreator(const field_transformer_base::creator& c) { return dynamic_cast<const null_creator*>(&c); }

// A table set to hand to creators; none of the tested transformers reads it.
class WithTables : public ::testing::Test {
protected:
    WithTables() : tables(fs) {}
    Host::MemoryFileSet fs;
    TTables tables;
};

// ===================================================================== registry

class Registry : public WithTables {
protected:
    field_transformer_manager m;
    TFields f = fieldsOf(TField<int>("qty", 8) | TField<std::string>("name", 4, false) | TField<unsigned int>("n", 3));

    std::string create(const std::string& field) {
        return message<std::runtime_error>([&] { m.createTransformer(f, field, tables, test_args()); });
    }
    std::string lookup(const std::string& cat, const std::string& type) {
        return message<std::runtime_error>([&] { m.transformerCreator(cat, type); });
    }
    std::string registerInt(const std::string& cat) {
        return message<std::runtime_error>([&] { m.registerTransformerCreator(cat, intRecorder()); });
    }
};

TEST_F(Registry, RegisteredCreatorIsFoundByCategoryAndTypeAndMakesTransformers) {
    creator_ptr c = intRecorder();
    m.registerTransformerCreator("testCat", c);
    EXPECT_EQ(&m.transformerCreator("testCat", "int"), c.get());
    pointer<field_transformer_base> t = m.createTransformer(f, "qty", tables, test_args());
    EXPECT_NE(dynamic_cast<recording_transformer<int>*>(t.get()), nullptr);
    EXPECT_EQ(static_cast<recording_creator<int>&>(*c).lastTables, &tables);
    // The structure's own error for a name it lacks; the type of "name" has no creator.
    EXPECT_EQ(create("price"), "Field price doesn't exist");
    EXPECT_EQ(create("name"), cannotCreate("testCat", "str"));
}

TEST_F(Registry, SecondCreatorForOneTypeIsRefusedAndTheFirstStays) {
    creator_ptr first = intRecorder();
    m.registerTransformerCreator("testCat", first);
    EXPECT_EQ(registerInt("testCat"), "Creator testCat for type int already exists");
    EXPECT_EQ(&m.transformerCreator("testCat", "int"), first.get());
    // The same type in another category is a different entry.
    m.registerTransformerCreator("otherCat", intRecorder());
    EXPECT_NE(&m.transformerCreator("otherCat", "int"), first.get());
}

TEST_F(Registry, UnregisteringLeavesANullCreatorThatBlocksReRegistration) {
    creator_ptr c = intRecorder();
    m.registerTransformerCreator("testCat", c);
    m.unregisterTransformerCreator("testCat", "int");

    const field_transformer_base::creator& stand_in = m.transformerCreator("testCat", "int");
    EXPECT_TRUE(isNullCreator(stand_in));
    EXPECT_EQ(stand_in.name(), "int");
    EXPECT_FALSE(stand_in.create(tables, test_args()));
    EXPECT_EQ(create("qty"), cannotCreate("testCat", "int"));
    EXPECT_EQ(registerInt("testCat"), "Creator testCat for type int already exists");
    // A type never registered: nothing happens, nothing raised.
    EXPECT_NO_THROW(m.unregisterTransformerCreator("testCat", "u_long"));
    EXPECT_EQ(lookup("testCat", "u_long"), cannotCreate("testCat", "u_long"));
}

TEST_F(Registry, ArgsCreatorIsReplacedWithoutErrorAndReadsEitherForm) {
    m.registerArgsCreator("testCat", args_creator_ptr(new test_args_creator(1)));
    m.registerArgsCreator("testCat", args_creator_ptr(new test_args_creator(2)));
    EXPECT_EQ(readArgs(m, "testCat", "-42 rest", false), "2 text -42");
    EXPECT_EQ(readArgs(m, "testCat", le32(7), true), "2 binary 7");
    m.unregisterArgsCreator("testCat");
    EXPECT_EQ(readArgs(m, "testCat", "1", false), " cannot create transformer args (category: testCat)");
}

TEST(RegistrationObjects, RegisterForTheirLifetimeWithTheProcessRegistry) {
    field_transformer_manager& m = field_transformer_manager::instance();
    creator_ptr c = intRecorder();
    {
        field_transformer_base::registration r("testRegistrationCat", c);
        EXPECT_EQ(&m.transformerCreator("testRegistrationCat", "int"), c.get());
        field_transformer_base::args::registration ar("testRegistrationCat", args_creator_ptr(new test_args_creator(5)));
        EXPECT_EQ(readArgs(m, "testRegistrationCat", "3", false), "5 text 3");
    }
    EXPECT_TRUE(isNullCreator(m.transformerCreator("testRegistrationCat", "int")));
    EXPECT_EQ(readArgs(m, "testRegistrationCat", "3", false),
              " cannot create transformer args (category: testRegistrationCat)");
    // A failing registration registers nothing, so nothing is undone later.
    EXPECT_EQ(message<std::runtime_error>([&] { field_transformer_base::registration again("testRegistrationCat", c); }),
              "Creator testRegistrationCat for type int already exists");
}

// The process registry's teardown runs in a child process, since it takes
// the library's own registrations with it.
TEST(RegistryTeardown, RegistrationOutlivingItsRegistryDoesNothingAndANewRegistryIsEmpty) {
    EXPECT_EXIT(
        {
            auto* old = new field_transformer_base::registration("teardownCat", intRecorder());
            field_transformer_manager::destroyInstance();
            field_transformer_manager& fresh = field_transformer_manager::instance();
            const bool empty = message([&] { fresh.transformerCreator("sizeForRange", "int"); }) != "<no error>";
            // A newer registration of the same name in the new registry
            // (which may stand at the same address) survives the old one.
            creator_ptr c = intRecorder();
            field_transformer_base::registration current("teardownCat", c);
            delete old;
            const bool kept = &fresh.transformerCreator("teardownCat", "int") == c.get();
            std::exit(empty && kept ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// ====================================================== typed transformer base

// Runs a transformer over a one-field structure with the given values and
// returns the structure it builds. The values go through a record, or
// straight to do_onChange when `direct` (for values a record would change).
template <class T>
TFields transformOne(field_transformer_base& t, const TFieldInfo& field, const std::vector<T>& values = {},
                     bool direct = false) {
    TFields f = fieldsOf(field);
    t.reset(f[0]);
    TRecord r(f);
    for (const T& v : values) {
        if (direct) {
            dynamic_cast<field_transformer<T>&>(t).do_onChange(v);
        } else {
            r[0] = v;
            t.onChange(r, 0);
        }
    }
    TFields out;
    t.addToFields(out, f[0]);
    return out;
}

// The shape of the one field the transformer builds.
template <class T>
std::string shapeAfter(field_transformer_base& t, const TFieldInfo& field, const std::vector<T>& values = {},
                       bool direct = false) {
    TFields out = transformOne<T>(t, field, values, direct);
    EXPECT_EQ(out.size(), 1u);
    return shapeOf(out[0]);
}

// The base's check and each stripper's own reset.
TEST(FieldTransformer, ResetRefusesAFieldOfAnotherType) {
    TFields f = fieldsOf(TField<int>("i", 8) | TField<std::string>("s", 5, false) | TField<fixed_point>("p", 1, 8) |
                         TField<unsigned int>("u", 8));
    recording_transformer<int> recording;
    range_fixer<int> range(4);
    fixed_point_stripper fixedStrip;
    string_stripper stringStrip;
    scalar_stripper<long, signed_max_size_calculator> longStrip;
    const struct {
        field_transformer_base& t;
        unsigned field;
        const char* expected;
    } cases[] = {
        {recording, 1, "Field s is type of (str), should be (int)"},
        {range, 3, "Field u is type of (u_int), should be (int)"},
        {fixedStrip, 0, "Field i is type of (int), should be (fixed)"},
        {stringStrip, 2, "Field p is type of (fixed), should be (str)"},
        {longStrip, 0, "Field i is type of (int), should be (long)"},
    };
    for (const auto& c : cases) EXPECT_EQ(message<std::logic_error>([&] { c.t.reset(f[c.field]); }), c.expected);
}

// ================================================ the library's registrations

TEST(LibraryRegistrations, StripCreatorsAreRegisteredOnceAndHaveNoArgsCreator) {
    field_transformer_manager& m = field_transformer_manager::instance();
    const field_transformer_base::creator* before = &m.transformerCreator("strip", "int");
    typedef default_transformer_creator<scalar_stripper<int, signed_max_size_calculator> > int_strip_creator;
    EXPECT_NE(dynamic_cast<const int_strip_creator*>(before), nullptr);
    EXPECT_NO_THROW(registerStrippers());  // all made at load: nothing new
    EXPECT_EQ(&m.transformerCreator("strip", "int"), before);
    EXPECT_EQ(message<std::runtime_error>([&] { m.registerTransformerCreator("strip", intRecorder()); }),
              "Creator strip for type int already exists");
    EXPECT_EQ(readArgs(m, "strip", "", false), " cannot create transformer args (category: strip)");
    for (const char* type : {"fixed", "str", "long", "u_int", "u_long"})
        EXPECT_EQ(m.transformerCreator("strip", type).name(), type);
}

using LibraryTransformers = WithTables;

TEST_F(LibraryTransformers, CreateTransformerPicksTheFieldsTypeInTheArgumentsCategory) {
    field_transformer_manager& m = field_transformer_manager::instance();
    TFields f = fieldsOf(TField<int>("i", 32) | TField<unsigned int>("u", 32) | TField<std::string>("s", 3, true));
    const range_fixer_args range(100);
    pointer<field_transformer_base> ti = m.createTransformer(f, "i", tables, range);
    ASSERT_NE(dynamic_cast<range_fixer<int>*>(ti.get()), nullptr);
    EXPECT_EQ(static_cast<range_fixer<int>&>(*ti).width(), 8u);
    pointer<field_transformer_base> tu = m.createTransformer(f, "u", tables, range);
    EXPECT_EQ(dynamic_cast<range_fixer<unsigned int>&>(*tu).width(), 7u);
    pointer<field_transformer_base> ts = m.createTransformer(f, "s", tables, stripper_args());
    EXPECT_NE(dynamic_cast<string_stripper*>(ts.get()), nullptr);
    pointer<field_transformer_base> tp = m.createTransformer(f, "i", tables, stripper_args());
    EXPECT_NE((dynamic_cast<scalar_stripper<int, signed_max_size_calculator>*>(tp.get())), nullptr);
}

// ================================================================ range fixer

// The bounds of a range in one line: kind, min and max as raw/precision,
// the range's precision, the bounds as longs, signed/unsigned widths.
std::string boundsOf(const range_fixer_args& a) {
    std::ostringstream os;
    os << "kind " << a.kind() << ", " << a.minFixed().raw << "/" << a.minFixed().precision << ".." << a.maxFixed().raw
       << "/" << a.maxFixed().precision << ", precision " << a.precision() << ", long " << a.minLong() << ".."
       << a.maxLong() << ", bits " << a.signedSize() << "/" << a.unsignedSize();
    return os.str();
}

fixed_point fixedRaw(unsigned precision, int raw) {
    fixed_point v(precision);
    v.raw = raw;
    return v;
}

class RangeFixer : public WithTables {
protected:
    template <class T>
    std::string fix(const range_fixer_args& a, const TFieldInfo& field, const std::vector<T>& values = {}) {
        return shapeAfter<T>(*range_fixer_creator<T>().create(tables, a), field, values);
    }
};

TEST_F(RangeFixer, IntegerWidthsFollowTheSignednessOfTheFieldAndIgnoreTheRecords) {
    const range_fixer_args hundred(100), pm5(-5, 5);
    EXPECT_EQ(fix<unsigned int>(hundred, TField<unsigned int>("n", 32)), "n u_int 7");
    EXPECT_EQ(fix<int>(hundred, TField<int>("n", 32)), "n int 8");
    EXPECT_EQ(fix<long>(pm5, TField<long>("n", 32)), "n long 4");
    // The unsigned creator uses the max alone.
    EXPECT_EQ(fix<unsigned long>(pm5, TField<unsigned long>("n", 32)), "n u_long 3");
    EXPECT_EQ(fix<int>(range_fixer_args(3), TField<int>("n", 32), {1000000, -70000, 2}), "n int 3");
}

TEST_F(RangeFixer, FloatingPointBoundsKeepThePlacesTheyNeed) {
    const range_fixer_args a(0.0, 2.25);
    EXPECT_EQ(boundsOf(a), "kind 1, 0/0..225/2, precision 2, long 0..2, bits 9/9");
    EXPECT_DOUBLE_EQ(a.maxDouble(), 2.25);
    EXPECT_EQ(fix<fixed_point>(a, TField<fixed_point>("p", 4, 32)), "p fixed 9.2");
    // Longs are rounded half away from zero.
    EXPECT_EQ(boundsOf(range_fixer_args(-2.5, 0.125)), "kind 1, -25/1..125/3, precision 3, long -3..0, bits 8/8");
    EXPECT_EQ(boundsOf(range_fixer_args(7.5)), "kind 1, 0/0..75/1, precision 1, long 0..8, bits 8/8");
}

TEST_F(RangeFixer, StringFieldTakesTheMaximumAsSizeAndKeepsItsPacking) {
    EXPECT_EQ(fix<std::string>(range_fixer_args(40), TField<std::string>("s", 5, false), {"abc"}), "s str 40");
    EXPECT_EQ(fix<std::string>(range_fixer_args(40), TField<std::string>("s", 5, true), {"abc"}), "s str 40 packed");
    // A negative maximum is no size: the string field refuses it.
    EXPECT_THROW(fix<std::string>(range_fixer_args(-5), TField<std::string>("s", 5, false)), std::runtime_error);
}

TEST(RangeFixerDirect, WidthAboveThirtyTwoIsRefusedBeforeAnyFieldIsMade) {
    TFields f = fieldsOf(TField<int>("wide", 8) | TField<fixed_point>("money", 2, 8));
    range_fixer<int> t(33);
    range_fixer<fixed_point> p(40, 2);
    t.reset(f[0]);
    TFields out;
    EXPECT_EQ(message<std::runtime_error>([&] { t.addToFields(out, f[0]); }), "Field wide width 33 is above 32");
    EXPECT_EQ(message<std::runtime_error>([&] { p.addToFields(out, f[1]); }), "Field money width 40 is above 32");
    EXPECT_EQ(out.size(), 0u);
}

TEST(RangeFixerArgs, PrecisionCountsTheDecimalPlacesNeeded) {
    const struct {
        double x;
        int n, expected;
    } cases[] = {
        {2.25, 6, 2}, {3.0, 6, 0}, {-0.125, 6, 3}, {0.1, 6, 1}, {0.123456789, 6, 6} /* capped by n */,
        {0.123456789, 3, 3}, {1.5, 0, 0},
        // n above 9 is taken as 9, which a 32-bit raw value can still carry.
        {0.5, 30, 1}, {0.123456789123, 30, 9}, {std::nan(""), 6, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(range_fixer_args::precision(c.x, c.n), c.expected) << c.x << " " << c.n;
}

TEST(RangeFixerArgs, IntegerBoundsOfEveryWidthAndSignedness) {
    EXPECT_EQ(boundsOf(range_fixer_args(static_cast<char>(-3), static_cast<char>(5))),
              "kind 0, -3/0..5/0, precision 0, long -3..5, bits 4/3");
    EXPECT_EQ(boundsOf(range_fixer_args(static_cast<unsigned char>(200))),
              "kind 0, 0/0..200/0, precision 0, long 0..200, bits 9/8");
    EXPECT_EQ(range_fixer_args(static_cast<char>(-1)).maxLong(), -1);  // a char max is signed
    EXPECT_EQ(boundsOf(range_fixer_args(-2147483647L - 1, 2147483647L)),
              "kind 0, -2147483648/0..2147483647/0, precision 0, long -2147483648..2147483647, bits 32/31");
    // An unsigned bound keeps its 32 bits.
    const range_fixer_args top(4294967295UL);
    EXPECT_EQ(top.unsignedSize(), 32u);
    EXPECT_EQ(top.maxLong(), -1);
    EXPECT_DOUBLE_EQ(top.maxDouble(), 4294967295.0);
    EXPECT_EQ(range_fixer_args(3000000000u).unsignedSize(), 32u);
    EXPECT_EQ(range_fixer_args(0u).unsignedSize(), 0u);
}

TEST(RangeFixerArgs, BoundsOutsideThirtyTwoBitsAreRefusedByValue) {
    EXPECT_EQ(message<std::out_of_range>([] { range_fixer_args a(5000000000L); }),
              "Range bound 5000000000 is outside the 32-bit range");
    EXPECT_EQ(message<std::out_of_range>([] { range_fixer_args a(-3000000000L, 0L); }),
              "Range bound -3000000000 is outside the 32-bit range");
    EXPECT_EQ(message<std::out_of_range>([] { range_fixer_args a(4294967296UL); }),
              "Range bound 4294967296 is outside the 32-bit range");
    EXPECT_EQ(message<std::out_of_range>([] { range_fixer_args a(5000.123456, 1.0); }),
              "Range bound 5000.123456 does not fit 32 bits at 6 decimal places");
    EXPECT_THROW(range_fixer_args a(1e12), std::out_of_range);
    EXPECT_THROW(range_fixer_args a(std::numeric_limits<double>::infinity()), std::out_of_range);
    EXPECT_THROW(range_fixer_args a(std::nan("")), std::out_of_range);
    EXPECT_THROW(range_fixer_args a(fixed_point(300)), std::out_of_range);
}

// Reads range arguments back through the process registry.
std::string boundsRead(const std::string& data, bool binary, bool* failed = nullptr) {
    std::istringstream in(data);
    pointer<field_transformer_base::args> back = field_transformer_manager::instance().createArgs("sizeForRange", in, binary);
    if (failed) *failed = in.fail();
    if (!in.fail() && binary) {
        EXPECT_EQ(in.peek(), std::char_traits<char>::eof());
    }
    return in.fail() ? "<failed>" : boundsOf(dynamic_cast<const range_fixer_args&>(*back));
}

TEST(RangeFixerArgs, TextFormIsFourTokensAndReadsBackAsFixedPoint) {
    const range_fixer_args a(-5, 5);
    EXPECT_EQ(a.category(), "sizeForRange");
    EXPECT_STREQ(range_fixer_args::getCategory(), "sizeForRange");
    std::istringstream tokens(textOf(a));
    std::vector<std::string> words;
    for (std::string w; tokens >> w;) words.push_back(w);
    EXPECT_EQ(words, (std::vector<std::string>{"0", "-5", "0", "5"}));
    EXPECT_EQ(boundsRead(textOf(a), false), "kind 2, -5/0..5/0, precision 0, long -5..5, bits 4/4");
    // Bounds at their own precisions come back at those precisions.
    std::istringstream in(textOf(range_fixer_args(-0.5, 2.25)));
    EXPECT_EQ(boundsOf(dynamic_cast<const range_fixer_args&>(*range_fixer_args_creator().create(in))),
              "kind 2, -5/1..225/2, precision 2, long -1..2, bits 9/9");
}

TEST(RangeFixerArgs, BinaryFormReadsBackThroughTheRegistry) {
    const std::string form = binaryOf(range_fixer_args(-0.5, 2.25));
    EXPECT_EQ(form, bytes({1, 0xfb, 0xff, 0xff, 0xff, 2, 0xe1, 0, 0, 0}));
    EXPECT_EQ(boundsRead(form, true), "kind 2, -5/1..225/2, precision 2, long -1..2, bits 9/9");
    // A cut-short form leaves the failure in the stream.
    bool failed = false;
    boundsRead(form.substr(0, 7), true, &failed);
    EXPECT_TRUE(failed);
}

// ================================================================= strippers

typedef scalar_stripper<int, signed_max_size_calculator> int_stripper;
typedef scalar_stripper<long, signed_max_size_calculator> long_stripper;
typedef scalar_stripper<unsigned int, unsigned_max_size_calculator> u_int_stripper;
typedef scalar_stripper<unsigned long, unsigned_max_size_calculator> u_long_stripper;

TEST(Strippers, IntegerWidthsCoverEveryValueAndZero) {
    int_stripper a, c, negOnly;
    EXPECT_EQ(shapeAfter<int>(a, TField<int>("i", 32), {-3, 7, 2}), "i int 4");
    EXPECT_EQ(shapeAfter<int>(c, TField<int>("i", 32), {4, 9}), "i int 5");
    u_int_stripper b;
    EXPECT_EQ(shapeAfter<unsigned int>(b, TField<unsigned int>("u", 32), {5u, 200u}), "u u_int 8");
    transformOne<int>(negOnly, TField<int>("i", 32), {-4, -9});
    EXPECT_EQ(negOnly.calculator().max(), 0);
    EXPECT_EQ(negOnly.calculator().min(), -9);
    // The 32-bit extremes.
    long_stripper d;
    EXPECT_EQ(shapeAfter<long>(d, TField<long>("l", 32), {-2147483647L - 1, 1L}), "l long 32");
    u_long_stripper e;
    EXPECT_EQ(shapeAfter<unsigned long>(e, TField<unsigned long>("ul", 32), {4294967295UL}), "ul u_long 32");
}

TEST(Strippers, FixedPointKeepsOnlyTheDecimalPlacesItsValuesUseAndMeasuresSigned) {
    const struct {
        std::vector<fixed_point> values;
        const char* shape;
    } cases[] = {
        {{fixed_point(3, 1.5), fixed_point(3, 2.25)}, "p fixed 9.2"},
        {{fixed_point(3, 2.0), fixed_point(3, -7.0)}, "p fixed 4.0"},
        // -1.000 is a whole number: its remainder must be taken on the magnitude.
        {{fixed_point(3, -1.0), fixed_point(3, -2.0)}, "p fixed 2.0"},
        {{fixed_point(3, -1.5), fixed_point(3, 2.25)}, "p fixed 9.2"},
    };
    for (const auto& c : cases) {
        fixed_point_stripper s;
        EXPECT_EQ(shapeAfter<fixed_point>(s, TField<fixed_point>("p", 3, 32), c.values), c.shape);
    }
    fixed_point_stripper lowest;
    EXPECT_EQ(shapeAfter<fixed_point>(lowest, TField<fixed_point>("p", 0, 32), {fixedRaw(0, std::numeric_limits<int>::min())}),
              "p fixed 32.0");
}

TEST(Strippers, FixedPrecisionsAboveNineStayExact) {
    EXPECT_EQ(fixed_point_stripper::power10(9), 1000000000u);
    const struct {
        unsigned precision;
        std::vector<int> raws;
        unsigned used;
        const char* shape;
    } cases[] = {
        {12, {2000000000, 1000000000}, 3, "p fixed 3.3"},  // 0.002 and 0.001
        {25, {5, -2000000000}, 25, "p fixed 32.25"},         // 5 at 25 places needs all 25
        {30, {0}, 0, "p fixed 0.0"},                         // only zeros: the width of 0..0
    };
    for (const auto& c : cases) {
        std::vector<fixed_point> values;
        for (int raw : c.raws) values.push_back(fixedRaw(c.precision, raw));
        fixed_point_stripper s;
        EXPECT_EQ(shapeAfter<fixed_point>(s, TField<fixed_point>("p", c.precision, 32), values, true), c.shape);
        EXPECT_EQ(s.usedPrecision(), c.used);
    }
}

}  // namespace
