// The repository of a run: cache directories, index and package list retrieval.

#include "repository/Repository.h"

#include "repository/ItemNotify.h"
#include "repository/MetadataXml.h"
#include "repository/PackageListReader.h"
#include "repository/VerifiedFetch.h"

#include "base/FileUtil.h"
#include "base/Logger.h"
#include "config/XmlReader.h"
#include "downloader/Downloader.h"
#include "rpmdb/DetachedSignature.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace
{

const char* REPOMD_PATH = "repodata/repomd.xml";
const char* REPOMD_FILE = "repomd.xml";
const char* REPOMD_SIGNATURE_PATH = "repodata/repomd.xml.asc";
const char* REPOMD_SIGNATURE_FILE = "repomd.xml.asc";
// A fetched index and signature wait under this suffix until the signature checks.
const char* UNVERIFIED_SUFFIX = ".unverified";
const char* PRIMARY_TYPE = "primary";
// A download growing beyond these is refused: an endless or oversized answer must not
// fill the device's storage. A real index is a few kilobytes, a package list a few
// megabytes.
constexpr uint64_t MAX_INDEX_SIZE = 4ull << 20;
constexpr uint64_t MAX_METADATA_SIZE = 256ull << 20;
constexpr uint64_t MAX_SIGNATURE_SIZE = 64ull << 10;

// strtoull semantics (leading white space and a sign accepted), the whole text, and not
// the value an overflow yields.
bool convertTimestamp(const std::string& sText, uint32_t& nTimestamp)
{
    if (sText.empty())
        return false;
    char* pEnd = nullptr;
    unsigned long long nValue = std::strtoull(sText.c_str(), &pEnd, 10);
    if (pEnd == sText.c_str() || *pEnd != '\0' || nValue == ULLONG_MAX)
        return false;
    nTimestamp = static_cast<uint32_t>(nValue);
    return true;
}

bool renameFile(const std::string& sFrom, const std::string& sTo)
{
    if (::rename(sFrom.c_str(), sTo.c_str()) == 0)
        return true;
    logMessage(ERROR, "failed renaming '%s' to '%s' (%s)", sFrom.c_str(), sTo.c_str(),
               errnoText().c_str());
    return false;
}

} // namespace

Repository::Repository(const UpdaterConfig& config, const RepoConfig& repoConfig)
    : m_pRepoConfig(&repoConfig), m_sRepoDir(config.m_sCacheDir + repoConfig.m_sId + "/"),
      m_sPackageDir(m_sRepoDir + "packages/")
{
    setBaseUri(repoConfig.m_sUri);
}

Repository::~Repository()
{
    logMessage(DEBUG, "destroyed repository '%s' with cache dir '%s'", m_pRepoConfig->m_sId.c_str(),
               m_sRepoDir.c_str());
}

void Repository::setBaseUri(const std::string& sUri)
{
    if (!sUri.empty() && sUri[0] == '/')
        m_sBaseUri = "file://" + sUri;
    else
        m_sBaseUri = sUri;
}

bool Repository::isLocal() const
{
    return m_sBaseUri.compare(0, 5, "file:") == 0;
}

bool Repository::update(const std::string& sUriOverride)
{
    if (!sUriOverride.empty())
        setBaseUri(sUriOverride);
    if (m_sBaseUri.empty())
    {
        logMessage(ERROR, "no repository URI set, cannot update");
        return false;
    }
    m_mapMetadata.clear();
    m_setPackages.clear();
    m_parsedList.forget();

    if (!createDir(m_sRepoDir))
        return false;

    ItemNotify notifier;
    Downloader downloader;
    if (!downloader.open(m_sBaseUri, m_pRepoConfig->m_tls))
    {
        logMessage(ERROR, "failed creating repository downloder from '%s'", m_sBaseUri.c_str());
        return false;
    }
    notifier.m_nTotal = 2;
    downloader.setNotifier(&notifier);

    if (!fetchIndex(downloader))
        return false;
    ++notifier.m_nCount;
    notifier.notify(0);

    if (!parseRepomd())
    {
        logMessage(ERROR, "failed parsing repository metadata from '%s'", REPOMD_PATH);
        return false;
    }
    auto it = m_mapMetadata.find(PRIMARY_TYPE);
    if (it == m_mapMetadata.end())
    {
        logMessage(ERROR, "no 'primary' entry in repository metadata");
        return false;
    }
    Match match = Match::NONE;
    if (!fetchMetadataFile(downloader, it->second, match))
    {
        logMessage(ERROR, "failed getting repository resource '%s'",
                   it->second.m_sLocation.c_str());
        return false;
    }
    ++notifier.m_nCount;
    notifier.notify(0);

    // The package list has just passed its checksum test.
    return loadPrimary(false, match, nullptr);
}

