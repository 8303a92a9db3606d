#pragma once

#include "base/Dependency.h"
#include "base/Package.h"

#include <cstdint>
#include <iterator>
#include <vector>

// The best record of every name group of a repository package list (the greatest version,
// among equal ones the first), in list order, and which of them provide each capability
// name. The dependency closure builds it once and asks it each round for the groups that
// may provide what is missing, instead of walking the whole list again.
class ProvideIndex
{
public:
    explicit ProvideIndex(const RepoPackageList& repoPackages);
    ProvideIndex(const ProvideIndex&) = delete;
    ProvideIndex& operator=(const ProvideIndex&) = delete;

    // The best record of each group of the list, in list order.
    static std::vector<const RepoPackage*> bestOfGroups(const RepoPackageList& repoPackages);

    const std::vector<const RepoPackage*>& best() const { return m_vBest; }
    // The positions in best() of the groups whose best record has a provide of one of the
    // names of the entries not yet marked satisfied, ascending, each once.
    std::vector<uint32_t> candidates(const DependencySet& entries,
                                     const std::vector<bool>& vSatisfied) const;

private:
    std::vector<const RepoPackage*> m_vBest;
    // Name handle in the high half, group position in the low half; sorted.
    std::vector<uint64_t> m_vKeys;
};

// End of the name group that starts at first.
template <typename Iterator> Iterator groupEnd(Iterator first, Iterator last)
{
    Iterator it = first;
    while (it != last && it->m_sName == first->m_sName)
        ++it;
    return it;
}

// Reports nothing about the records bestOfGroup passes over.
struct IgnoreDropped
{
    template <typename Iterator> void operator()(Iterator, Iterator, bool) const {}
};

// The best record of a name group: the greatest version, among equal ones the first.
// onDropped(dropped, kept, bReplaced) hears of every record passed over, in list order:
// bReplaced when a newer challenger displaced the record kept so far, otherwise the
// challenger was not newer than the record kept.
template <typename Iterator, typename OnDropped = IgnoreDropped>
Iterator bestOfGroup(Iterator first, Iterator last, OnDropped onDropped = {})
{
    Iterator best = first;
    for (Iterator challenger = std::next(first); challenger != last; ++challenger)
    {
        if (challenger->m_Evr.compare(best->m_Evr) > 0)
        {
            onDropped(best, challenger, true);
            best = challenger;
        }
        else
            onDropped(challenger, best, false);
    }
    return best;
}
