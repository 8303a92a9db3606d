// The device's configuration file, read both as the defaults file and as the device's own.

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
    static const std::string sPath = fuzz::workDir() + "/updater.conf";
    fuzz::writeInput(sPath, pData, uSize);

    UpdaterConfig::Paths paths;
    paths.m_sDefaultsFile = fuzz::workDir() + "/missing-defaults.conf";
    paths.m_sConfigFile = sPath;
    paths.m_sProxyFile = fuzz::workDir() + "/missing-proxy.conf";
    paths.m_sUsbUpdatesDir = fuzz::workDir() + "/missing-usb";
    paths.m_sLegacyUsbUpdatesDir = fuzz::workDir() + "/missing-legacy-usb";

    for (bool bFromDefaults : {false, true})
    {
        UpdaterConfig config(paths);
        (void)config.parseFile(sPath, bFromDefaults);
        (void)config.activeRepository();
    }
    return 0;
}
