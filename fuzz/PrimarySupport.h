#pragma once

// Shared by the two package list targets: librpm's configuration (the architecture
// scores) is read once, and every input is read by a fresh PackageListReader.

#include "FuzzSupport.h"

#include "repository/PackageListReader.h"

#include <libxml/parser.h>
#include <rpm/rpmlib.h>

#include <algorithm>
#include <string_view>

namespace fuzz
{

inline void initializePrimary()
{
    quietLogger();
    xmlInitParser();
    if (rpmReadConfigFiles(nullptr, nullptr) != 0)
        std::abort();
}

inline void checkPrimary(const std::string& sPath)
{
    static const std::string sDir = workDir() + "/cache/fuzz/packages/";
    RepoPackageList packages;
    PackageListReader reader(sPath, sDir);
    (void)reader.read(packages);
    // Every accepted record is usable, and its file stays inside the package directory.
    for (const auto& package : packages)
    {
        if (package.m_Evr.compare(package.m_Evr) != 0 || package.label().empty())
            std::abort();
        const std::string_view sLocal = package.m_sLocalPath.view();
        const std::string_view sFile = sLocal.substr(std::min(sDir.size(), sLocal.size()));
        if (!sLocal.starts_with(sDir) || sFile.empty() || sFile == "." || sFile == ".." ||
            sFile.find('/') != std::string_view::npos)
            std::abort();
    }
}

// Parses and checks one input. The records of an input are gone once it is checked, so the
// strings they interned are dropped: millions of random inputs would fill the pool.
inline void parsePrimary(const std::string& sPath)
{
    checkPrimary(sPath);
    InternedString::resetPoolForFuzzing();
}

} // namespace fuzz
