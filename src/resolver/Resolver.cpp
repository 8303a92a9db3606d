#include "resolver/Resolver.h"

#include "base/Logger.h"
#include "config/UpdaterConfig.h"
#include "resolver/DependencyCheck.h"
#include "resolver/FutureSystem.h"
#include "resolver/ProvideIndex.h"
#include "rpmdb/RpmDB.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>
#include <vector>

namespace
{

// Meets unsatisfied rich requirements by pulling repository packages, one requirement at a
// time, against the future system as the dependency check saw it plus the packages pulled
// since. Where the requirement offers alternatives, the first one in the text's order that
// can be met is taken; conditions are tested, never pulled to make a requirement apply.
// Each pull is the best record of the first name group, in list order, that is not yet
// among the new packages and meets the missing part.
class RichPull : public RichContext
{
public:
    // vBest: the best record of each name group of the repository list, in list order.
    RichPull(const FutureSystem& future, const std::vector<const RepoPackage*>& vBest,
             PackageSet& newPackages, std::vector<const Package*>& vPulled)
        : m_future(future), m_newPackages(newPackages), m_vPulled(vPulled), m_vBest(vBest)
    {
    }

    bool provides(const Dependency& leaf) const override
    {
        return m_future.provides(leaf) || std::any_of(m_vPulled.begin(), m_vPulled.end(),
                                                      [&](const Package* pPackage)
                                                      { return packageProvides(*pPackage, leaf); });
    }
    void appendProviders(const Dependency& leaf,
                         std::vector<const Package*>& vPackages) const override
    {
        m_future.appendProviders(leaf, vPackages);
        for (const Package* pPackage : m_vPulled)
            if (packageProvides(*pPackage, leaf))
                vPackages.push_back(pPackage);
    }

    // Pulls what the requirement needs; true when it holds afterwards. Nothing is pulled
    // when the repository cannot meet it as a whole.
    bool meet(const Dependency& require, const RichDependency& rich)
    {
        if (!canMeet(rich, rich.rootIndex()))
            return false;
        meetNode(require, rich, rich.rootIndex());
        return richHolds(rich, rich.rootIndex(), *this);
    }

    unsigned pulled() const { return m_uPulled; }

private:
    // The first candidate that meets the node alone (a leaf, or a "with"/"without" node).
    const RepoPackage* candidate(const RichDependency& rich, uint32_t uNode) const
    {
        for (const RepoPackage* pRecord : m_vBest)
            if (!m_newPackages.contains(pRecord->m_sName) &&
                richPackageMatches(rich, uNode, *pRecord))
                return pRecord;
        return nullptr;
    }

    // Whether the node holds, or pulls can make it hold.
    bool canMeet(const RichDependency& rich, uint32_t uNode) const
    {
        if (richHolds(rich, uNode, *this))
            return true;
        const RichDependency::Node& node = rich.node(uNode);
        switch (node.m_op)
        {
        case RichDependency::Op::AND:
            return std::all_of(node.m_vOperands.begin(), node.m_vOperands.end(),
                               [&](uint32_t u) { return canMeet(rich, u); });
        case RichDependency::Op::OR:
            return std::any_of(node.m_vOperands.begin(), node.m_vOperands.end(),
                               [&](uint32_t u) { return canMeet(rich, u); });
        case RichDependency::Op::IF:
        case RichDependency::Op::UNLESS:
        {
            const std::optional<uint32_t> branch = neededBranch(rich, node);
            return branch && canMeet(rich, *branch);
        }
        default:
            return candidate(rich, uNode) != nullptr;
        }
    }

    // The side of a condition that must hold, as the condition stands now.
    std::optional<uint32_t> neededBranch(const RichDependency& rich,
                                         const RichDependency::Node& node) const
    {
        const bool bCondition = richHolds(rich, node.m_vOperands[1], *this);
        const bool bConsequence = node.m_op == RichDependency::Op::IF ? bCondition : !bCondition;
        if (bConsequence)
            return node.m_vOperands[0];
        if (node.m_vOperands.size() > 2)
            return node.m_vOperands[2];
        return std::nullopt;
    }

