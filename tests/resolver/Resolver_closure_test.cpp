#include "resolver/Resolver.h"

#include "ResolverTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <rpm/header.h>
#include <rpm/rpmlib.h>
#include <rpm/rpmmacro.h>
#include <rpm/rpmps.h>
#include <rpm/rpmts.h>

#include <string>
#include <vector>

namespace
{

using namespace resolver_test;
using testing_support::LogCapture;
using testing_support::TempDir;

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
    // lib 2 replaces lib 1 and drops libold; "new" obsoletes gone, which rpm erases with it.
    LogCapture log;
    EXPECT_FALSE(resolver.checkDependencies(
        packageSet({pkg("lib", "2").prov({"lib = 2"}), pkg("new", "1").obs({"gone"})}),
        unsatisfied));
    EXPECT_EQ(texts(unsatisfied), (std::vector<std::string>{"gonecap", "libold"}));
    EXPECT_TRUE(log.contains("DEBUG: gone-0:1 will be erased, obsoleted by new-0:1\n"));
}

TEST(Closure, InstalledPackagesObsoletedByANewPackageLeaveTheFutureSystem)
{
    // foo 2.0 takes over foo-compat; the obsoletes entry must overlap the installed package
    // taken as name = version, as in the selection.
    const struct
    {
        const char* m_pObsoletes;
        const char* m_pCompatVersion;
        std::vector<std::string> m_vUnsatisfied;
    } rows[] = {
        // Erased: its stale requirement on foo = 1.0 no longer counts, but neither does its
        // provide, which user still needs.
        {"foo-compat < 2.0", "1.0", {"compat-cap"}},
        {"foo-compat", "1.0", {"compat-cap"}},
        {"foo-compat <= 1.0-1", "1.0-1", {"compat-cap"}},
        // Not hit: foo-compat stays with its requirements.
        {"foo-compat < 1.0", "1.0", {"foo = 0:1.0"}},
        {"foo-compat > 1.0", "1.0", {"foo = 0:1.0"}},
        {"other", "1.0", {"foo = 0:1.0"}},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.m_pObsoletes);
        Resolver resolver;
        ASSERT_TRUE(resolver.init(installedList(
            {pkg("foo", "1.0").prov({"foo = 1.0"}),
             pkg("foo-compat", row.m_pCompatVersion).prov({"compat-cap"}).req({"foo = 1.0"}),
             pkg("user", "1").req({"compat-cap"})})));
        const bool bErased = row.m_vUnsatisfied.front() == "compat-cap";
        DependencySet unsatisfied;
        LogCapture log;
        EXPECT_FALSE(resolver.checkDependencies(
            packageSet({pkg("foo", "2.0").prov({"foo = 2.0"}).obs({row.m_pObsoletes})}),
            unsatisfied));
        EXPECT_EQ(log.contains("DEBUG: foo-compat-0:" + std::string(row.m_pCompatVersion) +
                               " will be erased, obsoleted by foo-0:2.0\n"),
                  bErased);
        EXPECT_EQ(texts(unsatisfied), row.m_vUnsatisfied);
        // The usual rename: the new package takes over the capability, and the run goes on.
        DependencySet left;
        EXPECT_EQ(
            resolver.checkDependencies(
                packageSet(
                    {pkg("foo", "2.0").prov({"foo = 2.0", "compat-cap"}).obs({row.m_pObsoletes})}),
                left),
            bErased);
    }
}

