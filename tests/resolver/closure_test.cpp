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

PackageSet packageSet(std::initializer_list<RepoPackage> packages)
{
    PackageSet set;
    for (const RepoPackage& package : packages)
        set.insert(package);
    return set;
}

TEST(Closure, PullsAPackageForAVersionedRequirement)
{
    // The selection took only foo; the installed libbar is too old for it.
    Resolver resolver;
    ASSERT_TRUE(resolver.init(installedList(
        {pkg("foo", "1.0").req({"libbar"}), pkg("libbar", "1").prov({"libbar = 1"})})));
    const RepoPackageList repo = repoList({pkg("foo", "2.0").req({"libbar >= 2"}),
                                           pkg("libbar", "2.1").prov({"libbar = 2.1"}),
                                           pkg("libbar", "2.0").prov({"libbar = 2.0"})});
    PackageSet newPackages = resolver.selectUpdates(repo, {"foo"}, {}, {}, {});
    ASSERT_EQ(labels(newPackages), std::vector<std::string>{"foo-0:2.0"});

    LogCapture log;
    DependencySet unsatisfied = deps({"stale"});
    EXPECT_FALSE(resolver.checkDependencies(newPackages, unsatisfied));
    EXPECT_EQ(texts(unsatisfied), std::vector<std::string>{"libbar >= 0:2"});
    EXPECT_EQ(log.text(), "DEBUG: checking dependencies for 1 new packages\n"
                          "TRACE: dep libbar = 0:1\n"
                          "DEBUG: failed dep: libbar >= 0:2 is needed by foo-0:2.0\n");

    log.clear();
    EXPECT_TRUE(resolver.pullDependencies(repo, unsatisfied, newPackages));
    EXPECT_TRUE(unsatisfied.empty());
    EXPECT_EQ(labels(newPackages), (std::vector<std::string>{"foo-0:2.0", "libbar-0:2.1"}));
    EXPECT_EQ(log.text(), "DEBUG: resolving dependencies\n"
                          "TRACE: package foo-0:2.0 already in\n"
                          "TRACE: checking package libbar-0:2.1\n"
                          "TRACE: found libbar-0:2.1 as best\n"
                          "TRACE: check prov libbar = 0:2.1\n"
                          "DEBUG: checking provide libbar = 0:2.1\n"
                          "DEBUG: pulling package libbar-0:2.1 to satisfy 'libbar >= 0:2'\n"
                          "DEBUG: removing require 'libbar >= 0:2', provided by pulled package\n"
                          "DEBUG: pulled 1 packages\n");

    EXPECT_TRUE(resolver.checkDependencies(newPackages, unsatisfied));
}

TEST(Closure, ReplacedInstalledPackagesNoLongerProvide)
{
    Resolver resolver;
    ASSERT_TRUE(resolver.init(
        installedList({pkg("app", "1").req({"libold"}), pkg("lib", "1").prov({"libold", "lib = 1"}),
                       pkg("gone", "1").prov({"gonecap"}), pkg("user", "1").req({"gonecap"})})));
    DependencySet unsatisfied;
    // lib 2 replaces lib 1 and drops libold; "new" obsoletes gone, which still counts.
    EXPECT_FALSE(resolver.checkDependencies(
        packageSet({pkg("lib", "2").prov({"lib = 2"}), pkg("new", "1").obs({"gone"})}),
        unsatisfied));
    EXPECT_EQ(texts(unsatisfied), std::vector<std::string>{"libold"});
}

TEST(Closure, ProvidesAreFoundWhateverTheirVersionSortsLike)
{
    // A provide with a negative epoch or a tilde version sorts before a key made of its name.
    Resolver resolver;
    ASSERT_TRUE(resolver.init(
        installedList({pkg("a", "1").prov({"tilde = ~1", "neg = -1:1"}).req({"tilde", "neg"})})));
    DependencySet unsatisfied;
    EXPECT_TRUE(resolver.checkDependencies({}, unsatisfied));

    const RepoPackageList repo = repoList({pkg("t", "1").prov({"tcap = ~2"})});
    unsatisfied = deps({"tcap >= ~1"});
    PackageSet newPackages;
    EXPECT_TRUE(resolver.pullDependencies(repo, unsatisfied, newPackages));
    EXPECT_TRUE(unsatisfied.empty());

    DependencySet setFound;
    EXPECT_FALSE(dep("updater-running = 1.4.0")
                     .findUnsatisfied(packageSet({pkg("x", "1").req(
                                          {"updater-running < -1:9", "updater-running < ~9"})}),
                                      setFound));
    EXPECT_EQ(setFound.size(), 2u);
}

