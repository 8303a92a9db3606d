#pragma once

#include "config/UpdaterConfig.h"

#include "TestSupport.h"

#include <string>

// A private set of configuration file locations. Nothing exists until a test writes it;
// the USB mount paths point into the temporary folder too.
class ConfigFiles
{
public:
    ConfigFiles()
    {
        m_paths.m_sDefaultsFile = m_dir.file("defaults.conf");
        m_paths.m_sConfigFile = m_dir.file("updater.conf");
        m_paths.m_sProxyFile = m_dir.file("proxy.conf");
        m_paths.m_sUsbUpdatesDir = m_dir.file("mnt-usb-updates");
        m_paths.m_sLegacyUsbUpdatesDir = m_dir.file("legacy-usb");
    }

    const UpdaterConfig::Paths& paths() const { return m_paths; }
    const testing_support::TempDir& dir() const { return m_dir; }

    void defaults(const std::string& sBody)
    {
        testing_support::writeFile(m_paths.m_sDefaultsFile, wrap(sBody));
    }
    void config(const std::string& sBody)
    {
        testing_support::writeFile(m_paths.m_sConfigFile, wrap(sBody));
    }
    void proxy(const std::string& sContent)
    {
        testing_support::writeFile(m_paths.m_sProxyFile, sContent);
    }
    void rawConfig(const std::string& sContent)
    {
        testing_support::writeFile(m_paths.m_sConfigFile, sContent);
    }
    void rawDefaults(const std::string& sContent)
    {
        testing_support::writeFile(m_paths.m_sDefaultsFile, sContent);
    }

    static std::string wrap(const std::string& sBody)
    {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<updater>\n" + sBody + "\n</updater>\n";
    }

    static std::string repo(const std::string& sId, const std::string& sHref,
                            const std::string& sExtra = "")
    {
        return "<repository id=\"" + sId + "\"" + sExtra + "><location href=\"" + sHref +
               "\"/></repository>";
    }

private:
    testing_support::TempDir m_dir;
    UpdaterConfig::Paths m_paths;
};
