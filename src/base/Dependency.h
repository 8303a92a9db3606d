#pragma once

#include "base/Evr.h"

#include <rpm/rpmds.h>

#include <set>
#include <string>

// The comparison bits of an entry are rpm's RPMSENSE_LESS, RPMSENSE_GREATER and
// RPMSENSE_EQUAL; anything else in them is kept but prints as "?".
constexpr int RPMSENSE_COMPARE_MASK = RPMSENSE_LESS | RPMSENSE_GREATER | RPMSENSE_EQUAL;

struct Dependency;
using DependencySet = std::set<Dependency>;
struct RepoPackage;
struct PackageNameLess;

// One provides, requires or obsoletes entry.
struct Dependency
{
    std::string m_sName;
    Evr m_Evr;
    int m_nFlags = 0;

    Dependency() = default;
    explicit Dependency(std::string sName) : m_sName(std::move(sName)) {}
    Dependency(std::string sName, Evr evr, int nFlags)
        : m_sName(std::move(sName)), m_Evr(std::move(evr)), m_nFlags(nFlags)
    {
    }

    std::string toString() const;
    // Whether this (providing or obsoleting) entry and the other (required or examined)
    // entry can be satisfied by a common version.
    bool overlaps(const Dependency& other) const;
    // For a providing entry: collects into unsatisfied the requirements of the packages on
    // this name that it does not satisfy; true when there are none. Defined by the resolver
    // (link updater_resolver).
    bool findUnsatisfied(const std::set<RepoPackage, PackageNameLess>& packages,
                         DependencySet& unsatisfied) const;

    bool operator<(const Dependency& other) const;
    bool operator==(const Dependency& other) const = default;
};

// Operator text of comparison bits: "<", ">", "=", "<=", ">=", "" for 0, "?" otherwise.
const char* dependencyOperator(int nFlags);
