#pragma once

#include "base/Dependency.h"
#include "base/Package.h"

#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace resolver_test
{

// "name", or "name OP [epoch:]version[-release]" with OP one of < <= = >= >, or a rich
// dependency "(...)" taken whole.
inline Dependency dep(const std::string& sText)
{
    if (sText.starts_with('('))
        return Dependency(sText);
    std::istringstream in(sText);
    std::string sName, sOperator, sEvr;
    in >> sName >> sOperator >> sEvr;
    if (sOperator.empty())
        return Dependency(sName);
    int nFlags = 0;
    if (sOperator.find('<') != std::string::npos)
        nFlags |= RPMSENSE_LESS;
    if (sOperator.find('>') != std::string::npos)
        nFlags |= RPMSENSE_GREATER;
    if (sOperator.find('=') != std::string::npos)
        nFlags |= RPMSENSE_EQUAL;
    return Dependency(sName, Evr(std::string_view(sEvr)), nFlags);
}

inline DependencySet deps(std::initializer_list<const char*> texts)
{
    DependencySet set;
    for (const char* pText : texts)
        set.insert(dep(pText));
    return set;
}

// Builds package records: pkg("foo", "1.0-1").prov({"libfoo = 1"}).req({"bar"}).
class PackageBuilder
{
public:
    PackageBuilder(const std::string& sName, const std::string& sEvr) : m_package(sName)
    {
        m_package.m_Evr = Evr(std::string_view(sEvr));
        m_package.m_sLocation = "packages/" + sName + "-" + sEvr + ".rpm";
    }
    PackageBuilder& prov(std::initializer_list<const char*> texts)
    {
        for (const char* pText : texts)
            m_package.m_setProvides.insert(dep(pText));
        return *this;
    }
    PackageBuilder& req(std::initializer_list<const char*> texts)
    {
        for (const char* pText : texts)
            m_package.m_setRequires.insert(dep(pText));
        return *this;
    }
    PackageBuilder& obs(std::initializer_list<const char*> texts)
    {
        for (const char* pText : texts)
            m_package.m_setObsoletes.insert(dep(pText));
        return *this;
    }
    PackageBuilder& group(const std::string& sGroup)
    {
        m_package.m_sGroup = sGroup;
        return *this;
    }
    PackageBuilder& location(const std::string& sLocation)
    {
        m_package.m_sLocation = sLocation;
        return *this;
    }
    operator RepoPackage() const { return m_package; }
    operator Package() const { return static_cast<const Package&>(m_package); }

private:
    RepoPackage m_package;
};

inline PackageBuilder pkg(const std::string& sName, const std::string& sEvr)
{
    return PackageBuilder(sName, sEvr);
}

inline RepoPackageList repoList(std::initializer_list<RepoPackage> packages)
{
    RepoPackageList list;
    for (const RepoPackage& package : packages)
        list.insert(package);
    return list;
}

inline std::unique_ptr<InstalledPackages> installedList(std::initializer_list<Package> packages)
{
    auto pList = std::make_unique<InstalledPackages>();
    for (const Package& package : packages)
        pList->insert(package);
    return pList;
}

inline std::vector<std::string> labels(const PackageSet& packages)
{
    std::vector<std::string> vLabels;
    for (const RepoPackage& package : packages)
        vLabels.push_back(package.label());
    return vLabels;
}

inline std::vector<std::string> texts(const DependencySet& set)
{
    std::vector<std::string> vTexts;
    for (const Dependency& dependency : set)
        vTexts.push_back(dependency.toString());
    return vTexts;
}

} // namespace resolver_test
