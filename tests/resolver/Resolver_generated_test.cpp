#include "resolver/Resolver.h"

#include "ResolverTestSupport.h"
#include "TestSupport.h"
#include "base/Logger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace
{

using namespace resolver_test;

// A small deterministic generator, so every platform builds the same lists.
class Random
{
public:
    explicit Random(uint64_t uSeed) : m_uState(uSeed) {}
    unsigned below(unsigned uLimit)
    {
        m_uState = m_uState * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<unsigned>((m_uState >> 33) % uLimit);
    }
    bool chance(unsigned uPercent) { return below(100) < uPercent; }

private:
    uint64_t m_uState;
};

std::string nameOf(unsigned u)
{
    return "pkg" + std::to_string(u);
}

struct Generated
{
    RepoPackageList m_repo;
    InstalledPackages m_installed;
};

// Every name n provides "capn = 5"; requirements point at those capabilities, so they can be
// met by pulling the providing name. bBroken adds requirements nobody can meet; bRich adds
// rich requirements and obsoletes of installed names.
Generated generate(unsigned uNames, uint64_t uSeed, bool bBroken, bool bRich = false)
{
    Random random(uSeed);
    Generated generated;
    const auto fill = [&](Package& package, unsigned uName)
    {
        package.m_setProvides.insert(Dependency(package.m_sName, package.m_Evr, RPMSENSE_EQUAL));
        package.m_setProvides.insert(dep("cap" + std::to_string(uName) + " = 5"));
        for (int i = 0; i < 2; ++i)
            package.m_setProvides.insert(dep("cap" + std::to_string(random.below(uNames)) + " = " +
                                             std::to_string(1 + random.below(5))));
        for (int i = 0; i < 3; ++i)
        {
            const std::string sCap = "cap" + std::to_string(random.below(uNames));
            switch (random.below(4))
            {
            case 0:
                package.m_setRequires.insert(dep(sCap));
                break;
            case 1:
                package.m_setRequires.insert(
                    dep(sCap + " >= " + std::to_string(1 + random.below(5))));
                break;
            case 2:
                package.m_setRequires.insert(dep(sCap + " > 0:1-1"));
                break;
            default:
                package.m_setRequires.insert(dep(sCap + " <= 5"));
                break;
            }
        }
        if (random.chance(3))
            package.m_setRequires.insert(dep("/bin/sh"));
        if (bBroken && random.chance(1))
            package.m_setRequires.insert(dep("nocap" + std::to_string(random.below(10)) + " >= 1"));
        if (bRich && random.chance(5))
        {
            const std::string sA = "cap" + std::to_string(random.below(uNames));
            const std::string sB = "cap" + std::to_string(random.below(uNames));
            const char* pOp = random.chance(50) ? " unless " : " or ";
            package.m_setRequires.insert(dep("(" + sA + " >= 4" + pOp + sB + ")"));
        }
        if (bRich && random.chance(4))
            package.m_setObsoletes.insert(
                dep(nameOf(random.below(uNames)) + " < 1." + std::to_string(random.below(10))));
    };

    for (unsigned u = 0; u < uNames; ++u)
    {
        const unsigned uRecords = 1 + random.below(3);
        unsigned uBestMinor = 0;
        for (unsigned r = 0; r < uRecords; ++r)
        {
            const unsigned uMinor = 1 + random.below(9);
            uBestMinor = std::max(uBestMinor, uMinor);
            RepoPackage package(nameOf(u));
            package.m_Evr =
                Evr(0, "1." + std::to_string(uMinor), std::to_string(1 + random.below(2)));
            fill(package, u);
            generated.m_repo.insert(package);
        }
        // Half the names are installed; the installed version may be older, equal or newer.
        if (random.chance(50))
        {
            Package installed(nameOf(u));
            const unsigned uKind = random.below(10);
            const unsigned uMinor = uKind < 7   ? (uBestMinor > 1 ? uBestMinor - 1 : 0)
                                    : uKind < 9 ? uBestMinor
                                                : 10;
            installed.m_Evr = Evr(0, "1." + std::to_string(uMinor), "1");
            fill(installed, u);
            generated.m_installed.insert(installed);
        }
    }
    return generated;
}

// The expected outcome, computed with plain maps and scans.
struct Expected
{
    std::map<std::string, Evr> m_newPackages;
    std::set<std::string> m_unsatisfied;
    bool m_bComplete = false;
    unsigned m_uRounds = 0;
};

const RepoPackage& bestOf(const std::vector<const RepoPackage*>& vRecords)
{
    const RepoPackage* pBest = vRecords.front();
    for (const RepoPackage* pRecord : vRecords)
        if (pRecord->m_Evr.compare(pBest->m_Evr) > 0)
            pBest = pRecord;
    return *pBest;
}

Expected computeIndependently(const Generated& generated)
{
    std::map<std::string, std::vector<const RepoPackage*>> mapRepo;
    for (const RepoPackage& package : generated.m_repo)
        mapRepo[package.m_sName.str()].push_back(&package);
    std::map<std::string, std::vector<const Package*>> mapInstalled;
    for (const Package& package : generated.m_installed)
        mapInstalled[package.m_sName.str()].push_back(&package);

    std::map<std::string, const RepoPackage*> mapNew;
    for (const auto& [sName, vRecords] : mapRepo)
    {
        const RepoPackage& best = bestOf(vRecords);
        auto installed = mapInstalled.find(sName);
        if (installed == mapInstalled.end())
            continue;
        bool bNewer = true;
        for (const Package* pInstalled : installed->second)
            bNewer = bNewer && best.m_Evr.compare(pInstalled->m_Evr) > 0;
        if (bNewer)
            mapNew[sName] = &best;
    }

    Expected expected;
    for (;;)
    {
        ++expected.m_uRounds;
        std::vector<const Package*> vSystem;
        for (const Package& package : generated.m_installed)
            if (!mapNew.contains(package.m_sName.str()))
                vSystem.push_back(&package);
        for (const auto& entry : mapNew)
            vSystem.push_back(entry.second);
        std::map<std::string, std::vector<const Dependency*>> mapProvides;
        for (const Package* pPackage : vSystem)
            for (const Dependency& provide : pPackage->m_setProvides)
                mapProvides[provide.m_sName.str()].push_back(&provide);
        std::map<std::string, std::vector<Dependency>> mapMissing;
        for (const Package* pPackage : vSystem)
            for (const Dependency& require : pPackage->m_setRequires)
            {
                bool bFound = false;
                for (const Dependency* pProvide : mapProvides[require.m_sName.str()])
                    bFound = bFound || pProvide->overlaps(require);
                if (!bFound)
                    mapMissing[require.m_sName.str()].push_back(require);
            }
        if (mapMissing.empty())
        {
            expected.m_bComplete = true;
            break;
        }

        // Repository names in order: a name not yet new is pulled when one of its best
        // record's provides meets a requirement still missing, which it then removes.
        bool bPulled = false;
        for (const auto& [sName, vRecords] : mapRepo)
        {
            if (mapNew.contains(sName))
                continue;
            const RepoPackage& best = bestOf(vRecords);
            bool bPull = false;
            for (const Dependency& provide : best.m_setProvides)
            {
                auto missing = mapMissing.find(provide.m_sName.str());
                if (missing == mapMissing.end())
                    continue;
                std::vector<Dependency> vLeft;
                for (const Dependency& require : missing->second)
                {
                    if (provide.overlaps(require))
                        bPull = true;
                    else
                        vLeft.push_back(require);
                }
                if (vLeft.empty())
                    mapMissing.erase(missing);
                else
                    missing->second = vLeft;
            }
            if (bPull)
            {
                mapNew[sName] = &best;
                bPulled = true;
            }
        }
        if (!bPulled)
        {
            bool bOnlyFiles = true;
            for (const auto& [sName, vEntries] : mapMissing)
            {
                bOnlyFiles = bOnlyFiles && sName.starts_with("/");
                for (const Dependency& entry : vEntries)
                    expected.m_unsatisfied.insert(entry.toString());
            }
            expected.m_bComplete = bOnlyFiles;
            break;
        }
    }
    for (const auto& [sName, pPackage] : mapNew)
        expected.m_newPackages.emplace(sName, pPackage->m_Evr);
    return expected;
}

void checkAgainstIndependentResult(uint64_t uSeed, bool bBroken)
{
    const Generated generated = generate(3000, uSeed, bBroken);
    const Expected expected = computeIndependently(generated);

    Resolver resolver;
    ASSERT_TRUE(resolver.init(std::make_unique<InstalledPackages>(generated.m_installed)));
    PackageSet newPackages = resolver.selectUpdates(generated.m_repo, {}, {}, {}, {});
    const size_t nSelected = newPackages.size();
    DependencySet unsatisfied;
    unsigned uRounds = 0;
    const ClosureResult result =
        resolver.closeDependencies(generated.m_repo, newPackages, unsatisfied,
                                   [&]
                                   {
                                       ++uRounds;
                                       return false;
                                   });

    std::map<std::string, Evr> mapActual;
    for (const RepoPackage& package : newPackages)
        mapActual.emplace(package.m_sName, package.m_Evr);
    EXPECT_EQ(mapActual, expected.m_newPackages);
    EXPECT_EQ(result == ClosureResult::COMPLETE, expected.m_bComplete);
    if (!expected.m_bComplete)
    {
        std::set<std::string> setActual;
        for (const Dependency& entry : unsatisfied)
            setActual.insert(entry.toString());
        EXPECT_EQ(setActual, expected.m_unsatisfied);
    }
    // The case must exercise the closure, not just the selection.
    EXPECT_GT(nSelected, 500u);
    EXPECT_GT(newPackages.size(), nSelected + 100);
    EXPECT_GE(expected.m_uRounds, 3u);
    EXPECT_EQ(uRounds + 1, expected.m_uRounds);
}

TEST(GeneratedLists, ClosureMatchesAnIndependentComputation)
{
    checkAgainstIndependentResult(1, false);
    checkAgainstIndependentResult(2, false);
}

TEST(GeneratedLists, FailedClosureReportsTheSameRequirements)
{
    checkAgainstIndependentResult(3, true);
}

// Log lines followed by the outcome of a closure.
std::vector<std::string> withOutcome(std::vector<std::string> vLines, bool bComplete,
                                     const PackageSet& newPackages,
                                     const DependencySet& unsatisfied)
{
    vLines.push_back(bComplete ? "complete" : "failed");
    for (const std::string& sLabel : labels(newPackages))
        vLines.push_back(sLabel);
    for (const std::string& sEntry : texts(unsatisfied))
        vLines.push_back(sEntry);
    return vLines;
}

// The closure's messages below the trace level, written at that level and at debug level
// (where the rounds after the first take shortcuts that trace lines would show).
std::vector<std::string> closureMessages(const Generated& generated, int nLevel)
{
    Resolver resolver;
    EXPECT_TRUE(resolver.init(std::make_unique<InstalledPackages>(generated.m_installed)));
    PackageSet newPackages = resolver.selectUpdates(generated.m_repo, {}, {}, {}, {});
    testing_support::LogCapture log;
    logger().setLevel(nLevel);
    DependencySet unsatisfied;
    const ClosureResult result =
        resolver.closeDependencies(generated.m_repo, newPackages, unsatisfied, {});
    std::vector<std::string> vLines;
    for (const std::string& sLine : log.lines())
        if (!sLine.starts_with("TRACE:"))
            vLines.push_back(sLine);
    return withOutcome(vLines, result == ClosureResult::COMPLETE, newPackages, unsatisfied);
}

// The closure as a check of the whole system and a walk of the whole list in each round.
std::vector<std::string> roundByRoundMessages(const Generated& generated)
{
    Resolver resolver;
    EXPECT_TRUE(resolver.init(std::make_unique<InstalledPackages>(generated.m_installed)));
    PackageSet newPackages = resolver.selectUpdates(generated.m_repo, {}, {}, {}, {});
    testing_support::LogCapture log;
    logger().setLevel(DEBUG);
    DependencySet unsatisfied;
    bool bComplete = true;
    while (!resolver.checkDependencies(newPackages, unsatisfied))
    {
        if (resolver.pullDependencies(generated.m_repo, unsatisfied, newPackages))
            continue;
        bComplete = allFileRequires(unsatisfied);
        if (bComplete)
            logMessage(DEBUG,
                       "only file dependencies are left unsatisfied, assuming all are satisfied");
        break;
    }
    return withOutcome(log.lines(), bComplete, newPackages, unsatisfied);
}

TEST(GeneratedLists, LaterRoundsReportWhatAWholeCheckWould)
{
    for (const auto& [uSeed, bBroken] :
         {std::pair{6u, false}, std::pair{7u, true}, std::pair{8u, false}})
    {
        const Generated generated = generate(1500, uSeed, bBroken, true);
        const std::vector<std::string> vExpected = roundByRoundMessages(generated);
        const auto count = [&](const char* pNeedle)
        {
            return std::count_if(vExpected.begin(), vExpected.end(),
                                 [&](const std::string& sLine)
                                 { return sLine.find(pNeedle) != std::string::npos; });
        };
        // The case must have packages leave the system and several rounds.
        EXPECT_GT(count("will be erased"), 10) << "seed " << uSeed;
        EXPECT_GE(count("checking dependencies for"), 3) << "seed " << uSeed;
        EXPECT_EQ(closureMessages(generated, DEBUG), vExpected) << "seed " << uSeed;
    }
}

TEST(GeneratedLists, DebugMessagesAndOutcomeDoNotDependOnTheTraceLevel)
{
    for (const auto& [uSeed, bBroken] : {std::pair{4u, false}, std::pair{5u, true}})
    {
        const Generated generated = generate(1500, uSeed, bBroken);
        const std::vector<std::string> vDebug = closureMessages(generated, DEBUG);
        EXPECT_GT(vDebug.size(), 1000u);
        EXPECT_EQ(vDebug, closureMessages(generated, TRACE)) << "seed " << uSeed;
    }
}

} // namespace