    void meetNode(const Dependency& require, const RichDependency& rich, uint32_t uNode)
    {
        if (richHolds(rich, uNode, *this))
            return;
        const RichDependency::Node& node = rich.node(uNode);
        switch (node.m_op)
        {
        case RichDependency::Op::AND:
            for (uint32_t uOperand : node.m_vOperands)
                meetNode(require, rich, uOperand);
            return;
        case RichDependency::Op::OR:
            for (uint32_t uOperand : node.m_vOperands)
            {
                if (canMeet(rich, uOperand))
                {
                    meetNode(require, rich, uOperand);
                    return;
                }
            }
            return;
        case RichDependency::Op::IF:
        case RichDependency::Op::UNLESS:
            if (const std::optional<uint32_t> branch = neededBranch(rich, node))
                meetNode(require, rich, *branch);
            return;
        default:
            if (const RepoPackage* pRecord = candidate(rich, uNode))
                pull(require, *pRecord);
            return;
        }
    }

    void pull(const Dependency& require, const RepoPackage& record)
    {
        logMessage(DEBUG, "pulling package %s to satisfy '%s'", record.label().c_str(),
                   require.toString().c_str());
        auto [it, bInserted] = m_newPackages.insert(record);
        if (bInserted)
            m_vPulled.push_back(&*it);
        ++m_uPulled;
    }

    const FutureSystem& m_future;
    PackageSet& m_newPackages;
    std::vector<const Package*>& m_vPulled;
    const std::vector<const RepoPackage*>& m_vBest;
    unsigned m_uPulled = 0;
};

// A concrete package as the examined side of an overlap test.
Dependency asDependency(const Package& package)
{
    return Dependency(package.m_sName, package.m_Evr, RPMSENSE_EQUAL);
}

} // namespace

bool Resolver::init(const UpdaterConfig& config)
{
    if (m_pInstalled)
    {
        logMessage(ERROR, "attempted to reinitilize a resolver");
        return false;
    }
    RpmDB db;
    if (!db.open(!config.m_bCheckDbHeaders))
    {
        logMessage(ERROR, "failed opening rpm database");
        return false;
    }
    std::unique_ptr<InstalledPackages> pInstalled = db.readInstalled();
    db.close();
    if (!pInstalled)
    {
        logMessage(ERROR, "failed getting list of installed packages");
        return false;
    }
    m_pInstalled = std::move(pInstalled);
    return true;
}

bool Resolver::init(std::unique_ptr<InstalledPackages> pInstalled)
{
    if (m_pInstalled)
    {
        logMessage(ERROR, "attempted to reinitilize a resolver");
        return false;
    }
    assert(pInstalled);
    m_pInstalled = std::move(pInstalled);
    return m_pInstalled != nullptr;
}

