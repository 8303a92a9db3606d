#include "resolver/Resolver.h"

#include "base/Logger.h"
#include "config/UpdaterConfig.h"
#include "rpmdb/RpmDB.h"

#include <cassert>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <vector>

namespace
{

// First entry of a name in a dependency set. A key made of the name alone sorts before
// nearly every entry of that name, but not before one with a negative epoch or a version
// that sorts before the empty text (such as "~1"); those are picked up by walking back.
template <typename Set> auto firstNamed(Set& set, InternedString sName) -> decltype(set.begin())
{
    auto it = set.lower_bound(Dependency(sName));
    while (it != set.begin())
    {
        auto prev = std::prev(it);
        if (prev->m_sName != sName)
            break;
        it = prev;
    }
    return it;
}

// End of the name group that starts at first.
template <typename Iterator> Iterator groupEnd(Iterator first, Iterator last)
{
    Iterator it = first;
    while (it != last && it->m_sName == first->m_sName)
        ++it;
    return it;
}

// A concrete package as the examined side of an overlap test.
Dependency asDependency(const Package& package)
{
    return Dependency(package.m_sName, package.m_Evr, RPMSENSE_EQUAL);
}

// The provides of the future system, found by name. A hash table on the name handle
// replaces the ordered search here: the check asks one question per requirement, and on
// large lists the ordered search spends its time on cache misses. The table is open
// addressing over at least twice as many slots as provides, so a probe is mostly one slot.
class ProvideIndex
{
public:
    explicit ProvideIndex(const std::vector<const Package*>& vPackages)
    {
        size_t nTotal = 0;
        for (const Package* pPackage : vPackages)
            nTotal += pPackage->m_setProvides.size();
        m_vProvides.reserve(nTotal);
        m_vNext.reserve(nTotal);
        unsigned uBits = 4;
        while ((size_t{1} << uBits) < nTotal * 2)
            ++uBits;
        m_uShift = 32 - uBits;
        m_uMask = (size_t{1} << uBits) - 1;
        m_vSlots.assign(size_t{1} << uBits, Slot{0, NONE});
        for (const Package* pPackage : vPackages)
        {
            for (const Dependency& provide : pPackage->m_setProvides)
            {
                const uint32_t uIndex = static_cast<uint32_t>(m_vProvides.size());
                m_vProvides.push_back(&provide);
                Slot& slot = m_vSlots[findSlot(provide.m_sName)];
                slot.m_uName = provide.m_sName.handle();
                m_vNext.push_back(slot.m_uFirst);
                slot.m_uFirst = uIndex;
            }
        }
    }

    // Every provide once, in dependency order.
    DependencySet sorted() const
    {
        std::vector<Dependency> vCopies;
        vCopies.reserve(m_vProvides.size());
        for (const Dependency* pProvide : m_vProvides)
            vCopies.push_back(*pProvide);
        return DependencySet(vCopies.begin(), vCopies.end());
    }

    // Whether a provide of the requirement's name overlaps it.
    bool satisfies(const Dependency& require) const
    {
        for (uint32_t uIndex = m_vSlots[findSlot(require.m_sName)].m_uFirst; uIndex != NONE; uIndex = m_vNext[uIndex])
            if (m_vProvides[uIndex]->overlaps(require))
                return true;
        return false;
    }

private:
    static constexpr uint32_t NONE = UINT32_MAX;

    // The first provide of a name; free while m_uFirst is NONE (the empty name is a name).
    struct Slot
    {
        uint32_t m_uName;
        uint32_t m_uFirst;
    };

    // The slot of the name, or the free slot where it would go.
    size_t findSlot(const InternedString& sName) const
    {
        const uint32_t uName = sName.handle();
        // Fibonacci hashing: handles of neighbouring strings spread over the whole table.
        size_t uIndex = static_cast<uint32_t>(uName * 0x9e3779b1u) >> m_uShift;
        while (m_vSlots[uIndex].m_uFirst != NONE && m_vSlots[uIndex].m_uName != uName)
            uIndex = (uIndex + 1) & m_uMask;
        return uIndex;
    }

