// Transformer registry, range fixer and strip transformers.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "Core/Orvex/Ranfixer.h"
#include "Core/Orvex/Stripper.h"
#include "Core/Orvex/Trans.h"
#include "Core/Orvex/__field.h"
#include "Core/Orvex/__table.h"
#include "host/memory_file_set.h"
#include "tests/test_support.h"

using namespace Orvex;
using namespace TestSupport;

namespace {

typedef scalar_stripper<int, signed_max_size_calculator> int_stripper;
pointer<field_transformer_base::creator> intStripCreator() {
    return pointer<field_transformer_base::creator>(new default_transformer_creator<int_stripper>);
}

// Arguments of a category of the test's own.
class test_args : public field_transformer_base::args {
public:
    std::string category() const override { return "testCat"; }
    void serial_write(std::ostream&) const override {}
    void to_stream(std::ostream&) const override {}
};

std::string cannotCreate(const std::string& cat, const std::string& type) {
    return " cannot create transformer (category: " + cat + " , type " + type + ")";
}

// The bounds of a range in one line: kind, min and max as raw/precision,
// the range's precision, the bounds as longs, signed/unsigned widths.
std::string boundsOf(const field_transformer_base::args& args) {
    const range_fixer_args& a = dynamic_cast<const range_fixer_args&>(args);
    std::ostringstream os;
    os << "kind " << a.kind() << ", " << a.minFixed().raw << "/" << a.minFixed().precision << ".." << a.maxFixed().raw
       << "/" << a.maxFixed().precision << ", precision " << a.precision() << ", long " << a.minLong() << ".."
       << a.maxLong() << ", bits " << a.signedSize() << "/" << a.unsignedSize();
    return os.str();
}

// Shows a transformer the values in records of a one-field structure, and
// gives the shape of the one field it then builds.
template <class T>
std::string shapeAfter(field_transformer_base& t, const TFieldInfo& field, const std::vector<T>& values = {}) {
    TFields f = fieldsOf(field), out;
    t.reset(f[0]);
    TRecord r(f);
    for (const T& v : values) r[0] = v, t.onChange(r, 0);
    t.addToFields(out, f[0]);
    EXPECT_EQ(out.size(), 1u);
    return out.size() ? shapeOf(out[0]) : "";
}

class WithTables : public ::testing::Test {
protected:
    WithTables() : tables(fs) {}
    Host::MemoryFileSet fs;
    TTables tables;  // for creators; none of the tested transformers reads it
    field_transformer_manager m;
    TFields f = fieldsOf(TField<int>("qty", 32) | TField<std::string>("name", 4, false) | TField<unsigned int>("n", 32));
};

}  // namespace

// ===================================================================== registry

TEST_F(WithTables, RegistryFindsCreatorsByCategoryAndTypeAndRefusesSecondOnes) {
    m.registerTransformerCreator("testCat", intStripCreator());
    EXPECT_EQ(shapeAfter<int>(*m.createTransformer(f, "qty", tables, test_args()), f[0], {-3, 7, 2}), "qty int 4");
    const std::pair<std::function<void()>, std::string> refusals[] = {
        {[&] { m.createTransformer(f, "price", tables, test_args()); }, "Field price doesn't exist"},
        {[&] { m.createTransformer(f, "name", tables, test_args()); }, cannotCreate("testCat", "str")},
        {[&] { m.transformerCreator("otherCat", "int"); }, cannotCreate("otherCat", "int")},
        {[&] { m.registerTransformerCreator("testCat", intStripCreator()); }, "Creator testCat for type int already exists"},
    };
    for (const auto& [action, expected] : refusals) EXPECT_EQ(message<std::runtime_error>(action), expected);
    // Unregistering leaves a null creator that still blocks registration.
    m.unregisterTransformerCreator("testCat", "int");
    m.unregisterTransformerCreator("testCat", "u_long");  // never registered: nothing happens
    for (const auto& [action, expected] : refusals) EXPECT_EQ(message(action), expected);
    EXPECT_EQ(message([&] { m.createTransformer(f, "qty", tables, test_args()); }), cannotCreate("testCat", "int"));
}

