#include "resolver/Resolver.h"

#include "ResolverTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

using namespace resolver_test;
using testing_support::LogCapture;

struct Selection
{
    std::initializer_list<Package> m_installed;
    std::initializer_list<RepoPackage> m_repo;
    NameSet m_include = {};
    NameSet m_exclude = {};
    NameSet m_excludeGroups = {};
    NameSet m_pull = {};
};

PackageSet select(const Selection& selection)
{
    Resolver resolver;
    EXPECT_TRUE(resolver.init(installedList(selection.m_installed)));
    return resolver.selectUpdates(repoList(selection.m_repo), selection.m_include,
                                  selection.m_exclude, selection.m_excludeGroups, selection.m_pull);
}

TEST(Selection, EmptyRepositoryLogsOnlyTheFrame)
{
    LogCapture log;
    EXPECT_TRUE(select({{pkg("foo", "1.0")}, {}, {}, {}, {}, {}}).empty());
    EXPECT_EQ(log.text(), "DEBUG: resolving for newer packages\n"
                          "DEBUG: done resolving for newer packages\n");
}

TEST(Selection, KeepsTheBestRecordOfEachName)
{
    {
        LogCapture log;
        auto result = select(
            {{pkg("foo", "0.5")}, {pkg("foo", "1.0"), pkg("foo", "2.0"), pkg("foo", "1.5")}});
        EXPECT_EQ(labels(result), std::vector<std::string>{"foo-0:2.0"});
        EXPECT_TRUE(log.contains("TRACE: dropping update foo-0:1.0 for newer foo-0:2.0\n"
                                 "TRACE: dropping update foo-0:1.5, has newer foo-0:2.0\n"
                                 "TRACE: checking update foo-0:2.0 (group )\n"
                                 "TRACE: checking installed foo-0:0.5\n"
                                 "DEBUG: found newer package foo-0:2.0\n"));
    }
    {
        auto result = select({{pkg("foo", "0.5")}, {pkg("foo", "2.0"), pkg("foo", "1.0")}});
        EXPECT_EQ(labels(result), std::vector<std::string>{"foo-0:2.0"});
    }
    {
        // Among equal versions the first record in the list stays.
        LogCapture log;
        auto result = select(
            {{pkg("foo", "0.5")},
             {pkg("foo", "2.0").location("first.rpm"), pkg("foo", "2.0").location("second.rpm")}});
        ASSERT_EQ(result.size(), 1u);
        EXPECT_EQ(result.begin()->m_sLocation, "first.rpm");
        EXPECT_TRUE(log.contains("TRACE: dropping update foo-0:2.0, has newer foo-0:2.0\n"));
    }
    {
        // The epoch outranks the version.
        auto result = select({{pkg("foo", "0.5")}, {pkg("foo", "1:0.1"), pkg("foo", "9.9")}});
        EXPECT_EQ(labels(result), std::vector<std::string>{"foo-1:0.1"});
    }
}

TEST(Selection, AnUpdateIsNewerThanEveryInstalledRecord)
{
    struct Row
    {
        const char* m_pWhat;
        std::vector<const char*> m_vInstalled;
        const char* m_pCandidate;
        bool m_bSelected;
    };
    const Row rows[] = {
        {"older installed", {"1.0-1"}, "1.0-2", true},
        {"same version installed", {"2.0-1"}, "2.0-1", false},
        {"newer installed", {"3.0"}, "2.0", false},
        {"one of two installed is newer", {"1.0", "3.0"}, "2.0", false},
        {"both installed older", {"1.0", "1.5"}, "2.0", true},
        {"installed epoch wins", {"1:1.0"}, "9.0", false},
        {"candidate epoch wins", {"1.0"}, "1:0.1", true},
        {"release compared even when missing", {"2.0"}, "2.0-1", true},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.m_pWhat);
        Resolver resolver;
        auto pInstalled = std::make_unique<InstalledPackages>();
        for (const char* pEvr : row.m_vInstalled)
            pInstalled->insert(pkg("foo", pEvr));
        ASSERT_TRUE(resolver.init(std::move(pInstalled)));
        auto result =
            resolver.selectUpdates(repoList({pkg("foo", row.m_pCandidate)}), {}, {}, {}, {});
        EXPECT_EQ(result.size(), row.m_bSelected ? 1u : 0u);
    }
}

