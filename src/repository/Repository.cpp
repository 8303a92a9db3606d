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
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <vector>

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
// A parse that logs more than this (tracing) is not kept for reuse.
constexpr std::size_t MAX_RECORDED_MESSAGES = 10000;

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
    logMessage(ERROR, "failed renaming '%s' to '%s' (%s)", sFrom.c_str(), sTo.c_str(), errnoText().c_str());
    return false;
}

} // namespace

Repository::Repository(const UpdaterConfig& config, const RepoConfig& repoConfig)
    : m_pRepoConfig(&repoConfig),
      m_sRepoDir(config.m_sCacheDir + repoConfig.m_sId + "/"),
      m_sPackageDir(m_sRepoDir + "packages/")
{
    setBaseUri(repoConfig.m_sUri);
}

namespace
{

bool g_bLeaveListsToExit = false;

} // namespace

void Repository::leavePackageListsToExit()
{
    g_bLeaveListsToExit = true;
}

Repository::~Repository()
{
    logMessage(DEBUG, "destroyed repository '%s' with cache dir '%s'", m_pRepoConfig->m_sId.c_str(),
               m_sRepoDir.c_str());
    if (g_bLeaveListsToExit && !m_setPackages.empty())
    {
        // Never destroyed, and reachable to the end, so that leak checkers see no leak.
        static auto* pLeftLists = new std::vector<std::unique_ptr<RepoPackageList>>;
        pLeftLists->push_back(std::make_unique<RepoPackageList>(std::move(m_setPackages)));
    }
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
    m_pParsedSource.reset();

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
    if (!fetchMetadataFile(downloader, it->second))
    {
        logMessage(ERROR, "failed getting repository resource '%s'", it->second.m_sLocation.c_str());
        return false;
    }
    ++notifier.m_nCount;
    notifier.notify(0);

    // The package list has just passed its checksum test.
    return loadPrimary(false);
}