// ================================================================ range fixer

// The library's creators pick the field's type in the arguments' category.
TEST_F(WithTables, RangeFixerSizesTheFieldForTheRangeWhateverItsValues) {
    field_transformer_manager& process = field_transformer_manager::instance();
    const auto fixAs = [&](const TFieldInfo& field, const range_fixer_args& a) {
        return shapeAfter<int>(*process.createTransformer(fieldsOf(field), field.name(), tables, a), field);
    };
    const range_fixer_args hundred(100), pm5(-5, 5);
    EXPECT_EQ(fixAs(TField<unsigned int>("n", 32), hundred), "n u_int 7");
    EXPECT_EQ(fixAs(TField<int>("n", 32), hundred), "n int 8");
    EXPECT_EQ(fixAs(TField<long>("n", 32), pm5), "n long 4");
    EXPECT_EQ(fixAs(TField<unsigned long>("n", 32), pm5), "n u_long 3");  // the unsigned width of the max alone
    EXPECT_EQ(fixAs(TField<fixed_point>("p", 4, 32), range_fixer_args(0.0, 2.25)), "p fixed 9.2");
    EXPECT_EQ(fixAs(TField<std::string>("s", 5, false), range_fixer_args(40)), "s str 40");
    EXPECT_EQ(fixAs(TField<std::string>("s", 5, true), range_fixer_args(40)), "s str 40 packed");
    // A negative maximum is no size; a width above 32 is refused before any field is made.
    EXPECT_THROW(fixAs(TField<std::string>("s", 5, false), range_fixer_args(-5)), std::runtime_error);
    range_fixer<int> wide(33);
    EXPECT_EQ(message([&] { shapeAfter<int>(wide, TField<int>("wide", 8)); }), "Field wide width 33 is above 32");
    range_fixer<int> three(3);
    EXPECT_EQ(shapeAfter<int>(three, TField<int>("n", 32), {1000000, -70000, 2}), "n int 3");
}

// Each constructor's bounds; those outside 32 bits are refused by value.
// Longs are rounded half away from zero; a char max is signed.
TEST(RangeFixerArgs, BoundsOfEveryKindAndThoseRefused) {
    typedef range_fixer_args A;
    const std::pair<std::function<A()>, std::string> cases[] = {
        {[] { return A(char(-3), char(5)); }, "kind 0, -3/0..5/0, precision 0, long -3..5, bits 4/3"},
        {[] { return A(static_cast<unsigned char>(200)); }, "kind 0, 0/0..200/0, precision 0, long 0..200, bits 9/8"},
        {[] { return A(char(-1)); }, "kind 0, 0/0..-1/0, precision 0, long 0..-1, bits 1/32"},
        {[] { return A(-2147483647L - 1, 2147483647L); },
         "kind 0, -2147483648/0..2147483647/0, precision 0, long -2147483648..2147483647, bits 32/31"},
        {[] { return A(4294967295UL); }, "kind 0, 0/0..-1/0, precision 0, long 0..-1, bits 1/32"},
        {[] { return A(3000000000u); }, "kind 0, 0/0..-1294967296/0, precision 0, long 0..-1294967296, bits 32/32"},
        {[] { return A(0.0, 2.25); }, "kind 1, 0/0..225/2, precision 2, long 0..2, bits 9/9"},
        {[] { return A(-2.5, 0.125); }, "kind 1, -25/1..125/3, precision 3, long -3..0, bits 8/8"},
        {[] { return A(7.5); }, "kind 1, 0/0..75/1, precision 1, long 0..8, bits 8/8"},
        {[] { return A(5000000000L); }, "Range bound 5000000000 is outside the 32-bit range"},
        {[] { return A(-3000000000L, 0L); }, "Range bound -3000000000 is outside the 32-bit range"},
        {[] { return A(4294967296UL); }, "Range bound 4294967296 is outside the 32-bit range"},
        {[] { return A(5000.123456, 1.0); }, "Range bound 5000.123456 does not fit 32 bits at 6 decimal places"},
    };
    for (const auto& [make, expected] : cases) {
        std::string got;
        try {
            got = boundsOf(make());
        } catch (const std::out_of_range& e) {
            got = e.what();
        }
        EXPECT_EQ(got, expected);
    }
    for (double bad : {1e12, std::numeric_limits<double>::infinity(), std::nan("")}) EXPECT_THROW(A a(bad), std::out_of_range);
    EXPECT_THROW(A a(fixed_point(300)), std::out_of_range);
}