TEST(Closure, LaterRoundsNameTheFirstObsoletingPackageByName)
{
    // zeta's update erases old; alpha (excluded from the selection, so only pulled) obsoletes
    // it too and, first by name, is the one the later rounds name, as a check of the whole
    // system would. The pulled beta replaces the installed one, which provided what gamma
    // needs.
    Resolver resolver;
    ASSERT_TRUE(resolver.init(
        installedList({pkg("old", "1").prov({"old = 1"}), pkg("zeta", "1"),
                       pkg("beta", "5").prov({"beta-cap"}), pkg("gamma", "1").req({"beta-cap"})})));
    const RepoPackageList repo =
        repoList({pkg("zeta", "2").obs({"old"}).req({"libalpha"}),
                  pkg("alpha", "1").prov({"libalpha"}).obs({"old < 2"}).req({"beta = 3"}),
                  pkg("beta", "3").prov({"beta = 3"})});
    PackageSet newPackages = resolver.selectUpdates(repo, {}, {"alpha"}, {}, {});
    ASSERT_EQ(labels(newPackages), std::vector<std::string>{"zeta-0:2"});
    LogCapture log;
    DependencySet unsatisfied;
    EXPECT_EQ(resolver.closeDependencies(repo, newPackages, unsatisfied, {}),
              ClosureResult::FAILED);
    EXPECT_EQ(labels(newPackages), (std::vector<std::string>{"alpha-0:1", "beta-0:3", "zeta-0:2"}));
    EXPECT_EQ(texts(unsatisfied), std::vector<std::string>{"beta-cap"});
    std::vector<std::string> vChecks;
    for (const std::string& sLine : log.lines())
        if (sLine.find("will be erased") != std::string::npos ||
            sLine.find("failed dep") != std::string::npos)
            vChecks.push_back(sLine);
    EXPECT_EQ(vChecks,
              (std::vector<std::string>{"DEBUG: old-0:1 will be erased, obsoleted by zeta-0:2",
                                        "DEBUG: failed dep: libalpha is needed by zeta-0:2",
                                        "DEBUG: old-0:1 will be erased, obsoleted by alpha-0:1",
                                        "DEBUG: failed dep: beta = 0:3 is needed by alpha-0:1",
                                        "DEBUG: old-0:1 will be erased, obsoleted by alpha-0:1",
                                        "DEBUG: failed dep: beta-cap is needed by gamma-0:1"}));
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
    EXPECT_FALSE(findUnsatisfied(
        dep("updater-running = 1.4.0"),
        packageSet({pkg("x", "1").req({"updater-running < -1:9", "updater-running < ~9"})}),
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
        EXPECT_EQ(findUnsatisfied(running, packages, unsatisfied), row.m_bSatisfied);
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
    EXPECT_FALSE(findUnsatisfied(
        running,
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

namespace
{

// The installed system the rich-dependency tables are evaluated in.
std::vector<Package> richPackages(const char* pRequire)
{
    return {pkg("a", "1-1").prov({"a = 1"}), pkg("b", "2-1").prov({"b = 2"}),
            pkg("combo", "1-1").prov({"x = 1", "y = 1"}), pkg("xonly", "2-1").prov({"x = 2"}),
            pkg("app", "1-1").req({pRequire})};
}

std::unique_ptr<InstalledPackages> richWorld(const char* pRequire)
{
    auto pList = std::make_unique<InstalledPackages>();
    for (const Package& package : richPackages(pRequire))
        pList->insert(package);
    return pList;
}

class RpmConfigEnvironment : public testing::Environment
{
public:
    void SetUp() override { ASSERT_EQ(rpmReadConfigFiles(nullptr, nullptr), 0); }
};
const testing::Environment* const g_pRpmEnvironment =
    testing::AddGlobalTestEnvironment(new RpmConfigEnvironment);

void putDependencies(Header h, rpmTagVal nName, rpmTagVal nFlags, rpmTagVal nVersion,
                     const DependencySet& set)
{
    for (const Dependency& entry : set)
    {
        const uint32_t uFlags = static_cast<uint32_t>(entry.m_nFlags);
        headerPutString(h, nName, entry.m_sName.c_str());
        headerPutUint32(h, nFlags, &uFlags, 1);
        headerPutString(h, nVersion, entry.m_Evr.empty() ? "" : entry.m_Evr.toString().c_str());
    }
}

// rpm's own answer: the packages as the install elements of one transaction over an empty
// database of a temporary folder, and whether rpmtsCheck finds nothing missing.
bool rpmAccepts(const std::vector<Package>& vPackages)
{
    TempDir dir;
    const std::string sDbPath = dir.file("db");
    EXPECT_EQ(testing_support::runShell("rpm --dbpath '" + sDbPath + "' --initdb"), 0);
    rpmPushMacro(nullptr, "_dbpath", nullptr, sDbPath.c_str(), RMIL_CMDLINE);
    rpmts ts = rpmtsCreate();
    for (const Package& package : vPackages)
    {
        Header h = headerNew();
        headerPutString(h, RPMTAG_NAME, package.m_sName.c_str());
        headerPutString(h, RPMTAG_VERSION, package.m_Evr.m_sVersion.c_str());
        headerPutString(h, RPMTAG_RELEASE, package.m_Evr.m_sRelease.c_str());
        headerPutString(h, RPMTAG_ARCH, "noarch");
        headerPutString(h, RPMTAG_OS, "linux");
        // Without a source package name rpm takes a header for a source package.
        headerPutString(h, RPMTAG_SOURCERPM, (package.m_sName.str() + ".src.rpm").c_str());
        DependencySet provides = package.m_setProvides;
        provides.insert(Dependency(package.m_sName, package.m_Evr, RPMSENSE_EQUAL));
        putDependencies(h, RPMTAG_PROVIDENAME, RPMTAG_PROVIDEFLAGS, RPMTAG_PROVIDEVERSION,
                        provides);
        putDependencies(h, RPMTAG_REQUIRENAME, RPMTAG_REQUIREFLAGS, RPMTAG_REQUIREVERSION,
                        package.m_setRequires);
        EXPECT_EQ(rpmtsAddInstallElement(ts, h, nullptr, 0, nullptr), 0);
        headerFree(h);
    }
    EXPECT_EQ(rpmtsCheck(ts), 0);
    rpmps problems = rpmtsProblems(ts);
    const bool bAccepted = rpmpsNumProblems(problems) == 0;
    rpmpsFree(problems);
    rpmtsFree(ts);
    rpmPopMacro(nullptr, "_dbpath");
    return bAccepted;
}

} // namespace

TEST(Closure, RichRequirementsHoldAsRpmEvaluatesThem)
{
    // c, d and z are provided by nothing.
    const struct
    {
        const char* m_pRequire;
        bool m_bHolds;
    } rows[] = {
        {"(a or c)", true},
        {"(c or d)", false},
        {"(c or d or b)", true},
        {"(a and b)", true},
        {"(a and c)", false},
        {"(a >= 2 or b >= 2)", true},
        {"(a >= 2 or b > 2)", false},
        {"(a = 1-5 and b < 3)", true},
        {"(c if d)", true},
        {"(c if a)", false},
        {"(a if c)", true},
        {"(c if a else b)", false},
        {"(a if b else c)", true},
        {"(c if d else b)", true},
        {"(c if d else z)", false},
        // A bare "unless" holds as rpm 4.18 evaluates it: the first side and not the second.
        {"(c unless a)", false},
        {"(a unless b)", false},
        {"(c unless d)", false},
        {"(a unless d)", true},
        {"(c or (a unless d))", true},
        {"(c or (a unless b))", false},
        {"(c unless a else b)", true},
        {"(c unless a else d)", false},
        {"(b unless d else c)", true},
        {"(x with y)", true},
        {"(x = 2 with y)", false},
        {"(x with y with x = 1)", true},
        {"(x without y)", true},
        {"(x = 1 without y)", false},
        {"(y without x)", false},
        {"(x with (y or c))", true},
        {"(x = 2 with (y or c))", false},
        {"(x without (y without c))", true},
        {"(a and (c or (b and (x with y))))", true},
        {"(a and (c or (d and b)))", false},
        {"((a or c) if (b and (x without y)) else z)", true},
        {"((a))", true},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.m_pRequire);
        Resolver resolver;
        ASSERT_TRUE(resolver.init(richWorld(row.m_pRequire)));
        DependencySet unsatisfied;
        LogCapture log;
        EXPECT_EQ(resolver.checkDependencies({}, unsatisfied), row.m_bHolds);
        if (!row.m_bHolds)
        {
            EXPECT_EQ(texts(unsatisfied), std::vector<std::string>{row.m_pRequire});
            EXPECT_TRUE(log.contains("DEBUG: failed dep: " + std::string(row.m_pRequire) +
                                     " is needed by app-0:1-1\n"));
        }
        EXPECT_EQ(rpmAccepts(richPackages(row.m_pRequire)), row.m_bHolds) << "rpm disagrees";
    }

    // File lists are not read: a path nothing provides counts as present, as plain file
    // requirements are assumed satisfied in the end (rpm, which reads file lists, decides).
    for (const auto& [pRequire, bHolds] :
         {std::pair{"(/bin/sh or c)", true}, std::pair{"(c if /bin/sh)", false}})
    {
        SCOPED_TRACE(pRequire);
        Resolver resolver;
        ASSERT_TRUE(resolver.init(richWorld(pRequire)));
        DependencySet unsatisfied;
        EXPECT_EQ(resolver.checkDependencies({}, unsatisfied), bHolds);
    }

    // The future system counts: a new b 3 replaces b 2, and a new package provides c.
    Resolver resolver;
    ASSERT_TRUE(resolver.init(richWorld("(b >= 3 and (c if a))")));
    DependencySet unsatisfied;
    EXPECT_FALSE(
        resolver.checkDependencies(packageSet({pkg("b", "3").prov({"b = 3"})}), unsatisfied));
    EXPECT_TRUE(resolver.checkDependencies(
        packageSet({pkg("b", "3").prov({"b = 3"}), pkg("cpkg", "1").prov({"c"})}), unsatisfied));
    // A text librpm cannot parse is never satisfied.
    Resolver broken;
    ASSERT_TRUE(broken.init(richWorld("(a or b and c)")));
    EXPECT_FALSE(broken.checkDependencies({}, unsatisfied));
}

TEST(Closure, RichRequirementsPullTheFirstAlternativeTheRepositoryCanMeet)
{
    // The installed app requires the expression; a and cond are installed.
    const RepoPackageList repo = repoList({
        pkg("liba", "1").prov({"liba = 1"}),
        pkg("liba", "2").prov({"liba = 2"}),
        pkg("libb", "1").prov({"libb = 1"}),
        pkg("libc", "1").prov({"libc"}),
        pkg("other", "1").prov({"other"}),
        pkg("xonly", "1").prov({"x"}),
        pkg("xy", "1").prov({"x", "y"}),
        pkg("zz-cond", "1").prov({"cond2"}),
    });
    const struct
    {
        const char* m_pRequire;
        std::vector<std::string> m_vPulled;
        ClosureResult m_result;
    } rows[] = {
        {"(liba or libb)", {"liba-0:2"}, ClosureResult::COMPLETE},
        {"(libb or liba)", {"libb-0:1"}, ClosureResult::COMPLETE},
        {"(nothing or libb)", {"libb-0:1"}, ClosureResult::COMPLETE},
        {"(liba >= 3 or libb)", {"libb-0:1"}, ClosureResult::COMPLETE},
        // Only the best record of a name is a candidate, as for plain requirements.
        {"(liba < 2 or libb)", {"libb-0:1"}, ClosureResult::COMPLETE},
        {"(liba and libb)", {"liba-0:2", "libb-0:1"}, ClosureResult::COMPLETE},
        {"(a and libb)", {"libb-0:1"}, ClosureResult::COMPLETE},
        {"(nothing or (libc and (libb or liba)))",
         {"libb-0:1", "libc-0:1"},
         ClosureResult::COMPLETE},
        // Conditions are tested, never pulled.
        {"(liba if cond)", {"liba-0:2"}, ClosureResult::COMPLETE},
        {"(liba if cond2)", {}, ClosureResult::COMPLETE},
        {"(liba unless cond2)", {"liba-0:2"}, ClosureResult::COMPLETE},
        {"(liba unless cond)", {}, ClosureResult::FAILED},
        {"(liba if cond2 else libb)", {"libb-0:1"}, ClosureResult::COMPLETE},
        {"(liba unless cond else libb)", {"libb-0:1"}, ClosureResult::COMPLETE},
        {"(x with y)", {"xy-0:1"}, ClosureResult::COMPLETE},
        {"(x without y)", {"xonly-0:1"}, ClosureResult::COMPLETE},
        // Nothing is pulled for a requirement the repository cannot meet as a whole.
        {"(nothing or nowhere)", {}, ClosureResult::FAILED},
        {"(liba and nowhere)", {}, ClosureResult::FAILED},
        {"(nowhere if cond)", {}, ClosureResult::FAILED},
        {"(y without x)", {}, ClosureResult::FAILED},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.m_pRequire);
        std::vector<Package> vSystem = {pkg("a", "1").prov({"a"}), pkg("c", "1").prov({"cond"}),
                                        pkg("app", "1").req({row.m_pRequire})};
        auto pInstalled = std::make_unique<InstalledPackages>(vSystem.begin(), vSystem.end());
        Resolver resolver;
        ASSERT_TRUE(resolver.init(std::move(pInstalled)));
        PackageSet newPackages;
        DependencySet unsatisfied;
        LogCapture log;
        EXPECT_EQ(resolver.closeDependencies(repo, newPackages, unsatisfied, {}), row.m_result);
        EXPECT_EQ(labels(newPackages), row.m_vPulled);
        // rpm accepts the system the closure completed, and refuses the one it gave up on.
        vSystem.insert(vSystem.end(), newPackages.begin(), newPackages.end());
        EXPECT_EQ(rpmAccepts(vSystem), row.m_result == ClosureResult::COMPLETE) << "rpm disagrees";
        if (row.m_result == ClosureResult::FAILED)
        {
            EXPECT_EQ(texts(unsatisfied), std::vector<std::string>{row.m_pRequire});
        }
        else if (!row.m_vPulled.empty())
        {
            EXPECT_TRUE(log.contains("DEBUG: pulling package " + row.m_vPulled.front() +
                                     " to satisfy '" + row.m_pRequire + "'\n"))
                << log.text();
        }
    }
}
