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
#include "support/Tools.h"
#include "support/serial.h"
#include "support/tabulation.h"

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
    test_args(long v, int m, const std::string& f) : value(v), maker(m), form(f) {}
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
        return pointer<field_transformer_base::args>(new test_args(v, m_tag, "text"));
    }
    pointer<field_transformer_base::args> create(serial::serial_in& in) const override {
        long v = 0;
        in >> v;
        return pointer<field_transformer_base::args>(new test_args(v, m_tag, "binary"));
    }

private:
    int m_tag;
};

pointer<field_transformer_base::creator> intRecorder() {
    return pointer<field_transformer_base::creator>(new recording_creator<int>);
}

// A table set to hand to creators; none of the tested transformers reads it.
class WithTables : public ::testing::Test {
protected:
    WithTables() : tables(fs) {}
    Host::MemoryFileSet fs;
    TTables tables;
};

std::string cannotCreate(const std::string& cat, const std::string& type) {
    return " cannot create transformer (category: " + cat + " , type " + type + ")";
}

// The width of the single field of a structure built by a transformer.
template <class T>
unsigned widthOf(const TFields& f, unsigned i = 0) {
    return static_cast<const TField<T>&>(f[i]).bits();
}

// ===================================================================== registry

using Registry = WithTables;

TEST_F(Registry, RegisteredCreatorIsFoundByCategoryAndTypeAndMakesTransformers) {
    field_transformer_manager m;
    pointer<field_transformer_base::creator> c = intRecorder();
    m.registerTransformerCreator("testCat", c);
    EXPECT_EQ(&m.transformerCreator("testCat", "int"), c.get());

    TFields f;
    f += TField<int>("qty", 8);
    f += TField<std::string>("name", 4, false);
    pointer<field_transformer_base> t = m.createTransformer(f, "qty", tables, test_args(0, 0, ""));
    ASSERT_TRUE(t);
    EXPECT_NE(dynamic_cast<recording_transformer<int>*>(t.get()), nullptr);
    EXPECT_EQ(static_cast<recording_creator<int>&>(*c).lastTables, &tables);
    // The structure's own error for a name it lacks; the type of "name" has no creator.
    EXPECT_EQ(messageOf<std::runtime_error>([&] { m.createTransformer(f, "price", tables, test_args(0, 0, "")); }),
              "Field price doesn't exist");
    EXPECT_EQ(messageOf<std::runtime_error>([&] { m.createTransformer(f, "name", tables, test_args(0, 0, "")); }),
              cannotCreate("testCat", "str"));
}

TEST_F(Registry, SecondCreatorForOneTypeIsRefusedAndTheFirstStays) {
    field_transformer_manager m;
    pointer<field_transformer_base::creator> first = intRecorder();
    m.registerTransformerCreator("testCat", first);
    EXPECT_EQ(messageOf<std::runtime_error>([&] { m.registerTransformerCreator("testCat", intRecorder()); }),
              "Creator testCat for type int already exists");
    EXPECT_EQ(&m.transformerCreator("testCat", "int"), first.get());
    // The same type in another category is a different entry.
    m.registerTransformerCreator("otherCat", intRecorder());
    EXPECT_NE(&m.transformerCreator("otherCat", "int"), first.get());
}

TEST_F(Registry, UnregisteringLeavesANullCreatorThatBlocksReRegistration) {
    field_transformer_manager m;
    pointer<field_transformer_base::creator> c = intRecorder();
    m.registerTransformerCreator("testCat", c);
    EXPECT_GT(c.use_count(), 1);
    m.unregisterTransformerCreator("testCat", "int");
    EXPECT_EQ(c.use_count(), 1);  // released by the registry

    const field_transformer_base::creator& stand_in = m.transformerCreator("testCat", "int");
    EXPECT_NE(dynamic_cast<const null_creator*>(&stand_in), nullptr);
    EXPECT_EQ(stand_in.name(), "int");
    EXPECT_FALSE(stand_in.create(tables, test_args(0, 0, "")));

    TFields f;
    f += TField<int>("qty", 8);
    EXPECT_EQ(messageOf<std::runtime_error>([&] { m.createTransformer(f, "qty", tables, test_args(0, 0, "")); }),
              cannotCreate("testCat", "int"));
    EXPECT_EQ(messageOf<std::runtime_error>([&] { m.registerTransformerCreator("testCat", intRecorder()); }),
              "Creator testCat for type int already exists");
    // A type never registered: nothing happens, nothing raised.
    EXPECT_NO_THROW(m.unregisterTransformerCreator("testCat", "u_long"));
    EXPECT_EQ(messageOf<std::runtime_error>([&] { m.transformerCreator("testCat", "u_long"); }),
              cannotCreate("testCat", "u_long"));
}

TEST_F(Registry, CreatorThatMakesNothingGivesTheCannotCreateError) {
    field_transformer_manager m;
    m.registerTransformerCreator("testCat", pointer<field_transformer_base::creator>(new empty_creator("u_int")));
    TFields f;
    f += TField<unsigned int>("n", 3);
    EXPECT_EQ(messageOf<std::runtime_error>([&] { m.createTransformer(f, "n", tables, test_args(0, 0, "")); }),
              cannotCreate("testCat", "u_int"));
}

