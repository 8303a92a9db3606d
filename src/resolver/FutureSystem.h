#pragma once

#include "base/Dependency.h"
#include "base/Package.h"
#include "base/RichDependency.h"

#include <cstdint>
#include <iterator>
#include <optional>
#include <unordered_map>
#include <vector>

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

// What a rich dependency is evaluated against: a set of packages and their provides.
class RichContext
{
public:
    virtual ~RichContext() = default;
    // Whether a package of the set has a provide that overlaps the plain entry.
    virtual bool provides(const Dependency& leaf) const = 0;
    // Appends the packages of the set that have such a provide.
    virtual void appendProviders(const Dependency& leaf,
                                 std::vector<const Package*>& vPackages) const = 0;
};

// Whether the node of the rich dependency holds in the context: every leaf is tested like a
// plain requirement, and a leaf on a file path that nothing provides counts as present, as
// plain file requirements do in the end (file lists are not read).
bool richHolds(const RichDependency& rich, uint32_t uNode, const RichContext& context);
// Whether the package alone meets a "with"/"without" node (or a leaf or an "or" inside one).
bool richPackageMatches(const RichDependency& rich, uint32_t uNode, const Package& package);
// Whether the package has a provide that overlaps the entry.
bool packageProvides(const Package& package, const Dependency& leaf);

// The system as rpm will leave it: the installed packages that stay, then the new packages,
// with their provides found by name. An installed package drops out when a new package has
// its name, or when a new package obsoletes it (rpm -U erases it).
class FutureSystem : public RichContext
{
public:
    static constexpr uint32_t NONE = UINT32_MAX;

    // bLogErased: log each installed package that an obsoletes entry takes out.
    FutureSystem(const InstalledPackages* pInstalled, const PackageSet& newPackages,
                 bool bLogErased = true);
    FutureSystem(const FutureSystem&) = delete;
    FutureSystem& operator=(const FutureSystem&) = delete;

    // In the order they were gathered: installed-list order, then the new ones by name;
    // packages added later follow, and those that left are null.
    const std::vector<const Package*>& packages() const { return m_vPackages; }
    // Takes in packages that have joined the new packages since (each of a name not yet
    // new), as if the system had been gathered with them: installed packages of their names
    // or obsoleted by them leave, and are appended to vLeft when they were still there.
    void add(const std::vector<const Package*>& vAdded, std::vector<const Package*>& vLeft);
    // Logs each installed package that an obsoletes entry takes out, in installed-list
    // order, as the constructor does.
    void logErased() const;
    // The position of a package in the installed list; NONE for other packages.
    uint32_t installedPosition(const Package& package) const;
    // Whether a package of the installed list or of the new packages is part of the system.
    bool holds(const Package& package) const;
    // Every provide once, in dependency order.
    DependencySet sortedProvides() const;
    // Whether the requirement, plain or rich, holds.
    bool satisfies(const Dependency& require) const;
    // The parsed form of a rich entry; null when its text does not parse.
    const RichDependency* rich(const Dependency& require) const;

    bool provides(const Dependency& leaf) const override;
    void appendProviders(const Dependency& leaf,
                         std::vector<const Package*>& vPackages) const override;

private:
    // The first provide of a name; free while m_uFirst is NONE (the empty name is a name).
    struct Slot
    {
        uint32_t m_uName;
        uint32_t m_uFirst;
    };

    void gather(const InstalledPackages* pInstalled, const PackageSet& newPackages);
    void index();
    // Appends a package's provides to the table, which grows when it gets too full.
    void indexPackage(const Package& package);
    void resize(size_t nProvides);
    // The slot of the name, or the free slot where it would go.
    size_t findSlot(const InternedString& sName) const;
    // Takes an installed package out of the system (its provides are no longer found).
    void dropInstalled(uint32_t uPosition, std::vector<const Package*>& vLeft);

    // What became of each installed package, by its position in the installed list.
    enum class Fate : uint8_t
    {
        STAYS,
        REPLACED, // a new package has its name
        ERASED,   // a new package obsoletes it (m_vErasedBy)
    };

    const InstalledPackages* m_pInstalled = nullptr;
    std::vector<const Package*> m_vInstalled;
    std::vector<Fate> m_vFates;
    std::vector<const Package*> m_vErasedBy;
    mutable std::unordered_map<const Package*, uint32_t> m_mapInstalledPosition;
    // Where each installed package that stays is in m_vPackages.
    std::vector<uint32_t> m_vInstalledSlot;

    std::vector<const Package*> m_vPackages;
    // The provides are found through a hash table on the name handle rather than an ordered
    // search: the check asks one question per requirement, and on large lists the ordered
    // search spends its time on cache misses. Open addressing over at least twice as many
    // slots as provides, so a probe is mostly one slot.
    // Null where the package left the system (the entry stays in its chain).
    std::vector<const Dependency*> m_vProvides;
    // The index of each package's first provide: the provides are stored package by package.
    std::vector<uint32_t> m_vFirstProvide;
    // Chains the provides of one name.
    std::vector<uint32_t> m_vNext;
    std::vector<Slot> m_vSlots;
    unsigned m_uShift = 0;
    size_t m_uMask = 0;
    // Rich requirements parsed so far, by the handle of their text (empty: did not parse).
    mutable std::unordered_map<uint32_t, std::optional<RichDependency>> m_mapRich;
};