TEST(Closure, FileRequirementsAreToleratedOthersFail)
{
    Resolver resolver;
    ASSERT_TRUE(resolver.init(installedList({pkg("base", "1").prov({"base = 1"})})));
    const RepoPackageList repo = repoList({pkg("tool", "2").req({"/bin/sh", "base"})});
    {
        LogCapture log;
        PackageSet newPackages = packageSet({pkg("tool", "2").req({"/bin/sh", "base"})});
        DependencySet unsatisfied;
        EXPECT_EQ(resolver.closeDependencies(repo, newPackages, unsatisfied, {}),
                  ClosureResult::COMPLETE);
        EXPECT_EQ(texts(unsatisfied), std::vector<std::string>{"/bin/sh"});
        EXPECT_TRUE(log.contains(
            "DEBUG: pulled 0 packages\n"
            "DEBUG: checking for file-only requires\n"
            "DEBUG: only file dependencies are left unsatisfied, assuming all are satisfied\n"));
    }
    {
        LogCapture log;
        PackageSet newPackages =
            packageSet({pkg("tool", "2").req({"/bin/sh", "nobody-has-this >= 1"})});
        DependencySet unsatisfied;
        EXPECT_EQ(resolver.closeDependencies(repo, newPackages, unsatisfied, {}),
                  ClosureResult::FAILED);
        EXPECT_EQ(texts(unsatisfied),
                  (std::vector<std::string>{"/bin/sh", "nobody-has-this >= 0:1"}));
        EXPECT_FALSE(log.contains("only file dependencies"));
    }
    EXPECT_TRUE(allFileRequires({}));
    EXPECT_TRUE(allFileRequires(deps({"/bin/sh", "/usr/bin/perl"})));
    EXPECT_FALSE(allFileRequires(deps({"/bin/sh", "sh"})));
    EXPECT_FALSE(allFileRequires({Dependency("")}));
}

TEST(Closure, NewPackagesAreNeverPulledAgain)
{
    Resolver resolver;
    ASSERT_TRUE(resolver.init(installedList({})));
    // The repository's newer foo would provide the capability, but foo is already chosen.
    const RepoPackageList repo =
        repoList({pkg("foo", "1").prov({"cap = 1"}), pkg("foo", "2").prov({"cap = 2"})});
    PackageSet newPackages = packageSet({pkg("foo", "1").prov({"cap = 1"}).req({"cap >= 2"})});
    DependencySet unsatisfied;
    LogCapture log;
    EXPECT_EQ(resolver.closeDependencies(repo, newPackages, unsatisfied, {}),
              ClosureResult::FAILED);
    EXPECT_EQ(labels(newPackages), std::vector<std::string>{"foo-0:1"});
    EXPECT_TRUE(
        log.contains("TRACE: package foo-0:1 already in\nTRACE: package foo-0:2 already in\n"));
}

TEST(Closure, APackageSatisfyingTwoCapabilitiesCountsTwice)
{
    Resolver resolver;
    ASSERT_TRUE(resolver.init(installedList({})));
    const RepoPackageList repo = repoList({pkg("aaa", "1").prov({"other"}),
                                           pkg("both", "1").prov({"one = 1", "two = 2", "three"}),
                                           pkg("late", "1").prov({"one = 1"})});
    PackageSet newPackages = packageSet({pkg("app", "1").req({"one >= 1", "one", "two"})});
    DependencySet unsatisfied;
    ASSERT_FALSE(resolver.checkDependencies(newPackages, unsatisfied));

    LogCapture log;
    EXPECT_TRUE(resolver.pullDependencies(repo, unsatisfied, newPackages));
    EXPECT_EQ(labels(newPackages), (std::vector<std::string>{"app-0:1", "both-0:1"}));
    EXPECT_TRUE(unsatisfied.empty());
    EXPECT_TRUE(log.contains("TRACE: check prov one = 0:1\n"
                             "DEBUG: checking provide one = 0:1\n"
                             "DEBUG: pulling package both-0:1 to satisfy 'one'\n"
                             "DEBUG: removing require 'one', provided by pulled package\n"
                             "DEBUG: checking provide one = 0:1\n"
                             "DEBUG: removing require 'one >= 0:1', provided by pulled package\n"
                             "TRACE: check prov three\n"
                             "TRACE: check prov two = 0:2\n"
                             "DEBUG: checking provide two = 0:2\n"
                             "DEBUG: pulling package both-0:1 to satisfy 'two'\n"));
    EXPECT_TRUE(log.contains("DEBUG: pulled 2 packages\n"));
    // late is walked after both and finds nothing left to satisfy.
    EXPECT_FALSE(log.contains("pulling package late"));
}