TEST(Selection, UninstalledNamesNeedThePullSetOrAnObsolete)
{
    {
        LogCapture log;
        EXPECT_TRUE(select({{pkg("foo", "1.0")}, {pkg("bar", "1.0")}}).empty());
        EXPECT_FALSE(log.contains("found newer"));
    }
    {
        LogCapture log;
        auto result = select({{pkg("foo", "1.0")}, {pkg("bar", "1.0")}, {}, {}, {}, {"bar"}});
        EXPECT_EQ(labels(result), std::vector<std::string>{"bar-0:1.0"});
        EXPECT_TRUE(log.contains("DEBUG: considering bar-0:1.0 as newer because in pull set\n"
                                 "DEBUG: found newer package bar-0:1.0\n"));
    }
    {
        // The pull set does not make an installed name newer.
        EXPECT_TRUE(
            select({{pkg("foo", "1.0")}, {pkg("foo", "1.0")}, {}, {}, {}, {"foo"}}).empty());
    }
    {
        LogCapture log;
        auto result = select({{pkg("foo", "1.0")}, {pkg("bar", "1.0").obs({"foo < 2.0"})}});
        EXPECT_EQ(labels(result), std::vector<std::string>{"bar-0:1.0"});
        EXPECT_TRUE(
            log.contains("TRACE: checking obsoletes 'foo < 0:2.0'\n"
                         "DEBUG: considering bar-0:1.0 newer than foo-0:1.0 due to obsoletes\n"));
    }
    {
        // An obsolete whose range misses the installed version selects nothing.
        EXPECT_TRUE(select({{pkg("foo", "3.0")}, {pkg("bar", "1.0").obs({"foo < 2.0"})}}).empty());
        // Unversioned obsoletes hit any version; several installed records are all checked.
        EXPECT_EQ(select({{pkg("foo", "3.0"), pkg("foo", "1.0")},
                          {pkg("bar", "1.0").obs({"foo <= 1.0"})}})
                      .size(),
                  1u);
        EXPECT_EQ(select({{pkg("foo", "3.0")}, {pkg("bar", "1.0").obs({"zap", "foo"})}}).size(),
                  1u);
    }
}

TEST(Selection, IncludeSetRestrictsTheNames)
{
    const std::initializer_list<Package> installed = {pkg("bar", "1"), pkg("foo", "1")};
    {
        LogCapture log;
        auto result = select({installed, {pkg("bar", "2"), pkg("foo", "2")}, {"foo"}});
        EXPECT_EQ(labels(result), std::vector<std::string>{"foo-0:2"});
        EXPECT_TRUE(log.contains("TRACE: checking update bar-0:2 (group )\n"
                                 "TRACE: skipping package not in include set\n"));
    }
    EXPECT_EQ(select({installed, {pkg("bar", "2"), pkg("foo", "2")}}).size(), 2u);
}