PackageSet Resolver::selectUpdates(const RepoPackageList& repoPackages, const NameSet& includeNames,
                                   const NameSet& excludeNames, const NameSet& excludeGroups,
                                   const NameSet& pullNames) const
{
    assert(m_pInstalled);
    logMessage(DEBUG, "resolving for newer packages");
    PackageSet result;
    if (!m_pInstalled)
        return result;
    NameSet obsoletedNames;
    const bool bTrace = logEnabled(TRACE);

    for (auto group = repoPackages.begin(); group != repoPackages.end();)
    {
        const auto groupLast = groupEnd(group, repoPackages.end());
        const auto best =
            bestOfGroup(group, groupLast,
                        [bTrace](auto dropped, auto kept, bool bReplaced)
                        {
                            if (!bTrace)
                                return;
                            if (bReplaced)
                                logMessage(TRACE, "dropping update %s for newer %s",
                                           dropped->label().c_str(), kept->label().c_str());
                            else
                                logMessage(TRACE, "dropping update %s, has newer %s",
                                           dropped->label().c_str(), kept->label().c_str());
                        });
        group = groupLast;
        const RepoPackage& candidate = *best;

        if (bTrace)
            logMessage(TRACE, "checking update %s (group %s)", candidate.label().c_str(),
                       candidate.m_sGroup.c_str());

        if (!includeNames.empty() && !includeNames.contains(candidate.m_sName))
        {
            logMessage(TRACE, "skipping package not in include set");
            continue;
        }

        if (excludeNames.contains(candidate.m_sName) ||
            excludeGroups.contains(candidate.m_sGroup) ||
            obsoletedNames.contains(candidate.m_sName))
        {
            logMessage(TRACE, "skipping package in exclude set");
            for (const Dependency& obsolete : candidate.m_setObsoletes)
            {
                logMessage(TRACE, "adding %s to exclude set, obsoleted by excluded package",
                           obsolete.m_sName.c_str());
                obsoletedNames.insert(obsolete.m_sName.str());
                auto it = result.find(obsolete.m_sName);
                if (it != result.end())
                    result.erase(it);
            }
            continue;
        }

        auto [installedFirst, installedLast] = m_pInstalled->equal_range(candidate.m_sName);
        if (installedFirst == installedLast)
        {
            if (pullNames.contains(candidate.m_sName))
                logMessage(DEBUG, "considering %s as newer because in pull set",
                           candidate.label().c_str());
            else if (!obsoletesInstalled(candidate))
                continue;
        }
        else
        {
            bool bNewer = true;
            for (auto it = installedFirst; it != installedLast; ++it)
            {
                if (bTrace)
                    logMessage(TRACE, "checking installed %s", it->label().c_str());
                if (it->m_Evr.compare(candidate.m_Evr) >= 0)
                {
                    bNewer = false;
                    break;
                }
            }
            if (!bNewer)
                continue;
        }

        auto [it, bInserted] = result.insert(candidate);
        if (bInserted)
            logMessage(DEBUG, "found newer package %s", candidate.label().c_str());
        else
            logMessage(ERROR, "internal error: failed including package %s, already have %s",
                       candidate.label().c_str(), it->label().c_str());
    }

    // Obsoletes among the new packages; a package removed here is no longer visited.
    for (auto package = result.begin(); package != result.end(); ++package)
    {
        if (package->m_setObsoletes.empty())
            continue;
        if (bTrace)
            logMessage(TRACE, "checking if %s obsoletes any new packages",
                       package->label().c_str());
        for (const Dependency& obsolete : package->m_setObsoletes)
        {
            if (bTrace)
                logMessage(TRACE, "checking obsoletes '%s'", obsolete.toString().c_str());
            auto victim = result.find(obsolete.m_sName);
            if (victim == result.end() || victim == package ||
                !obsolete.overlaps(asDependency(*victim)))
                continue;
            logMessage(DEBUG, "removing %s from new packages, obsoleted by %s",
                       victim->label().c_str(), package->label().c_str());
            result.erase(victim);
        }
    }

    logMessage(DEBUG, "done resolving for newer packages");
    return result;
}

bool Resolver::obsoletesInstalled(const Package& package) const
{
    assert(m_pInstalled);
    if (package.m_setObsoletes.empty() || !m_pInstalled)
        return false;
    for (const Dependency& obsolete : package.m_setObsoletes)
    {
        if (logEnabled(TRACE))
            logMessage(TRACE, "checking obsoletes '%s'", obsolete.toString().c_str());
        auto [first, last] = m_pInstalled->equal_range(obsolete.m_sName);
        for (auto it = first; it != last; ++it)
        {
            if (obsolete.overlaps(asDependency(*it)))
            {
                logMessage(DEBUG, "considering %s newer than %s due to obsoletes",
                           package.label().c_str(), it->label().c_str());
                return true;
            }
        }
    }
    return false;
}

