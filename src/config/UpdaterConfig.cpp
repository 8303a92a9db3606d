#include "config/UpdaterConfig.h"

#include "base/Checksum.h"
#include "base/Logger.h"
#include "config/XmlReader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace
{

const char* const LOCAL_USB_ID = "local-usb";
const char* const LOCAL_USB_NAME = "Updates from local USB storage";
const long MAX_PROXY_PORT = 65534;

// The mount path of USB update media; older systems only have the legacy one.
std::string usbUpdatesDir(const UpdaterConfig::Paths& paths)
{
    struct stat status;
    if (stat(paths.m_sUsbUpdatesDir.c_str(), &status) != 0 && errno == ENOENT &&
        stat(paths.m_sLegacyUsbUpdatesDir.c_str(), &status) == 0)
    {
        logMessage(WARNING, "falling back to legacy USB update source '%s'",
                   paths.m_sLegacyUsbUpdatesDir.c_str());
        return paths.m_sLegacyUsbUpdatesDir;
    }
    return paths.m_sUsbUpdatesDir;
}

bool isNamed(xmlNodePtr pNode, const char* pName)
{
    return pNode->type == XML_ELEMENT_NODE &&
           xmlStrEqual(pNode->name, reinterpret_cast<const xmlChar*>(pName));
}

// The exact texts "true" and "false"; anything else is refused, so that a typing error in a
// security setting never passes silently.
bool parseBoolean(const std::string& sText, bool& bValue)
{
    if (sText != "true" && sText != "false")
        return false;
    bValue = sText == "true";
    return true;
}

// A direct child element of pParent in the parent's namespace with the local name pName.
bool isChildNamed(xmlNodePtr pParent, xmlNodePtr pChild, const char* pName)
{
    return isNamed(pChild, pName) && sameNamespace(pParent, pChild);
}

} // namespace

UpdaterConfig::UpdaterConfig() : UpdaterConfig(Paths()) {}

UpdaterConfig::UpdaterConfig(const Paths& paths) : m_paths(paths)
{
    RepoConfig usb;
    usb.m_sId = LOCAL_USB_ID;
    usb.m_sName = LOCAL_USB_NAME;
    usb.m_sUri = usbUpdatesDir(m_paths);
    usb.m_bEnabled = false;
    usb.m_bIsDefault = true;
    m_lRepositories.push_back(usb);
}