bool Repository::loadFromCache()
{
    // The list read before is kept aside: when the cached file is still the one it was
    // parsed from, it is taken again instead of parsing the whole file once more.
    RepoPackageList previous;
    previous.swap(m_setPackages);
    ParsedListCache previousParse = std::move(m_parsedList);
    m_parsedList.forget();
    m_mapMetadata.clear();
    if (m_pRepoConfig->m_bGpgCheckMetadata &&
        !verifyDetachedSignature(m_sRepoDir + REPOMD_FILE, m_sRepoDir + REPOMD_SIGNATURE_FILE,
                                 REPOMD_PATH, DEBUG))
    {
        logMessage(ERROR, "refusing repository index '%s' without a valid signature", REPOMD_PATH);
        return false;
    }
    if (!parseRepomd())
    {
        logMessage(ERROR, "failed parsing repository metadata from '%s'", REPOMD_PATH);
        return false;
    }
    m_parsedList = std::move(previousParse);
    return loadPrimary(true, Match::NONE, &previous);
}

bool Repository::fetchIndex(Downloader& downloader)
{
    // The index is always fetched fresh: it names the checksums everything else is judged by.
    const std::string sIndex = m_sRepoDir + REPOMD_FILE;
    if (!m_pRepoConfig->m_bGpgCheckMetadata)
    {
        if (downloader.get(REPOMD_PATH, sIndex, true, MAX_INDEX_SIZE))
            return true;
        logMessage(ERROR, "failed getting repository resource '%s'", REPOMD_PATH);
        return false;
    }

    // The index and its signature arrive under names of their own and take the place of the
    // cached pair only together and only once they match: a failed check leaves the last
    // verified pair in the cache, and a signature is never paired with another fetch's index.
    const std::string sSignature = m_sRepoDir + REPOMD_SIGNATURE_FILE;
    const std::string sNewIndex = sIndex + UNVERIFIED_SUFFIX,
                      sNewSignature = sSignature + UNVERIFIED_SUFFIX;
    const char* pFailed = nullptr;
    if (!downloader.get(REPOMD_PATH, sNewIndex, true, MAX_INDEX_SIZE))
        pFailed = REPOMD_PATH;
    else if (!downloader.get(REPOMD_SIGNATURE_PATH, sNewSignature, true, MAX_SIGNATURE_SIZE))
        pFailed = REPOMD_SIGNATURE_PATH;
    if (pFailed != nullptr)
        logMessage(ERROR, "failed getting repository resource '%s'", pFailed);
    else if (!verifyDetachedSignature(sNewIndex, sNewSignature, REPOMD_PATH))
        logMessage(ERROR, "refusing repository index '%s' without a valid signature", REPOMD_PATH);
    else if (!renameFile(sNewSignature, sSignature) || !renameFile(sNewIndex, sIndex))
        logMessage(ERROR, "failed storing repository index '%s'", REPOMD_PATH);
    else
        return true;
    (void)::unlink(sNewIndex.c_str());
    (void)::unlink(sNewSignature.c_str());
    return false;
}

Repository::Match Repository::verifiedMatch(const MetadataEntry& entry) const
{
    if (entry.m_Checksum.verify(entry.m_sLocalPath))
        return Match::STORED;
    if (entry.m_OpenChecksum.verifyUncompressed(entry.m_sLocalPath))
        return Match::UNCOMPRESSED;
    return Match::NONE;
}

bool Repository::fetchMetadataFile(Downloader& downloader, MetadataEntry& entry)
{
    Match match = Match::NONE;
    return fetchMetadataFile(downloader, entry, match);
}

bool Repository::fetchMetadataFile(Downloader& downloader, MetadataEntry& entry, Match& match)
{
    if (isReadable(entry.m_sLocalPath) && (match = verifiedMatch(entry)) != Match::NONE)
    {
        logMessage(DEBUG, "cached copy '%s' of '%s' is valid", entry.m_sLocalPath.c_str(),
                   entry.m_sLocation.c_str());
        return true;
    }
    VerifiedFetch fetch;
    fetch.m_sLocation = entry.m_sLocation;
    fetch.m_sLocalPath = entry.m_sLocalPath;
    fetch.m_uMaxSize = MAX_METADATA_SIZE;
    fetch.m_sFetchError = "failed getting repository resource '" + entry.m_sLocation + "'";
    return fetchVerified(&downloader, fetch,
                         [&](std::string& sProblem)
                         {
                             match = verifiedMatch(entry);
                             if (match != Match::NONE)
                                 return true;
                             sProblem = "invalid checksum on '" + entry.m_sLocation + "'";
                             return false;
                         });
}

bool Repository::loadPrimary(bool bVerify)
{
    return loadPrimary(bVerify, Match::NONE, nullptr);
}