TEST_F(Registry, LookupOfAnUnknownCategoryLeavesAnEmptyCategoryBehind) {
    field_transformer_manager m;
    EXPECT_EQ(m.categoryCount(), 0u);
    EXPECT_EQ(messageOf<std::runtime_error>([&] { m.transformerCreator("nobody", "int"); }),
              cannotCreate("nobody", "int"));
    EXPECT_EQ(m.categoryCount(), 1u);
    EXPECT_EQ(messageOf<std::runtime_error>([&] { m.transformerCreator("nobody", "int"); }),
              cannotCreate("nobody", "int"));
    EXPECT_EQ(m.categoryCount(), 1u);
    std::istringstream in("1");
    EXPECT_EQ(messageOf<std::runtime_error>([&] { m.createArgs("alsoNobody", in, false); }),
              " cannot create transformer args (category: alsoNobody)");
    EXPECT_EQ(m.categoryCount(), 2u);
    // Names are compared exactly.
    m.registerTransformerCreator("Nobody", intRecorder());
    EXPECT_THROW(m.transformerCreator("nobody", "int"), std::runtime_error);
    EXPECT_EQ(m.categoryCount(), 3u);
}

TEST_F(Registry, ArgsCreatorIsReplacedWithoutErrorAndReadsEitherForm) {
    field_transformer_manager m;
    m.registerArgsCreator("testCat", pointer<field_transformer_base::args::creator>(new test_args_creator(1)));
    m.registerArgsCreator("testCat", pointer<field_transformer_base::args::creator>(new test_args_creator(2)));

    std::istringstream text("-42 rest");
    pointer<field_transformer_base::args> a = m.createArgs("testCat", text, false);
    const test_args& ta = dynamic_cast<const test_args&>(*a);
    EXPECT_EQ(ta.maker, 2);
    EXPECT_EQ(ta.form, "text");
    EXPECT_EQ(ta.value, -42);

    std::istringstream binary(std::string("\x07\x00\x00\x00", 4));
    pointer<field_transformer_base::args> b = m.createArgs("testCat", binary, true);
    const test_args& tb = dynamic_cast<const test_args&>(*b);
    EXPECT_EQ(tb.form, "binary");
    EXPECT_EQ(tb.value, 7);

    m.unregisterArgsCreator("testCat");
    std::istringstream again("1");
    EXPECT_EQ(messageOf<std::runtime_error>([&] { m.createArgs("testCat", again, false); }),
              " cannot create transformer args (category: testCat)");
}

TEST_F(Registry, EmptyCreatorPointerRaisesNullPointerAndRegistersNothing) {
    field_transformer_manager m;
    EXPECT_THROW(m.registerTransformerCreator("testCat", pointer<field_transformer_base::creator>()), null_pointer);
    EXPECT_EQ(messageOf<std::runtime_error>([&] { m.transformerCreator("testCat", "int"); }),
              cannotCreate("testCat", "int"));
}

TEST_F(Registry, ClearReleasesEveryCreatorAndALaterRegistrationStartsAfresh) {
    field_transformer_manager m;
    pointer<field_transformer_base::creator> c = intRecorder();
    pointer<field_transformer_base::args::creator> ac(new test_args_creator(1));
    m.registerTransformerCreator("testCat", c);
    m.registerArgsCreator("testCat", ac);
    m.registerArgsCreator("otherCat", ac);
    EXPECT_EQ(ac.use_count(), 3);  // one per category
    EXPECT_GT(c.use_count(), 1);
    m.clear();
    EXPECT_EQ(c.use_count(), 1);
    EXPECT_EQ(ac.use_count(), 1);
    EXPECT_EQ(m.categoryCount(), 0u);
    m.clear();  // twice is harmless
    m.registerTransformerCreator("testCat", c);
    EXPECT_EQ(&m.transformerCreator("testCat", "int"), c.get());
}

TEST_F(Registry, DestroyingTheRegistryReleasesItsCreators) {
    pointer<field_transformer_base::creator> c = intRecorder();
    {
        field_transformer_manager m;
        m.registerTransformerCreator("testCat", c);
        EXPECT_GT(c.use_count(), 1);
    }
    EXPECT_EQ(c.use_count(), 1);
}

