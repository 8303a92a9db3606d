#include "base/Dependency.h"
#include "base/Evr.h"
#include "base/Package.h"

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <rpm/rpmver.h>

#include <memory>
#include <string>
#include <vector>

namespace
{

using testing_support::LogCapture;

struct ParseRow
{
    const char* m_pText;
    int m_nEpoch;
    const char* m_pVersion;
    const char* m_pRelease;
    const char* m_pMessage; // expected ERROR text, or nullptr for none
};

TEST(Evr, ParsesTextAndReportsProblems)
{
    const ParseRow rows[] = {
        {"1.0", 0, "1.0", "", nullptr},
        {"2:1.0-3", 2, "1.0", "3", nullptr},
        {"1.0-3-4", 0, "1.0", "3-4", nullptr},
        {"x:1.0-1", 0, "1.0", "1", "failed parsing epoch from EVR string"},
        {"3:", 3, "", "", "EVR string has no version release"},
        {"", 0, "", "", "EVR string has no version release"},
        {"1.0-", 0, "1.0", "", "empty release in EVR string"},
        {" 7:2", 7, "2", "", nullptr},
        {"-1:2-3", -1, "2", "3", nullptr},
        {"1x:2", 1, "2", "", "failed parsing epoch from EVR string"},
        {":2", 0, "2", "", "failed parsing epoch from EVR string"},
        {"1:2:3-4", 1, "2:3", "4", nullptr},
    };
    for (const ParseRow& row : rows)
    {
        SCOPED_TRACE(row.m_pText);
        LogCapture log;
        const Evr evr{std::string_view(row.m_pText)};
        EXPECT_EQ(evr.m_nEpoch, row.m_nEpoch);
        EXPECT_EQ(evr.m_sVersion, row.m_pVersion);
        EXPECT_EQ(evr.m_sRelease, row.m_pRelease);
        if (row.m_pMessage)
            EXPECT_EQ(log.text(), std::string("ERROR: ") + row.m_pMessage + "\n");
        else
            EXPECT_EQ(log.text(), "");
    }
}

TEST(Evr, PrintsEpochAlwaysAndReleaseOnlyWhenPresent)
{
    EXPECT_EQ(Evr(0, "1.2", "3").toString(), "0:1.2-3");
    EXPECT_EQ(Evr(0, "1.0", "").toString(), "0:1.0");
    EXPECT_EQ(Evr(5, "", "1").toString(), "");
    EXPECT_EQ(Evr(-2, "1", "").toString(), "-2:1");
    Package package("foo");
    package.m_Evr = Evr(0, "1.2", "3");
    EXPECT_EQ(package.label(), "foo-0:1.2-3");
}

// The real rpm decides: both sides parsed by rpm itself and compared with its own
// routine, for a table of versions that are easy to get wrong.
int rpmOrder(const std::string& a, const std::string& b)
{
    std::unique_ptr<rpmver_s, decltype(&rpmverFree)> va(rpmverParse(a.c_str()), rpmverFree);
    std::unique_ptr<rpmver_s, decltype(&rpmverFree)> vb(rpmverParse(b.c_str()), rpmverFree);
    return rpmverCmp(va.get(), vb.get());
}

int sign(int n)
{
    return (n > 0) - (n < 0);
}

const char* const TRICKY_VERSIONS[] = {
    "1.0",      "1.0a",      "1.0.1",     "1.0-1",    "1.0-2",     "1.0-10",    "1.0~rc1",
    "1.0~rc2",  "1.0~~",     "1.0^",      "1.0^git1", "1.0^git2",  "1.01",      "1.001",
    "1.1",      "1.10",      "1.9",       "1:0.1",    "0:9.9",     "2:0",       "1.0-1.el8",
    "1.0-1.el8_1", "a",      "b",         "1.0.a",    "1.0.0",     "10",        "9",
    "1.0-1~beta", "1.0-1^post", "1_0",    "1..0",     "1.0+2",     "0001",      "1.0-0",
    "3:1.0~rc1-1", "3:1.0-1", "1.0~rc1^git", "1.0-001", "1.0-1a",
};

TEST(Evr, OrdersLikeRpm)
{
    for (const char* pA : TRICKY_VERSIONS)
        for (const char* pB : TRICKY_VERSIONS)
        {
            SCOPED_TRACE(std::string(pA) + " vs " + pB);
            const Evr a{std::string_view(pA)}, b{std::string_view(pB)};
            // rpm treats a missing release as matching any release; ours always compares
            // them, so the verdicts are compared only where both or neither have one.
            if (a.m_sRelease.empty() != b.m_sRelease.empty())
                continue;
            EXPECT_EQ(sign(a.compare(b)), sign(rpmOrder(pA, pB)));
        }
}

TEST(Evr, OrdersEpochFirstAndReleasesAlways)
{
    EXPECT_GT(Evr(1, "0.1", "").compare(Evr(0, "9.9", "")), 0);
    EXPECT_LT(Evr(0, "1.0", "").compare(Evr(0, "1.0", "1")), 0);
    EXPECT_EQ(Evr(0, "1.0", "1").compare(Evr(0, "1.0", "1")), 0);
    EXPECT_LT(Evr(-1, "9", "").compare(Evr(0, "1", "")), 0);
}

struct SenseRow
{
    const char* m_pOp;
    int m_nFlags;
};
const SenseRow SENSES[] = {
    {"<", RPMSENSE_LESS}, {"<=", RPMSENSE_LESS | RPMSENSE_EQUAL}, {"=", RPMSENSE_EQUAL},
    {">=", RPMSENSE_GREATER | RPMSENSE_EQUAL}, {">", RPMSENSE_GREATER},
};

bool rpmOverlaps(const std::string& sEvrA, int nFlagsA, const std::string& sEvrB, int nFlagsB)
{
    std::unique_ptr<rpmver_s, decltype(&rpmverFree)> va(rpmverParse(sEvrA.c_str()), rpmverFree);
    std::unique_ptr<rpmver_s, decltype(&rpmverFree)> vb(rpmverParse(sEvrB.c_str()), rpmverFree);
    return rpmverOverlap(va.get(), rpmsenseFlags(nFlagsA), vb.get(), rpmsenseFlags(nFlagsB)) != 0;
}

TEST(Dependency, OverlapsLikeRpm)
{
    const char* const versions[] = {"1.0", "1.0-1", "1.0-5", "1.1", "0:1.0-7", "1:0.5", "1.0~rc1",
                                    "1.0^git1", "2.0-1", "1.0a"};
    for (const char* pA : versions)
        for (const SenseRow& senseA : SENSES)
            for (const char* pB : versions)
                for (const SenseRow& senseB : SENSES)
                {
                    SCOPED_TRACE(std::string("foo ") + senseA.m_pOp + " " + pA + " vs foo " + senseB.m_pOp + " " + pB);
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
    EXPECT_TRUE(provide10.overlaps(Dependency("foo", Evr(0, "1.0", ""), RPMSENSE_GREATER | RPMSENSE_EQUAL)));
    EXPECT_TRUE(Dependency("foo", Evr(0, "1.0", "5"), RPMSENSE_EQUAL).overlaps(Dependency("foo", Evr(0, "1.0", ""), RPMSENSE_EQUAL)));
    EXPECT_FALSE(Dependency("foo", Evr(0, "1.0", ""), RPMSENSE_EQUAL).overlaps(Dependency("foo", Evr(0, "1.0", ""), RPMSENSE_GREATER)));
    EXPECT_TRUE(Dependency("foo", Evr(0, "1.1", ""), RPMSENSE_EQUAL).overlaps(Dependency("foo", Evr(0, "1.0", ""), RPMSENSE_GREATER)));
    // Unversioned on either side, and flags 0, match any version of the name.
    EXPECT_TRUE(provide10.overlaps(Dependency("foo")));
    EXPECT_TRUE(Dependency("foo").overlaps(Dependency("foo", Evr(0, "9", ""), RPMSENSE_LESS)));
    EXPECT_TRUE(Dependency("foo", Evr(0, "1", ""), 0).overlaps(Dependency("foo", Evr(0, "9", ""), RPMSENSE_GREATER)));
    EXPECT_FALSE(provide10.overlaps(Dependency("bar")));
    // "updater-running" = 0:1.4.0 against what packages may require of the running updater.
    const Dependency running("updater-running", Evr(0, "1.4.0", ""), RPMSENSE_EQUAL);
    EXPECT_FALSE(running.overlaps(Dependency("updater-running", Evr(0, "1.4.0", ""), RPMSENSE_GREATER)));
    EXPECT_TRUE(running.overlaps(Dependency("updater-running", Evr(0, "1.4.0", ""), RPMSENSE_GREATER | RPMSENSE_EQUAL)));
    EXPECT_FALSE(running.overlaps(Dependency("updater-running", Evr(0, "1.5", ""), RPMSENSE_GREATER | RPMSENSE_EQUAL)));
}

TEST(Dependency, MissingReleaseMatchesAnyRelease)
{
    // A release missing on either side leaves the versions equal, so only entries whose
    // senses share a bit overlap: "< 1.0-1" and "= 1.0" do not, "<= 1.0-1" and "= 1.0" do.
    const Dependency equal10("foo", Evr(0, "1.0", ""), RPMSENSE_EQUAL);
    EXPECT_FALSE(Dependency("foo", Evr(0, "1.0", "1"), RPMSENSE_LESS).overlaps(equal10));
    EXPECT_TRUE(Dependency("foo", Evr(0, "1.0", "1"), RPMSENSE_LESS | RPMSENSE_EQUAL).overlaps(equal10));
    EXPECT_FALSE(equal10.overlaps(Dependency("foo", Evr(0, "1.0", "5"), RPMSENSE_GREATER)));
    EXPECT_TRUE(Dependency("foo", Evr(0, "1.0", "5"), RPMSENSE_GREATER).overlaps(
        Dependency("foo", Evr(0, "1.0", ""), RPMSENSE_GREATER | RPMSENSE_EQUAL)));
    // Different versions still decide by version alone.
    EXPECT_TRUE(Dependency("foo", Evr(0, "0.9", "1"), RPMSENSE_LESS).overlaps(
        Dependency("foo", Evr(0, "1.0", ""), RPMSENSE_LESS)));
}

TEST(Dependency, PrintsWithOperator)
{
    EXPECT_EQ(Dependency("libfoo", Evr(0, "1.2", "3"), RPMSENSE_GREATER | RPMSENSE_EQUAL).toString(), "libfoo >= 0:1.2-3");
    EXPECT_EQ(Dependency("libfoo", Evr(0, "1.2", ""), RPMSENSE_LESS).toString(), "libfoo < 0:1.2");
    EXPECT_EQ(Dependency("libfoo", Evr(0, "1.2", ""), 6).toString(), "libfoo ? 0:1.2");
    EXPECT_EQ(Dependency("libfoo", Evr(0, "1.2", ""), 16 | RPMSENSE_EQUAL).toString(), "libfoo ? 0:1.2");
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
    const std::vector<std::string> expected = {"Foo", "fo", "foo", "foo < 0:0.9", "foo = 0:1.0", "foo >= 0:1.0", "foo-devel"};
    EXPECT_EQ(vTexts, expected);
    // A name alone is a lower bound for every entry of that name.
    auto it = set.lower_bound(Dependency("foo"));
    ASSERT_NE(it, set.end());
    EXPECT_EQ(it->toString(), "foo");
}

TEST(PackageContainers, KeepInsertionOrderAmongEqualNamesAndOneRecordPerNameInSets)
{
    RepoPackageList list;
    for (const char* pVersion : {"2", "1", "3"})
    {
        RepoPackage package("foo");
        package.m_Evr = Evr(0, pVersion, "");
        list.insert(package);
    }
    list.insert(RepoPackage("bar"));
    auto range = list.equal_range(std::string_view("foo"));
    std::vector<std::string> vVersions;
    for (auto it = range.first; it != range.second; ++it)
        vVersions.push_back(it->m_Evr.m_sVersion.str());
    EXPECT_EQ(vVersions, (std::vector<std::string>{"2", "1", "3"}));

    PackageSet set;
    EXPECT_TRUE(set.insert(*range.first).second);
    auto second = set.insert(*std::next(range.first));
    EXPECT_FALSE(second.second);
    EXPECT_EQ(second.first->m_Evr.m_sVersion, "2");
}

} // namespace
