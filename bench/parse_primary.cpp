// Parses one package list with Repository::parsePrimary and prints how long that took.
//   bench_parse_primary PRIMARY.xml[.gz]

#include "base/Logger.h"
#include "config/UpdaterConfig.h"
#include "repository/Repository.h"

#include <rpm/rpmlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: %s PRIMARY.xml[.gz]\n", argv[0]);
        return 2;
    }
    if (rpmReadConfigFiles(nullptr, nullptr) != 0)
    {
        std::fprintf(stderr, "cannot read rpm configuration\n");
        return 2;
    }
    logger().setLevel(WARNING);

    UpdaterConfig config;
    config.m_sCacheDir = "/nonexistent/";
    RepoConfig repoConfig;
    repoConfig.m_sId = "bench";
    repoConfig.m_sUri = "http://127.0.0.1/";
    Repository repo(config, repoConfig);

    auto start = std::chrono::steady_clock::now();
    bool bParsed = repo.parsePrimary(argv[1]);
    double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!bParsed)
    {
        std::fprintf(stderr, "parsing '%s' failed\n", argv[1]);
        return 1;
    }
    std::printf("%zu packages parsed in %.3f s\n", repo.packages().size(), dSeconds);
    return 0;
}
