#pragma once

#include "base/Checksum.h"
#include "base/Dependency.h"
#include "base/Evr.h"
#include "base/InternedString.h"

#include <cstdint>
#include <functional>
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

    Package() = default;
    explicit Package(InternedString sName) : m_sName(sName) {}

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
using RepoPackageList = std::multiset<RepoPackage, PackageNameLess>;
// The packages to install: one record per name.
using PackageSet = std::set<RepoPackage, PackageNameLess>;
// Include, exclude, excluded-group and pull sets; transparent, so that they can be asked
// about a package's name without a copy.
using NameSet = std::set<std::string, std::less<>>;