    std::vector<const Dependency*> m_vProvides;
    // Chains the provides of one name.
    std::vector<uint32_t> m_vNext;
    std::vector<Slot> m_vSlots;
    unsigned m_uShift = 0;
    size_t m_uMask = 0;
};

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
        auto best = group;
        for (auto challenger = std::next(group); challenger != groupLast; ++challenger)
        {
            if (challenger->m_Evr.compare(best->m_Evr) > 0)
            {
                if (bTrace)
                    logMessage(TRACE, "dropping update %s for newer %s", best->label().c_str(),
                               challenger->label().c_str());
                best = challenger;
            }
            else if (bTrace)
                logMessage(TRACE, "dropping update %s, has newer %s", challenger->label().c_str(),
                           best->label().c_str());
        }
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
    logMessage(DEBUG, "checking dependencies for %u new packages",
               static_cast<unsigned>(newPackages.size()));
    unsatisfied.clear();

    // The future system: installed packages not replaced by a new one of the same name, then
    // the new packages.
    std::vector<const Package*> vPackages;
    vPackages.reserve((m_pInstalled ? m_pInstalled->size() : 0) + newPackages.size());
    if (m_pInstalled)
        for (const Package& installed : *m_pInstalled)
            if (!newPackages.contains(installed.m_sName))
                vPackages.push_back(&installed);
    for (const RepoPackage& package : newPackages)
        vPackages.push_back(&package);

    const ProvideIndex provides(vPackages);
    if (logEnabled(TRACE))
        for (const Dependency& provide : provides.sorted())
            logMessage(TRACE, "dep %s", provide.toString().c_str());

    // Gathered first and sorted once: a large system may miss many entries.
    std::vector<Dependency> vMissing;
    for (const Package* pPackage : vPackages)
    {
        for (const Dependency& require : pPackage->m_setRequires)
        {
            if (provides.satisfies(require))
                continue;
            vMissing.push_back(require);
            if (logEnabled(DEBUG))
                logMessage(DEBUG, "failed dep: %s is needed by %s", require.toString().c_str(),
                           pPackage->label().c_str());
        }
    }
    unsatisfied.assign(vMissing.begin(), vMissing.end());
    return unsatisfied.empty();
}

bool Resolver::pullDependencies(const RepoPackageList& repoPackages, DependencySet& unsatisfied,
                                PackageSet& newPackages) const
{
    logMessage(DEBUG, "resolving dependencies");
    unsigned uPulled = 0;
    const bool bTrace = logEnabled(TRACE);
    const bool bDebug = logEnabled(DEBUG);
    // Satisfied entries are marked during the walk and taken out at its end, at once.
    std::vector<bool> vSatisfied(unsatisfied.size(), false);
    size_t uSatisfied = 0;

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
        auto best = record;
        for (auto challenger = std::next(record); challenger != groupLast; ++challenger)
            if (challenger->m_Evr.compare(best->m_Evr) > 0)
                best = challenger;
        record = groupLast;
        if (bTrace)
            logMessage(TRACE, "found %s as best", best->label().c_str());

        for (const Dependency& provide : best->m_setProvides)
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
                                   best->label().c_str(), it->toString().c_str());
                    newPackages.insert(*best);
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
    // most as many rounds as the repository has names.
    for (;;)
    {
        if (checkDependencies(newPackages, unsatisfied))
            return ClosureResult::COMPLETE;
        if (!pullDependencies(repoPackages, unsatisfied, newPackages))
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

bool Dependency::findUnsatisfied(const PackageSet& packages, DependencySet& unsatisfied) const
{
    unsatisfied.clear();
    for (const RepoPackage& package : packages)
    {
        for (auto it = firstNamed(package.m_setRequires, m_sName);
             it != package.m_setRequires.end() && it->m_sName == m_sName; ++it)
        {
            if (overlaps(*it))
                continue;
            unsatisfied.insert(*it);
            if (logEnabled(DEBUG))
                logMessage(DEBUG, "failed satisfy of '%s': %s is needed by %s", toString().c_str(),
                           it->toString().c_str(), package.label().c_str());
        }
    }
    return unsatisfied.empty();
}
