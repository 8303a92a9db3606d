#include "resolver/DependencyCheck.h"

#include "base/Logger.h"

#include <algorithm>
#include <cassert>

bool DependencyCheck::check(const PackageSet& newPackages, DependencySet& unsatisfied)
{
    logMessage(DEBUG, "checking dependencies for %u new packages",
               static_cast<unsigned>(newPackages.size()));
    unsatisfied.clear();
    m_mapFailures.clear();
    m_vRequirers.clear();
    m_vKeys.clear();
    m_nSortedKeys = 0;
    m_vRich.clear();
    m_future.emplace(m_pInstalled, newPackages);
    traceProvides();

    for (const Package* pPackage : m_future->packages())
        take(*pPackage);
    return report(unsatisfied);
}

bool DependencyCheck::recheck(const PackageSet& newPackages,
                              const std::vector<const Package*>& vAdded, DependencySet& unsatisfied)
{
    assert(m_future);
    logMessage(DEBUG, "checking dependencies for %u new packages",
               static_cast<unsigned>(newPackages.size()));
    std::vector<const Package*> vLeft;
    m_future->add(vAdded, vLeft);
    m_future->logErased();
    traceProvides();

    for (const Package* pLeft : vLeft)
        m_mapFailures.erase(keyOf(*pLeft));
    for (auto it = m_mapFailures.begin(); it != m_mapFailures.end();)
    {
        std::vector<const Dependency*>& vRequires = it->second.m_vRequires;
        std::erase_if(vRequires,
                      [&](const Dependency* pRequire) { return m_future->satisfies(*pRequire); });
        it = vRequires.empty() ? m_mapFailures.erase(it) : std::next(it);
    }
    for (const Package* pAdded : vAdded)
        take(*pAdded);
    // A requirement that was met may have been met by a package that left.
    const auto recheckRequirer = [&](const Requirer& requirer)
    {
        if (m_future->holds(*requirer.m_pPackage) && !m_future->satisfies(*requirer.m_pRequire))
            fail(*requirer.m_pPackage, *requirer.m_pRequire);
    };
    if (!vLeft.empty() && m_nSortedKeys != m_vKeys.size())
    {
        const auto middle = m_vKeys.begin() + static_cast<std::ptrdiff_t>(m_nSortedKeys);
        std::sort(middle, m_vKeys.end());
        std::inplace_merge(m_vKeys.begin(), middle, m_vKeys.end());
        m_nSortedKeys = m_vKeys.size();
    }
    for (const Package* pLeft : vLeft)
    {
        const DependencySet& provides = pLeft->m_setProvides;
        for (auto it = provides.begin(); it != provides.end(); ++it)
        {
            if (it != provides.begin() && std::prev(it)->m_sName == it->m_sName)
                continue;
            const uint32_t uName = it->m_sName.handle();
            for (auto key = std::lower_bound(m_vKeys.begin(), m_vKeys.end(), uint64_t{uName} << 32);
                 key != m_vKeys.end() && (*key >> 32) == uName; ++key)
                recheckRequirer(m_vRequirers[static_cast<uint32_t>(*key)]);
        }
    }
    for (const Requirer& requirer : m_vRich)
        recheckRequirer(requirer);
    return report(unsatisfied);
}

DependencyCheck::Key DependencyCheck::keyOf(const Package& package) const
{
    const uint32_t uPosition = m_future->installedPosition(package);
    return uPosition == FutureSystem::NONE ? Key{uPosition, package.m_sName}
                                           : Key{uPosition, InternedString()};
}

void DependencyCheck::take(const Package& package)
{
    for (const Dependency& require : package.m_setRequires)
    {
        const Requirer requirer{&package, &require};
        m_vKeys.push_back(uint64_t{require.m_sName.handle()} << 32 | m_vRequirers.size());
        m_vRequirers.push_back(requirer);
        if (require.isRich())
            m_vRich.push_back(requirer);
        if (!m_future->satisfies(require))
            fail(package, require);
    }
}

void DependencyCheck::fail(const Package& package, const Dependency& require)
{
    Failures& failures =
        m_mapFailures.try_emplace(keyOf(package), Failures{&package, {}}).first->second;
    std::vector<const Dependency*>& vRequires = failures.m_vRequires;
    // A set holds its entries in order in one block: their addresses are their order.
    auto it = std::lower_bound(vRequires.begin(), vRequires.end(), &require, std::less<>());
    if (it == vRequires.end() || *it != &require)
        vRequires.insert(it, &require);
}

void DependencyCheck::traceProvides() const
{
    if (logEnabled(TRACE))
        for (const Dependency& provide : m_future->sortedProvides())
            logMessage(TRACE, "dep %s", provide.toString().c_str());
}

bool DependencyCheck::report(DependencySet& unsatisfied) const
{
    // Gathered first and sorted once: a large system may miss many entries.
    std::vector<Dependency> vMissing;
    const bool bDebug = logEnabled(DEBUG);
    for (const auto& [key, failures] : m_mapFailures)
    {
        for (const Dependency* pRequire : failures.m_vRequires)
        {
            vMissing.push_back(*pRequire);
            if (bDebug)
                logMessage(DEBUG, "failed dep: %s is needed by %s", pRequire->toString().c_str(),
                           failures.m_pPackage->label().c_str());
        }
    }
    unsatisfied.assign(vMissing.begin(), vMissing.end());
    return unsatisfied.empty();
}
