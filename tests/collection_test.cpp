// The named pointer collection.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "Core/Orvex/__scoll.h"

using namespace Orvex;

namespace {

struct Item : TNamed {
    Item(const std::string& name, int v) : TNamed(name), value(v) {}
    int value;
};

pointer<TNamed> item(const std::string& name, int v = 0) { return pointer<TNamed>(new Item(name, v)); }

// "name=value ..." in position order.
std::string contents(const TPtrCollection& c) {
    std::string out;
    for (unsigned i = 0; i < c.size(); ++i)
        out += (i ? " " : "") + c.objectAt(i).name() + "=" + std::to_string(static_cast<const Item&>(c.objectAt(i)).value);
    return out;
}

// Handlers that record what they were called with; the raising ones throw
// as every owner's do, the quiet ones return.
std::string g_bad;
void raiseIndex(unsigned i) { throw std::runtime_error(g_bad = "index " + std::to_string(i)); }
void raiseKey(const std::string& name) { throw std::runtime_error(g_bad = "key " + name); }
void quietIndex(unsigned i) { g_bad = "index " + std::to_string(i); }
void quietKey(const std::string& name) { g_bad = "key " + name; }

}  // namespace

TEST(Collection, PositionsFollowInsertionNamesReplaceInPlaceAndMissesGoToTheHandlers) {
    TPtrCollection c(raiseIndex, raiseKey), quiet(quietIndex, quietKey);
    for (const auto& [name, v] : {std::pair{"beta", 1}, {"alpha", 2}, {"gamma", 3}, {"alpha", 20}}) c.add(item(name, v));
    c.updateAt(0u, item("beta", 10));
    c.updateAt("gamma", item("gamma", 30));
    EXPECT_EQ(contents(c), "beta=10 alpha=20 gamma=30");
    EXPECT_EQ(c.indexOf("gamma") * 10 + c.indexOf(std::string("alpha")) + c.indexOf("delta") * 100, 321u);
    const std::pair<std::function<void()>, const char*> misses[] = {
        {[&] { c.ptrAt(3); }, "index 3"}, {[&] { c.objectAt("delta"); }, "key delta"},
        {[&] { c.updateAt("omega", item("omega")); }, "key omega"}, {[&] { c.updateAt(5u, item("beta")); }, "index 5"},
        {[&] { EXPECT_FALSE(quiet.ptrAt("zz")); throw std::runtime_error("quiet"); }, "key zz"},
        {[&] { EXPECT_FALSE(quiet.ptrAt(1)); quiet.objectAt(1); }, "index 1"}};
    for (const auto& [action, expected] : misses) {
        EXPECT_ANY_THROW(action());
        EXPECT_EQ(g_bad, expected);
    }
    // A pointer bearing another name would break the index; a null one is no entry.
    EXPECT_THROW(c.updateAt(0u, item("alpha", 99)), std::logic_error);
    EXPECT_THROW(c.add(pointer<TNamed>()), null_pointer);
    EXPECT_EQ(contents(c), "beta=10 alpha=20 gamma=30");
    // Copies and assignments share the objects, not membership, and keep their own handlers.
    TPtrCollection copy(c);
    quiet = c;
    static_cast<Item&>(copy.objectAt("beta")).value = 42;
    copy.add(item("delta", 4));
    EXPECT_EQ(contents(c) + " | " + contents(quiet), "beta=42 alpha=20 gamma=30 | beta=42 alpha=20 gamma=30");
    EXPECT_EQ(contents(copy), "beta=42 alpha=20 gamma=30 delta=4");
    EXPECT_THROW(copy.ptrAt(9), std::runtime_error);
    EXPECT_FALSE(quiet.ptrAt(9));
}