bool Repository::loadFromCache()
{
    // The list read before is kept aside: when the cached file is still the one it was
    // parsed from, it is taken again instead of parsing the whole file once more.
    RepoPackageList previous;
    previous.swap(m_setPackages);
    std::unique_ptr<ParsedSource> pPreviousSource = std::move(m_pParsedSource);
    m_mapMetadata.clear();
    if (m_pRepoConfig->m_bGpgCheckMetadata &&
        !verifyDetachedSignature(m_sRepoDir + REPOMD_FILE, m_sRepoDir + REPOMD_SIGNATURE_FILE, REPOMD_PATH, DEBUG))
    {
        logMessage(ERROR, "refusing repository index '%s' without a valid signature", REPOMD_PATH);
        return false;
    }
    if (!parseRepomd())
    {
        logMessage(ERROR, "failed parsing repository metadata from '%s'", REPOMD_PATH);
        return false;
    }
    m_pParsedSource = std::move(pPreviousSource);
    return loadPrimary(true, &previous);
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
    const std::string sNewIndex = sIndex + UNVERIFIED_SUFFIX, sNewSignature = sSignature + UNVERIFIED_SUFFIX;
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

bool Repository::isValidMetadataFile(const MetadataEntry& entry)
{
    if (entry.m_Checksum.verify(entry.m_sLocalPath))
        m_lastMatch = Match::STORED;
    else if (entry.m_OpenChecksum.verifyUncompressed(entry.m_sLocalPath))
        m_lastMatch = Match::UNCOMPRESSED;
    else
        m_lastMatch = Match::NONE;
    return m_lastMatch != Match::NONE;
}

bool Repository::fetchMetadataFile(Downloader& downloader, MetadataEntry& entry)
{
    if (isReadable(entry.m_sLocalPath) && isValidMetadataFile(entry))
    {
        logMessage(DEBUG, "cached copy '%s' of '%s' is valid", entry.m_sLocalPath.c_str(), entry.m_sLocation.c_str());
        return true;
    }
    VerifiedFetch fetch;
    fetch.m_sLocation = entry.m_sLocation;
    fetch.m_sLocalPath = entry.m_sLocalPath;
    fetch.m_uMaxSize = MAX_METADATA_SIZE;
    fetch.m_sFetchError = "failed getting repository resource '" + entry.m_sLocation + "'";
    return fetchVerified(&downloader, fetch, [&](std::string& sProblem) {
        if (isValidMetadataFile(entry))
            return true;
        sProblem = "invalid checksum on '" + entry.m_sLocation + "'";
        return false;
    });
}

bool Repository::loadPrimary(bool bVerify)
{
    return loadPrimary(bVerify, nullptr);
}

bool Repository::loadPrimary(bool bVerify, RepoPackageList* pPrevious)
{
    // What the current list was parsed from; it describes the list again only when that
    // list is taken over below. A verification counts only for the load right after it.
    std::unique_ptr<ParsedSource> pPreviousSource = std::move(m_pParsedSource);
    const Match verifiedBefore = m_lastMatch;
    m_lastMatch = Match::NONE;
    auto it = m_mapMetadata.find(PRIMARY_TYPE);
    if (it == m_mapMetadata.end())
    {
        logMessage(ERROR, "no 'primary' entry in repository metadata");
        return false;
    }
    const MetadataEntry& entry = it->second;
    if (bVerify && !isValidMetadataFile(entry))
    {
        logMessage(ERROR, "invalid checksum on '%s'", entry.m_sLocation.c_str());
        return false;
    }

    // The file has just been verified (here, or by the fetch before): the checksum that
    // accepted it identifies its content.
    const Match match = bVerify ? m_lastMatch : verifiedBefore;
    m_lastMatch = Match::NONE;
    const Checksum& checksum = match == Match::STORED ? entry.m_Checksum : entry.m_OpenChecksum;
    const ParsedSource* pSource = pPreviousSource.get();
    if (pPrevious != nullptr && pSource != nullptr && match != Match::NONE && pSource->m_match == match &&
        pSource->m_sPath == entry.m_sLocalPath && pSource->m_Checksum.m_sType == checksum.m_sType &&
        pSource->m_Checksum.m_sValue == checksum.m_sValue && pSource->m_nLogThreshold == logger().threshold())
    {
        // Same file, same list: only the messages of the parse are written again.
        m_setPackages.swap(*pPrevious);
        for (const auto& message : pSource->m_recording.m_vMessages)
            logMessage(message.first, "%s", message.second.c_str());
        m_pParsedSource = std::move(pPreviousSource);
        return true;
    }

    auto pParsed = std::make_unique<ParsedSource>();
    pParsed->m_sPath = entry.m_sLocalPath;
    pParsed->m_match = match;
    pParsed->m_Checksum = checksum;
    pParsed->m_nLogThreshold = logger().threshold();
    pParsed->m_recording.m_uLimit = MAX_RECORDED_MESSAGES;
    logger().setRecording(&pParsed->m_recording);
    const bool bParsed = parsePrimary(entry.m_sLocalPath);
    logger().setRecording(nullptr);
    if (!bParsed)
    {
        logMessage(ERROR, "failed parsing repository resource '%s'", entry.m_sLocation.c_str());
        return false;
    }
    if (match != Match::NONE && !pParsed->m_recording.m_bFull)
        m_pParsedSource = std::move(pParsed);
    return true;
}

bool Repository::parsePrimary(const std::string& sPath)
{
    // The list changes: whatever it was parsed from before no longer describes it.
    m_pParsedSource.reset();
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
            if (reader.depth() == 0 && (reader.localName() != "repomd" || reader.namespaceUri() != REPO_METADATA_NS))
            {
                logMessage(DEBUG, "bad top-level element, '%s' instead of 'rempomd'", reader.localName().c_str());
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
    if (!entry.m_sLocation.empty() && (!checkLocation(entry.m_sLocation) || baseName(entry.m_sLocation) == REPOMD_FILE))
    {
        if (baseName(entry.m_sLocation) == REPOMD_FILE)
            logMessage(ERROR, "refusing location '%s' (the index's own name)", entry.m_sLocation.c_str());
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