bool Resolver::checkDependencies(const PackageSet& newPackages, DependencySet& unsatisfied) const
{
    assert(m_pInstalled);
    DependencyCheck check(m_pInstalled.get());
    return check.check(newPackages, unsatisfied);
}

bool Resolver::pullDependencies(const RepoPackageList& repoPackages, DependencySet& unsatisfied,
                                PackageSet& newPackages) const
{
    std::vector<const Package*> vPulled;
    return pull(repoPackages, nullptr, unsatisfied, newPackages, vPulled);
}

bool Resolver::pull(const RepoPackageList& repoPackages, const ProvideIndex* pIndex,
                    DependencySet& unsatisfied, PackageSet& newPackages,
                    std::vector<const Package*>& vPulled) const
{
    logMessage(DEBUG, "resolving dependencies");
    unsigned uPulled = 0;
    const bool bTrace = logEnabled(TRACE);
    const bool bDebug = logEnabled(DEBUG);
    // Satisfied entries are marked during the walk and taken out at its end, at once.
    std::vector<bool> vSatisfied(unsatisfied.size(), false);
    size_t uSatisfied = 0;
    // Rich entries are met after the walk, against the system the check saw (taken before
    // anything is pulled) and the packages pulled since.
    const bool bRich = std::any_of(unsatisfied.begin(), unsatisfied.end(),
                                   [](const Dependency& entry) { return entry.isRich(); });
    std::optional<FutureSystem> future;
    if (bRich)
        future.emplace(m_pInstalled.get(), newPackages, false);

    // Pulls the best record of a group when one of its provides meets an entry still missing.
    const auto offer = [&](const RepoPackage& best)
    {
        for (const Dependency& provide : best.m_setProvides)
        {
            if (bTrace)
                logMessage(TRACE, "check prov %s", provide.toString().c_str());
            bool bFirst = true;
            for (auto it = firstNamed(unsatisfied, provide.m_sName);
                 it != unsatisfied.end() && it->m_sName == provide.m_sName; ++it)
            {
                const size_t uIndex = static_cast<size_t>(it - unsatisfied.begin());
                if (vSatisfied[uIndex])
                    continue;
                if (bDebug)
                    logMessage(DEBUG, "checking provide %s", provide.toString().c_str());
                if (!provide.overlaps(*it))
                    continue;
                if (bFirst)
                {
                    if (bDebug)
                        logMessage(DEBUG, "pulling package %s to satisfy '%s'",
                                   best.label().c_str(), it->toString().c_str());
                    auto [inserted, bInserted] = newPackages.insert(best);
                    if (bInserted)
                        vPulled.push_back(&*inserted);
                    ++uPulled;
                    bFirst = false;
                }
                if (bDebug)
                    logMessage(DEBUG, "removing require '%s', provided by pulled package",
                               it->toString().c_str());
                vSatisfied[uIndex] = true;
                ++uSatisfied;
            }
        }
    };

    if (pIndex && !bTrace)
    {
        // Only the groups that provide a missing name can do anything, in list order as the
        // walk meets them; a group's own name is not among the new packages before its visit.
        for (uint32_t uGroup : pIndex->candidates(unsatisfied, vSatisfied))
        {
            const RepoPackage& best = *pIndex->best()[uGroup];
            if (!newPackages.contains(best.m_sName))
                offer(best);
        }
    }
    else
    {
        for (auto record = repoPackages.begin(); record != repoPackages.end();)
        {
            if (newPackages.contains(record->m_sName))
            {
                if (bTrace)
                    logMessage(TRACE, "package %s already in", record->label().c_str());
                ++record;
                continue;
            }
            if (bTrace)
                logMessage(TRACE, "checking package %s", record->label().c_str());
            const auto groupLast = groupEnd(record, repoPackages.end());
            const auto best = bestOfGroup(record, groupLast);
            record = groupLast;
            if (bTrace)
                logMessage(TRACE, "found %s as best", best->label().c_str());
            offer(*best);
        }
    }
    if (future)
    {
        std::vector<const RepoPackage*> vBest;
        if (!pIndex)
            vBest = ProvideIndex::bestOfGroups(repoPackages);
        RichPull richPull(*future, pIndex ? pIndex->best() : vBest, newPackages, vPulled);
        for (auto it = unsatisfied.begin(); it != unsatisfied.end(); ++it)
        {
            const size_t uIndex = static_cast<size_t>(it - unsatisfied.begin());
            const RichDependency* pRich =
                it->isRich() && !vSatisfied[uIndex] ? future->rich(*it) : nullptr;
            if (pRich == nullptr || !richPull.meet(*it, *pRich))
                continue;
            if (bDebug)
                logMessage(DEBUG, "removing require '%s', provided by pulled package",
                           it->toString().c_str());
            vSatisfied[uIndex] = true;
            ++uSatisfied;
        }
        uPulled += richPull.pulled();
    }
    if (uSatisfied != 0)
    {
        std::vector<Dependency> vLeft;
        vLeft.reserve(unsatisfied.size() - uSatisfied);
        for (auto it = unsatisfied.begin(); it != unsatisfied.end(); ++it)
            if (!vSatisfied[static_cast<size_t>(it - unsatisfied.begin())])
                vLeft.push_back(*it);
        unsatisfied.assign(vLeft.begin(), vLeft.end());
    }

    logMessage(DEBUG, "pulled %u packages", uPulled);
    return uPulled != 0;
}

