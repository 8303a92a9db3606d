#pragma once

#include "base/Checksum.h"
#include "base/Dependency.h"
#include "base/Evr.h"
#include "base/InternedString.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <memory_resource>
#include <set>
#include <string>
#include <string_view>

// A package record; installed packages carry no group and no obsoletes.
struct Package
{
    InternedString m_sName;
    InternedString m_sGroup;
    Evr m_Evr;
    DependencySet m_setRequires;
    DependencySet m_setProvides;
    DependencySet m_setObsoletes;

    // Allocator-aware: made in a container with a memory resource, the dependency sets take
    // their entries from that resource.
    using allocator_type = DependencySet::allocator_type;

    Package() = default;
    explicit Package(InternedString sName) : m_sName(sName) {}
    Package(const Package&) = default;
    Package(Package&&) = default;
    Package& operator=(const Package&) = default;
    Package& operator=(Package&&) = default;
    Package(const Package& other, const allocator_type& allocator)
        : m_sName(other.m_sName), m_sGroup(other.m_sGroup), m_Evr(other.m_Evr),
          m_setRequires(other.m_setRequires, allocator),
          m_setProvides(other.m_setProvides, allocator),
          m_setObsoletes(other.m_setObsoletes, allocator)
    {
    }
    Package(Package&& other, const allocator_type& allocator)
        : m_sName(other.m_sName), m_sGroup(other.m_sGroup), m_Evr(other.m_Evr),
          m_setRequires(std::move(other.m_setRequires), allocator),
          m_setProvides(std::move(other.m_setProvides), allocator),
          m_setObsoletes(std::move(other.m_setObsoletes), allocator)
    {
    }

    // name-epoch:version-release, the name of a package in every message.
    std::string label() const
    {
        std::string sLabel(m_sName.view());
        sLabel += '-';
        sLabel += m_Evr.toString();
        return sLabel;
    }
};

// A package available in the repository.
struct RepoPackage : Package
{
    InternedString m_sArch;
    InternedString m_sLocation;
    InternedString m_sLocalPath;
    Checksum m_Checksum;
    // Size of the package file in bytes as the package list gives it; 0 when unknown.
    uint64_t m_uSize = 0;

    RepoPackage() = default;
    explicit RepoPackage(InternedString sName) : Package(sName) {}
    RepoPackage(const RepoPackage&) = default;
    RepoPackage(RepoPackage&&) = default;
    RepoPackage& operator=(const RepoPackage&) = default;
    RepoPackage& operator=(RepoPackage&&) = default;
    RepoPackage(const RepoPackage& other, const allocator_type& allocator)
        : Package(other, allocator), m_sArch(other.m_sArch), m_sLocation(other.m_sLocation),
          m_sLocalPath(other.m_sLocalPath), m_Checksum(other.m_Checksum), m_uSize(other.m_uSize)
    {
    }
    RepoPackage(RepoPackage&& other, const allocator_type& allocator)
        : Package(std::move(other), allocator), m_sArch(other.m_sArch),
          m_sLocation(other.m_sLocation), m_sLocalPath(other.m_sLocalPath),
          m_Checksum(other.m_Checksum), m_uSize(other.m_uSize)
    {
    }
};

// Orders package records by name (bytewise); transparent, so containers can be searched
// by a name alone.
struct PackageNameLess
{
    using is_transparent = void;
    bool operator()(const Package& a, const Package& b) const { return a.m_sName < b.m_sName; }
    bool operator()(const Package& a, std::string_view b) const { return a.m_sName < b; }
    bool operator()(std::string_view a, const Package& b) const { return a < b.m_sName; }
};

// Several records may share a name; equal names keep their insertion order.
using InstalledPackages = std::multiset<Package, PackageNameLess>;

// The package list of a repository: records ordered by name, where several records may
// share a name and equal names keep their insertion order. The records, with their
// dependency sets, live in an arena that the list owns, so that a list of tens of thousands
// of records is freed in one step rather than record by record. The arena and its records
// move and swap together: the list is held through one pointer, never null.
class RepoPackageList
{
public:
    using Records = std::pmr::multiset<RepoPackage, PackageNameLess>;
    using value_type = RepoPackage;
    using size_type = Records::size_type;
    using iterator = Records::iterator;
    using const_iterator = Records::const_iterator;
    using node_type = Records::node_type;
    using allocator_type = Records::allocator_type;

    RepoPackageList() : m_pArena(std::make_unique<Arena>()) {}
    // A copy has an arena of its own.
    RepoPackageList(const RepoPackageList& other);
    // The other list is left empty.
    RepoPackageList(RepoPackageList&& other) : RepoPackageList() { swap(other); }
    RepoPackageList& operator=(RepoPackageList other) noexcept
    {
        swap(other);
        return *this;
    }
    ~RepoPackageList();

    void swap(RepoPackageList& other) noexcept { m_pArena.swap(other.m_pArena); }

    // The allocator of the records: nodes made for the list (RepoPackageList::node_type)
    // must come from it.
    allocator_type get_allocator() const { return records().get_allocator(); }

    const_iterator begin() const { return records().begin(); }
    const_iterator end() const { return records().end(); }
    const_iterator cbegin() const { return records().cbegin(); }
    const_iterator cend() const { return records().cend(); }
    bool empty() const { return records().empty(); }
    size_type size() const { return records().size(); }

    template <typename Key> const_iterator find(const Key& key) const
    {
        return records().find(key);
    }
    template <typename Key> size_type count(const Key& key) const { return records().count(key); }
    template <typename Key> bool contains(const Key& key) const { return records().contains(key); }
    template <typename Key> const_iterator lower_bound(const Key& key) const
    {
        return records().lower_bound(key);
    }
    template <typename Key> const_iterator upper_bound(const Key& key) const
    {
        return records().upper_bound(key);
    }
    template <typename Key>
    std::pair<const_iterator, const_iterator> equal_range(const Key& key) const
    {
        return records().equal_range(key);
    }

    // After the records of the same name.
    iterator insert(const RepoPackage& package) { return records().insert(package); }
    iterator insert(RepoPackage&& package) { return records().insert(std::move(package)); }
    template <typename... Args> iterator emplace(Args&&... args)
    {
        return records().emplace(std::forward<Args>(args)...);
    }
    // A node of this list's allocator, placed as close before the hint as the order allows.
    iterator insert(const_iterator hint, node_type&& node)
    {
        return records().insert(hint, std::move(node));
    }
    // Frees every record at once.
    void clear() { RepoPackageList().swap(*this); }

private:
    struct Arena;
    Records& records() { return m_pArena->m_records; }
    const Records& records() const { return m_pArena->m_records; }

    // The records are never destroyed one by one: every byte they own (the tree's nodes
    // and the dependency sets' entries) comes from the arena, and everything else in them
    // is trivially destructible, so releasing the arena frees the list whole.
    struct Arena
    {
        Arena() : m_records(&m_resource) {}
        // The records are left as they are; the resource then releases their memory.
        ~Arena() {}
        Arena(const Arena&) = delete;
        Arena& operator=(const Arena&) = delete;

        std::pmr::monotonic_buffer_resource m_resource;
        union
        {
            Records m_records;
        };
    };
    std::unique_ptr<Arena> m_pArena;
};

// The packages to install: one record per name.
using PackageSet = std::set<RepoPackage, PackageNameLess>;
// Include, exclude, excluded-group and pull sets; transparent, so that they can be asked
// about a package's name without a copy.
using NameSet = std::set<std::string, std::less<>>;