bool Repository::loadPrimary(bool bVerify, Match verified, RepoPackageList* pPrevious)
{
    // What the current list was parsed from; it describes the list again only when that
    // list is taken over below.
    ParsedListCache previousParse = std::move(m_parsedList);
    m_parsedList.forget();
    auto it = m_mapMetadata.find(PRIMARY_TYPE);
    if (it == m_mapMetadata.end())
    {
        logMessage(ERROR, "no 'primary' entry in repository metadata");
        return false;
    }
    const MetadataEntry& entry = it->second;
    const Match match = bVerify ? verifiedMatch(entry) : verified;
    if (bVerify && match == Match::NONE)
    {
        logMessage(ERROR, "invalid checksum on '%s'", entry.m_sLocation.c_str());
        return false;
    }

    // The file has just been verified (here, or by the fetch before): the checksum that
    // accepted it identifies its content.
    std::optional<ParsedListCache::Key> key;
    if (match != Match::NONE)
        key = ParsedListCache::keyOf(
            entry.m_sLocalPath, match == Match::STORED ? entry.m_Checksum : entry.m_OpenChecksum,
            match == Match::UNCOMPRESSED);
    if (pPrevious != nullptr && key && previousParse.takeOver(*key))
    {
        // Same file, same list: only the messages of the parse were written again.
        m_setPackages.swap(*pPrevious);
        m_parsedList = std::move(previousParse);
        return true;
    }

    PackageListReader reader(entry.m_sLocalPath, m_sPackageDir);
    if (!reader.read(m_setPackages))
    {
        logMessage(ERROR, "failed parsing repository resource '%s'", entry.m_sLocation.c_str());
        return false;
    }
    if (key)
        m_parsedList.remember(std::move(*key), reader.takeLog());
    return true;
}

bool Repository::parsePrimary(const std::string& sPath)
{
    // The list changes: whatever it was parsed from before no longer describes it.
    m_parsedList.forget();
    PackageListReader reader(sPath, m_sPackageDir);
    return reader.read(m_setPackages);
}

bool Repository::parseRepomd()
{
    XmlReader reader;
    MetadataEntityGuard entityGuard;
    if (!reader.open(m_sRepoDir + REPOMD_FILE))
        return false;

    int nResult = reader.read();
    while (nResult == 1)
    {
        if (entityGuard.refused())
            return false;
        bool bSkipSubtree = false;
        if (reader.isElement())
        {
            if (reader.depth() == 0 &&
                (reader.localName() != "repomd" || reader.namespaceUri() != REPO_METADATA_NS))
            {
                logMessage(DEBUG, "bad top-level element, '%s' instead of 'rempomd'",
                           reader.localName().c_str());
                return false;
            }
            if (reader.localName() == "data" && reader.namespaceUri() == REPO_METADATA_NS)
            {
                xmlNodePtr pData = reader.expand();
                MetadataEntry entry;
                if (pData == nullptr || entityGuard.refused() || !parseMetadataEntry(pData, entry))
                {
                    logMessage(DEBUG, "failed parsing 'data' element");
                    return false;
                }
                // The first entry of a type counts.
                std::string sType = entry.m_sType;
                m_mapMetadata.emplace(std::move(sType), std::move(entry));
                bSkipSubtree = true;
            }
        }
        nResult = bSkipSubtree ? reader.next() : reader.read();
    }
    return nResult == 0 && !entityGuard.refused();
}

bool Repository::parseMetadataEntry(xmlNodePtr pData, MetadataEntry& entry) const
{
    if (!readAttribute(pData, "type", entry.m_sType))
    {
        logMessage(DEBUG, "no 'type' attribute in 'data' element");
        return false;
    }
    for (xmlNodePtr pChild = pData->children; pChild != nullptr; pChild = pChild->next)
    {
        if (pChild->type != XML_ELEMENT_NODE || !sameNamespace(pChild, pData))
            continue;
        const char* pName = reinterpret_cast<const char*>(pChild->name);
        if (std::strcmp(pName, "location") == 0)
        {
            if (!getAttribute(pChild, "href", entry.m_sLocation))
                return false;
        }
        else if (std::strcmp(pName, "checksum") == 0)
        {
            if (!parseChecksum(pChild, entry.m_Checksum))
                return false;
        }
        else if (std::strcmp(pName, "open-checksum") == 0)
        {
            if (!parseChecksum(pChild, entry.m_OpenChecksum))
                return false;
        }
        else if (std::strcmp(pName, "timestamp") == 0)
        {
            std::string sText;
            if (!getText(pChild, sText) || !convertTimestamp(sText, entry.m_nTimestamp))
            {
                logMessage(DEBUG, "failed parsing 'timestamp'");
                return false;
            }
        }
    }
    // An entry without location is accepted; it is an error only once it is fetched.
    if (!entry.m_sLocation.empty() &&
        (!checkLocation(entry.m_sLocation) || baseName(entry.m_sLocation) == REPOMD_FILE))
    {
        if (baseName(entry.m_sLocation) == REPOMD_FILE)
            logMessage(ERROR, "refusing location '%s' (the index's own name)",
                       entry.m_sLocation.c_str());
        return false;
    }
    entry.m_sLocalPath = m_sRepoDir + baseName(entry.m_sLocation);
    return true;
}

bool Repository::parseChecksum(xmlNodePtr pElement, Checksum& checksum)
{
    if (!getAttribute(pElement, "type", checksum.m_sType) || !getText(pElement, checksum.m_sValue))
    {
        logMessage(DEBUG, "failed parsing 'checksum' element");
        return false;
    }
    return true;
}
