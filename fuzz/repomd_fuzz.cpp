// The repository index, repodata/repomd.xml, read from a repository cache directory.

#include "FuzzSupport.h"

#include "config/UpdaterConfig.h"
#include "repository/Repository.h"

#include <libxml/parser.h>
#include <sys/stat.h>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quietLogger();
    xmlInitParser();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize)
{
    static const std::string sRepoDir = []
    {
        std::string sDir = fuzz::workDir() + "/cache/fuzz/";
        mkdir((fuzz::workDir() + "/cache").c_str(), 0700);
        mkdir(sDir.c_str(), 0700);
        return sDir;
    }();
    fuzz::writeInput(sRepoDir + "repomd.xml", pData, uSize);

    UpdaterConfig config;
    config.m_sCacheDir = fuzz::workDir() + "/cache/";
    RepoConfig repoConfig;
    repoConfig.m_sId = "fuzz";
    repoConfig.m_sUri = "http://updates.example.com/repo/";
    Repository repository(config, repoConfig);
    (void)repository.parseRepomd();
    return 0;
}