TEST(Selection, ExcludesNamesGroupsAndWhatExcludedPackagesObsolete)
{
    const std::initializer_list<Package> installed = {
        pkg("aaa", "1"), pkg("baz", "1"), pkg("foo", "1"), pkg("qux", "1"), pkg("zed", "1")};
    {
        LogCapture log;
        auto result = select(
            {installed,
             {pkg("foo", "2"), pkg("baz", "2").group("Addons"), pkg("qux", "2"), pkg("zed", "2")},
             {},
             {"zed"},
             {"Addons"}});
        EXPECT_EQ(labels(result), (std::vector<std::string>{"foo-0:2", "qux-0:2"}));
        EXPECT_TRUE(log.contains("TRACE: checking update baz-0:2 (group Addons)\n"
                                 "TRACE: skipping package in exclude set\n"));
    }
    {
        // baz obsoletes qux, which sorts after it: qux is refused by the exclude test.
        LogCapture log;
        auto result = select({installed,
                              {pkg("baz", "2").obs({"qux < 1"}), pkg("qux", "2"), pkg("foo", "2")},
                              {},
                              {"baz"}});
        EXPECT_EQ(labels(result), std::vector<std::string>{"foo-0:2"});
        EXPECT_TRUE(
            log.contains("TRACE: skipping package in exclude set\n"
                         "TRACE: adding qux to exclude set, obsoleted by excluded package\n"));
    }
    {
        // zed obsoletes aaa, which sorts before it: aaa is taken out of the result again, and
        // aaa's own obsoletes are not passed on.
        auto result =
            select({installed,
                    {pkg("aaa", "2").obs({"foo"}), pkg("foo", "2"), pkg("zed", "2").obs({"aaa"})},
                    {},
                    {"zed"}});
        EXPECT_EQ(labels(result), std::vector<std::string>{"foo-0:2"});
    }
    {
        // A package excluded through an obsolete excludes its own obsoletes in turn.
        auto result =
            select({installed,
                    {pkg("baz", "2").obs({"foo"}), pkg("foo", "2").obs({"qux"}), pkg("qux", "2")},
                    {},
                    {"baz"}});
        EXPECT_TRUE(result.empty());
    }
    {
        // A package skipped by the include test contributes nothing to the exclusions.
        auto result =
            select({installed, {pkg("baz", "2").obs({"foo"}), pkg("foo", "2")}, {"foo"}, {"baz"}});
        EXPECT_EQ(labels(result), std::vector<std::string>{"foo-0:2"});
    }
}

TEST(Selection, SettlesObsoletesAmongNewPackages)
{
    const std::initializer_list<Package> installed = {pkg("bar", "1"), pkg("foo", "1"),
                                                      pkg("self", "1")};
    {
        LogCapture log;
        auto result = select({installed, {pkg("foo", "2").obs({"bar < 2.0"}), pkg("bar", "1.5")}});
        EXPECT_EQ(labels(result), std::vector<std::string>{"foo-0:2"});
        EXPECT_TRUE(
            log.contains("TRACE: checking if foo-0:2 obsoletes any new packages\n"
                         "TRACE: checking obsoletes 'bar < 0:2.0'\n"
                         "DEBUG: removing bar-0:1.5 from new packages, obsoleted by foo-0:2\n"
                         "DEBUG: done resolving for newer packages\n"));
    }
    EXPECT_EQ(select({installed, {pkg("foo", "2").obs({"bar < 2.0"}), pkg("bar", "2.5")}}).size(),
              2u);
    // A package obsoleting its own name keeps itself.
    EXPECT_EQ(labels(select({installed, {pkg("self", "2").obs({"self < 2"})}})),
              std::vector<std::string>{"self-0:2"});
    {
        // bar obsoletes foo and foo obsoletes self: bar removes foo before foo is visited, so
        // self stays.
        auto result = select(
            {installed,
             {pkg("bar", "2").obs({"foo"}), pkg("foo", "2").obs({"self"}), pkg("self", "2")}});
        EXPECT_EQ(labels(result), (std::vector<std::string>{"bar-0:2", "self-0:2"}));
    }
}

TEST(Selection, InitIsRefusedTwice)
{
    LogCapture log;
    Resolver resolver;
    EXPECT_FALSE(resolver.isInitialized());
    ASSERT_TRUE(resolver.init(installedList({pkg("foo", "1")})));
    EXPECT_FALSE(resolver.init(installedList({})));
    EXPECT_EQ(log.text(), "ERROR: attempted to reinitilize a resolver\n");
    EXPECT_EQ(resolver.installed()->size(), 1u);
}

} // namespace