TEST(Closure, PulledPackagesBringTheirOwnRequirements)
{
    Resolver resolver;
    ASSERT_TRUE(resolver.init(installedList({})));
    const RepoPackageList repo =
        repoList({pkg("a", "1").prov({"capa"}).req({"capb"}).obs({"app"}),
                  pkg("b", "1").prov({"capb"}).req({"capc"}), pkg("c", "1").prov({"capc"})});
    PackageSet newPackages = packageSet({pkg("app", "1").req({"capa"})});
    DependencySet unsatisfied;
    int nStopChecks = 0;
    EXPECT_EQ(resolver.closeDependencies(repo, newPackages, unsatisfied,
                                         [&]
                                         {
                                             ++nStopChecks;
                                             return false;
                                         }),
              ClosureResult::COMPLETE);
    // Pulled packages are taken as they are: a's obsoletes do not remove app.
    EXPECT_EQ(labels(newPackages),
              (std::vector<std::string>{"a-0:1", "app-0:1", "b-0:1", "c-0:1"}));
    EXPECT_EQ(nStopChecks, 3);
}

TEST(Closure, StopsBetweenRoundsWhenAsked)
{
    Resolver resolver;
    ASSERT_TRUE(resolver.init(installedList({})));
    const RepoPackageList repo =
        repoList({pkg("a", "1").prov({"capa"}).req({"capb"}), pkg("b", "1").prov({"capb"})});
    PackageSet newPackages = packageSet({pkg("app", "1").req({"capa"})});
    DependencySet unsatisfied;
    EXPECT_EQ(resolver.closeDependencies(repo, newPackages, unsatisfied, [] { return true; }),
              ClosureResult::INTERRUPTED);
    EXPECT_EQ(labels(newPackages), (std::vector<std::string>{"a-0:1", "app-0:1"}));

    // Nothing to pull: the stop request is never consulted.
    PackageSet complete = packageSet({pkg("x", "1")});
    EXPECT_EQ(resolver.closeDependencies(repo, complete, unsatisfied, [] { return true; }),
              ClosureResult::COMPLETE);
}

TEST(Closure, RunningUpdaterCapability)
{
    const Dependency running("updater-running", Evr(0, "1.4.0", ""), RPMSENSE_EQUAL);
    struct Row
    {
        const char* m_pRequire;
        bool m_bSatisfied;
    };
    const Row rows[] = {
        {"updater-running > 1.4.0", false},  {"updater-running >= 1.2", true},
        {"updater-running", true},           {"updater-running >= 1.4.0", true},
        {"updater-running >= 1.5", false},   {"updater-running < 1.4", false},
        {"updater-running = 1.4.0-3", true}, {"updater-running >= 1:1.0", false},
        {"updater-running <= 1.4.1", true},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.m_pRequire);
        LogCapture log;
        DependencySet unsatisfied = deps({"stale"});
        const PackageSet packages =
            packageSet({pkg("app", "2").req({row.m_pRequire, "updater-runningx > 9", "other"})});
        EXPECT_EQ(running.findUnsatisfied(packages, unsatisfied), row.m_bSatisfied);
        if (row.m_bSatisfied)
        {
            EXPECT_TRUE(unsatisfied.empty());
            EXPECT_EQ(log.text(), "");
        }
        else
        {
            ASSERT_EQ(unsatisfied.size(), 1u);
            EXPECT_EQ(*unsatisfied.begin(), dep(row.m_pRequire));
            EXPECT_EQ(log.text(), "DEBUG: failed satisfy of 'updater-running = 0:1.4.0': " +
                                      dep(row.m_pRequire).toString() + " is needed by app-0:2\n");
        }
    }
    // Several packages: every failing requirement is collected.
    DependencySet unsatisfied;
    EXPECT_FALSE(running.findUnsatisfied(
        packageSet({pkg("a", "1").req({"updater-running > 1.4.0"}),
                    pkg("b", "1").req({"updater-running >= 2", "updater-running"})}),
        unsatisfied));
    EXPECT_EQ(texts(unsatisfied),
              (std::vector<std::string>{"updater-running > 0:1.4.0", "updater-running >= 0:2"}));
}

} // namespace

namespace
{

TEST(Closure, CheckTracesEveryProvideOnceInOrder)
{
    Resolver resolver;
    ASSERT_TRUE(resolver.init(
        installedList({resolver_test::pkg("b", "1").prov({"cap = 1", "zz"}),
                       resolver_test::pkg("a", "1").prov({"cap = 1", "cap = 0.5"})})));
    testing_support::LogCapture log;
    DependencySet unsatisfied;
    EXPECT_TRUE(resolver.checkDependencies({}, unsatisfied));
    EXPECT_EQ(log.text(), "DEBUG: checking dependencies for 0 new packages\n"
                          "TRACE: dep cap = 0:0.5\n"
                          "TRACE: dep cap = 0:1\n"
                          "TRACE: dep zz\n");
}

} // namespace
