#pragma once

#include "base/Checksum.h"
#include "base/Dependency.h"
#include "base/Evr.h"
#include "base/Logger.h"
#include "base/Package.h"
#include "config/UpdaterConfig.h"
#include "repository/ParsedListCache.h"

#include <libxml/tree.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

class Downloader;

// Namespaces of the yum repository metadata format, matched by URI whatever the prefix.
inline constexpr const char* REPO_METADATA_NS = "http://linux.duke.edu/metadata/repo";
inline constexpr const char* COMMON_METADATA_NS = "http://linux.duke.edu/metadata/common";
inline constexpr const char* RPM_METADATA_NS = "http://linux.duke.edu/metadata/rpm";

// One "data" element of repodata/repomd.xml.
struct MetadataEntry
{
    std::string m_sType;
    std::string m_sLocation;  // relative to the base URI, as written in the index
    std::string m_sLocalPath; // repository cache dir + base name of the location
    Checksum m_Checksum;      // of the file as stored
    Checksum m_OpenChecksum;  // of the uncompressed content; may be empty
    uint32_t m_nTimestamp = 0;
};

// The active repository of a run: its cache directories, its index and its package list.
class Repository
{
public:
    using MetadataMap = std::map<std::string, MetadataEntry>;

    // Nothing is created on disk. The entry must outlive the repository.
    Repository(const UpdaterConfig& config, const RepoConfig& repoConfig);
    ~Repository();

    Repository(const Repository&) = delete;
    Repository& operator=(const Repository&) = delete;

    // A text beginning with "/" becomes "file://" + text; anything else is taken unchanged.
    void setBaseUri(const std::string& sUri);
    // The base URI begins with "file:".
    bool isLocal() const;

    // Fetches the index (always fresh) and the package list (reused from the cache when its
    // checksum matches) and parses the list. A non-empty override replaces the base URI.
    [[nodiscard]] bool update(const std::string& sUriOverride = std::string());
    // Parses the index and the package list already in the cache; no network, no mkdir.
    [[nodiscard]] bool loadFromCache();

    // Makes every package of the set present and valid in the package directory; the first
    // failing package ends the call.
    [[nodiscard]] bool getPackages(const PackageSet& packages);
    // Removes every entry of the package directory. False only when the directory exists
    // but cannot be opened or read to its end.
    [[nodiscard]] bool cleanPackages();

    // Index: m_sRepoDir + "repomd.xml" into the metadata map.
    [[nodiscard]] bool parseRepomd();
    [[nodiscard]] bool parseMetadataEntry(xmlNodePtr pData, MetadataEntry& entry) const;
    [[nodiscard]] static bool parseChecksum(xmlNodePtr pElement, Checksum& checksum);
    // Makes the entry's file present at its local path and valid, fetching at most twice.
    [[nodiscard]] bool fetchMetadataFile(Downloader& downloader, MetadataEntry& entry);
    // Parses the local copy of the "primary" entry, optionally checking its checksum first.
    [[nodiscard]] bool loadPrimary(bool bVerify);

    // Package list: appends every accepted package of the file (plain or gzip) to the list.
    [[nodiscard]] bool parsePrimary(const std::string& sPath);

    const RepoConfig& repoConfig() const { return *m_pRepoConfig; }
    const std::string& repoDir() const { return m_sRepoDir; }
    const std::string& packageDir() const { return m_sPackageDir; }
    const std::string& baseUri() const { return m_sBaseUri; }
    const MetadataMap& metadata() const { return m_mapMetadata; }
    const RepoPackageList& packages() const { return m_setPackages; }

private:
    // Which checksum accepted a metadata file.
    enum class Match
    {
        NONE,
        STORED,
        UNCOMPRESSED,
    };

    // The index into the cache; with a signed index, together with its signature and only
    // when the signature checks.
    bool fetchIndex(Downloader& downloader);
    // Which checksum the local file passes: the stored one or, failing that, the
    // uncompressed one.
    Match verifiedMatch(const MetadataEntry& entry) const;
    bool fetchMetadataFile(Downloader& downloader, MetadataEntry& entry, Match& match);
    // verified: the checksum that accepted the file just before, when it is not verified
    // here. pPrevious: the list parsed before, offered for reuse when the file is the same.
    bool loadPrimary(bool bVerify, Match verified, RepoPackageList* pPrevious);

    const RepoConfig* m_pRepoConfig;
    std::string m_sRepoDir;
    std::string m_sPackageDir;
    std::string m_sBaseUri;
    MetadataMap m_mapMetadata;
    RepoPackageList m_setPackages;
    // What m_setPackages was parsed from, while that is known.
    ParsedListCache m_parsedList;
};