bool UpdaterConfig::load(const UpdaterOptions& options)
{
    if (!parseFile(m_paths.m_sDefaultsFile, true))
        logMessage(DEBUG, "missing or incorrect defaults file '%s'",
                   m_paths.m_sDefaultsFile.c_str());

    const std::string sConfFile =
        options.m_sConfFile ? *options.m_sConfFile : m_paths.m_sConfigFile;
    if (!parseFile(sConfFile, false))
    {
        logMessage(ERROR, "failed parsing configuration file '%s'", sConfFile.c_str());
        return false;
    }

    // Options only ever switch settings on.
    m_bQuiet = m_bQuiet || options.m_bQuiet;
    m_bLogStderr = m_bLogStderr || options.m_bLogStderr;
    m_bCacheOnly = m_bCacheOnly || options.m_bCacheOnly;
    m_bCheckOnly = m_bCheckOnly || options.m_bCheckOnly;
    m_bTest = m_bTest || options.m_bTest;
    m_bNoSigCheck = m_bNoSigCheck || options.m_bNoSigCheck;
    m_bNoReboot = m_bNoReboot || options.m_bNoReboot;
    m_bBackground = m_bBackground || options.m_bBackground;
    m_bCheckDbHeaders = m_bCheckDbHeaders || options.m_bCheckDbHeaders;
    m_bNoCacheClean = m_bNoCacheClean || options.m_bNoCacheClean;
    if (options.m_sLogLevel)
        m_nLogLevel = parseLogLevel(*options.m_sLogLevel);
    if (options.m_nMaxWaitTime != 0)
        m_nMaxWaitTime = options.m_nMaxWaitTime;
    if (options.m_nLockTimeout != 0)
        m_nLockTimeout = options.m_nLockTimeout;
    if (options.m_sCacheDir)
        m_sCacheDir = *options.m_sCacheDir;

    if (m_sCacheDir.empty())
    {
        m_sCacheDir = "./";
        logMessage(WARNING, "cache dir empty, assuming '%s'", m_sCacheDir.c_str());
    }
    else if (m_sCacheDir.front() != '/')
    {
        logMessage(WARNING, "cache dir '%s' is not an absolute path", m_sCacheDir.c_str());
    }
    if (m_sCacheDir.back() != '/')
        m_sCacheDir += '/';

    if (!m_bLogStderr && !m_bLogSyslog)
    {
        logMessage(ERROR, "no log output! enabling stderr");
        m_bLogStderr = true;
    }

    if (options.m_sRepoUrl)
    {
        const std::string& sValue = *options.m_sRepoUrl;
        const std::string::size_type nColon = sValue.find(':');
        if (nColon == std::string::npos)
        {
            logMessage(ERROR, "missing ':' in --repo-url option");
            return false;
        }
        const std::string sId = sValue.substr(0, nColon);
        const std::string sUrl = sValue.substr(nColon + 1);
        if (sId.empty())
        {
            logMessage(ERROR, "missing ID in --repo-url option");
            return false;
        }
        if (sUrl.empty())
        {
            logMessage(ERROR, "missing URL in --repo-url option");
            return false;
        }
        if (RepoConfig* pRepo = findRepository(sId))
            pRepo->m_sUri = sUrl;
        else
            logMessage(WARNING, "ignoring URL override for non-existing repo '%s'", sId.c_str());
    }

    if (!options.m_sRepo)
    {
        const auto nEnabled = std::count_if(m_lRepositories.begin(), m_lRepositories.end(),
                                            [](const RepoConfig& repo) { return repo.m_bEnabled; });
        if (nEnabled > 1)
        {
            logMessage(ERROR, "only one active repository supported");
            return false;
        }
        return true;
    }

    RepoConfig* pSelected = findRepository(*options.m_sRepo);
    if (pSelected == nullptr)
    {
        logMessage(ERROR, "no repository with ID '%s'", options.m_sRepo->c_str());
        return false;
    }
    for (RepoConfig& repo : m_lRepositories)
        repo.m_bEnabled = false;
    pSelected->m_bEnabled = true;
    return true;
}

bool UpdaterConfig::parseFile(const std::string& sPath, bool bFromDefaults)
{
    const bool bResult = readConfigDocument(sPath, bFromDefaults);
    if (bResult && !bFromDefaults)
        parseProxyFile();
    return bResult;
}

bool UpdaterConfig::readConfigDocument(const std::string& sPath, bool bFromDefaults)
{
    XmlReader reader;
    if (!reader.open(sPath))
    {
        logMessage(ERROR, "could not open configuration file '%s'", sPath.c_str());
        return false;
    }

    int nResult;
    while ((nResult = reader.read()) == 1)
    {
        if (!reader.isElement())
            continue;
        const std::string sName = reader.name();
        if (reader.depth() == 0 && sName != "updater")
        {
            logMessage(ERROR, "bad top-level element, '%s' instead of 'updater'", sName.c_str());
            return false;
        }
        if (sName != "repository" && sName != "log" && sName != "product" &&
            sName != "user-agent" && sName != "checksums" && sName != "signatures" &&
            sName != "recovery")
            continue;

        xmlNodePtr pElement = reader.expand();
        if (pElement == nullptr)
            return false;
        bool bHandled;
        if (sName == "repository")
            bHandled = handleRepository(pElement, bFromDefaults);
        else if (sName == "log")
            bHandled = handleLog(pElement);
        else if (sName == "product")
            bHandled = parseProduct(pElement);
        else if (sName == "checksums")
            bHandled = parseChecksums(pElement);
        else if (sName == "signatures")
            bHandled = parseSignatures(pElement);
        else if (sName == "recovery")
            bHandled = handleRecovery(pElement);
        else
            bHandled = handleUserAgent(pElement);
        if (!bHandled)
            return false;
    }
    return nResult == 0;
}

bool UpdaterConfig::handleRepository(xmlNodePtr pElement, bool bFromDefaults)
{
    RepoConfig repo;
    if (!parseRepository(pElement, repo))
        return false;
    repo.m_bIsDefault = bFromDefaults;

    auto it =
        std::find_if(m_lRepositories.begin(), m_lRepositories.end(),
                     [&repo](const RepoConfig& existing) { return existing.m_sId == repo.m_sId; });
    if (it != m_lRepositories.end())
    {
        if (!it->m_bIsDefault)
        {
            logMessage(ERROR, "more than one repository with same ID");
            return false;
        }
        logMessage(DEBUG, "replacing default definition of repo '%s'", repo.m_sId.c_str());
        m_lRepositories.erase(it);
    }
    m_lRepositories.push_back(std::move(repo));
    return true;
}

