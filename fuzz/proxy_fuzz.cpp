// The proxy file.

#include "FuzzSupport.h"

#include "config/UpdaterConfig.h"

#include <libxml/parser.h>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quietLogger();
    xmlInitParser();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize)
{
    static const std::string sPath = fuzz::workDir() + "/vqzproxy.conf";
    fuzz::writeInput(sPath, pData, uSize);

    UpdaterConfig::Paths paths;
    paths.m_sDefaultsFile = fuzz::workDir() + "/missing-defaults.conf";
    paths.m_sConfigFile = fuzz::workDir() + "/missing-updater.conf";
    paths.m_sProxyFile = sPath;
    UpdaterConfig config(paths);
    config.parseProxyFile();
    return 0;
}
