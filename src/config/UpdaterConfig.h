#pragma once

#include <list>
#include <optional>
#include <string>
#include <vector>

struct _xmlNode; // libxml2's element node (xmlNode)

// TLS settings of one repository: certificate authorities and a client identity (PEM files).
struct TlsConfig
{
    std::string m_sCaFile;    // trusted instead of the system's authorities; empty: the system's
    bool m_bSystemCa = false; // with a CA file: trust the system's authorities as well
    std::string m_sCertFile;  // client certificate; set together with the key
    std::string m_sKeyFile;

    bool empty() const { return m_sCaFile.empty() && m_sCertFile.empty(); }
};

// One repository definition.
struct RepoConfig
{
    std::string m_sId;
    std::string m_sName;
    std::string m_sUri;
    bool m_bEnabled = true;
    bool m_bIsDefault = false;
    // The index must carry a valid detached signature (repodata/repomd.xml.asc).
    bool m_bGpgCheckMetadata = false;
    TlsConfig m_tls;
};

// The network settings handed to the network layer at start-up.
struct NetworkConfig
{
    std::string m_sProxyServer;
    unsigned int m_nProxyPort = 0;
    bool m_bProxyBypassLocal = false;
    std::string m_sProxyUser;
    std::string m_sProxyPassword;
    std::string m_sUserAgentBase;
    std::string m_sUserAgentProduct;
};

// The command-line options that the configuration loader lays over the files; each is
// absent or given. Flags are true when given.
struct UpdaterOptions
{
    bool m_bQuiet = false;
    std::optional<std::string> m_sLogLevel;
    std::optional<std::string> m_sRepo;
    std::optional<std::string> m_sRepoUrl;
    bool m_bLogStderr = false;
    std::optional<std::string> m_sLogTo;
    bool m_bCheckOnly = false;
    bool m_bTest = false;
    bool m_bNoSigCheck = false;
    bool m_bNoReboot = false;
    bool m_bBackground = false;
    bool m_bCacheOnly = false;
    bool m_bNoCacheClean = false;
    bool m_bCheckDbHeaders = false;
    int m_nMaxWaitTime = 0;
    int m_nLockTimeout = 0;
    std::optional<std::string> m_sCacheDir;
    std::optional<std::string> m_sConfFile;
};

// All settings of a run.
class UpdaterConfig
{
public:
    static constexpr const char* DEFAULTS_FILE =
        "/usr/share/resources/default/updater/defaults.conf";
    static constexpr const char* CONFIG_FILE = "/etc/updater.conf";
    static constexpr const char* PROXY_FILE = "/etc/network/vqzproxy.conf";
    // Mount point of USB update media, and where older systems mounted them.
    static constexpr const char* USB_UPDATES_DIR = "/var/lib/updater/mnt-usb-updates";
    static constexpr const char* LEGACY_USB_UPDATES_DIR = "/media/usb1/updates";

    // The fixed locations the record reads; only tests point them elsewhere.
    struct Paths
    {
        std::string m_sDefaultsFile = DEFAULTS_FILE;
        std::string m_sConfigFile = CONFIG_FILE;
        std::string m_sProxyFile = PROXY_FILE;
        std::string m_sUsbUpdatesDir = USB_UPDATES_DIR;
        std::string m_sLegacyUsbUpdatesDir = LEGACY_USB_UPDATES_DIR;
    };

    UpdaterConfig();
    explicit UpdaterConfig(const Paths& paths);

    [[nodiscard]] bool load(const UpdaterOptions& options);
    [[nodiscard]] bool parseFile(const std::string& sPath, bool bFromDefaults);
    void parseProxyFile();

    // Element readers of the configuration file format.
    [[nodiscard]] static bool parseRepository(_xmlNode* pElement, RepoConfig& repo);
    [[nodiscard]] static bool parseTls(_xmlNode* pElement, TlsConfig& tls);
    [[nodiscard]] bool parseChecksums(_xmlNode* pElement);
    [[nodiscard]] bool parseSignatures(_xmlNode* pElement);
    [[nodiscard]] bool parseProduct(_xmlNode* pElement);
    // Appends the package names to vNames and the group names to pGroups; without a group
    // list, groups are reported and skipped.
    [[nodiscard]] static bool parsePackageList(_xmlNode* pElement, std::vector<std::string>& vNames,
                                               std::vector<std::string>* pGroups);

    RepoConfig* findRepository(const std::string& sId);
    const RepoConfig* findRepository(const std::string& sId) const;
    // The first enabled repository, or none.
    const RepoConfig* activeRepository() const;

    bool m_bQuiet = false;
    bool m_bCacheOnly = false;
    bool m_bCheckOnly = false;
    bool m_bTest = false;
    bool m_bNoSigCheck = false;
    bool m_bNoReboot = false;
    bool m_bCheckDbHeaders = false;
    bool m_bNoCacheClean = false;
    int m_nLockTimeout = 120;
    // <recovery verify="true" repair="true"/>: a start after an interrupted installation
    // checks the rpm database against the transaction record (verify) and runs a cut-off
    // installation once more (repair, only together with verify).
    bool m_bRecoveryVerify = false;
    bool m_bRecoveryRepair = false;
    std::string m_sCacheDir = "/var/cache/updater/";
    int m_nMaxWaitTime = 600;
    bool m_bBackground = false;
    int m_nLogLevel = 2;
    bool m_bLogStderr = false;
    bool m_bLogSyslog = false;
    int m_nSyslogFacility = 0;
    std::string m_sProductName;
    std::string m_sReleasePackage;
    std::vector<std::string> m_vAddonPackages;
    std::vector<std::string> m_vAddonGroups;
    std::list<RepoConfig> m_lRepositories;
    NetworkConfig m_network;
    // Checksum types of the repository metadata that are verified.
    std::vector<std::string> m_vChecksumTypes{"sha"};
    // Without a public key in the rpm database nothing is installed.
    bool m_bRequireSignatures = false;
    Paths m_paths;

private:
    [[nodiscard]] bool readConfigDocument(const std::string& sPath, bool bFromDefaults);
    [[nodiscard]] bool handleRepository(_xmlNode* pElement, bool bFromDefaults);
    [[nodiscard]] bool handleLog(_xmlNode* pElement);
    [[nodiscard]] bool handleUserAgent(_xmlNode* pElement);
    [[nodiscard]] bool handleRecovery(_xmlNode* pElement);
};