bool UpdaterConfig::parseRepository(xmlNodePtr pElement, RepoConfig& repo)
{
    if (!getAttribute(pElement, "id", repo.m_sId))
    {
        logMessage(ERROR, "no 'id' attribute in 'repository' element");
        return false;
    }
    if (repo.m_sId == "zpl100")
    {
        logMessage(DEBUG, "replacing repo ID '%s' by 'base' for backwards compatibility",
                   repo.m_sId.c_str());
        repo.m_sId = "base";
    }

    std::string sEnabled;
    if (getAttribute(pElement, "enabled", sEnabled))
        repo.m_bEnabled = sEnabled == "true";

    for (xmlNodePtr pChild = pElement->children; pChild != nullptr; pChild = pChild->next)
    {
        if (isChildNamed(pElement, pChild, "name"))
        {
            if (!getText(pChild, repo.m_sName))
                return false;
        }
        else if (isChildNamed(pElement, pChild, "location"))
        {
            if (!getAttribute(pChild, "href", repo.m_sUri))
            {
                logMessage(ERROR, "no 'href' attribute in 'location' element");
                return false;
            }
        }
        else if (isChildNamed(pElement, pChild, "gpgcheck"))
        {
            std::string sMetadata;
            if (!getAttribute(pChild, "metadata", sMetadata) ||
                !parseBoolean(sMetadata, repo.m_bGpgCheckMetadata))
            {
                logMessage(
                    ERROR,
                    "'gpgcheck' element of repository '%s' needs metadata=\"true\" or \"false\"",
                    repo.m_sId.c_str());
                return false;
            }
        }
        else if (isChildNamed(pElement, pChild, "tls"))
        {
            if (!parseTls(pChild, repo.m_tls))
            {
                logMessage(ERROR, "bad 'tls' element in repository '%s'", repo.m_sId.c_str());
                return false;
            }
        }
    }

    if (repo.m_sUri.empty())
    {
        logMessage(ERROR, "no URI for repository '%s'", repo.m_sId.c_str());
        return false;
    }
    return true;
}

bool UpdaterConfig::parseTls(xmlNodePtr pElement, TlsConfig& tls)
{
    tls = TlsConfig();
    (void)getAttribute(pElement, "ca", tls.m_sCaFile);
    (void)getAttribute(pElement, "cert", tls.m_sCertFile);
    (void)getAttribute(pElement, "key", tls.m_sKeyFile);
    std::string sSystemCa;
    if (getAttribute(pElement, "system-ca", sSystemCa) && !parseBoolean(sSystemCa, tls.m_bSystemCa))
    {
        logMessage(ERROR, "'system-ca' must be \"true\" or \"false\", not '%s'", sSystemCa.c_str());
        return false;
    }
    if (tls.m_sCertFile.empty() != tls.m_sKeyFile.empty())
    {
        logMessage(ERROR, "a client certificate needs both 'cert' and 'key'");
        return false;
    }
    if (tls.m_bSystemCa && tls.m_sCaFile.empty())
    {
        logMessage(ERROR, "'system-ca' needs a 'ca' file");
        return false;
    }
    return true;
}

bool UpdaterConfig::parseChecksums(xmlNodePtr pElement)
{
    std::string sAccept;
    if (!getAttribute(pElement, "accept", sAccept))
    {
        logMessage(ERROR, "no 'accept' attribute in 'checksums' element");
        return false;
    }
    std::vector<std::string> vTypes;
    std::string::size_type nPos = 0;
    while ((nPos = sAccept.find_first_not_of(" \t\r\n", nPos)) != std::string::npos)
    {
        const std::string::size_type nEnd = sAccept.find_first_of(" \t\r\n", nPos);
        std::string sType =
            sAccept.substr(nPos, nEnd == std::string::npos ? std::string::npos : nEnd - nPos);
        nPos = nEnd;
        if (!Checksum::isKnownType(sType))
        {
            logMessage(ERROR, "unknown checksum type '%s' in 'checksums' element", sType.c_str());
            return false;
        }
        if (std::find(vTypes.begin(), vTypes.end(), sType) == vTypes.end())
            vTypes.push_back(std::move(sType));
    }
    if (vTypes.empty())
    {
        logMessage(ERROR, "no checksum type in 'checksums' element");
        return false;
    }
    m_vChecksumTypes = std::move(vTypes);
    return true;
}