ClosureResult Resolver::closeDependencies(const RepoPackageList& repoPackages,
                                          PackageSet& newPackages, DependencySet& unsatisfied,
                                          const std::function<bool()>& stopRequested) const
{
    // Every round that goes on has added a package of a new name, so this ends after at
    // most as many rounds as the repository has names. The first pull walks the list (most
    // updates need one pull at the most, and the index costs memory); the index of the list's
    // provides is made for the second and serves every round after it (trace lines follow the
    // walk of the whole list, which needs none).
    // The check after the first examines only what the packages pulled since can change.
    assert(m_pInstalled);
    std::optional<ProvideIndex> index;
    DependencyCheck check(m_pInstalled.get());
    std::vector<const Package*> vPulled;
    for (bool bFirst = true;; bFirst = false)
    {
        if (bFirst ? check.check(newPackages, unsatisfied)
                   : check.recheck(newPackages, vPulled, unsatisfied))
            return ClosureResult::COMPLETE;
        if (!index && !bFirst && !logEnabled(TRACE))
            index.emplace(repoPackages);
        vPulled.clear();
        if (!pull(repoPackages, index ? &*index : nullptr, unsatisfied, newPackages, vPulled))
        {
            if (!allFileRequires(unsatisfied))
                return ClosureResult::FAILED;
            logMessage(DEBUG,
                       "only file dependencies are left unsatisfied, assuming all are satisfied");
            return ClosureResult::COMPLETE;
        }
        if (stopRequested && stopRequested())
            return ClosureResult::INTERRUPTED;
    }
}

bool allFileRequires(const DependencySet& unsatisfied)
{
    logMessage(DEBUG, "checking for file-only requires");
    for (const Dependency& dependency : unsatisfied)
        if (dependency.m_sName.c_str()[0] != '/')
            return false;
    return true;
}

bool findUnsatisfied(const Dependency& providing, const PackageSet& packages,
                     DependencySet& unsatisfied)
{
    unsatisfied.clear();
    for (const RepoPackage& package : packages)
    {
        for (auto it = firstNamed(package.m_setRequires, providing.m_sName);
             it != package.m_setRequires.end() && it->m_sName == providing.m_sName; ++it)
        {
            if (providing.overlaps(*it))
                continue;
            unsatisfied.insert(*it);
            if (logEnabled(DEBUG))
                logMessage(DEBUG, "failed satisfy of '%s': %s is needed by %s",
                           providing.toString().c_str(), it->toString().c_str(),
                           package.label().c_str());
        }
    }
    return unsatisfied.empty();
}
