#pragma once

// Shared by the two package list targets: librpm's configuration (the architecture
// scores) is read once, and every input is parsed by a fresh repository.

#include "FuzzSupport.h"

#include "config/UpdaterConfig.h"
#include "repository/Repository.h"

#include <libxml/parser.h>
#include <rpm/rpmlib.h>

namespace fuzz
{

inline void initializePrimary()
{
    quietLogger();
    xmlInitParser();
    if (rpmReadConfigFiles(nullptr, nullptr) != 0)
        std::abort();
}

inline void parsePrimary(const std::string& sPath)
{
    UpdaterConfig config;
    config.m_sCacheDir = workDir() + "/cache/";
    RepoConfig repoConfig;
    repoConfig.m_sId = "fuzz";
    repoConfig.m_sUri = "http://updates.example.com/repo/";
    Repository repository(config, repoConfig);
    (void)repository.parsePrimary(sPath);
    // Every accepted record is usable, and its file stays inside the package directory.
    for (const auto& package : repository.packages())
    {
        if (package.m_Evr.compare(package.m_Evr) != 0 || package.label().empty())
            std::abort();
        const std::string& sDir = repository.packageDir();
        std::string sFile = package.m_sLocalPath.substr(sDir.size());
        if (package.m_sLocalPath.compare(0, sDir.size(), sDir) != 0 || sFile.empty() || sFile == "." ||
            sFile == ".." || sFile.find('/') != std::string::npos)
            std::abort();
    }
}

} // namespace fuzz
