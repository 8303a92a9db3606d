// Dependencies overlap as rpm decides, print with their operator, and the dependency set
// keeps the order, the uniqueness and the first-one-counts rule of an ordered set of entries.

#include "base/Dependency.h"

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <rpm/rpmds.h>
#include <rpm/rpmver.h>

#include <memory>
#include <string>
#include <vector>

using testing_support::dependencyTexts;

namespace
{

Dependency dep(const char* pName, int nFlags = 0, const char* pVersion = "")
{
    return Dependency(pName, Evr(0, pVersion, ""), nFlags);
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
    EXPECT_EQ(dependencyTexts(set), (std::vector<std::string>{"/bin/sh", "acl", "libz = 0:1.2",
                                                              "libz >= 0:1.2", "libz = 0:1.10"}));

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
    EXPECT_EQ(dependencyTexts(set), (std::vector<std::string>{"foo = 0:1.00"}));

    const std::vector<Dependency> vEntries{dep("foo", RPMSENSE_EQUAL, "1.0"), dep("bar"),
                                           dep("foo", RPMSENSE_EQUAL, "1.00"), dep("bar")};
    const DependencySet assigned(vEntries.begin(), vEntries.end());
    EXPECT_EQ(dependencyTexts(assigned), (std::vector<std::string>{"bar", "foo = 0:1.0"}));
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
    EXPECT_EQ(dependencyTexts(set), (std::vector<std::string>{"c"}));
    set.clear();
    EXPECT_TRUE(set.empty());
}

namespace
{

struct SenseRow
{
    const char* m_pOp;
    int m_nFlags;
};
const SenseRow SENSES[] = {
    {"<", RPMSENSE_LESS},    {"<=", RPMSENSE_LESS | RPMSENSE_EQUAL},
    {"=", RPMSENSE_EQUAL},   {">=", RPMSENSE_GREATER | RPMSENSE_EQUAL},
    {">", RPMSENSE_GREATER},
};

bool rpmOverlaps(const std::string& sEvrA, int nFlagsA, const std::string& sEvrB, int nFlagsB)
{
    std::unique_ptr<rpmver_s, decltype(&rpmverFree)> va(rpmverParse(sEvrA.c_str()), rpmverFree);
    std::unique_ptr<rpmver_s, decltype(&rpmverFree)> vb(rpmverParse(sEvrB.c_str()), rpmverFree);
    return rpmverOverlap(va.get(), rpmsenseFlags(nFlagsA), vb.get(), rpmsenseFlags(nFlagsB)) != 0;
}

TEST(Dependency, OverlapsLikeRpm)
{
    const char* const versions[] = {"1.0",   "1.0-1",   "1.0-5",    "1.1",   "0:1.0-7",
                                    "1:0.5", "1.0~rc1", "1.0^git1", "2.0-1", "1.0a"};
    for (const char* pA : versions)
        for (const SenseRow& senseA : SENSES)
            for (const char* pB : versions)
                for (const SenseRow& senseB : SENSES)
                {
                    SCOPED_TRACE(std::string("foo ") + senseA.m_pOp + " " + pA + " vs foo " +
                                 senseB.m_pOp + " " + pB);
                    const Dependency a("foo", Evr(std::string_view(pA)), senseA.m_nFlags);
                    const Dependency b("foo", Evr(std::string_view(pB)), senseB.m_nFlags);
                    // Where one side has no release we deliberately differ from rpm 4.18 (see
                    // MissingReleaseMatchesAnyRelease); everywhere else the verdicts agree.
                    if (a.m_Evr.m_sRelease.empty() != b.m_Evr.m_sRelease.empty())
                        continue;
                    EXPECT_EQ(a.overlaps(b), rpmOverlaps(pA, senseA.m_nFlags, pB, senseB.m_nFlags));
                }
}

TEST(Dependency, OverlapEdgeCases)
{
    const Dependency provide10("foo", Evr(0, "1.0", "7"), RPMSENSE_EQUAL);
    EXPECT_TRUE(provide10.overlaps(
        Dependency("foo", Evr(0, "1.0", ""), RPMSENSE_GREATER | RPMSENSE_EQUAL)));
    EXPECT_TRUE(Dependency("foo", Evr(0, "1.0", "5"), RPMSENSE_EQUAL)
                    .overlaps(Dependency("foo", Evr(0, "1.0", ""), RPMSENSE_EQUAL)));
    EXPECT_FALSE(Dependency("foo", Evr(0, "1.0", ""), RPMSENSE_EQUAL)
                     .overlaps(Dependency("foo", Evr(0, "1.0", ""), RPMSENSE_GREATER)));
    EXPECT_TRUE(Dependency("foo", Evr(0, "1.1", ""), RPMSENSE_EQUAL)
                    .overlaps(Dependency("foo", Evr(0, "1.0", ""), RPMSENSE_GREATER)));
    // Unversioned on either side, and flags 0, match any version of the name.
    EXPECT_TRUE(provide10.overlaps(Dependency("foo")));
    EXPECT_TRUE(Dependency("foo").overlaps(Dependency("foo", Evr(0, "9", ""), RPMSENSE_LESS)));
    EXPECT_TRUE(Dependency("foo", Evr(0, "1", ""), 0)
                    .overlaps(Dependency("foo", Evr(0, "9", ""), RPMSENSE_GREATER)));
    EXPECT_FALSE(provide10.overlaps(Dependency("bar")));
    // "updater-running" = 0:1.4.0 against what packages may require of the running updater.
    const Dependency running("updater-running", Evr(0, "1.4.0", ""), RPMSENSE_EQUAL);
    EXPECT_FALSE(
        running.overlaps(Dependency("updater-running", Evr(0, "1.4.0", ""), RPMSENSE_GREATER)));
    EXPECT_TRUE(running.overlaps(
        Dependency("updater-running", Evr(0, "1.4.0", ""), RPMSENSE_GREATER | RPMSENSE_EQUAL)));
    EXPECT_FALSE(running.overlaps(
        Dependency("updater-running", Evr(0, "1.5", ""), RPMSENSE_GREATER | RPMSENSE_EQUAL)));
}

TEST(Dependency, MissingReleaseMatchesAnyRelease)
{
    // A release missing on either side leaves the versions equal, so only entries whose
    // senses share a bit overlap: "< 1.0-1" and "= 1.0" do not, "<= 1.0-1" and "= 1.0" do.
    const Dependency equal10("foo", Evr(0, "1.0", ""), RPMSENSE_EQUAL);
    EXPECT_FALSE(Dependency("foo", Evr(0, "1.0", "1"), RPMSENSE_LESS).overlaps(equal10));
    EXPECT_TRUE(
        Dependency("foo", Evr(0, "1.0", "1"), RPMSENSE_LESS | RPMSENSE_EQUAL).overlaps(equal10));
    EXPECT_FALSE(equal10.overlaps(Dependency("foo", Evr(0, "1.0", "5"), RPMSENSE_GREATER)));
    EXPECT_TRUE(
        Dependency("foo", Evr(0, "1.0", "5"), RPMSENSE_GREATER)
            .overlaps(Dependency("foo", Evr(0, "1.0", ""), RPMSENSE_GREATER | RPMSENSE_EQUAL)));
    // Different versions still decide by version alone.
    EXPECT_TRUE(Dependency("foo", Evr(0, "0.9", "1"), RPMSENSE_LESS)
                    .overlaps(Dependency("foo", Evr(0, "1.0", ""), RPMSENSE_LESS)));
}

TEST(Dependency, PrintsWithOperator)
{
    EXPECT_EQ(
        Dependency("libfoo", Evr(0, "1.2", "3"), RPMSENSE_GREATER | RPMSENSE_EQUAL).toString(),
        "libfoo >= 0:1.2-3");
    EXPECT_EQ(Dependency("libfoo", Evr(0, "1.2", ""), RPMSENSE_LESS).toString(), "libfoo < 0:1.2");
    EXPECT_EQ(Dependency("libfoo", Evr(0, "1.2", ""), 6).toString(), "libfoo ? 0:1.2");
    EXPECT_EQ(Dependency("libfoo", Evr(0, "1.2", ""), 16 | RPMSENSE_EQUAL).toString(),
              "libfoo ? 0:1.2");
    EXPECT_EQ(Dependency("/bin/sh").toString(), "/bin/sh");
}

TEST(DependencySet, OrdersByNameThenVersionThenFlags)
{
    DependencySet set;
    set.insert(Dependency("foo", Evr(0, "1.0", ""), RPMSENSE_EQUAL));
    set.insert(Dependency("foo", Evr(0, "1.0", ""), RPMSENSE_EQUAL));
    EXPECT_EQ(set.size(), 1u);
    set.insert(Dependency("foo", Evr(0, "1.0", ""), RPMSENSE_GREATER | RPMSENSE_EQUAL));
    set.insert(Dependency("foo", Evr(0, "0.9", ""), RPMSENSE_LESS));
    set.insert(Dependency("foo"));
    set.insert(Dependency("fo"));
    set.insert(Dependency("foo-devel"));
    set.insert(Dependency("Foo"));
    std::vector<std::string> vTexts;
    for (const Dependency& dep : set)
        vTexts.push_back(dep.toString());
    const std::vector<std::string> expected = {
        "Foo", "fo", "foo", "foo < 0:0.9", "foo = 0:1.0", "foo >= 0:1.0", "foo-devel"};
    EXPECT_EQ(vTexts, expected);
    // A name alone is a lower bound for every entry of that name.
    auto it = set.lower_bound(Dependency("foo"));
    ASSERT_NE(it, set.end());
    EXPECT_EQ(it->toString(), "foo");
}

} // namespace
