#include "ConfigTestSupport.h"

#include "base/Logger.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <syslog.h>

using namespace testing_support;

namespace
{

std::vector<std::string> repoIds(const UpdaterConfig& config)
{
    std::vector<std::string> vIds;
    for (const RepoConfig& repo : config.m_lRepositories)
        vIds.push_back(repo.m_sId);
    return vIds;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Construction and the built-in USB entry

TEST(UpdaterConfigTest, ConstructorDefaults)
{
    ConfigFiles files;
    UpdaterConfig config(files.paths());
    EXPECT_FALSE(config.m_bQuiet);
    EXPECT_FALSE(config.m_bCacheOnly);
    EXPECT_FALSE(config.m_bCheckOnly);
    EXPECT_FALSE(config.m_bTest);
    EXPECT_FALSE(config.m_bNoSigCheck);
    EXPECT_FALSE(config.m_bNoReboot);
    EXPECT_FALSE(config.m_bCheckDbHeaders);
    EXPECT_FALSE(config.m_bNoCacheClean);
    EXPECT_EQ(config.m_nLockTimeout, 120);
    EXPECT_EQ(config.m_sCacheDir, "/var/cache/updater/");
    EXPECT_EQ(config.m_nMaxWaitTime, 600);
    EXPECT_FALSE(config.m_bBackground);
    EXPECT_EQ(config.m_nLogLevel, INFO);
    EXPECT_FALSE(config.m_bLogStderr);
    EXPECT_FALSE(config.m_bLogSyslog);
    EXPECT_TRUE(config.m_sProductName.empty());
    EXPECT_TRUE(config.m_sReleasePackage.empty());
    EXPECT_TRUE(config.m_vAddonPackages.empty());
    EXPECT_TRUE(config.m_vAddonGroups.empty());
    EXPECT_TRUE(config.m_network.m_sProxyServer.empty());
    EXPECT_TRUE(config.m_network.m_sUserAgentBase.empty());
    ASSERT_EQ(config.m_lRepositories.size(), 1u);
    const RepoConfig& usb = config.m_lRepositories.front();
    EXPECT_EQ(usb.m_sId, "local-usb");
    EXPECT_EQ(usb.m_sName, "Updates from local USB storage");
    EXPECT_FALSE(usb.m_bEnabled);
    EXPECT_TRUE(usb.m_bIsDefault);
    EXPECT_EQ(config.activeRepository(), nullptr);
}

TEST(UpdaterConfigTest, ProductionPathsAreTheFixedOnes)
{
    UpdaterConfig::Paths paths;
    EXPECT_EQ(paths.m_sDefaultsFile, "/usr/share/resources/default/updater/defaults.conf");
    EXPECT_EQ(paths.m_sConfigFile, "/etc/updater.conf");
    EXPECT_EQ(paths.m_sProxyFile, "/etc/network/vqzproxy.conf");
    EXPECT_EQ(paths.m_sUsbUpdatesDir, "/var/lib/updater/mnt-usb-updates");
    EXPECT_EQ(paths.m_sLegacyUsbUpdatesDir, "/media/usb1/updates");
}

TEST(UpdaterConfigTest, LocalUsbSourceTable)
{
    enum Setup
    {
        NEITHER,
        MOUNT_ONLY,
        LEGACY_ONLY,
        BOTH,
        MOUNT_NOT_A_DIR_PARENT, // the query fails with ENOTDIR, not ENOENT
    };
    struct Row
    {
        Setup setup;
        bool bLegacy;
    };
    const Row rows[] = {
        {NEITHER, false},
        {MOUNT_ONLY, false},
        {LEGACY_ONLY, true},
        {BOTH, false},
        {MOUNT_NOT_A_DIR_PARENT, false},
    };
    for (const Row& row : rows)
    {
        ConfigFiles files;
        UpdaterConfig::Paths paths = files.paths();
        if (row.setup == MOUNT_ONLY || row.setup == BOTH)
        {
            ASSERT_EQ(mkdir(paths.m_sUsbUpdatesDir.c_str(), 0755), 0);
        }
        if (row.setup == LEGACY_ONLY || row.setup == BOTH || row.setup == MOUNT_NOT_A_DIR_PARENT)
        {
            ASSERT_EQ(mkdir(paths.m_sLegacyUsbUpdatesDir.c_str(), 0755), 0);
        }
        if (row.setup == MOUNT_NOT_A_DIR_PARENT)
        {
            writeFile(files.dir().file("plainfile"), "");
            paths.m_sUsbUpdatesDir = files.dir().file("plainfile/updates");
        }
        LogCapture log;
        UpdaterConfig config(paths);
        const std::string sExpected =
            row.bLegacy ? paths.m_sLegacyUsbUpdatesDir : paths.m_sUsbUpdatesDir;
        EXPECT_EQ(config.m_lRepositories.front().m_sUri, sExpected) << row.setup;
        EXPECT_EQ(log.contains("WARNING: falling back to legacy USB update source '" +
                               paths.m_sLegacyUsbUpdatesDir + "'"),
                  row.bLegacy)
            << row.setup << log.text();
    }
}

// ---------------------------------------------------------------------------------------------
// The loading sequence

TEST(UpdaterConfigTest, MissingDefaultsFileIsReportedAndLoadingContinues)
{
    ConfigFiles files;
    files.config("<log><logger type=\"stderr\"/></log>");
    LogCapture log;
    UpdaterConfig config(files.paths());
    EXPECT_TRUE(config.load({}));
    const std::string sDefaults = files.paths().m_sDefaultsFile;
    EXPECT_TRUE(log.contains("ERROR: could not open configuration file '" + sDefaults + "'"))
        << log.text();
    EXPECT_TRUE(log.contains("DEBUG: missing or incorrect defaults file '" + sDefaults + "'"))
        << log.text();
    EXPECT_FALSE(log.contains("no log output"));
}

TEST(UpdaterConfigTest, MissingConfigurationFileFailsTheLoad)
{
    ConfigFiles files;
    files.defaults("<log><logger type=\"stderr\"/></log>");
    LogCapture log;
    UpdaterConfig config(files.paths());
    EXPECT_FALSE(config.load({}));
    const std::string sConfig = files.paths().m_sConfigFile;
    EXPECT_TRUE(log.contains("ERROR: could not open configuration file '" + sConfig + "'"))
        << log.text();
    EXPECT_TRUE(log.contains("ERROR: failed parsing configuration file '" + sConfig + "'"))
        << log.text();
}

TEST(UpdaterConfigTest, ConfFileOptionReplacesTheDeviceFile)
{
    ConfigFiles files;
    files.config("<product><name>from-device-file</name></product>");
    writeFile(files.dir().file("other.conf"),
              ConfigFiles::wrap("<product><name>from-option</name></product>"));
    UpdaterConfig config(files.paths());
    UpdaterOptions options;
    options.m_sConfFile = files.dir().file("other.conf");
    LogCapture log;
    ASSERT_TRUE(config.load(options));
    EXPECT_EQ(config.m_sProductName, "from-option");

    UpdaterConfig missing(files.paths());
    options.m_sConfFile = files.dir().file("nope.conf");
    EXPECT_FALSE(missing.load(options));
    EXPECT_TRUE(log.contains("ERROR: failed parsing configuration file '" +
                             files.dir().file("nope.conf") + "'"));
}

TEST(UpdaterConfigTest, BrokenDefaultsFileKeepsWhatItSetBeforeTheError)
{
    ConfigFiles files;
    files.rawDefaults(
        "<updater><product><name>partial</name></product><repository id=\"x\"/></updater>");
    files.config("");
    LogCapture log;
    UpdaterConfig config(files.paths());
    ASSERT_TRUE(config.load({}));
    EXPECT_EQ(config.m_sProductName, "partial");
    EXPECT_TRUE(log.contains("ERROR: no URI for repository 'x'"));
    EXPECT_TRUE(log.contains("DEBUG: missing or incorrect defaults file"));
}

TEST(UpdaterConfigTest, PrecedenceOfDefaultsDeviceFileAndOptions)
{
    ConfigFiles files;
    files.defaults("<log level=\"debug\"><logger type=\"stderr\"/></log>"
                   "<product><name>default-product</name></product>"
                   "<user-agent><base>dflt-base</base><prodname>dflt-prod</prodname></user-agent>");
    files.config(
        "<log level=\"warn\"><logger type=\"syslog\"><facility>local3</facility></logger></log>"
        "<user-agent><prodname>dev-prod</prodname></user-agent>");
    LogCapture log;
    {
        UpdaterConfig config(files.paths());
        ASSERT_TRUE(config.load({}));
        EXPECT_EQ(config.m_nLogLevel, WARNING);
        // An output switched on by the defaults file stays on.
        EXPECT_TRUE(config.m_bLogStderr);
        EXPECT_TRUE(config.m_bLogSyslog);
        EXPECT_EQ(config.m_nSyslogFacility, LOG_LOCAL3);
        EXPECT_EQ(config.m_sProductName, "default-product");
        EXPECT_EQ(config.m_network.m_sUserAgentBase, "dflt-base");
        EXPECT_EQ(config.m_network.m_sUserAgentProduct, "dev-prod");
    }
    {
        UpdaterConfig config(files.paths());
        UpdaterOptions options;
        options.m_sLogLevel = "error";
        ASSERT_TRUE(config.load(options));
        EXPECT_EQ(config.m_nLogLevel, ERROR);
    }
    {
        UpdaterConfig config(files.paths());
        UpdaterOptions options;
        options.m_sLogLevel = "Warn";
        ASSERT_TRUE(config.load(options));
        EXPECT_EQ(config.m_nLogLevel, INFO);
        EXPECT_TRUE(log.contains("ERROR: unrecognized logger level 'Warn' using 'info'"));
    }
}

TEST(UpdaterConfigTest, FlagOptionsSwitchOnly)
{
    ConfigFiles files;
    files.config("<log><logger type=\"stderr\"/></log>");
    LogCapture log;
    {
        UpdaterConfig config(files.paths());
        ASSERT_TRUE(config.load({}));
        EXPECT_FALSE(config.m_bQuiet || config.m_bCacheOnly || config.m_bCheckOnly ||
                     config.m_bTest || config.m_bNoSigCheck || config.m_bNoReboot ||
                     config.m_bBackground || config.m_bCheckDbHeaders || config.m_bNoCacheClean);
    }
    UpdaterOptions options;
    options.m_bQuiet = true;
    options.m_bLogStderr = true;
    options.m_bCacheOnly = true;
    options.m_bCheckOnly = true;
    options.m_bTest = true;
    options.m_bNoSigCheck = true;
    options.m_bNoReboot = true;
    options.m_bBackground = true;
    options.m_bCheckDbHeaders = true;
    options.m_bNoCacheClean = true;
    UpdaterConfig config(files.paths());
    ASSERT_TRUE(config.load(options));
    EXPECT_TRUE(config.m_bQuiet && config.m_bLogStderr && config.m_bCacheOnly &&
                config.m_bCheckOnly && config.m_bTest && config.m_bNoSigCheck &&
                config.m_bNoReboot && config.m_bBackground && config.m_bCheckDbHeaders &&
                config.m_bNoCacheClean);
}

TEST(UpdaterConfigTest, WaitAndLockTimeoutTable)
{
    struct Row
    {
        int nOption;
        int nExpectedWait;
        int nExpectedLock;
    };
    const Row rows[] = {{0, 600, 120}, {-1, -1, -1}, {25, 25, 25}, {1, 1, 1}};
    ConfigFiles files;
    files.config("<log><logger type=\"stderr\"/></log>");
    for (const Row& row : rows)
    {
        UpdaterConfig config(files.paths());
        UpdaterOptions options;
        options.m_nMaxWaitTime = row.nOption;
        options.m_nLockTimeout = row.nOption;
        LogCapture log;
        ASSERT_TRUE(config.load(options));
        EXPECT_EQ(config.m_nMaxWaitTime, row.nExpectedWait) << row.nOption;
        EXPECT_EQ(config.m_nLockTimeout, row.nExpectedLock) << row.nOption;
    }
}

TEST(UpdaterConfigTest, RecoveryTable)
{
    struct Row
    {
        const char* pDefaults;
        const char* pDevice;
        bool bLoads;
        bool bVerify;
        bool bRepair;
    };
    const Row rows[] = {
        {"", "", true, false, false},
        {"<recovery verify=\"true\" repair=\"true\"/>", "", true, true, true},
        // The device file overrides only the attributes it gives.
        {"<recovery verify=\"true\" repair=\"true\"/>", "<recovery repair=\"false\"/>", true, true,
         false},
        {"", "<recovery verify=\"true\"/>", true, true, false},
        {"", "<recovery verify=\"yes\"/>", false, false, false},
        {"", "<recovery repair=\"\"/>", false, false, false},
    };
    for (const Row& row : rows)
    {
        ConfigFiles files;
        files.defaults(row.pDefaults);
        files.config(std::string("<log><logger type=\"stderr\"/></log>") + row.pDevice);
        UpdaterConfig config(files.paths());
        LogCapture log;
        EXPECT_EQ(config.load({}), row.bLoads) << row.pDevice;
        if (!row.bLoads)
        {
            EXPECT_TRUE(log.contains("attribute of 'recovery' must be 'true' or 'false'"))
                << row.pDevice;
            continue;
        }
        EXPECT_EQ(config.m_bRecoveryVerify, row.bVerify) << row.pDefaults << row.pDevice;
        EXPECT_EQ(config.m_bRecoveryRepair, row.bRepair) << row.pDefaults << row.pDevice;
    }
}

TEST(UpdaterConfigTest, CacheDirTable)
{
    struct Row
    {
        const char* pOption; // nullptr: not given
        const char* pExpected;
        const char* pWarning; // nullptr: none
    };
    const Row rows[] = {
        {nullptr, "/var/cache/updater/", nullptr},
        {"/data/cache", "/data/cache/", nullptr},
        {"/data/cache/", "/data/cache/", nullptr},
        {"/", "/", nullptr},
        {"rel/cache", "rel/cache/", "WARNING: cache dir 'rel/cache' is not an absolute path"},
        {"", "./", "WARNING: cache dir empty, assuming './'"},
    };
    ConfigFiles files;
    files.config("<log><logger type=\"stderr\"/></log>");
    for (const Row& row : rows)
    {
        UpdaterConfig config(files.paths());
        UpdaterOptions options;
        if (row.pOption != nullptr)
            options.m_sCacheDir = row.pOption;
        LogCapture log;
        ASSERT_TRUE(config.load(options));
        EXPECT_EQ(config.m_sCacheDir, row.pExpected);
        if (row.pWarning != nullptr)
        {
            EXPECT_TRUE(log.contains(row.pWarning)) << log.text();
        }
        else
        {
            EXPECT_FALSE(log.contains("WARNING: cache dir")) << log.text();
        }
    }
}

TEST(UpdaterConfigTest, NoLogOutputEnablesStderr)
{
    struct Row
    {
        const char* pLog;
        bool bStderrOption;
        bool bMessage;
    };
    const Row rows[] = {
        {"", false, true},
        {"<log level=\"info\"/>", false, true},
        {"<log><logger type=\"file\"/></log>", false, true},
        {"<log><logger type=\"stderr\"/></log>", false, false},
        {"<log><logger type=\"syslog\"><facility>daemon</facility></logger></log>", false, false},
        {"", true, false},
    };
    for (const Row& row : rows)
    {
        ConfigFiles files;
        files.config(row.pLog);
        UpdaterConfig config(files.paths());
        UpdaterOptions options;
        options.m_bLogStderr = row.bStderrOption;
        LogCapture log;
        ASSERT_TRUE(config.load(options));
        EXPECT_EQ(log.contains("ERROR: no log output! enabling stderr"), row.bMessage) << row.pLog;
        EXPECT_TRUE(config.m_bLogStderr || config.m_bLogSyslog);
    }
}

// ---------------------------------------------------------------------------------------------
// Repositories

TEST(UpdaterConfigTest, NoRepositoryLeavesOnlyTheDisabledUsbEntry)
{
    ConfigFiles files;
    files.defaults("");
    files.config("");
    LogCapture log;
    UpdaterConfig config(files.paths());
    ASSERT_TRUE(config.load({}));
    EXPECT_EQ(repoIds(config), std::vector<std::string>{"local-usb"});
    EXPECT_EQ(config.activeRepository(), nullptr);
}

TEST(UpdaterConfigTest, RepositoryElementTable)
{
    struct Row
    {
        const char* pXml;
        bool bOk;
        const char* pId;
        const char* pName;
        const char* pUri;
        bool bEnabled;
        const char* pMessage; // expected log text, or nullptr
    };
    const Row rows[] = {
        {"<repository id=\"a\"><name>A repo</name><location href=\"http://h/a\"/></repository>",
         true, "a", "A repo", "http://h/a", true, nullptr},
        {"<repository id=\"a\" enabled=\"true\"><location href=\"/srv/a\"/></repository>", true,
         "a", "", "/srv/a", true, nullptr},
        {"<repository id=\"a\" enabled=\"false\"><location href=\"x\"/></repository>", true, "a",
         "", "x", false, nullptr},
        {"<repository id=\"a\" enabled=\"yes\"><location href=\"x\"/></repository>", true, "a", "",
         "x", false, nullptr},
        {"<repository id=\"a\" enabled=\"1\"><location href=\"x\"/></repository>", true, "a", "",
         "x", false, nullptr},
        {"<repository id=\"a\" enabled=\"True\"><location href=\"x\"/></repository>", true, "a", "",
         "x", false, nullptr},
        {"<repository id=\"a\" enabled=\"\"><location href=\"x\"/></repository>", true, "a", "",
         "x", false, nullptr},
        {"<repository id=\"zpl100\"><location href=\"x\"/></repository>", true, "base", "", "x",
         true, "DEBUG: replacing repo ID 'zpl100' by 'base' for backwards compatibility"},
        {"<repository id=\"a\"><name>one</name><location href=\"u1\"/><name>two</name><location "
         "href=\"u2\"/>"
         "</repository>",
         true, "a", "two", "u2", true, nullptr},
        {"<repository id=\"a\"><location href=\"http://h/?a=1&amp;b=2\"/></repository>", true, "a",
         "", "http://h/?a=1&b=2", true, nullptr},
        {"<repository><location href=\"x\"/></repository>", false, "", "", "", true,
         "ERROR: no 'id' attribute in 'repository' element"},
        {"<repository id=\"a\"><location/></repository>", false, "a", "", "", true,
         "ERROR: no 'href' attribute in 'location' element"},
        {"<repository id=\"a\"><name>n</name></repository>", false, "a", "n", "", true,
         "ERROR: no URI for repository 'a'"},
        {"<repository id=\"a\"><location href=\"\"/></repository>", false, "a", "", "", true,
         "ERROR: no URI for repository 'a'"},
        {"<repository id=\"a\"><location href=\"x\"/><location href=\"\"/></repository>", false,
         "a", "", "", true, "ERROR: no URI for repository 'a'"},
        {"<repository id=\"a\"><name></name><location href=\"x\"/></repository>", false, "a", "",
         "", true, "DEBUG: no string list for node 'name'"},
        // Children of another namespace are not the repository's.
        {"<repository id=\"a\" xmlns:o=\"urn:other\"><o:location href=\"x\"/></repository>", false,
         "a", "", "", true, "ERROR: no URI for repository 'a'"},
        // Nested deeper is not a child either.
        {"<repository id=\"a\"><extra><location href=\"x\"/></extra></repository>", false, "a", "",
         "", true, "ERROR: no URI for repository 'a'"},
    };
    for (const Row& row : rows)
    {
        ConfigFiles files;
        files.config(row.pXml);
        LogCapture log;
        UpdaterConfig config(files.paths());
        EXPECT_EQ(config.parseFile(files.paths().m_sConfigFile, false), row.bOk) << row.pXml;
        if (row.pMessage != nullptr)
        {
            EXPECT_TRUE(log.contains(row.pMessage)) << row.pXml << "\n" << log.text();
        }
        if (!row.bOk)
        {
            EXPECT_EQ(config.m_lRepositories.size(), 1u) << row.pXml;
            continue;
        }
        ASSERT_EQ(config.m_lRepositories.size(), 2u) << row.pXml;
        const RepoConfig& repo = config.m_lRepositories.back();
        EXPECT_EQ(repo.m_sId, row.pId) << row.pXml;
        EXPECT_EQ(repo.m_sName, row.pName) << row.pXml;
        EXPECT_EQ(repo.m_sUri, row.pUri) << row.pXml;
        EXPECT_EQ(repo.m_bEnabled, row.bEnabled) << row.pXml;
        EXPECT_FALSE(repo.m_bIsDefault);
    }
}

TEST(UpdaterConfigTest, DefaultNamespaceDocumentIsRead)
{
    ConfigFiles files;
    files.rawConfig("<updater xmlns=\"urn:updater\"><repository id=\"a\"><name>N</name>"
                    "<location href=\"http://h/\"/></repository>"
                    "<log><logger type=\"stderr\"/></log></updater>");
    LogCapture log;
    UpdaterConfig config(files.paths());
    ASSERT_TRUE(config.load({}));
    const RepoConfig* pRepo = config.findRepository("a");
    ASSERT_NE(pRepo, nullptr);
    EXPECT_EQ(pRepo->m_sName, "N");
    EXPECT_TRUE(config.m_bLogStderr);
}

TEST(UpdaterConfigTest, PrefixedElementsAreMatchedByQualifiedName)
{
    ConfigFiles files;
    // "u:repository" is not "repository": it is ignored like any unknown element.
    files.rawConfig(
        "<updater xmlns:u=\"urn:u\"><u:repository id=\"a\"><u:location href=\"x\"/></u:repository>"
        "</updater>");
    LogCapture log;
    UpdaterConfig config(files.paths());
    EXPECT_TRUE(config.parseFile(files.paths().m_sConfigFile, false));
    EXPECT_EQ(config.findRepository("a"), nullptr);
}

TEST(UpdaterConfigTest, EntitiesAreSubstituted)
{
    ConfigFiles files;
    files.rawConfig(
        "<?xml version=\"1.0\"?>\n<!DOCTYPE updater [<!ENTITY server \"http://repo.example\">]>\n"
        "<updater><repository id=\"a\"><location href=\"&server;/a\"/></repository>"
        "<product><name>&server;</name></product></updater>");
    LogCapture log;
    UpdaterConfig config(files.paths());
    ASSERT_TRUE(config.parseFile(files.paths().m_sConfigFile, false));
    ASSERT_NE(config.findRepository("a"), nullptr);
    EXPECT_EQ(config.findRepository("a")->m_sUri, "http://repo.example/a");
    EXPECT_EQ(config.m_sProductName, "http://repo.example");
}

TEST(UpdaterConfigTest, DeviceFileReplacesDefaultDefinition)
{
    ConfigFiles files;
    files.defaults(ConfigFiles::repo("base", "http://default/base") +
                   ConfigFiles::repo("extra", "http://d/x") +
                   ConfigFiles::repo("other", "http://d/o", " enabled=\"false\""));
    files.config(ConfigFiles::repo("base", "http://device/base"));
    LogCapture log;
    UpdaterConfig config(files.paths());
    // Two enabled entries would remain without --repo: base (device) and extra (defaults).
    UpdaterOptions options;
    options.m_sRepo = "base";
    ASSERT_TRUE(config.load(options));
    EXPECT_TRUE(log.contains("DEBUG: replacing default definition of repo 'base'"));
    EXPECT_EQ(repoIds(config), (std::vector<std::string>{"local-usb", "extra", "other", "base"}));
    const RepoConfig* pBase = config.findRepository("base");
    ASSERT_NE(pBase, nullptr);
    EXPECT_EQ(pBase->m_sUri, "http://device/base");
    EXPECT_FALSE(pBase->m_bIsDefault);
    EXPECT_TRUE(config.findRepository("extra")->m_bIsDefault);
    ASSERT_NE(config.activeRepository(), nullptr);
    EXPECT_EQ(config.activeRepository()->m_sId, "base");
}

TEST(UpdaterConfigTest, OneEnabledRepositoryAfterReplacement)
{
    ConfigFiles files;
    files.defaults(ConfigFiles::repo("base", "http://default/base"));
    files.config(ConfigFiles::repo("base", "http://device/base"));
    LogCapture log;
    UpdaterConfig config(files.paths());
    ASSERT_TRUE(config.load({}));
    ASSERT_NE(config.activeRepository(), nullptr);
    EXPECT_EQ(config.activeRepository()->m_sUri, "http://device/base");
}

TEST(UpdaterConfigTest, DuplicateIdInDefaultsFileReplacesSilently)
{
    ConfigFiles files;
    files.defaults(ConfigFiles::repo("a", "first") +
                   ConfigFiles::repo("b", "bee", " enabled=\"false\"") +
                   ConfigFiles::repo("a", "second"));
    files.config("");
    LogCapture log;
    UpdaterConfig config(files.paths());
    ASSERT_TRUE(config.load({}));
    EXPECT_EQ(repoIds(config), (std::vector<std::string>{"local-usb", "b", "a"}));
    EXPECT_EQ(config.findRepository("a")->m_sUri, "second");
    EXPECT_FALSE(log.contains("more than one repository"));
}

TEST(UpdaterConfigTest, DuplicateIdInDeviceFileFailsTheLoad)
{
    ConfigFiles files;
    files.config(ConfigFiles::repo("a", "first") + ConfigFiles::repo("a", "second"));
    LogCapture log;
    UpdaterConfig config(files.paths());
    EXPECT_FALSE(config.load({}));
    EXPECT_TRUE(log.contains("ERROR: more than one repository with same ID"));
    EXPECT_TRUE(log.contains("ERROR: failed parsing configuration file"));
    // The first definition stays in the record.
    ASSERT_NE(config.findRepository("a"), nullptr);
    EXPECT_EQ(config.findRepository("a")->m_sUri, "first");
}

TEST(UpdaterConfigTest, ZplIdCollidesWithBaseInDeviceFile)
{
    ConfigFiles files;
    files.config(ConfigFiles::repo("base", "one") + ConfigFiles::repo("zpl100", "two"));
    LogCapture log;
    UpdaterConfig config(files.paths());
    EXPECT_FALSE(config.load({}));
    EXPECT_TRUE(log.contains("ERROR: more than one repository with same ID"));
}

TEST(UpdaterConfigTest, DeviceFileReplacesBuiltInUsbEntry)
{
    struct Row
    {
        const char* pExtra;
        bool bEnabled;
    };
    const Row rows[] = {{"", true}, {" enabled=\"true\"", true}, {" enabled=\"no\"", false}};
    for (const Row& row : rows)
    {
        ConfigFiles files;
        files.config(ConfigFiles::repo("local-usb", "/mnt/stick", row.pExtra));
        LogCapture log;
        UpdaterConfig config(files.paths());
        ASSERT_TRUE(config.load({}));
        EXPECT_TRUE(log.contains("DEBUG: replacing default definition of repo 'local-usb'"));
        ASSERT_EQ(config.m_lRepositories.size(), 1u);
        const RepoConfig& usb = config.m_lRepositories.front();
        EXPECT_EQ(usb.m_sUri, "/mnt/stick");
        EXPECT_EQ(usb.m_sName, "");
        EXPECT_EQ(usb.m_bEnabled, row.bEnabled) << row.pExtra;
        EXPECT_FALSE(usb.m_bIsDefault);
    }
}

TEST(UpdaterConfigTest, SeveralEnabledRepositoriesNeedRepoOption)
{
    ConfigFiles files;
    files.config(ConfigFiles::repo("a", "http://a/") + ConfigFiles::repo("b", "http://b/"));
    {
        LogCapture log;
        UpdaterConfig config(files.paths());
        EXPECT_FALSE(config.load({}));
        EXPECT_TRUE(log.contains("ERROR: only one active repository supported"));
    }
    {
        LogCapture log;
        UpdaterConfig config(files.paths());
        UpdaterOptions options;
        options.m_sRepo = "b";
        ASSERT_TRUE(config.load(options));
        EXPECT_FALSE(config.findRepository("a")->m_bEnabled);
        EXPECT_TRUE(config.findRepository("b")->m_bEnabled);
        EXPECT_EQ(config.activeRepository()->m_sId, "b");
    }
}

TEST(UpdaterConfigTest, RepoOptionSelectsUsbEntry)
{
    ConfigFiles files;
    ASSERT_EQ(mkdir(files.paths().m_sLegacyUsbUpdatesDir.c_str(), 0755), 0);
    files.config(ConfigFiles::repo("base", "http://b/"));
    LogCapture log;
    UpdaterConfig config(files.paths());
    UpdaterOptions options;
    options.m_sRepo = "local-usb";
    ASSERT_TRUE(config.load(options));
    ASSERT_NE(config.activeRepository(), nullptr);
    EXPECT_EQ(config.activeRepository()->m_sId, "local-usb");
    EXPECT_EQ(config.activeRepository()->m_sUri, files.paths().m_sLegacyUsbUpdatesDir);
    EXPECT_FALSE(config.findRepository("base")->m_bEnabled);
}

TEST(UpdaterConfigTest, RepoOptionTable)
{
    struct Row
    {
        const char* pRepo;
        bool bOk;
        const char* pMessage;
    };
    const Row rows[] = {
        {"base", true, nullptr},
        {"zpl100", false, "ERROR: no repository with ID 'zpl100'"},
        {"nope", false, "ERROR: no repository with ID 'nope'"},
        {"", false, "ERROR: no repository with ID ''"},
        {"Base", false, "ERROR: no repository with ID 'Base'"},
    };
    for (const Row& row : rows)
    {
        ConfigFiles files;
        files.config(ConfigFiles::repo("zpl100", "http://b/"));
        LogCapture log;
        UpdaterConfig config(files.paths());
        UpdaterOptions options;
        options.m_sRepo = row.pRepo;
        EXPECT_EQ(config.load(options), row.bOk) << row.pRepo;
        if (row.pMessage != nullptr)
        {
            EXPECT_TRUE(log.contains(row.pMessage)) << log.text();
        }
    }
}

TEST(UpdaterConfigTest, RepoUrlTable)
{
    struct Row
    {
        const char* pValue;
        bool bOk;
        const char* pId;      // entry whose URI is checked
        const char* pUri;     // its expected URI
        const char* pMessage; // or nullptr
    };
    const Row rows[] = {
        {"base:http://mirror:8080/repo", true, "base", "http://mirror:8080/repo", nullptr},
        {"base:/srv/repo", true, "base", "/srv/repo", nullptr},
        {"local-usb:/mnt/usb", true, "local-usb", "/mnt/usb", nullptr},
        {"base::", true, "base", ":", nullptr},
        {"nope:http://x/", true, "base", "http://orig/",
         "WARNING: ignoring URL override for non-existing repo 'nope'"},
        {"zpl100:http://x/", true, "base", "http://orig/",
         "WARNING: ignoring URL override for non-existing repo 'zpl100'"},
        {"base", false, "base", "http://orig/", "ERROR: missing ':' in --repo-url option"},
        {"", false, "base", "http://orig/", "ERROR: missing ':' in --repo-url option"},
        {":http://x/", false, "base", "http://orig/", "ERROR: missing ID in --repo-url option"},
        {":", false, "base", "http://orig/", "ERROR: missing ID in --repo-url option"},
        {"base:", false, "base", "http://orig/", "ERROR: missing URL in --repo-url option"},
    };
    for (const Row& row : rows)
    {
        ConfigFiles files;
        files.config(ConfigFiles::repo("base", "http://orig/"));
        LogCapture log;
        UpdaterConfig config(files.paths());
        UpdaterOptions options;
        options.m_sRepoUrl = row.pValue;
        EXPECT_EQ(config.load(options), row.bOk) << row.pValue;
        const RepoConfig* pRepo = config.findRepository(row.pId);
        ASSERT_NE(pRepo, nullptr);
        EXPECT_EQ(pRepo->m_sUri, row.pUri) << row.pValue;
        if (row.pMessage != nullptr)
        {
            EXPECT_TRUE(log.contains(row.pMessage)) << row.pValue << "\n" << log.text();
        }
    }
}

TEST(UpdaterConfigTest, RepoUrlIsAppliedBeforeRepo)
{
    ConfigFiles files;
    files.config(ConfigFiles::repo("base", "http://orig/") +
                 ConfigFiles::repo("mirror", "http://m/", " enabled=\"false\""));
    LogCapture log;
    UpdaterConfig config(files.paths());
    UpdaterOptions options;
    options.m_sRepoUrl = "mirror:https://other:443/m";
    options.m_sRepo = "mirror";
    ASSERT_TRUE(config.load(options));
    ASSERT_NE(config.activeRepository(), nullptr);
    EXPECT_EQ(config.activeRepository()->m_sId, "mirror");
    EXPECT_EQ(config.activeRepository()->m_sUri, "https://other:443/m");
    EXPECT_FALSE(config.findRepository("base")->m_bEnabled);
}

TEST(UpdaterConfigTest, BadRepoUrlFailsEvenWithRepo)
{
    ConfigFiles files;
    files.config(ConfigFiles::repo("base", "http://orig/"));
    LogCapture log;
    UpdaterConfig config(files.paths());
    UpdaterOptions options;
    options.m_sRepoUrl = "base";
    options.m_sRepo = "base";
    EXPECT_FALSE(config.load(options));
}

// ---------------------------------------------------------------------------------------------
// Document structure and the other elements

TEST(UpdaterConfigTest, DocumentLevelFailures)
{
    struct Row
    {
        const char* pContent;
        const char* pMessage; // or nullptr for no particular message
    };
    const Row rows[] = {
        {"<config><log/></config>", "ERROR: bad top-level element, 'config' instead of 'updater'"},
        {"<u:updater xmlns:u=\"urn:u\"/>",
         "ERROR: bad top-level element, 'u:updater' instead of 'updater'"},
        {"<updater><log></updater>", nullptr},
        {"", nullptr},
        {"not xml at all", nullptr},
        {"<updater/><updater/>", nullptr},
    };
    for (const Row& row : rows)
    {
        ConfigFiles files;
        files.rawConfig(row.pContent);
        LogCapture log;
        UpdaterConfig config(files.paths());
        EXPECT_FALSE(config.parseFile(files.paths().m_sConfigFile, false)) << row.pContent;
        if (row.pMessage != nullptr)
        {
            EXPECT_TRUE(log.contains(row.pMessage)) << log.text();
        }
    }
}

TEST(UpdaterConfigTest, UnknownElementsAreIgnoredAndNestedOnesHandled)
{
    ConfigFiles files;
    files.config("<unknown><what>ever</what></unknown><!-- comment -->"
                 "<section>" +
                 ConfigFiles::repo("nested", "http://n/") + "</section>");
    LogCapture log;
    UpdaterConfig config(files.paths());
    ASSERT_TRUE(config.load({}));
    EXPECT_NE(config.findRepository("nested"), nullptr);
}

TEST(UpdaterConfigTest, LogElementTable)
{
    struct Row
    {
        const char* pXml;
        bool bOk;
        int nLevel;
        bool bStderr;
        bool bSyslog;
        int nFacility;
        const char* pMessage;
    };
    const Row rows[] = {
        {"<log level=\"trace\"/>", true, TRACE, false, false, -1, nullptr},
        {"<log level=\"fatal\"/>", true, FATAL, false, false, -1, nullptr},
        {"<log level=\"\"/>", true, INFO, false, false, -1, nullptr},
        {"<log level=\"warning\"/>", true, INFO, false, false, -1,
         "ERROR: unrecognized logger level 'warning' using 'info'"},
        {"<log><logger type=\"stderr\"/></log>", true, INFO, true, false, -1, nullptr},
        {"<log><logger type=\"syslog\"><facility>user</facility></logger></log>", true, INFO, false,
         true, LOG_USER, nullptr},
        {"<log><logger type=\"syslog\"><facility>local7</facility></logger></log>", true, INFO,
         false, true, LOG_LOCAL7, nullptr},
        {"<log><logger type=\"syslog\"><facility>kern</facility></logger></log>", true, INFO, false,
         true, LOG_DAEMON, "ERROR: unrecognized syslog facility 'kern' using 'daemon'"},
        {"<log><logger "
         "type=\"syslog\"><facility>user</facility><facility>local1</facility></logger></log>",
         true, INFO, false, true, LOG_LOCAL1, nullptr},
        {"<log xmlns:o=\"urn:o\"><logger "
         "type=\"syslog\"><o:facility>user</o:facility></logger></log>",
         true, INFO, false, true, LOG_USER, nullptr},
        {"<log><logger type=\"file\"/></log>", true, INFO, false, false, -1,
         "DEBUG: ignoring unknown 'file' logger type"},
        {"<log><logger type=\"\"/></log>", true, INFO, false, false, -1,
         "DEBUG: ignoring unknown '' logger type"},
        {"<log><logger/></log>", false, INFO, false, false, -1,
         "DEBUG: no attribute 'type' for node 'logger'"},
        {"<log><logger type=\"syslog\"/></log>", false, INFO, false, false, -1, nullptr},
        {"<log><logger type=\"syslog\"><facility/></logger></log>", false, INFO, false, false, -1,
         "DEBUG: no string list for node 'facility'"},
        {"<log><logger type=\"syslog\"><facility>user</facility><facility/></logger></log>", false,
         INFO, false, false, -1, nullptr},
        // A level before the failing logger is kept.
        {"<log level=\"debug\"><logger type=\"stderr\"/><logger/></log>", false, DEBUG, true, false,
         -1, nullptr},
        // Loggers outside the log element's namespace are not its loggers.
        {"<log xmlns:o=\"urn:o\"><o:logger type=\"stderr\"/></log>", true, INFO, false, false, -1,
         nullptr},
    };
    for (const Row& row : rows)
    {
        ConfigFiles files;
        files.config(row.pXml);
        LogCapture log;
        UpdaterConfig config(files.paths());
        EXPECT_EQ(config.parseFile(files.paths().m_sConfigFile, false), row.bOk) << row.pXml;
        EXPECT_EQ(config.m_nLogLevel, row.nLevel) << row.pXml;
        EXPECT_EQ(config.m_bLogStderr, row.bStderr) << row.pXml;
        EXPECT_EQ(config.m_bLogSyslog, row.bSyslog) << row.pXml;
        if (row.nFacility >= 0)
        {
            EXPECT_EQ(config.m_nSyslogFacility, row.nFacility) << row.pXml;
        }
        if (row.pMessage != nullptr)
        {
            EXPECT_TRUE(log.contains(row.pMessage)) << row.pXml << "\n" << log.text();
        }
    }
}

TEST(UpdaterConfigTest, SyslogWithoutFacilityFailsTheLoadWithoutOwnMessage)
{
    ConfigFiles files;
    files.defaults("");
    files.config("<log><logger type=\"syslog\"/></log>");
    LogCapture log;
    UpdaterConfig config(files.paths());
    EXPECT_FALSE(config.load({}));
    for (const std::string& sLine : log.lines())
    {
        if (sLine.rfind("ERROR: ", 0) == 0)
        {
            EXPECT_EQ(sLine.find("ERROR: failed parsing configuration file"), 0u) << sLine;
        }
    }
}

TEST(UpdaterConfigTest, ProductElementTable)
{
    struct Row
    {
        const char* pXml;
        bool bOk;
        const char* pName;
        const char* pRelease;
        std::vector<std::string> vAddons;
        std::vector<std::string> vGroups;
    };
    const Row rows[] = {
        {"<product><name>Device</name><packages><release><package><name>rel</name></package></"
         "release>"
         "<addons><package><name>a1</name></package><group><name>g1</name></group>"
         "<package><name>a2</name><name>a3</name></package><package><name>a1</name></package></"
         "addons>"
         "</packages></product>",
         true,
         "Device",
         "rel",
         {"a1", "a2", "a3", "a1"},
         {"g1"}},
        {"<product><packages><release><package><name>r1</name></package></release>"
         "<release><package><name>r2</name></package></release></packages></product>",
         true,
         "",
         "r2",
         {},
         {}},
        {"<product><packages><addons><package/><group/></addons></packages></product>",
         true,
         "",
         "",
         {},
         {}},
        {"<product><packages><release><package><name>r</name></package>"
         "<group><name>g</name></group></release></packages></product>",
         true,
         "",
         "r",
         {},
         {}},
        {"<product><name/></product>", false, "", "", {}, {}},
        {"<product><packages><release/></packages></product>", false, "", "", {}, {}},
        {"<product><packages><release><package><name>r1</name></package><package><name>r2</name></"
         "package>"
         "</release></packages></product>",
         false,
         "",
         "",
         {},
         {}},
        {"<product><packages><release><package><name>r1</name><name>r2</name></package>"
         "</release></packages></product>",
         false,
         "",
         "",
         {},
         {}},
        {"<product><packages><release><group><name>g</name></group></release></packages></product>",
         false,
         "",
         "",
         {},
         {}},
        {"<product><packages><addons><package><name>a</name></package><package><name></name></"
         "package>"
         "</addons></packages></product>",
         false,
         "",
         "",
         {"a"},
         {}},
        // Package list entries match by name in any namespace.
        {"<product xmlns:o=\"urn:o\"><packages><addons><o:package><o:name>x</o:name></o:package>"
         "<o:group><name>y</name></o:group></addons></packages></product>",
         true,
         "",
         "",
         {"x"},
         {"y"}},
        // release/addons in another namespace than the product are not its lists.
        {"<product "
         "xmlns:o=\"urn:o\"><packages><o:addons><package><name>x</name></package></o:addons>"
         "</packages></product>",
         true,
         "",
         "",
         {},
         {}},
    };
    for (const Row& row : rows)
    {
        ConfigFiles files;
        files.config(row.pXml);
        LogCapture log;
        UpdaterConfig config(files.paths());
        EXPECT_EQ(config.parseFile(files.paths().m_sConfigFile, false), row.bOk) << row.pXml;
        EXPECT_EQ(config.m_sProductName, row.pName) << row.pXml;
        EXPECT_EQ(config.m_sReleasePackage, row.pRelease) << row.pXml;
        EXPECT_EQ(config.m_vAddonPackages, row.vAddons) << row.pXml;
        EXPECT_EQ(config.m_vAddonGroups, row.vGroups) << row.pXml;
    }
}

TEST(UpdaterConfigTest, GroupInReleaseIsReportedWithItsLine)
{
    ConfigFiles files;
    files.rawConfig("<updater>\n"
                    "<product>\n"
                    "  <packages>\n"
                    "    <release>\n"
                    "      <package><name>firmware-release</name></package>\n"
                    "      <group>\n"
                    "        <name>base-group</name>\n"
                    "        <name>other-group</name>\n"
                    "      </group>\n"
                    "    </release>\n"
                    "  </packages>\n"
                    "</product>\n"
                    "</updater>\n");
    LogCapture log;
    UpdaterConfig config(files.paths());
    ASSERT_TRUE(config.parseFile(files.paths().m_sConfigFile, false));
    EXPECT_EQ(config.m_sReleasePackage, "firmware-release");
    EXPECT_TRUE(
        log.contains("WARNING: ignoring package group named 'base-group' in config file line 6"))
        << log.text();
    EXPECT_TRUE(
        log.contains("WARNING: ignoring package group named 'other-group' in config file line 6"))
        << log.text();
    EXPECT_TRUE(config.m_vAddonGroups.empty());
}

TEST(UpdaterConfigTest, AddonListsOfBothFilesAddUp)
{
    ConfigFiles files;
    files.defaults(
        "<product><name>dflt</name><packages><release><package><name>rel-a</name></package></"
        "release>"
        "<addons><package><name>a</name></package><group><name>ga</name></group></addons>"
        "</packages></product>");
    files.config("<product><packages><release><package><name>rel-b</name></package></release>"
                 "<addons><package><name>b</name></package><group><name>gb</name></group></addons>"
                 "</packages></product><log><logger type=\"stderr\"/></log>");
    LogCapture log;
    UpdaterConfig config(files.paths());
    ASSERT_TRUE(config.load({}));
    EXPECT_EQ(config.m_sProductName, "dflt");
    EXPECT_EQ(config.m_sReleasePackage, "rel-b");
    EXPECT_EQ(config.m_vAddonPackages, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(config.m_vAddonGroups, (std::vector<std::string>{"ga", "gb"}));
}

TEST(UpdaterConfigTest, UserAgentTable)
{
    struct Row
    {
        const char* pXml;
        bool bOk;
        const char* pBase;
        const char* pProduct;
    };
    const Row rows[] = {
        {"<user-agent><base>base</base><prodname>dev</prodname></user-agent>", true, "base", "dev"},
        {"<user-agent><other>x</other><base>b1</base><base>b2</base></user-agent>", true, "b2", ""},
        {"<user-agent><base/></user-agent>", false, "", ""},
        {"<user-agent><base>b</base><prodname></prodname></user-agent>", false, "b", ""},
        {"<user-agent xmlns:o=\"urn:o\"><o:base>b</o:base></user-agent>", true, "", ""},
    };
    for (const Row& row : rows)
    {
        ConfigFiles files;
        files.config(row.pXml);
        LogCapture log;
        UpdaterConfig config(files.paths());
        EXPECT_EQ(config.parseFile(files.paths().m_sConfigFile, false), row.bOk) << row.pXml;
        EXPECT_EQ(config.m_network.m_sUserAgentBase, row.pBase) << row.pXml;
        EXPECT_EQ(config.m_network.m_sUserAgentProduct, row.pProduct) << row.pXml;
    }
}

TEST(UpdaterConfigTest, FailedDeviceFileKeepsEarlierContent)
{
    ConfigFiles files;
    files.config("<product><name>kept</name></product><repository "
                 "id=\"r\"/><user-agent><base>no</base></user-agent>");
    LogCapture log;
    UpdaterConfig config(files.paths());
    EXPECT_FALSE(config.load({}));
    EXPECT_EQ(config.m_sProductName, "kept");
    EXPECT_TRUE(config.m_network.m_sUserAgentBase.empty());
}

TEST(UpdaterConfigTest, CopyIsIndependent)
{
    ConfigFiles files;
    files.config(ConfigFiles::repo("base", "http://b/") +
                 "<product><packages><addons><package><name>a</name></package></addons></"
                 "packages></product>");
    LogCapture log;
    UpdaterConfig config(files.paths());
    ASSERT_TRUE(config.load({}));
    UpdaterConfig copy = config;
    copy.m_bCheckOnly = true;
    copy.findRepository("base")->m_sUri = "changed";
    copy.m_vAddonPackages.push_back("b");
    EXPECT_FALSE(config.m_bCheckOnly);
    EXPECT_EQ(config.findRepository("base")->m_sUri, "http://b/");
    EXPECT_EQ(config.m_vAddonPackages.size(), 1u);
    ASSERT_NE(copy.activeRepository(), nullptr);
    EXPECT_EQ(copy.activeRepository()->m_sUri, "changed");
}

// ---------------------------------------------------------------------------------------------
// Trust settings: accepted checksum types, required signatures, signed index, TLS

TEST(UpdaterConfigTest, ChecksumsAndSignaturesTable)
{
    struct Row
    {
        const char* pDefaults;
        const char* pConfig;
        bool bOk;
        std::vector<std::string> vTypes;
        bool bRequired;
        const char* pMessage;
    };
    const Row rows[] = {
        {"", "", true, {"sha"}, false, ""},
        {"<checksums accept=\"sha sha256\"/>", "", true, {"sha", "sha256"}, false, ""},
        // The device file replaces the list of the defaults file.
        {"<checksums accept=\"sha sha256\"/>",
         "<checksums accept=\" sha512\n sha1 sha512 \"/>",
         true,
         {"sha512", "sha1"},
         false,
         ""},
        {"",
         "<checksums accept=\"sha md5\"/>",
         false,
         {"sha"},
         false,
         "ERROR: unknown checksum type 'md5' in 'checksums' element"},
        {"",
         "<checksums accept=\"SHA256\"/>",
         false,
         {"sha"},
         false,
         "ERROR: unknown checksum type 'SHA256' in 'checksums' element"},
        {"",
         "<checksums accept=\" \"/>",
         false,
         {"sha"},
         false,
         "ERROR: no checksum type in 'checksums' element"},
        {"",
         "<checksums/>",
         false,
         {"sha"},
         false,
         "ERROR: no 'accept' attribute in 'checksums' element"},
        {"<signatures required=\"true\"/>", "", true, {"sha"}, true, ""},
        {"<signatures required=\"true\"/>",
         "<signatures required=\"false\"/>",
         true,
         {"sha"},
         false,
         ""},
        {"",
         "<signatures required=\"yes\"/>",
         false,
         {"sha"},
         false,
         "ERROR: 'signatures' element needs required=\"true\" or \"false\""},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(std::string(row.pDefaults) + " | " + row.pConfig);
        ConfigFiles files;
        files.defaults(row.pDefaults);
        files.config(row.pConfig);
        LogCapture log;
        UpdaterConfig config(files.paths());
        EXPECT_EQ(config.load(UpdaterOptions{}), row.bOk) << log.text();
        EXPECT_EQ(config.m_vChecksumTypes, row.vTypes);
        EXPECT_EQ(config.m_bRequireSignatures, row.bRequired);
        if (*row.pMessage)
        {
            EXPECT_TRUE(log.contains(row.pMessage)) << log.text();
        }
    }
}

TEST(UpdaterConfigTest, RepositoryTrustElementTable)
{
    struct Row
    {
        const char* pChildren;
        bool bOk;
        bool bGpgCheck;
        TlsConfig tls;
        const char* pMessage;
    };
    const Row rows[] = {
        {"", true, false, {}, ""},
        {"<gpgcheck metadata=\"true\"/>", true, true, {}, ""},
        {"<gpgcheck metadata=\"false\"/>", true, false, {}, ""},
        {"<gpgcheck metadata=\"1\"/>", false, false, {}, "needs metadata=\"true\" or \"false\""},
        {"<gpgcheck/>", false, false, {}, "needs metadata=\"true\" or \"false\""},
        {"<tls ca=\"/etc/ca.pem\"/>", true, false, {"/etc/ca.pem", false, "", ""}, ""},
        {"<tls ca=\"/etc/ca.pem\" system-ca=\"true\" cert=\"/c.pem\" key=\"/k.pem\"/>",
         true,
         false,
         {"/etc/ca.pem", true, "/c.pem", "/k.pem"},
         ""},
        {"<tls cert=\"/c.pem\" key=\"/k.pem\"/>", true, false, {"", false, "/c.pem", "/k.pem"}, ""},
        {"<tls cert=\"/c.pem\"/>",
         false,
         false,
         {},
         "ERROR: a client certificate needs both 'cert' and 'key'"},
        {"<tls key=\"/k.pem\"/>",
         false,
         false,
         {},
         "ERROR: a client certificate needs both 'cert' and 'key'"},
        {"<tls system-ca=\"true\"/>", false, false, {}, "ERROR: 'system-ca' needs a 'ca' file"},
        {"<tls ca=\"/a\" system-ca=\"on\"/>",
         false,
         false,
         {},
         "ERROR: 'system-ca' must be \"true\" or \"false\""},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.pChildren);
        ConfigFiles files;
        files.config(std::string("<repository id=\"base\"><location href=\"https://h/\"/>") +
                     row.pChildren + "</repository>");
        LogCapture log;
        UpdaterConfig config(files.paths());
        EXPECT_EQ(config.parseFile(files.paths().m_sConfigFile, false), row.bOk) << log.text();
        if (*row.pMessage)
        {
            EXPECT_TRUE(log.contains(row.pMessage)) << log.text();
        }
        if (!row.bOk)
            continue;
        const RepoConfig* pRepo = config.findRepository("base");
        ASSERT_NE(pRepo, nullptr);
        EXPECT_EQ(pRepo->m_bGpgCheckMetadata, row.bGpgCheck);
        EXPECT_EQ(pRepo->m_tls.m_sCaFile, row.tls.m_sCaFile);
        EXPECT_EQ(pRepo->m_tls.m_bSystemCa, row.tls.m_bSystemCa);
        EXPECT_EQ(pRepo->m_tls.m_sCertFile, row.tls.m_sCertFile);
        EXPECT_EQ(pRepo->m_tls.m_sKeyFile, row.tls.m_sKeyFile);
    }
}