// Both forms read back through the process registry as fixed-point bounds.
TEST(RangeFixerArgs, TextAndBinaryForms) {
    const range_fixer_args a(-0.5, 2.25);
    EXPECT_EQ(textOf(range_fixer_args(-5, 5)), "0\t-5\t0\t5\t");
    EXPECT_EQ(binaryOf(a), bytes({1, 0xfb, 0xff, 0xff, 0xff, 2, 0xe1, 0, 0, 0}));
    for (const auto& [form, binary] : {std::pair{textOf(a), false}, {binaryOf(a), true}}) {
        std::istringstream in(form);
        EXPECT_EQ(boundsOf(*field_transformer_manager::instance().createArgs("sizeForRange", in, binary)),
                  "kind 2, -5/1..225/2, precision 2, long -1..2, bits 9/9");
    }
    std::istringstream cut(binaryOf(a).substr(0, 7));
    field_transformer_manager::instance().createArgs("sizeForRange", cut, true);
    EXPECT_TRUE(cut.fail());
}

// ================================================================= strippers

fixed_point fixedRaw(unsigned precision, int raw) {
    fixed_point v(precision);
    v.raw = raw;
    return v;
}

TEST(Strippers, IntegerWidthsCoverEveryValueAndZero) {
    int_stripper b, negative;
    scalar_stripper<long, signed_max_size_calculator> c;
    scalar_stripper<unsigned int, unsigned_max_size_calculator> d;
    scalar_stripper<unsigned long, unsigned_max_size_calculator> e;
    EXPECT_EQ(shapeAfter<int>(b, TField<int>("i", 32), {4, 9}) + ", " + shapeAfter<int>(negative, TField<int>("i", 32), {-4, -9}),
              "i int 5, i int 5");
    EXPECT_EQ(shapeAfter<long>(c, TField<long>("l", 32), {-2147483647L - 1, 1L}), "l long 32");
    EXPECT_EQ(shapeAfter<unsigned int>(d, TField<unsigned int>("u", 32), {5u, 200u}), "u u_int 8");
    EXPECT_EQ(shapeAfter<unsigned long>(e, TField<unsigned long>("ul", 32), {4294967295UL}), "ul u_long 32");
}

// Only the decimal places the values use, measured signed; past 9 places exact.
TEST(Strippers, FixedPointKeepsOnlyTheDecimalPlacesItsValuesUse) {
    // precision, raw values, shape; the remainder of -1.000 is taken on its magnitude
    const std::tuple<unsigned, std::vector<int>, const char*> cases[] = {
        {3, {1500, 2250}, "p fixed 9.2"}, {3, {2000, -7000}, "p fixed 4.0"}, {3, {-1000, -2000}, "p fixed 2.0"},
        {3, {-1500, 2250}, "p fixed 9.2"}, {0, {std::numeric_limits<int>::min()}, "p fixed 32.0"},
        {12, {2000000000, 1000000000}, "p fixed 3.3"}, {25, {5, -2000000000}, "p fixed 32.25"}, {30, {0}, "p fixed 0.0"}};
    for (const auto& [precision, raws, shape] : cases) {
        std::vector<fixed_point> values;
        for (int raw : raws) values.push_back(fixedRaw(precision, raw));
        fixed_point_stripper s;
        EXPECT_EQ(shapeAfter<fixed_point>(s, TField<fixed_point>("p", precision, 32), values), shape);
    }
}
