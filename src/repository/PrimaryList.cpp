// Reading the package list ("primary") of a repository.

#include "repository/MetadataXml.h"
#include "repository/Repository.h"

#include "base/Logger.h"
#include "config/XmlReader.h"
#include "downloader/Downloader.h"

#include <rpm/rpmlib.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace
{

const char* RPMLIB_PREFIX = "rpmlib(";
// Uncompressed bytes of a package list beyond which it is refused: a small compressed
// file must not be able to make the list outgrow the device's memory.
constexpr long MAX_PRIMARY_CONTENT = 256L << 20;
const std::size_t RPMLIB_PREFIX_LENGTH = 7;

// Epochs are decimal, whole-text, not negative and below INT_MAX (which is what an
// overflowing conversion yields).
bool convertEpoch(const std::string& sText, int& nEpoch)
{
    if (sText.empty())
        return false;
    errno = 0;
    char* pEnd = nullptr;
    long nValue = std::strtol(sText.c_str(), &pEnd, 10);
    if (pEnd == sText.c_str() || *pEnd != '\0' || errno == ERANGE || nValue < 0 || nValue >= INT_MAX)
        return false;
    nEpoch = static_cast<int>(nValue);
    return true;
}

bool convertSize(const std::string& sText, uint64_t& uSize)
{
    if (sText.empty() || sText[0] < '0' || sText[0] > '9')
        return false;
    errno = 0;
    char* pEnd = nullptr;
    unsigned long long uValue = std::strtoull(sText.c_str(), &pEnd, 10);
    if (*pEnd != '\0' || errno == ERANGE || uValue == 0)
        return false;
    uSize = uValue;
    return true;
}

bool mapFlags(const std::string& sWord, int& nFlags)
{
    static const struct
    {
        const char* m_pWord;
        int m_nFlags;
    } FLAG_WORDS[] = {
        {"EQ", RPMSENSE_EQUAL},
        {"LT", RPMSENSE_LESS},
        {"GT", RPMSENSE_GREATER},
        {"LE", RPMSENSE_LESS | RPMSENSE_EQUAL},
        {"GE", RPMSENSE_GREATER | RPMSENSE_EQUAL},
    };
    for (const auto& flagWord : FLAG_WORDS)
    {
        if (sWord == flagWord.m_pWord)
        {
            nFlags = flagWord.m_nFlags;
            return true;
        }
    }
    return false;
}

} // namespace

bool Repository::parsePrimary(const std::string& sPath)
{
    // The list changes: whatever it was parsed from before no longer describes it.
    m_pParsedSource.reset();
    XmlReader reader;
    MetadataEntityGuard entityGuard;
    if (!reader.open(sPath))
    {
        logMessage(ERROR, "could not open primary file '%s' for parsing", sPath.c_str());
        return false;
    }

    int nResult = reader.read();
    while (nResult == 1)
    {
        if (entityGuard.refused())
            return false;
        if (xmlTextReaderByteConsumed(reader.get()) > MAX_PRIMARY_CONTENT)
        {
            logMessage(ERROR, "package list '%s' is larger than %ld bytes", sPath.c_str(), MAX_PRIMARY_CONTENT);
            return false;
        }
        bool bSkipSubtree = false;
        if (reader.isElement())
        {
            if (reader.depth() == 0 && (reader.localName() != "metadata" || reader.namespaceUri() != COMMON_METADATA_NS))
            {
                logMessage(ERROR, "bad top-level element, '%s' instead of 'metadata'", reader.localName().c_str());
                return false;
            }
            if (reader.localName() == "package" && reader.namespaceUri() == COMMON_METADATA_NS)
            {
                xmlNodePtr pPackage = reader.expand();
                if (pPackage == nullptr || entityGuard.refused())
                    return false;
                RepoPackage package;
                int nAccepted = parsePackage(pPackage, package);
                if (nAccepted < 0)
                    return false;
                if (nAccepted > 0)
                    m_setPackages.insert(std::move(package));
                bSkipSubtree = true;
            }
        }
        nResult = bSkipSubtree ? reader.next() : reader.read();
    }
    return nResult == 0 && !entityGuard.refused();
}