bool UpdaterConfig::parseSignatures(xmlNodePtr pElement)
{
    std::string sRequired;
    if (!getAttribute(pElement, "required", sRequired) ||
        !parseBoolean(sRequired, m_bRequireSignatures))
    {
        logMessage(ERROR, "'signatures' element needs required=\"true\" or \"false\"");
        return false;
    }
    return true;
}

bool UpdaterConfig::handleRecovery(xmlNodePtr pElement)
{
    // Each attribute given replaces what an earlier file said.
    for (auto [pName, pValue] :
         {std::pair{"verify", &m_bRecoveryVerify}, std::pair{"repair", &m_bRecoveryRepair}})
    {
        std::string sValue;
        if (!getAttribute(pElement, pName, sValue))
            continue;
        if (sValue != "true" && sValue != "false")
        {
            logMessage(ERROR, "'%s' attribute of 'recovery' must be 'true' or 'false'", pName);
            return false;
        }
        *pValue = sValue == "true";
    }
    return true;
}

bool UpdaterConfig::handleLog(xmlNodePtr pElement)
{
    std::string sLevel;
    if (getAttribute(pElement, "level", sLevel) && !sLevel.empty())
        m_nLogLevel = parseLogLevel(sLevel);

    for (xmlNodePtr pLogger = pElement->children; pLogger != nullptr; pLogger = pLogger->next)
    {
        if (!isChildNamed(pElement, pLogger, "logger"))
            continue;
        std::string sType;
        if (!getAttribute(pLogger, "type", sType))
            return false;
        if (sType == "stderr")
        {
            m_bLogStderr = true;
        }
        else if (sType == "syslog")
        {
            xmlNodePtr pFacility = nullptr;
            for (xmlNodePtr pChild = pLogger->children; pChild != nullptr; pChild = pChild->next)
            {
                if (isNamed(pChild, "facility"))
                    pFacility = pChild;
            }
            std::string sFacility;
            if (pFacility == nullptr || !getText(pFacility, sFacility))
                return false;
            m_bLogSyslog = true;
            m_nSyslogFacility = parseSyslogFacility(sFacility);
        }
        else
        {
            logMessage(DEBUG, "ignoring unknown '%s' logger type", sType.c_str());
        }
    }
    return true;
}

bool UpdaterConfig::parseProduct(xmlNodePtr pElement)
{
    for (xmlNodePtr pChild = pElement->children; pChild != nullptr; pChild = pChild->next)
    {
        if (isChildNamed(pElement, pChild, "name"))
        {
            if (!getText(pChild, m_sProductName))
                return false;
            continue;
        }
        if (!isChildNamed(pElement, pChild, "packages"))
            continue;
        for (xmlNodePtr pList = pChild->children; pList != nullptr; pList = pList->next)
        {
            if (isChildNamed(pElement, pList, "release"))
            {
                std::vector<std::string> vRelease;
                if (!parsePackageList(pList, vRelease, nullptr) || vRelease.size() != 1)
                    return false;
                m_sReleasePackage = vRelease.front();
            }
            else if (isChildNamed(pElement, pList, "addons"))
            {
                if (!parsePackageList(pList, m_vAddonPackages, &m_vAddonGroups))
                    return false;
            }
        }
    }
    return true;
}

bool UpdaterConfig::parsePackageList(xmlNodePtr pElement, std::vector<std::string>& vNames,
                                     std::vector<std::string>* pGroups)
{
    for (xmlNodePtr pEntry = pElement->children; pEntry != nullptr; pEntry = pEntry->next)
    {
        const bool bPackage = isNamed(pEntry, "package");
        if (!bPackage && !isNamed(pEntry, "group"))
            continue;
        for (xmlNodePtr pName = pEntry->children; pName != nullptr; pName = pName->next)
        {
            if (!isNamed(pName, "name"))
                continue;
            std::string sName;
            if (!getText(pName, sName))
                return false;
            if (bPackage)
                vNames.push_back(sName);
            else if (pGroups != nullptr)
                pGroups->push_back(sName);
            else
                logMessage(WARNING, "ignoring package group named '%s' in config file line %hu",
                           sName.c_str(), static_cast<unsigned short>(xmlGetLineNo(pEntry)));
        }
    }
    return true;
}

