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

struct Greek : ::testing::Test {
    TPtrCollection c{raiseIndex, raiseKey};
    void SetUp() override {
        for (const auto& [name, v] : {std::pair{"beta", 1}, {"alpha", 2}, {"gamma", 3}}) c.add(item(name, v));
    }
};

}  // namespace

TEST_F(Greek, PositionsFollowInsertionNamesReplaceInPlaceAndMissesGoToTheHandlers) {
    EXPECT_EQ(c.indexOf("gamma") * 10 + c.indexOf(std::string("alpha")), 21u);
    EXPECT_EQ(c.indexOf("delta"), 3u);
    c.add(item("alpha", 20));
    c.updateAt(0u, item("beta", 10));
    c.updateAt("gamma", item("gamma", 30));
    EXPECT_EQ(contents(c), "beta=10 alpha=20 gamma=30");
    EXPECT_EQ(static_cast<const Item&>(c.objectAt("alpha")).value, 20);
    const std::pair<std::function<void()>, const char*> misses[] = {
        {[&] { c.ptrAt(3); }, "index 3"},          {[&] { c.objectAt(7); }, "index 7"},
        {[&] { c.objectAt("delta"); }, "key delta"}, {[&] { c.updateAt("omega", item("omega")); }, "key omega"},
        {[&] { c.updateAt(5u, item("beta")); }, "index 5"}};
    for (const auto& [action, expected] : misses) {
        EXPECT_THROW(action(), std::runtime_error);
        EXPECT_EQ(g_bad, expected);
    }
    // A pointer bearing another name would break the index; a null one is no entry.
    EXPECT_THROW(c.updateAt(0u, item("alpha", 99)), std::logic_error);
    EXPECT_THROW(c.updateAt(0u, item("zeta", 99)), std::logic_error);
    EXPECT_THROW(c.add(pointer<TNamed>()), null_pointer);
    EXPECT_EQ(contents(c), "beta=10 alpha=20 gamma=30");
    c.clear();
    c.add(item("gamma", 5));
    EXPECT_EQ(c.indexOf("gamma") + c.indexOf("beta"), 1u);
}

TEST(Collection, HandlersThatReturnGiveNullPointersAndObjectAccessRaises) {
    TPtrCollection c(quietIndex, quietKey);
    c.add(item("a"));
    EXPECT_FALSE(c.ptrAt(1));
    EXPECT_EQ(g_bad, "index 1");
    EXPECT_FALSE(c.ptrAt("zz"));
    EXPECT_EQ(g_bad, "key zz");
    EXPECT_THROW(c.objectAt(4), std::logic_error);
    EXPECT_THROW(c.objectAt("zz"), std::logic_error);
}

// Copies and assignments share the objects but not membership; each keeps its own handlers.
TEST_F(Greek, CopiesShareObjectsButNotMembership) {
    TPtrCollection copy(c), other(quietIndex, quietKey);
    other = c;
    static_cast<Item&>(copy.objectAt("beta")).value = 42;
    copy.add(item("delta", 4));
    EXPECT_EQ(contents(c), "beta=42 alpha=2 gamma=3");
    EXPECT_EQ(contents(other), "beta=42 alpha=2 gamma=3");
    EXPECT_EQ(contents(copy), "beta=42 alpha=2 gamma=3 delta=4");
    EXPECT_THROW(copy.ptrAt(9), std::runtime_error);
    EXPECT_FALSE(other.ptrAt(9));
}
