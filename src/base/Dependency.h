#pragma once

#include "base/Evr.h"
#include "base/InternedString.h"

#include <rpm/rpmds.h>

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <memory_resource>
#include <set>
#include <string>
#include <utility>
#include <vector>

// The comparison bits of an entry are rpm's RPMSENSE_LESS, RPMSENSE_GREATER and
// RPMSENSE_EQUAL; anything else in them is kept but prints as "?".
constexpr int RPMSENSE_COMPARE_MASK = RPMSENSE_LESS | RPMSENSE_GREATER | RPMSENSE_EQUAL;

class DependencySet;

// One provides, requires or obsoletes entry.
struct Dependency
{
    InternedString m_sName;
    Evr m_Evr;
    int m_nFlags = 0;

    Dependency() = default;
    explicit Dependency(InternedString sName) : m_sName(sName) {}
    Dependency(InternedString sName, const Evr& evr, int nFlags)
        : m_sName(sName), m_Evr(evr), m_nFlags(nFlags)
    {
    }

    std::string toString() const;
    // A boolean dependency such as "(liba or libb)": rpm takes every name that begins with
    // "(" for one (rpmdsIsRich); RichDependency parses it. It has no version of its own.
    bool isRich() const { return m_sName.c_str()[0] == '('; }
    // Whether this (providing or obsoleting) entry and the other (required or examined)
    // entry can be satisfied by a common version.
    bool overlaps(const Dependency& other) const;

    bool operator<(const Dependency& other) const;
    bool operator==(const Dependency& other) const = default;
};

// A package list holds about twenty entries per package.
static_assert(sizeof(Dependency) == 20, "a Dependency is a name handle, an Evr and the flags");

// An ordered set of dependency entries (order and equivalence of Dependency::operator<),
// held in one sorted vector: a package list holds about twenty sets of a few entries per
// package, and a tree node per entry would cost more than the entry. The interface is the
// part of std::set that the updater uses; an insertion moves the entries after it, and an
// insertion or erasure invalidates iterators after its position.
//
// Allocator-aware: a set made inside a container with a memory resource (the package
// list's arena) takes its entries from that resource; a copy takes them from the default
// one again.
class DependencySet
{
public:
    using value_type = Dependency;
    using size_type = std::size_t;
    using allocator_type = std::pmr::polymorphic_allocator<Dependency>;
    using const_iterator = std::pmr::vector<Dependency>::const_iterator;
    using iterator = const_iterator;

    DependencySet() = default;
    DependencySet(const DependencySet&) = default;
    DependencySet(DependencySet&&) = default;
    DependencySet& operator=(const DependencySet&) = default;
    DependencySet& operator=(DependencySet&&) = default;
    explicit DependencySet(const allocator_type& allocator) : m_vEntries(allocator) {}
    // The entries, exactly as many as there are, from the allocator's resource.
    DependencySet(const DependencySet& other, const allocator_type& allocator)
        : m_vEntries(other.m_vEntries, allocator)
    {
    }
    DependencySet(DependencySet&& other, const allocator_type& allocator)
        : m_vEntries(std::move(other.m_vEntries), allocator)
    {
    }
    DependencySet(std::initializer_list<Dependency> entries)
    {
        assign(entries.begin(), entries.end());
    }
    template <typename Iterator> DependencySet(Iterator first, Iterator last)
    {
        assign(first, last);
    }

    // Replaces the content with the entries of a range in any order; of equivalent
    // entries the first one counts, as with insertions one by one.
    template <typename Iterator> void assign(Iterator first, Iterator last)
    {
        m_vEntries.assign(first, last);
        std::stable_sort(m_vEntries.begin(), m_vEntries.end());
        m_vEntries.erase(std::unique(m_vEntries.begin(), m_vEntries.end(),
                                     [](const Dependency& a, const Dependency& b)
                                     { return !(a < b); }),
                         m_vEntries.end());
    }

    allocator_type get_allocator() const { return m_vEntries.get_allocator(); }

    const_iterator begin() const { return m_vEntries.begin(); }
    const_iterator end() const { return m_vEntries.end(); }
    const_iterator cbegin() const { return m_vEntries.cbegin(); }
    const_iterator cend() const { return m_vEntries.cend(); }
    bool empty() const { return m_vEntries.empty(); }
    size_type size() const { return m_vEntries.size(); }
    void clear() { m_vEntries.clear(); }
    // Gives back the room a growing set keeps in reserve.
    void shrink_to_fit() { m_vEntries.shrink_to_fit(); }

    std::pair<iterator, bool> insert(const Dependency& entry)
    {
        return insertEntry(Dependency(entry));
    }
    std::pair<iterator, bool> insert(Dependency&& entry) { return insertEntry(std::move(entry)); }
    template <typename... Args> std::pair<iterator, bool> emplace(Args&&... args)
    {
        return insertEntry(Dependency(std::forward<Args>(args)...));
    }
    // Returns the entry after the erased one.
    iterator erase(const_iterator position) { return m_vEntries.erase(position); }
    size_type erase(const Dependency& entry)
    {
        const const_iterator it = find(entry);
        if (it == end())
            return 0;
        m_vEntries.erase(it);
        return 1;
    }

    const_iterator lower_bound(const Dependency& entry) const
    {
        return std::lower_bound(begin(), end(), entry);
    }
    const_iterator upper_bound(const Dependency& entry) const
    {
        return std::upper_bound(begin(), end(), entry);
    }
    const_iterator find(const Dependency& entry) const
    {
        const const_iterator it = lower_bound(entry);
        return it != end() && !(entry < *it) ? it : end();
    }
    bool contains(const Dependency& entry) const { return find(entry) != end(); }
    size_type count(const Dependency& entry) const { return contains(entry) ? 1 : 0; }

    bool operator==(const DependencySet& other) const { return m_vEntries == other.m_vEntries; }

private:
    std::pair<iterator, bool> insertEntry(Dependency&& entry)
    {
        // Sets filled one entry at a time hold a few to a few dozen entries: room for the
        // usual size at once saves the reallocations of doubling from one (readers that keep
        // the set shrink it when they are done).
        if (m_vEntries.capacity() == 0)
            m_vEntries.reserve(INITIAL_CAPACITY);
        // Entries that come in order are appended.
        if (m_vEntries.empty() || m_vEntries.back() < entry)
        {
            m_vEntries.push_back(std::move(entry));
            return {std::prev(m_vEntries.cend()), true};
        }
        const const_iterator it = lower_bound(entry);
        if (!(entry < *it))
            return {it, false};
        return {m_vEntries.insert(it, std::move(entry)), true};
    }

    static constexpr size_type INITIAL_CAPACITY = 16;

    std::pmr::vector<Dependency> m_vEntries;
};

// Operator text of comparison bits: "<", ">", "=", "<=", ">=", "" for 0, "?" otherwise.
const char* dependencyOperator(int nFlags);
