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
    "1.0",   "1.0a",  "1.0.1",    "1.0-1",       "1.0-2",      "1.0-10",      "1.0~rc1", "1.0~rc2",
    "1.0~~", "1.0^",  "1.0^git1", "1.0^git2",    "1.01",       "1.001",       "1.1",     "1.10",
    "1.9",   "1:0.1", "0:9.9",    "2:0",         "1.0-1.el8",  "1.0-1.el8_1", "a",       "b",
    "1.0.a", "1.0.0", "10",       "9",           "1.0-1~beta", "1.0-1^post",  "1_0",     "1..0",
    "1.0+2", "0001",  "1.0-0",    "3:1.0~rc1-1", "3:1.0-1",    "1.0~rc1^git", "1.0-001", "1.0-1a",
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

} // namespace