bool UpdaterConfig::handleUserAgent(xmlNodePtr pElement)
{
    for (xmlNodePtr pChild = pElement->children; pChild != nullptr; pChild = pChild->next)
    {
        if (isChildNamed(pElement, pChild, "base"))
        {
            if (!getText(pChild, m_network.m_sUserAgentBase))
                return false;
        }
        else if (isChildNamed(pElement, pChild, "prodname"))
        {
            if (!getText(pChild, m_network.m_sUserAgentProduct))
                return false;
        }
    }
    return true;
}

void UpdaterConfig::parseProxyFile()
{
    const std::string& sPath = m_paths.m_sProxyFile;
    XmlReader reader;
    if (!reader.open(sPath))
    {
        logMessage(DEBUG, "no proxy configuration file '%s'", sPath.c_str());
        return;
    }

    int nResult = reader.read();
    while (nResult == 1)
    {
        if (!reader.isElement())
        {
            nResult = reader.read();
            continue;
        }
        const std::string sName = reader.name();
        if (reader.depth() == 0 && sName != "proxyconf")
        {
            logMessage(ERROR, "bad top-level element, '%s' instead of 'proxyconf'", sName.c_str());
            return;
        }
        if (sName != "proxy")
        {
            nResult = reader.read();
            continue;
        }

        if (!m_network.m_sProxyServer.empty())
            logMessage(WARNING,
                       "multiple proxy servers in configuration file, using last occurence");
        xmlNodePtr pProxy = reader.expand();
        if (pProxy == nullptr)
            return;

        std::string sServer;
        if (!getAttribute(pProxy, "server", sServer) || sServer.empty())
        {
            logMessage(ERROR, "no 'server' attribute in 'proxy' element");
            return;
        }
        std::string sPort;
        if (!getAttribute(pProxy, "port", sPort) || sPort.empty())
        {
            logMessage(ERROR, "no 'port' attribute in 'proxy' element");
            return;
        }
        char* pEnd = nullptr;
        const long nPort = std::strtol(sPort.c_str(), &pEnd, 10);
        if (*pEnd != '\0' || nPort < 0 || nPort > MAX_PROXY_PORT)
        {
            logMessage(ERROR, "invalid port number '%s'", sPort.c_str());
            return;
        }
        std::string sBypass;
        const bool bBypass = !getAttribute(pProxy, "bypassLocalNetwork", sBypass) ||
                             (sBypass != "off" && sBypass != "false");

        m_network.m_sProxyServer = sServer;
        m_network.m_nProxyPort = static_cast<unsigned int>(nPort);
        m_network.m_bProxyBypassLocal = bBypass;
        logMessage(DEBUG, "configured proxy '%s' port %u bypass %i",
                   m_network.m_sProxyServer.c_str(), m_network.m_nProxyPort,
                   m_network.m_bProxyBypassLocal ? 1 : 0);

        m_network.m_sProxyUser.clear();
        m_network.m_sProxyPassword.clear();
        std::string sValue;
        if (getAttribute(pProxy, "username", sValue))
            m_network.m_sProxyUser = sValue;
        if (getAttribute(pProxy, "password", sValue))
            m_network.m_sProxyPassword = sValue;

        nResult = reader.next();
    }
}

RepoConfig* UpdaterConfig::findRepository(const std::string& sId)
{
    for (RepoConfig& repo : m_lRepositories)
    {
        if (repo.m_sId == sId)
            return &repo;
    }
    return nullptr;
}

const RepoConfig* UpdaterConfig::findRepository(const std::string& sId) const
{
    for (const RepoConfig& repo : m_lRepositories)
    {
        if (repo.m_sId == sId)
            return &repo;
    }
    return nullptr;
}

const RepoConfig* UpdaterConfig::activeRepository() const
{
    for (const RepoConfig& repo : m_lRepositories)
    {
        if (repo.m_bEnabled)
            return &repo;
    }
    return nullptr;
}