TEST(RegistrationObjects, RegisterForTheirLifetimeWithTheProcessRegistry) {
    field_transformer_manager& m = field_transformer_manager::instance();
    pointer<field_transformer_base::creator> c = intRecorder();
    {
        field_transformer_base::registration r("testRegistrationCat", c);
        EXPECT_EQ(&m.transformerCreator("testRegistrationCat", "int"), c.get());
        field_transformer_base::args::registration ar(
            "testRegistrationCat", pointer<field_transformer_base::args::creator>(new test_args_creator(5)));
        std::istringstream in("3");
        EXPECT_EQ(dynamic_cast<const test_args&>(*m.createArgs("testRegistrationCat", in, false)).maker, 5);
    }
    EXPECT_EQ(c.use_count(), 1);
    EXPECT_NE(dynamic_cast<const null_creator*>(&m.transformerCreator("testRegistrationCat", "int")), nullptr);
    std::istringstream in("3");
    EXPECT_THROW(m.createArgs("testRegistrationCat", in, false), std::runtime_error);
    // A failing registration registers nothing, so nothing is undone later.
    EXPECT_EQ(messageOf<std::runtime_error>([&] { field_transformer_base::registration again("testRegistrationCat", c); }),
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
            bool empty = false;
            try {
                fresh.transformerCreator("sizeForRange", "int");
            } catch (const std::runtime_error&) {
                empty = true;
            }
            // A newer registration of the same name in the new registry
            // (which may stand at the same address) survives the old one.
            pointer<field_transformer_base::creator> c = intRecorder();
            field_transformer_base::registration current("teardownCat", c);
            delete old;
            const bool kept = &fresh.transformerCreator("teardownCat", "int") == c.get();
            std::exit(empty && kept ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(RegistryTeardown, UnloadOrderTearsDownCleanly) {
    // The library's registrations, a registration of the test's own that
    // outlives main, and the registry are all finalised at exit.
    EXPECT_EXIT(
        {
            static field_transformer_base::registration late("lateCat", intRecorder());
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// ====================================================== typed transformer base

TEST(FieldTransformer, ResetChecksTheTypeAndOnChangeReadsTheTypedValue) {
    TFields f;
    f += TField<int>("a", 8);
    f += TField<std::string>("s", 5, false);
    f += TField<fixed_point>("p", 2, 16);
    TRecord r(f);
    r[0] = -7;
    r[1] = "hello";
    r[2] = fixed_point(2, 1.25);

    recording_transformer<int> ti;
    EXPECT_EQ(messageOf<std::logic_error>([&] { ti.reset(f[1]); }), "Field s is type of (str), should be (int)");
    ti.reset(f[0]);
    ti.onChange(r, 0);
    ASSERT_EQ(ti.seen.size(), 1u);
    EXPECT_EQ(ti.seen[0], -7);

    recording_transformer<std::string> ts;
    ts.reset(f[1]);
    ts.onChange(r, 1);
    EXPECT_EQ(ts.seen.at(0), "hello");
    recording_transformer<fixed_point> tp;
    tp.reset(f[2]);
    tp.onChange(r, 2);
    EXPECT_EQ(tp.seen.at(0).raw, 125);

    TFields out;
    ts.addToFields(out, f[1]);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].Type(), "str");
    EXPECT_EQ(static_cast<const TField<std::string>&>(out[0]).length(), 5u);
}

// ================================================ the library's registrations

TEST(LibraryRegistrations, RangeCreatorsServeEveryTypeWithTheirSignedness) {
    field_transformer_manager& m = field_transformer_manager::instance();
    const field_transformer_base::creator& ci = m.transformerCreator("sizeForRange", "int");
    ASSERT_NE(dynamic_cast<const range_fixer_creator<int>*>(&ci), nullptr);
    EXPECT_TRUE(static_cast<const range_fixer_creator<int>&>(ci).isSigned());
    EXPECT_TRUE(dynamic_cast<const range_fixer_creator<long>&>(m.transformerCreator("sizeForRange", "long")).isSigned());
    EXPECT_FALSE(dynamic_cast<const range_fixer_creator<unsigned int>&>(m.transformerCreator("sizeForRange", "u_int"))
                     .isSigned());
    EXPECT_FALSE(dynamic_cast<const range_fixer_creator<unsigned long>&>(m.transformerCreator("sizeForRange", "u_long"))
                     .isSigned());
    EXPECT_NE(dynamic_cast<const range_fixer_creator<fixed_point>*>(&m.transformerCreator("sizeForRange", "fixed")),
              nullptr);
    EXPECT_NE(dynamic_cast<const range_fixer_creator<std::string>*>(&m.transformerCreator("sizeForRange", "str")),
              nullptr);
}

TEST(LibraryRegistrations, StripCreatorsAreRegisteredOnceAndHaveNoArgsCreator) {
    field_transformer_manager& m = field_transformer_manager::instance();
    const field_transformer_base::creator* before = &m.transformerCreator("strip", "int");
    typedef default_transformer_creator<scalar_stripper<int, signed_max_size_calculator> > int_strip_creator;
    EXPECT_NE(dynamic_cast<const int_strip_creator*>(before), nullptr);
    EXPECT_NO_THROW(registerStrippers());  // all made at load: nothing new
    EXPECT_EQ(&m.transformerCreator("strip", "int"), before);
    EXPECT_EQ(messageOf<std::runtime_error>([&] { m.registerTransformerCreator("strip", intRecorder()); }),
              "Creator strip for type int already exists");
    std::istringstream in("");
    EXPECT_EQ(messageOf<std::runtime_error>([&] { m.createArgs("strip", in, false); }),
              " cannot create transformer args (category: strip)");
    for (const char* type : {"fixed", "str", "long", "u_int", "u_long"})
        EXPECT_EQ(m.transformerCreator("strip", type).name(), type);
}

TEST(LibraryRegistrations, UndoingTheStripRegistrationsLeavesNullCreators) {
    EXPECT_EXIT(
        {
            unregisterStrippers();
            field_transformer_manager& m = field_transformer_manager::instance();
            bool allNull = true;
            for (const char* type : {"int", "u_int", "long", "u_long", "fixed", "str"})
                allNull = allNull && dynamic_cast<const null_creator*>(&m.transformerCreator("strip", type));
            bool refused = false;
            try {
                registerStrippers();  // the null creators hold the names
            } catch (const std::runtime_error&) {
                refused = true;
            }
            std::exit(allNull && refused ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

using LibraryTransformers = WithTables;

TEST_F(LibraryTransformers, CreateTransformerPicksTheFieldsTypeInTheArgumentsCategory) {
    field_transformer_manager& m = field_transformer_manager::instance();
    TFields f;
    f += TField<int>("i", 32);
    f += TField<unsigned int>("u", 32);
    f += TField<std::string>("s", 3, true);
    const range_fixer_args range(100);

    pointer<field_transformer_base> ti = m.createTransformer(f, "i", tables, range);
    ASSERT_NE(dynamic_cast<range_fixer<int>*>(ti.get()), nullptr);
    EXPECT_EQ(static_cast<range_fixer<int>&>(*ti).width(), Tools::log2(100, 0));
    pointer<field_transformer_base> tu = m.createTransformer(f, "u", tables, range);
    EXPECT_EQ(dynamic_cast<range_fixer<unsigned int>&>(*tu).width(), Tools::log2(100UL));

    pointer<field_transformer_base> ts = m.createTransformer(f, "s", tables, stripper_args());
    EXPECT_NE(dynamic_cast<string_stripper*>(ts.get()), nullptr);
    pointer<field_transformer_base> tp = m.createTransformer(f, "i", tables, stripper_args());
    EXPECT_NE((dynamic_cast<scalar_stripper<int, signed_max_size_calculator>*>(tp.get())), nullptr);
}

// ================================================================ range fixer

// Runs a transformer over a one-field structure with the given records'
// values and returns the structure it builds.
template <class T>
TFields transformOne(field_transformer_base& t, const TFieldInfo& field, const std::vector<T>& values = {}) {
    TFields f;
    f += field;
    t.reset(f[0]);
    TRecord r(f);
    for (const T& v : values) {
        r[0] = v;
        t.onChange(r, 0);
    }
    TFields out;
    t.addToFields(out, f[0]);
    return out;
}

template <class T>
pointer<field_transformer_base> rangeFixerFor(const TTables& tables, const range_fixer_args& a) {
    return range_fixer_creator<T>().create(tables, a);
}

using RangeFixer = WithTables;

TEST_F(RangeFixer, IntegerWidthsFollowTheSignednessOfTheField) {
    const range_fixer_args hundred(100);
    EXPECT_EQ(widthOf<unsigned int>(transformOne<unsigned int>(*rangeFixerFor<unsigned int>(tables, hundred),
                                                               TField<unsigned int>("n", 32))),
              Tools::log2(100UL));
    EXPECT_EQ(widthOf<int>(transformOne<int>(*rangeFixerFor<int>(tables, hundred), TField<int>("n", 32))),
              Tools::log2(100, 0));
    const range_fixer_args pm5(-5, 5);
    EXPECT_EQ(widthOf<long>(transformOne<long>(*rangeFixerFor<long>(tables, pm5), TField<long>("n", 32))),
              Tools::log2(5, -5));
    EXPECT_EQ(pm5.signedSize(), 4u);
    // The unsigned creator uses the max alone.
    EXPECT_EQ(widthOf<unsigned long>(transformOne<unsigned long>(*rangeFixerFor<unsigned long>(tables, pm5),
                                                                 TField<unsigned long>("n", 32))),
              Tools::log2(5UL));
}

TEST_F(RangeFixer, RecordValuesNeverChangeTheDeclaredWidth) {
    TFields out = transformOne<int>(*rangeFixerFor<int>(tables, range_fixer_args(3)), TField<int>("n", 32),
                                    {1000000, -70000, 2});
    EXPECT_EQ(widthOf<int>(out), Tools::log2(3, 0));
}

TEST_F(RangeFixer, FloatingPointBoundsKeepThePlacesTheyNeed) {
    const range_fixer_args a(0.0, 2.25);
    EXPECT_EQ(a.kind(), 1u);
    EXPECT_EQ(a.minFixed().raw, 0);
    EXPECT_EQ(a.minFixed().precision, 0u);
    EXPECT_EQ(a.maxFixed().raw, 225);
    EXPECT_EQ(a.maxFixed().precision, 2u);
    EXPECT_EQ(a.precision(), 2u);
    EXPECT_EQ(a.maxLong(), 2);
    EXPECT_DOUBLE_EQ(a.maxDouble(), 2.25);

    TFields out = transformOne<fixed_point>(*rangeFixerFor<fixed_point>(tables, a), TField<fixed_point>("p", 4, 32));
    const TField<fixed_point>& p = static_cast<const TField<fixed_point>&>(out[0]);
    EXPECT_EQ(p.Precision(), 2u);
    EXPECT_EQ(p.bits(), Tools::log2(225, 0));

    const range_fixer_args neg(-2.5, 0.125);
    EXPECT_EQ(neg.minFixed().raw, -25);
    EXPECT_EQ(neg.maxFixed().raw, 125);
    EXPECT_EQ(neg.precision(), 3u);
    EXPECT_EQ(neg.minLong(), -3);  // rounded half away from zero
    EXPECT_EQ(neg.maxLong(), 0);

    const range_fixer_args single(7.5);
    EXPECT_EQ(single.kind(), 1u);
    EXPECT_EQ(single.minFixed().raw, 0);
    EXPECT_EQ(single.minFixed().precision, 0u);
    EXPECT_EQ(single.precision(), 1u);
    EXPECT_EQ(single.maxLong(), 8);
}

TEST_F(RangeFixer, FixedPointBoundsAreNotBroughtToOnePrecision) {
    fixed_point half(1), one(2);
    half.raw = 5;
    one.raw = 100;
    const range_fixer_args a(half, one);
    EXPECT_EQ(a.kind(), 2u);
    EXPECT_EQ(a.precision(), 2u);
    EXPECT_EQ(a.signedSize(), Tools::log2(100, 5));
    EXPECT_EQ(a.unsignedSize(), Tools::log2(100, 0));
    EXPECT_EQ(a.maxLong(), 1);

    fixed_point max(3);
    max.raw = 1500;
    const range_fixer_args single(max);
    EXPECT_EQ(single.minFixed().raw, 0);
    EXPECT_EQ(single.minFixed().precision, 3u);
    EXPECT_EQ(single.precision(), 3u);
    EXPECT_EQ(single.maxLong(), 2);
}

TEST_F(RangeFixer, StringFieldTakesTheMaximumAsSizeAndKeepsItsPacking) {
    for (bool packed : {false, true}) {
        TFields out = transformOne<std::string>(*rangeFixerFor<std::string>(tables, range_fixer_args(40)),
                                                TField<std::string>("s", 5, packed), {"abc"});
        const TField<std::string>& s = static_cast<const TField<std::string>&>(out[0]);
        EXPECT_EQ(s.length(), 40u);
        EXPECT_EQ(s.Packed(), packed);
        EXPECT_EQ(s.name(), "s");
    }
    // A negative maximum is no size: the string field refuses it.
    pointer<field_transformer_base> t = rangeFixerFor<std::string>(tables, range_fixer_args(-5));
    EXPECT_THROW(transformOne<std::string>(*t, TField<std::string>("s", 5, false)), std::runtime_error);
}

TEST_F(RangeFixer, NewDescriptorKeepsNameAndArguments) {
    pointer<field_transformer_base::args> args(new range_fixer_args(-5, 5));
    TField<int> field("qty", 32);
    field.transformer(args);
    TFields out = transformOne<int>(*rangeFixerFor<int>(tables, static_cast<const range_fixer_args&>(*args)), field);
    EXPECT_EQ(out[0].name(), "qty");
    EXPECT_EQ(out[0].transformer().get(), args.get());
}

TEST(RangeFixerDirect, WidthAboveThirtyTwoIsRefusedBeforeAnyFieldIsMade) {
    TFields f;
    f += TField<int>("wide", 8);
    range_fixer<int> t(33);
    t.reset(f[0]);
    TFields out;
    EXPECT_EQ(messageOf<std::runtime_error>([&] { t.addToFields(out, f[0]); }), "Field wide width 33 is above 32");
    EXPECT_EQ(out.size(), 0u);
    range_fixer<fixed_point> p(40, 2);
    TFields g;
    g += TField<fixed_point>("money", 2, 8);
    EXPECT_THROW(p.addToFields(out, g[0]), std::runtime_error);
    EXPECT_EQ(out.size(), 0u);
}

TEST(RangeFixerDirect, ResetRefusesAFieldOfAnotherType) {
    TFields f;
    f += TField<unsigned int>("u", 8);
    range_fixer<int> t(4);
    EXPECT_EQ(messageOf<std::logic_error>([&] { t.reset(f[0]); }), "Field u is type of (u_int), should be (int)");
}

TEST(RangeFixerArgs, PrecisionCountsTheDecimalPlacesNeeded) {
    EXPECT_EQ(range_fixer_args::precision(2.25, 6), 2);
    EXPECT_EQ(range_fixer_args::precision(3.0, 6), 0);
    EXPECT_EQ(range_fixer_args::precision(-0.125, 6), 3);
    EXPECT_EQ(range_fixer_args::precision(0.1, 6), 1);
    EXPECT_EQ(range_fixer_args::precision(0.123456789, 6), 6);  // capped by n
    EXPECT_EQ(range_fixer_args::precision(0.123456789, 3), 3);
    EXPECT_EQ(range_fixer_args::precision(1.5, 0), 0);
    // n above 9 is taken as 9, which a 32-bit raw value can still carry.
    EXPECT_EQ(range_fixer_args::precision(0.5, 30), 1);
    EXPECT_EQ(range_fixer_args::precision(0.123456789123, 30), 9);
    EXPECT_EQ(range_fixer_args::precision(std::nan(""), 6), 0);
}

TEST(RangeFixerArgs, IntegerBoundsOfEveryWidthAndSignedness) {
    const range_fixer_args c(static_cast<char>(-3), static_cast<char>(5));
    EXPECT_EQ(c.minLong(), -3);
    EXPECT_EQ(c.signedSize(), Tools::log2(5, -3));
    const range_fixer_args uc(static_cast<unsigned char>(200));
    EXPECT_EQ(uc.maxLong(), 200);
    EXPECT_EQ(uc.minLong(), 0);
    EXPECT_EQ(uc.unsignedSize(), Tools::log2(200UL));
    const range_fixer_args sc(static_cast<char>(-1));  // a char max is signed
    EXPECT_EQ(sc.maxLong(), -1);

    const range_fixer_args l(-2147483647L - 1, 2147483647L);
    EXPECT_EQ(l.signedSize(), 32u);
    EXPECT_EQ(l.kind(), 0u);
    EXPECT_EQ(l.precision(), 0u);
    EXPECT_EQ(l.maxFixed().raw, 2147483647);

    // An unsigned bound keeps its 32 bits.
    const range_fixer_args top(4294967295UL);
    EXPECT_EQ(top.unsignedSize(), 32u);
    EXPECT_EQ(top.maxLong(), -1);
    EXPECT_DOUBLE_EQ(top.maxDouble(), 4294967295.0);
    const range_fixer_args u(3000000000u);
    EXPECT_EQ(u.unsignedSize(), 32u);
    EXPECT_EQ(range_fixer_args(0u).unsignedSize(), 0u);
}

TEST(RangeFixerArgs, BoundsOutsideThirtyTwoBitsAreRefusedByValue) {
    EXPECT_EQ(messageOf<std::out_of_range>([] { range_fixer_args a(5000000000L); }),
              "Range bound 5000000000 is outside the 32-bit range");
    EXPECT_EQ(messageOf<std::out_of_range>([] { range_fixer_args a(-3000000000L, 0L); }),
              "Range bound -3000000000 is outside the 32-bit range");
    EXPECT_EQ(messageOf<std::out_of_range>([] { range_fixer_args a(4294967296UL); }),
              "Range bound 4294967296 is outside the 32-bit range");
    EXPECT_EQ(messageOf<std::out_of_range>([] { range_fixer_args a(5000.123456, 1.0); }),
              "Range bound 5000.123456 does not fit 32 bits at 6 decimal places");
    EXPECT_THROW(range_fixer_args a(1e12), std::out_of_range);
    EXPECT_THROW(range_fixer_args a(std::numeric_limits<double>::infinity()), std::out_of_range);
    EXPECT_THROW(range_fixer_args a(std::nan("")), std::out_of_range);
    fixed_point deep(300);
    EXPECT_THROW(range_fixer_args a(deep), std::out_of_range);
}

TEST(RangeFixerArgs, TextFormIsFourTokensAndReadsBackAsFixedPoint) {
    const range_fixer_args a(-5, 5);
    EXPECT_EQ(a.category(), "sizeForRange");
    EXPECT_STREQ(range_fixer_args::getCategory(), "sizeForRange");
    std::ostringstream os;
    a.to_stream(os);
    std::istringstream tokens(os.str());
    std::vector<std::string> words;
    for (std::string w; tokens >> w;) words.push_back(w);
    EXPECT_EQ(words, (std::vector<std::string>{"0", "-5", "0", "5"}));

    std::istringstream in(os.str());
    pointer<field_transformer_base::args> back = field_transformer_manager::instance().createArgs("sizeForRange", in, false);
    EXPECT_FALSE(in.fail());
    const range_fixer_args& r = dynamic_cast<const range_fixer_args&>(*back);
    EXPECT_EQ(r.kind(), 2u);
    EXPECT_EQ(r.minLong(), -5);
    EXPECT_EQ(r.maxLong(), 5);
    EXPECT_EQ(r.precision(), 0u);
    EXPECT_EQ(r.signedSize(), a.signedSize());

    // Bounds at their own precisions come back at those precisions.
    std::ostringstream os2;
    range_fixer_args(-0.5, 2.25).to_stream(os2);
    std::istringstream in2(os2.str());
    const range_fixer_args& r2 = dynamic_cast<const range_fixer_args&>(*range_fixer_args_creator().create(in2));
    EXPECT_EQ(r2.minFixed().raw, -5);
    EXPECT_EQ(r2.minFixed().precision, 1u);
    EXPECT_EQ(r2.maxFixed().raw, 225);
    EXPECT_EQ(r2.precision(), 2u);
}

TEST(RangeFixerArgs, BinaryFormReadsBackThroughTheRegistry) {
    const range_fixer_args a(-0.5, 2.25);
    std::ostringstream os;
    a.serial_write(os);
    EXPECT_EQ(os.str(), std::string("\x01\xfb\xff\xff\xff\x02\xe1\x00\x00\x00", 10));

    std::istringstream in(os.str());
    pointer<field_transformer_base::args> back = field_transformer_manager::instance().createArgs("sizeForRange", in, true);
    EXPECT_FALSE(in.fail());
    EXPECT_EQ(in.peek(), std::char_traits<char>::eof());
    const range_fixer_args& r = dynamic_cast<const range_fixer_args&>(*back);
    EXPECT_EQ(r.kind(), 2u);
    EXPECT_EQ(r.minFixed().raw, -5);
    EXPECT_EQ(r.minFixed().precision, 1u);
    EXPECT_EQ(r.maxFixed().raw, 225);
    EXPECT_EQ(r.maxFixed().precision, 2u);
    EXPECT_EQ(r.signedSize(), a.signedSize());

    // A cut-short form leaves the failure in the stream.
    std::istringstream cut(os.str().substr(0, 7));
    field_transformer_manager::instance().createArgs("sizeForRange", cut, true);
    EXPECT_TRUE(cut.fail());
}

// ================================================================= strippers

TEST(Strippers, NoRecordsGiveTheWidthsOfTheRangeZeroToZero) {
    scalar_stripper<int, signed_max_size_calculator> si;
    EXPECT_EQ(widthOf<int>(transformOne<int>(si, TField<int>("i", 20))), Tools::log2(0, 0));
    scalar_stripper<unsigned long, unsigned_max_size_calculator> su;
    EXPECT_EQ(widthOf<unsigned long>(transformOne<unsigned long>(su, TField<unsigned long>("u", 20))), 0u);
    string_stripper ss;
    TFields s = transformOne<std::string>(ss, TField<std::string>("s", 9, true));
    EXPECT_EQ(static_cast<const TField<std::string>&>(s[0]).length(), 0u);
    fixed_point_stripper sp;
    TFields p = transformOne<fixed_point>(sp, TField<fixed_point>("p", 3, 20));
    EXPECT_EQ(static_cast<const TField<fixed_point>&>(p[0]).Precision(), 0u);
    EXPECT_EQ(widthOf<fixed_point>(p), Tools::log2(0, 0));
}

TEST(Strippers, IntegerWidthsCoverEveryValueAndZero) {
    scalar_stripper<int, signed_max_size_calculator> a;
    EXPECT_EQ(widthOf<int>(transformOne<int>(a, TField<int>("i", 32), {-3, 7, 2})), Tools::log2(7, -3));
    scalar_stripper<unsigned int, unsigned_max_size_calculator> b;
    EXPECT_EQ(widthOf<unsigned int>(transformOne<unsigned int>(b, TField<unsigned int>("u", 32), {5u, 200u})),
              Tools::log2(200UL));
    scalar_stripper<int, signed_max_size_calculator> c;
    EXPECT_EQ(widthOf<int>(transformOne<int>(c, TField<int>("i", 32), {4, 9})), Tools::log2(9, 0));
    scalar_stripper<int, signed_max_size_calculator> negOnly;
    transformOne<int>(negOnly, TField<int>("i", 32), {-4, -9});
    EXPECT_EQ(negOnly.calculator().max(), 0);
    EXPECT_EQ(negOnly.calculator().min(), -9);
    // The 32-bit extremes.
    scalar_stripper<long, signed_max_size_calculator> d;
    EXPECT_EQ(widthOf<long>(transformOne<long>(d, TField<long>("l", 32), {-2147483647L - 1, 1L})), 32u);
    scalar_stripper<unsigned long, unsigned_max_size_calculator> e;
    EXPECT_EQ(widthOf<unsigned long>(transformOne<unsigned long>(e, TField<unsigned long>("ul", 32), {4294967295UL})),
              32u);
}

TEST(Strippers, ResetStartsEachPassAfresh) {
    scalar_stripper<int, signed_max_size_calculator> s;
    transformOne<int>(s, TField<int>("i", 32), {-1000, 1000});
    EXPECT_EQ(widthOf<int>(transformOne<int>(s, TField<int>("i", 32), {1})), Tools::log2(1, 0));
    string_stripper t;
    transformOne<std::string>(t, TField<std::string>("s", 9, false), {"abcdefgh"});
    EXPECT_EQ(t.longest(), 8u);
    transformOne<std::string>(t, TField<std::string>("s", 9, false));
    EXPECT_EQ(t.longest(), 0u);
    fixed_point_stripper p;
    transformOne<fixed_point>(p, TField<fixed_point>("p", 3, 32), {fixed_point(3, 1.125)});
    EXPECT_EQ(p.usedPrecision(), 3u);
    transformOne<fixed_point>(p, TField<fixed_point>("p", 3, 32));
    EXPECT_EQ(p.usedPrecision(), 0u);
    EXPECT_EQ(p.maxRaw(), 0);
}

TEST(Strippers, StringsGiveTheLongestLengthAndKeepPacking) {
    string_stripper s;
    TFields out = transformOne<std::string>(s, TField<std::string>("s", 9, false), {"", "ab", "abcd"});
    const TField<std::string>& f = static_cast<const TField<std::string>&>(out[0]);
    EXPECT_EQ(f.length(), 4u);
    EXPECT_FALSE(f.Packed());

    // A packed field reads back at its full length from a record, so the
    // values are handed over directly here.
    TFields packed;
    packed += TField<std::string>("s", 9, true);
    string_stripper p;
    p.reset(packed[0]);
    for (const char* v : {"", "ab", "abcd"}) p.do_onChange(v);
    TFields out2;
    p.addToFields(out2, packed[0]);
    const TField<std::string>& g = static_cast<const TField<std::string>&>(out2[0]);
    EXPECT_EQ(g.length(), 4u);
    EXPECT_TRUE(g.Packed());
}

TEST(Strippers, FixedPointKeepsOnlyTheDecimalPlacesItsValuesUse) {
    fixed_point_stripper s;
    TFields out = transformOne<fixed_point>(s, TField<fixed_point>("p", 3, 32),
                                            {fixed_point(3, 1.5), fixed_point(3, 2.25)});
    const TField<fixed_point>& f = static_cast<const TField<fixed_point>&>(out[0]);
    EXPECT_EQ(f.Precision(), 2u);
    EXPECT_EQ(f.bits(), Tools::log2(225, 0));

    fixed_point_stripper whole;
    TFields w = transformOne<fixed_point>(whole, TField<fixed_point>("p", 3, 32),
                                          {fixed_point(3, 2.0), fixed_point(3, -7.0)});
    EXPECT_EQ(static_cast<const TField<fixed_point>&>(w[0]).Precision(), 0u);
    EXPECT_EQ(widthOf<fixed_point>(w), Tools::log2(2, -7));
}

TEST(Strippers, NegativeFixedValuesAreMeasuredAndScaledAsSigned) {
    // -1.000 is a whole number: its remainder must be taken on the magnitude.
    fixed_point_stripper whole;
    TFields w = transformOne<fixed_point>(whole, TField<fixed_point>("p", 3, 32),
                                          {fixed_point(3, -1.0), fixed_point(3, -2.0)});
    EXPECT_EQ(static_cast<const TField<fixed_point>&>(w[0]).Precision(), 0u);
    EXPECT_EQ(widthOf<fixed_point>(w), Tools::log2(0, -2));

    fixed_point_stripper mixed;
    TFields m = transformOne<fixed_point>(mixed, TField<fixed_point>("p", 3, 32),
                                          {fixed_point(3, -1.5), fixed_point(3, 2.25)});
    EXPECT_EQ(static_cast<const TField<fixed_point>&>(m[0]).Precision(), 2u);
    EXPECT_EQ(widthOf<fixed_point>(m), Tools::log2(225, -150));

    fixed_point_stripper lowest;
    fixed_point v(0);
    v.raw = std::numeric_limits<int>::min();
    TFields l = transformOne<fixed_point>(lowest, TField<fixed_point>("p", 0, 32), {v});
    EXPECT_EQ(widthOf<fixed_point>(l), 32u);
}

TEST(Strippers, FixedPrecisionsAboveNineStayExact) {
    auto at = [](unsigned precision, int raw) {
        fixed_point v(precision);
        v.raw = raw;
        return v;
    };
    EXPECT_EQ(fixed_point_stripper::power10(9), 1000000000u);

    // 0.002 and 0.001 at 12 places: 3 places, raws 2 and 1.
    fixed_point_stripper a;
    TFields fa;
    fa += TField<fixed_point>("p", 12, 32);
    a.reset(fa[0]);
    a.do_onChange(at(12, 2000000000));
    a.do_onChange(at(12, 1000000000));
    EXPECT_EQ(a.usedPrecision(), 3u);
    TFields oa;
    a.addToFields(oa, fa[0]);
    EXPECT_EQ(widthOf<fixed_point>(oa), Tools::log2(2, 0));

    // 5 at 25 places needs all 25.
    fixed_point_stripper b;
    TFields fb;
    fb += TField<fixed_point>("p", 25, 32);
    b.reset(fb[0]);
    b.do_onChange(at(25, 5));
    b.do_onChange(at(25, -2000000000));
    EXPECT_EQ(b.usedPrecision(), 25u);
    TFields ob;
    b.addToFields(ob, fb[0]);
    EXPECT_EQ(widthOf<fixed_point>(ob), Tools::log2(5, -2000000000));

    // Only zeros at 30 places: precision 0, width of 0..0.
    fixed_point_stripper c;
    TFields fc;
    fc += TField<fixed_point>("p", 30, 32);
    c.reset(fc[0]);
    c.do_onChange(at(30, 0));
    TFields oc;
    c.addToFields(oc, fc[0]);
    EXPECT_EQ(static_cast<const TField<fixed_point>&>(oc[0]).Precision(), 0u);
    EXPECT_EQ(widthOf<fixed_point>(oc), 0u);
}

TEST(Strippers, NamesAndArgumentsAreKept) {
    pointer<field_transformer_base::args> args(new range_fixer_args(9));
    TField<fixed_point> p("price", 2, 32);
    p.transformer(args);
    fixed_point_stripper s;
    TFields out = transformOne<fixed_point>(s, p, {fixed_point(2, 1.5)});
    EXPECT_EQ(out[0].name(), "price");
    EXPECT_EQ(out[0].transformer().get(), args.get());

    TField<std::string> name("name", 8, true);
    name.transformer(args);
    string_stripper t;
    TFields out2 = transformOne<std::string>(t, name, {"x"});
    EXPECT_EQ(out2[0].name(), "name");
    EXPECT_EQ(out2[0].transformer().get(), args.get());
}

TEST(Strippers, ResetRefusesAFieldOfAnotherType) {
    TFields f;
    f += TField<int>("i", 8);
    f += TField<fixed_point>("p", 1, 8);
    fixed_point_stripper p;
    EXPECT_EQ(messageOf<std::logic_error>([&] { p.reset(f[0]); }), "Field i is type of (int), should be (fixed)");
    string_stripper s;
    EXPECT_THROW(s.reset(f[1]), std::logic_error);
    scalar_stripper<long, signed_max_size_calculator> l;
    EXPECT_THROW(l.reset(f[0]), std::logic_error);
}

TEST(Strippers, StripArgumentsWriteNothing) {
    const stripper_args a;
    EXPECT_EQ(a.category(), "strip");
    std::ostringstream text, binary;
    a.to_stream(text);
    a.serial_write(binary);
    EXPECT_TRUE(text.str().empty());
    EXPECT_TRUE(binary.str().empty());
}

}  // namespace