int Repository::parsePackage(xmlNodePtr pPackage, RepoPackage& package) const
{
    std::string sType;
    if (!readAttribute(pPackage, "type", sType) || sType != "rpm")
        return 0;

    bool bName = false;
    bool bVersion = false;
    bool bLocation = false;
    bool bChecksum = false;
    std::string sArch;

    for (xmlNodePtr pChild = pPackage->children; pChild != nullptr; pChild = pChild->next)
    {
        if (pChild->type != XML_ELEMENT_NODE || !sameNamespace(pChild, pPackage))
            continue;
        const char* pName = reinterpret_cast<const char*>(pChild->name);
        if (std::strcmp(pName, "name") == 0)
        {
            if (bName || !getText(pChild, package.m_sName))
                return -1;
            bName = true;
        }
        else if (std::strcmp(pName, "arch") == 0)
        {
            if (!sArch.empty() || !getText(pChild, sArch))
                return -1;
        }
        else if (std::strcmp(pName, "version") == 0)
        {
            if (bVersion || !parseEvr(pChild, package.m_Evr))
                return -1;
            bVersion = true;
        }
        else if (std::strcmp(pName, "location") == 0)
        {
            if (bLocation || !getAttribute(pChild, "href", package.m_sLocation))
                return -1;
            bLocation = true;
        }
        else if (std::strcmp(pName, "checksum") == 0)
        {
            if (bChecksum || !parseChecksum(pChild, package.m_Checksum))
                return -1;
            bChecksum = true;
        }
        else if (std::strcmp(pName, "size") == 0)
        {
            // Optional; only bounds the download.
            std::string sSize;
            if (readAttribute(pChild, "package", sSize) && !convertSize(sSize, package.m_uSize))
            {
                logMessage(DEBUG, "ignoring package size '%s'", sSize.c_str());
                package.m_uSize = 0;
            }
        }
        else if (std::strcmp(pName, "format") == 0)
        {
            if (xmlSearchNsByHref(pChild->doc, pChild, BAD_CAST RPM_METADATA_NS) == nullptr)
            {
                logMessage(DEBUG, "no rpm specific data in XML doc");
                continue;
            }
            for (xmlNodePtr pData = pChild->children; pData != nullptr; pData = pData->next)
            {
                if (isMetadataElement(pData, RPM_METADATA_NS, "group"))
                {
                    if (!package.m_sGroup.empty() || !getText(pData, package.m_sGroup))
                        return -1;
                }
                else if (isMetadataElement(pData, RPM_METADATA_NS, "provides"))
                {
                    logMessage(TRACE, "parsing rpm provides for '%s'", package.m_sName.c_str());
                    if (!parseDependencies(pData, package.m_setProvides))
                        return -1;
                }
                else if (isMetadataElement(pData, RPM_METADATA_NS, "requires"))
                {
                    logMessage(TRACE, "parsing rpm requires for '%s'", package.m_sName.c_str());
                    if (!parseDependencies(pData, package.m_setRequires))
                        return -1;
                }
                else if (isMetadataElement(pData, RPM_METADATA_NS, "obsoletes"))
                {
                    logMessage(TRACE, "parsing rpm obsoletes for '%s'", package.m_sName.c_str());
                    if (!parseDependencies(pData, package.m_setObsoletes))
                        return -1;
                }
            }
        }
    }

    if (!bName || !bVersion || !bLocation || !bChecksum)
        return -1;
    if (hasControlCharacter(package.m_sName))
    {
        logMessage(ERROR, "refusing package name with control characters");
        return -1;
    }
    if (!checkLocation(package.m_sLocation))
        return -1;

    package.m_sLocalPath = m_sPackageDir + baseName(package.m_sLocation);

    if (rpmMachineScore(RPM_MACHTABLE_INSTARCH, sArch.c_str()) == 0)
    {
        logMessage(WARNING, "skipping package '%s' of non-compatible arch '%s'",
                   baseName(package.m_sLocation).c_str(), sArch.c_str());
        return 0;
    }
    return 1;
}

bool Repository::parseDependencies(xmlNodePtr pList, DependencySet& dependencies)
{
    for (xmlNodePtr pEntry = pList->children; pEntry != nullptr; pEntry = pEntry->next)
    {
        if (!isChildElement(pEntry, pList, "entry"))
            continue;

        Dependency dependency;
        if (!getAttribute(pEntry, "name", dependency.m_sName))
        {
            logMessage(DEBUG, "failed getting 'name' from 'entry'");
            return false;
        }
        // Capabilities of rpm itself never enter the dependency sets.
        if (dependency.m_sName.compare(0, RPMLIB_PREFIX_LENGTH, RPMLIB_PREFIX) == 0)
            continue;

        if (hasAttribute(pEntry, "ver"))
        {
            if (!parseEvr(pEntry, dependency.m_Evr))
            {
                logMessage(DEBUG, "failed parsing EVR in entry");
                return false;
            }
            std::string sFlags;
            if (!readAttribute(pEntry, "flags", sFlags))
            {
                logMessage(DEBUG, "failed parsing 'flags' in 'entry'");
                return false;
            }
            if (!mapFlags(sFlags, dependency.m_nFlags))
            {
                logMessage(DEBUG, "invalid flags '%s' in 'entry'", sFlags.c_str());
                return false;
            }
        }

        if (logEnabled(TRACE))
            logMessage(TRACE, "%s", dependency.toString().c_str());
        dependencies.insert(std::move(dependency));
    }
    // The list keeps every set for the whole run: no room held in reserve.
    dependencies.shrink_to_fit();
    return true;
}

bool Repository::parseEvr(xmlNodePtr pElement, Evr& evr)
{
    std::string sEpoch;
    std::string sVersion;
    std::string sRelease;
    if (!readAttribute(pElement, "epoch", sEpoch) || !readAttribute(pElement, "ver", sVersion))
    {
        logMessage(DEBUG, "failed parsing 'version' element");
        return false;
    }
    int nEpoch = 0;
    if (!convertEpoch(sEpoch, nEpoch))
        return false;
    if (!readAttribute(pElement, "rel", sRelease))
        sRelease.clear();
    evr = Evr(nEpoch, std::move(sVersion), std::move(sRelease));
    return true;
}
