#include "resolver/ProvideIndex.h"

#include <algorithm>

std::vector<const RepoPackage*> ProvideIndex::bestOfGroups(const RepoPackageList& repoPackages)
{
    std::vector<const RepoPackage*> vBest;
    for (auto group = repoPackages.begin(); group != repoPackages.end();)
    {
        const auto groupLast = groupEnd(group, repoPackages.end());
        vBest.push_back(&*bestOfGroup(group, groupLast));
        group = groupLast;
    }
    return vBest;
}

ProvideIndex::ProvideIndex(const RepoPackageList& repoPackages)
    : m_vBest(bestOfGroups(repoPackages))
{
    size_t nProvides = 0;
    for (const RepoPackage* pBest : m_vBest)
        nProvides += pBest->m_setProvides.size();
    m_vKeys.reserve(nProvides);
    for (size_t uGroup = 0; uGroup < m_vBest.size(); ++uGroup)
    {
        // A set keeps the entries of one name together: one key per name and group.
        const DependencySet& provides = m_vBest[uGroup]->m_setProvides;
        for (auto it = provides.begin(); it != provides.end(); ++it)
            if (it == provides.begin() || std::prev(it)->m_sName != it->m_sName)
                m_vKeys.push_back(uint64_t{it->m_sName.handle()} << 32 | uGroup);
    }
    std::sort(m_vKeys.begin(), m_vKeys.end());
}

std::vector<uint32_t> ProvideIndex::candidates(const DependencySet& entries,
                                               const std::vector<bool>& vSatisfied) const
{
    std::vector<uint32_t> vGroups;
    size_t uIndex = 0;
    for (auto it = entries.begin(); it != entries.end(); ++it, ++uIndex)
    {
        if (vSatisfied[uIndex])
            continue;
        const uint64_t uFirst = uint64_t{it->m_sName.handle()} << 32;
        for (auto key = std::lower_bound(m_vKeys.begin(), m_vKeys.end(), uFirst);
             key != m_vKeys.end() && (*key >> 32) == it->m_sName.handle(); ++key)
            vGroups.push_back(static_cast<uint32_t>(*key));
    }
    std::sort(vGroups.begin(), vGroups.end());
    vGroups.erase(std::unique(vGroups.begin(), vGroups.end()), vGroups.end());
    return vGroups;
}
