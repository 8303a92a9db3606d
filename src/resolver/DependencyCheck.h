#pragma once

#include "base/Dependency.h"
#include "base/Package.h"
#include "resolver/FutureSystem.h"

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

// The dependency check of the future system, round after round of a closure. The first
// round checks every requirement; each later one re-examines only what can have changed:
// the entries still unsatisfied, the requirements of the packages added since, those on a
// name that a package that left the system provided, and rich requirements (an added
// package can break an "unless" or a "without"). The messages and the unsatisfied set are
// those a check of the whole system would give, in its order.
class DependencyCheck
{
public:
    explicit DependencyCheck(const InstalledPackages* pInstalled) : m_pInstalled(pInstalled) {}
    DependencyCheck(const DependencyCheck&) = delete;
    DependencyCheck& operator=(const DependencyCheck&) = delete;

    // Checks the whole system with these new packages.
    [[nodiscard]] bool check(const PackageSet& newPackages, DependencySet& unsatisfied);
    // Checks again after vAdded (packages of new names) joined newPackages.
    [[nodiscard]] bool recheck(const PackageSet& newPackages,
                               const std::vector<const Package*>& vAdded,
                               DependencySet& unsatisfied);

private:
    // Where a package's messages come in the check: installed packages by their position in
    // the installed list, then the new packages by name.
    struct Key
    {
        uint32_t m_uPosition;
        InternedString m_sName;
        bool operator<(const Key& other) const
        {
            if (m_uPosition != other.m_uPosition)
                return m_uPosition < other.m_uPosition;
            return m_sName < other.m_sName;
        }
    };
    struct Failures
    {
        const Package* m_pPackage;
        // Into the package's requirements, in their order.
        std::vector<const Dependency*> m_vRequires;
    };
    struct Requirer
    {
        const Package* m_pPackage;
        const Dependency* m_pRequire;
    };

    Key keyOf(const Package& package) const;
    // Checks the package's requirements and notes them for later rounds.
    void take(const Package& package);
    void fail(const Package& package, const Dependency& require);
    void traceProvides() const;
    bool report(DependencySet& unsatisfied) const;

    const InstalledPackages* m_pInstalled;
    std::optional<FutureSystem> m_future;
    std::map<Key, Failures> m_mapFailures;
    // Every requirement taken, and by name: the name handle in the high half of a key, the
    // position in m_vRequirers in the low half; sorted up to m_nSortedKeys.
    std::vector<Requirer> m_vRequirers;
    std::vector<uint64_t> m_vKeys;
    size_t m_nSortedKeys = 0;
    std::vector<Requirer> m_vRich;
};
