// The named pointer collection.
#include <gtest/gtest.h>

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

int valueOf(const TNamed& n) { return static_cast<const Item&>(n).value; }

// Handlers that record what they were called with; the raising ones throw
// as every owner's do, the quiet ones return.
unsigned g_badIndex;
std::string g_badKey;
void raiseIndex(unsigned i) {
    g_badIndex = i;
    throw std::runtime_error("bad index " + std::to_string(i));
}
void raiseKey(const std::string& name) {
    g_badKey = name;
    throw std::runtime_error("bad key " + name);
}
void quietIndex(unsigned i) { g_badIndex = i; }
void quietKey(const std::string& name) { g_badKey = name; }

struct Greek : ::testing::Test {
    TPtrCollection c{raiseIndex, raiseKey};
    void SetUp() override {
        g_badIndex = 999;
        g_badKey.clear();
        c.add(item("beta", 1));
        c.add(item("alpha", 2));
        c.add(item("gamma", 3));
    }
};

}  // namespace

TEST_F(Greek, PositionsFollowInsertionAndNamesAreFound) {
    EXPECT_EQ(0u, c.indexOf("beta"));
    EXPECT_EQ(1u, c.indexOf(std::string("alpha")));
    EXPECT_EQ(2u, c.indexOf("gamma"));
    EXPECT_EQ(3u, c.indexOf("delta"));
    EXPECT_EQ(3u, c.size());
    EXPECT_EQ(2, valueOf(c.objectAt(1)));
    EXPECT_EQ(3, valueOf(c.objectAt("gamma")));
    EXPECT_EQ("beta", c.ptrAt(0)->name());
    EXPECT_EQ(999u, g_badIndex);  // lookups of present entries call no handler
}

TEST_F(Greek, AddingAnExistingNameReplacesInPlace) {
    pointer<TNamed> old = c.ptrAt("alpha");
    c.add(item("alpha", 20));
    EXPECT_EQ(3u, c.size());
    EXPECT_EQ(1u, c.indexOf("alpha"));
    EXPECT_EQ(20, valueOf(c.objectAt("alpha")));
    EXPECT_EQ(20, valueOf(c.objectAt(1)));
    EXPECT_EQ(1, old.use_count());  // the collection no longer holds it
}

TEST_F(Greek, BadPositionsAndNamesGoToTheHandlers) {
    EXPECT_THROW(c.ptrAt(3), std::runtime_error);
    EXPECT_EQ(3u, g_badIndex);
    EXPECT_THROW(c.objectAt(7), std::runtime_error);
    EXPECT_EQ(7u, g_badIndex);
    EXPECT_THROW(c.objectAt("delta"), std::runtime_error);
    EXPECT_EQ("delta", g_badKey);
    EXPECT_THROW(c.updateAt("omega", item("omega")), std::runtime_error);
    EXPECT_EQ("omega", g_badKey);
    EXPECT_THROW(c.updateAt(5u, item("beta")), std::runtime_error);
    EXPECT_EQ(5u, g_badIndex);
}

TEST(Collection, HandlersThatReturn) {
    TPtrCollection c(quietIndex, quietKey);
    c.add(item("a"));
    EXPECT_FALSE(c.ptrAt(1));
    EXPECT_EQ(1u, g_badIndex);
    EXPECT_FALSE(c.ptrAt("zz"));
    EXPECT_EQ("zz", g_badKey);
    EXPECT_THROW(c.objectAt(4), std::logic_error);
    EXPECT_THROW(c.objectAt("zz"), std::logic_error);
}

TEST_F(Greek, UpdateReplacesByPositionOrName) {
    c.updateAt(0u, item("beta", 10));
    EXPECT_EQ(10, valueOf(c.objectAt("beta")));
    c.updateAt("gamma", item("gamma", 30));
    EXPECT_EQ(30, valueOf(c.objectAt(2)));
    // A pointer bearing another name would break the index: refused, unchanged.
    EXPECT_THROW(c.updateAt(0u, item("alpha", 99)), std::logic_error);
    EXPECT_THROW(c.updateAt(0u, item("zeta", 99)), std::logic_error);
    EXPECT_EQ(10, valueOf(c.objectAt(0)));
    EXPECT_EQ(2, valueOf(c.objectAt("alpha")));
}

TEST_F(Greek, ClearAndNullPointers) {
    EXPECT_THROW(c.add(pointer<TNamed>()), null_pointer);
    EXPECT_EQ(3u, c.size());
    c.clear();
    EXPECT_TRUE(c.empty());
    EXPECT_EQ(0u, c.indexOf("beta"));
    c.add(item("beta", 5));
    EXPECT_EQ(0u, c.indexOf("beta"));
}

TEST_F(Greek, CopiesShareObjectsButNotMembership) {
    TPtrCollection copy(c);
    static_cast<Item&>(copy.objectAt("beta")).value = 42;
    EXPECT_EQ(42, valueOf(c.objectAt("beta")));
    copy.add(item("delta"));
    EXPECT_EQ(4u, copy.size());
    EXPECT_EQ(3u, c.size());
    EXPECT_EQ(3u, c.indexOf("delta"));
    EXPECT_THROW(copy.ptrAt(9), std::runtime_error);  // handlers came along

    TPtrCollection other(quietIndex, quietKey);
    other = c;
    EXPECT_EQ(3u, other.size());
    EXPECT_FALSE(other.ptrAt(9));  // kept its own, quiet handlers
}

