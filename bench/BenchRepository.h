#pragma once

// The set-up shared by the benchmark programs that read package lists.

#include "base/Logger.h"
#include "config/UpdaterConfig.h"
#include "repository/Repository.h"

#include <rpm/rpmlib.h>

#include <cstdio>
#include <memory>

// rpm's configuration (for the architecture test) and a repository whose cache is never
// touched; null, with the reason printed, when rpm's configuration cannot be read.
inline std::unique_ptr<Repository> benchRepository(LogLevel level)
{
    if (rpmReadConfigFiles(nullptr, nullptr) != 0)
    {
        std::fprintf(stderr, "cannot read rpm configuration\n");
        return nullptr;
    }
    logger().setLevel(level);
    static UpdaterConfig config;
    config.m_sCacheDir = "/nonexistent/";
    static RepoConfig repoConfig;
    repoConfig.m_sId = "bench";
    repoConfig.m_sUri = "http://127.0.0.1/";
    return std::make_unique<Repository>(config, repoConfig);
}
