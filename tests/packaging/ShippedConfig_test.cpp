// The configuration files installed on a device must load with the real loader and mean
// what their comments say.
#include "config/UpdaterConfig.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <syslog.h>

using namespace testing_support;

namespace
{

// The shipped defaults and example configuration, with the proxy file and the USB mount
// points in a private folder.
class ShippedFiles
{
public:
    ShippedFiles()
    {
        m_paths.m_sDefaultsFile = sourceDir() + "/packaging/defaults.conf";
        m_paths.m_sConfigFile = sourceDir() + "/packaging/updater.conf.example";
        m_paths.m_sProxyFile = m_dir.file("vqzproxy.conf");
        m_paths.m_sUsbUpdatesDir = m_dir.file("mnt-usb-updates");
        m_paths.m_sLegacyUsbUpdatesDir = m_dir.file("legacy-usb");
    }

    UpdaterConfig::Paths m_paths;
    TempDir m_dir;
};

} // namespace

TEST(ShippedConfigTest, DefaultsAndExampleConfigurationLoad)
{
    ShippedFiles files;
    LogCapture log;
    UpdaterConfig config(files.m_paths);
    ASSERT_TRUE(config.load(UpdaterOptions{})) << log.text();

    // Neither file may be rejected in part: a broken defaults file is only a DEBUG line.
    EXPECT_FALSE(log.contains("missing or incorrect defaults file")) << log.text();
    EXPECT_FALSE(log.contains("ERROR:")) << log.text();
    EXPECT_FALSE(log.contains("WARNING:")) << log.text();

    // The built-in USB source stays first and disabled; the product repository is active.
    ASSERT_EQ(config.m_lRepositories.size(), 2u);
    EXPECT_EQ(config.m_lRepositories.front().m_sId, "local-usb");
    EXPECT_FALSE(config.m_lRepositories.front().m_bEnabled);
    const RepoConfig* pActive = config.activeRepository();
    ASSERT_NE(pActive, nullptr);
    EXPECT_EQ(pActive->m_sId, "base");
    EXPECT_EQ(pActive->m_sName, "Product updates");
    EXPECT_EQ(pActive->m_sUri, "https://updates.example.com/example-device/");
    EXPECT_TRUE(pActive->m_bIsDefault);

    EXPECT_EQ(config.m_nLogLevel, 2);
    EXPECT_TRUE(config.m_bLogStderr);
    EXPECT_TRUE(config.m_bLogSyslog);
    EXPECT_EQ(config.m_nSyslogFacility, LOG_DAEMON);

    EXPECT_EQ(config.m_sProductName, "example-device");
    EXPECT_EQ(config.m_sReleasePackage, "example-release");
    EXPECT_TRUE(config.m_vAddonPackages.empty());
    EXPECT_EQ(config.m_vAddonGroups, std::vector<std::string>{"Add-ons"});
    EXPECT_EQ(config.m_network.m_sUserAgentBase, "updater");
    EXPECT_EQ(config.m_network.m_sUserAgentProduct, "example-device");
    EXPECT_TRUE(config.m_network.m_sProxyServer.empty());
    // A stock createrepo_c repository (sha256) works out of the box.
    EXPECT_EQ(config.m_vChecksumTypes,
              (std::vector<std::string>{"sha", "sha1", "sha224", "sha256", "sha384", "sha512"}));
    EXPECT_FALSE(config.m_bRequireSignatures);
    EXPECT_FALSE(pActive->m_bGpgCheckMetadata);
    EXPECT_TRUE(pActive->m_tls.empty());
    // The product ships with recovery after interrupted installations.
    EXPECT_TRUE(config.m_bRecoveryVerify);
    EXPECT_TRUE(config.m_bRecoveryRepair);

    // Nothing in the files may set what only options and built-in defaults set.
    EXPECT_EQ(config.m_sCacheDir, "/var/cache/updater/");
    EXPECT_EQ(config.m_nMaxWaitTime, 600);
    EXPECT_EQ(config.m_nLockTimeout, 120);
}

// The commented examples of the device file are the ones a device maker will uncomment;
// each of them must be valid where the comment puts it.
TEST(ShippedConfigTest, CommentedExamplesOfTheDeviceFileAreValid)
{
    std::string sExample = readFile(sourceDir() + "/packaging/updater.conf.example");
    // Uncomment every block of the <updater> element; the header comment stays.
    size_t nStart = sExample.find("\n<updater>");
    ASSERT_NE(nStart, std::string::npos);
    std::string sUncommented = sExample.substr(nStart + 1);
    for (const std::string& sMark : {std::string("<!--"), std::string("-->")})
    {
        size_t nPos = 0;
        while ((nPos = sUncommented.find(sMark, nPos)) != std::string::npos)
            sUncommented.erase(nPos, sMark.size());
    }
    // Free text of the comments is harmless text content of <updater>.
    ShippedFiles files;
    files.m_paths.m_sConfigFile = files.m_dir.file("updater.conf");
    writeFile(files.m_paths.m_sConfigFile, "<?xml version=\"1.0\"?>\n" + sUncommented);

    LogCapture log;
    UpdaterConfig config(files.m_paths);
    ASSERT_TRUE(config.parseFile(files.m_paths.m_sDefaultsFile, true)) << log.text();
    ASSERT_TRUE(config.parseFile(files.m_paths.m_sConfigFile, false)) << log.text();

    const RepoConfig* pBase = config.findRepository("base");
    ASSERT_NE(pBase, nullptr);
    EXPECT_EQ(pBase->m_sUri, "http://staging.example.com/example-device/");
    EXPECT_FALSE(pBase->m_bIsDefault);
    const RepoConfig* pMirror = config.findRepository("local-mirror");
    ASSERT_NE(pMirror, nullptr);
    EXPECT_FALSE(pMirror->m_bEnabled);
    EXPECT_EQ(config.m_nLogLevel, 1);
    EXPECT_EQ(config.m_nSyslogFacility, LOG_LOCAL0);

    // And the run picks the one enabled repository: the staging server.
    UpdaterOptions options;
    UpdaterConfig loaded(files.m_paths);
    ASSERT_TRUE(loaded.load(options)) << log.text();
    ASSERT_NE(loaded.activeRepository(), nullptr);
    EXPECT_EQ(loaded.activeRepository()->m_sId, "base");
}

// The smallest device file the documentation promises to work.
TEST(ShippedConfigTest, EmptyDeviceFileKeepsTheDefaults)
{
    ShippedFiles files;
    files.m_paths.m_sConfigFile = files.m_dir.file("updater.conf");
    writeFile(files.m_paths.m_sConfigFile, "<updater/>\n");
    LogCapture log;
    UpdaterConfig config(files.m_paths);
    ASSERT_TRUE(config.load(UpdaterOptions{})) << log.text();
    ASSERT_NE(config.activeRepository(), nullptr);
    EXPECT_EQ(config.activeRepository()->m_sId, "base");
}
