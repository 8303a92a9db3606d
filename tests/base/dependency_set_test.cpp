// The dependency set keeps the order, the uniqueness and the first-one-counts rule of an
// ordered set of entries.

#include "base/Dependency.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

Dependency dep(const char* pName, int nFlags = 0, const char* pVersion = "")
{
    return Dependency(pName, Evr(0, pVersion, ""), nFlags);
}

std::vector<std::string> texts(const DependencySet& set)
{
    std::vector<std::string> vTexts;
    for (const Dependency& entry : set)
        vTexts.push_back(entry.toString());
    return vTexts;
}

} // namespace

TEST(DependencySetTest, InsertionsInAnyOrderGiveTheSortedUniqueEntries)
{
    DependencySet set;
    EXPECT_TRUE(set.insert(dep("libz", RPMSENSE_EQUAL, "1.2")).second);
    EXPECT_TRUE(set.insert(dep("/bin/sh")).second);
    EXPECT_TRUE(set.insert(dep("libz", RPMSENSE_GREATER | RPMSENSE_EQUAL, "1.2")).second);
    EXPECT_TRUE(set.insert(dep("libz", RPMSENSE_EQUAL, "1.10")).second);
    EXPECT_TRUE(set.insert(dep("acl")).second);
    auto [it, bInserted] = set.insert(dep("libz", RPMSENSE_EQUAL, "1.2"));
    EXPECT_FALSE(bInserted);
    EXPECT_EQ(it->toString(), "libz = 0:1.2");
    EXPECT_EQ(texts(set), (std::vector<std::string>{"/bin/sh", "acl", "libz = 0:1.2", "libz >= 0:1.2", "libz = 0:1.10"}));

    // A name alone finds the first entry of that name.
    EXPECT_EQ(set.lower_bound(Dependency("libz"))->toString(), "libz = 0:1.2");
    EXPECT_TRUE(set.contains(dep("acl")));
    EXPECT_EQ(set.count(dep("libz", RPMSENSE_EQUAL, "9")), 0u);
}

TEST(DependencySetTest, OfEquivalentEntriesTheFirstCounts)
{
    // 1.0 and 1.00 compare equal: one entry, the first one inserted.
    DependencySet set;
    set.insert(dep("foo", RPMSENSE_EQUAL, "1.00"));
    set.insert(dep("foo", RPMSENSE_EQUAL, "1.0"));
    EXPECT_EQ(texts(set), (std::vector<std::string>{"foo = 0:1.00"}));

    const std::vector<Dependency> vEntries{dep("foo", RPMSENSE_EQUAL, "1.0"), dep("bar"),
                                           dep("foo", RPMSENSE_EQUAL, "1.00"), dep("bar")};
    const DependencySet assigned(vEntries.begin(), vEntries.end());
    EXPECT_EQ(texts(assigned), (std::vector<std::string>{"bar", "foo = 0:1.0"}));
    EXPECT_EQ(assigned, (DependencySet{dep("bar"), dep("foo", RPMSENSE_EQUAL, "1.0")}));
    EXPECT_FALSE(assigned == set);
}

TEST(DependencySetTest, ErasureGivesTheNextEntry)
{
    DependencySet set{dep("a"), dep("b"), dep("c")};
    auto it = set.erase(set.find(dep("b")));
    ASSERT_NE(it, set.end());
    EXPECT_EQ(it->m_sName, "c");
    EXPECT_EQ(set.erase(dep("a")), 1u);
    EXPECT_EQ(set.erase(dep("a")), 0u);
    EXPECT_EQ(texts(set), (std::vector<std::string>{"c"}));
    set.clear();
    EXPECT_TRUE(set.empty());
}
