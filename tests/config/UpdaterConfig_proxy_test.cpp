#include "ConfigTestSupport.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace
{

std::string proxyconf(const std::string& sBody)
{
    return "<?xml version=\"1.0\"?>\n<proxyconf>\n" + sBody + "\n</proxyconf>\n";
}

} // namespace

TEST(ProxyFileTest, ProxyElementTable)
{
    struct Row
    {
        const char* pBody;
        const char* pServer;
        unsigned int nPort;
        bool bBypass;
        const char* pUser;
        const char* pPassword;
        const char* pMessage; // expected log text, or nullptr
    };
    const Row rows[] = {
        {"<proxy server=\"proxy.lan\" port=\"3128\"/>", "proxy.lan", 3128, true, "", "",
         "DEBUG: configured proxy 'proxy.lan' port 3128 bypass 1"},
        {"<proxy server=\"10.0.0.1\" port=\"8080\" bypassLocalNetwork=\"off\" username=\"u\" "
         "password=\"p w\"/>",
         "10.0.0.1", 8080, false, "u", "p w",
         "DEBUG: configured proxy '10.0.0.1' port 8080 bypass 0"},
        {"<proxy server=\"p\" port=\"1\" bypassLocalNetwork=\"false\"/>", "p", 1, false, "", "",
         nullptr},
        {"<proxy server=\"p\" port=\"1\" bypassLocalNetwork=\"no\"/>", "p", 1, true, "", "",
         nullptr},
        {"<proxy server=\"p\" port=\"1\" bypassLocalNetwork=\"0\"/>", "p", 1, true, "", "",
         nullptr},
        {"<proxy server=\"p\" port=\"1\" bypassLocalNetwork=\"FALSE\"/>", "p", 1, true, "", "",
         nullptr},
        {"<proxy server=\"p\" port=\"1\" bypassLocalNetwork=\"Off\"/>", "p", 1, true, "", "",
         nullptr},
        {"<proxy server=\"p\" port=\"1\" bypassLocalNetwork=\"\"/>", "p", 1, true, "", "", nullptr},
        {"<proxy server=\"p\" port=\"0\"/>", "p", 0, true, "", "", nullptr},
        {"<proxy server=\"p\" port=\"65534\"/>", "p", 65534, true, "", "", nullptr},
        {"<proxy server=\"p\" port=\" +80\"/>", "p", 80, true, "", "", nullptr},
        {"<proxy server=\"p\" port=\"080\"/>", "p", 80, true, "", "", nullptr},
        {"<proxy server=\"p\" port=\"1\" username=\"\" password=\"\"/>", "p", 1, true, "", "",
         nullptr},
        {"<proxy server=\"p\" port=\"1\"/>", "p", 1, true, "", "",
         "DEBUG: no attribute 'username' for node 'proxy'"},
        {"<proxy server=\"p\" port=\"1\"/>", "p", 1, true, "", "",
         "DEBUG: no attribute 'password' for node 'proxy'"},
        {"<proxy server=\"p&amp;q\" port=\"1\"/>", "p&q", 1, true, "", "", nullptr},
        // Refused elements store nothing.
        {"<proxy server=\"p\" port=\"65535\"/>", "", 0, false, "", "",
         "ERROR: invalid port number '65535'"},
        {"<proxy server=\"p\" port=\"-1\"/>", "", 0, false, "", "",
         "ERROR: invalid port number '-1'"},
        {"<proxy server=\"p\" port=\"80 \"/>", "", 0, false, "", "",
         "ERROR: invalid port number '80 '"},
        {"<proxy server=\"p\" port=\"8o\"/>", "", 0, false, "", "",
         "ERROR: invalid port number '8o'"},
        {"<proxy server=\"p\" port=\"http\"/>", "", 0, false, "", "",
         "ERROR: invalid port number 'http'"},
        {"<proxy server=\"p\" port=\"99999999999999999999999\"/>", "", 0, false, "", "",
         "ERROR: invalid port number '99999999999999999999999'"},
        {"<proxy server=\"p\" port=\"\"/>", "", 0, false, "", "",
         "ERROR: no 'port' attribute in 'proxy' element"},
        {"<proxy server=\"p\"/>", "", 0, false, "", "",
         "ERROR: no 'port' attribute in 'proxy' element"},
        {"<proxy port=\"1\"/>", "", 0, false, "", "",
         "ERROR: no 'server' attribute in 'proxy' element"},
        {"<proxy server=\"\" port=\"1\"/>", "", 0, false, "", "",
         "ERROR: no 'server' attribute in 'proxy' element"},
        // Elements in a namespace match by qualified name only.
        {"<p:proxy xmlns:p=\"urn:p\" server=\"p\" port=\"1\"/>", "", 0, false, "", "", nullptr},
    };
    for (const Row& row : rows)
    {
        ConfigFiles files;
        files.proxy(proxyconf(row.pBody));
        LogCapture log;
        UpdaterConfig config(files.paths());
        config.parseProxyFile();
        const NetworkConfig& network = config.m_network;
        EXPECT_EQ(network.m_sProxyServer, row.pServer) << row.pBody;
        EXPECT_EQ(network.m_nProxyPort, row.nPort) << row.pBody;
        EXPECT_EQ(network.m_bProxyBypassLocal, row.bBypass) << row.pBody;
        EXPECT_EQ(network.m_sProxyUser, row.pUser) << row.pBody;
        EXPECT_EQ(network.m_sProxyPassword, row.pPassword) << row.pBody;
        if (row.pMessage != nullptr)
        {
            EXPECT_TRUE(log.contains(row.pMessage)) << row.pBody << "\n" << log.text();
        }
    }
}

TEST(ProxyFileTest, MissingFileMeansNoProxy)
{
    ConfigFiles files;
    LogCapture log;
    UpdaterConfig config(files.paths());
    config.parseProxyFile();
    EXPECT_TRUE(config.m_network.m_sProxyServer.empty());
    EXPECT_TRUE(
        log.contains("DEBUG: no proxy configuration file '" + files.paths().m_sProxyFile + "'"))
        << log.text();
}

TEST(ProxyFileTest, WrongTopElement)
{
    ConfigFiles files;
    files.proxy("<proxies><proxy server=\"p\" port=\"1\"/></proxies>");
    LogCapture log;
    UpdaterConfig config(files.paths());
    config.parseProxyFile();
    EXPECT_TRUE(config.m_network.m_sProxyServer.empty());
    EXPECT_TRUE(log.contains("ERROR: bad top-level element, 'proxies' instead of 'proxyconf'"))
        << log.text();
}

TEST(ProxyFileTest, LastValidProxyWins)
{
    ConfigFiles files;
    files.proxy(
        proxyconf("<proxy server=\"first\" port=\"1\" bypassLocalNetwork=\"off\" username=\"u1\" "
                  "password=\"p1\"/>\n<proxy server=\"second\" port=\"2\"/>"));
    LogCapture log;
    UpdaterConfig config(files.paths());
    config.parseProxyFile();
    const NetworkConfig& network = config.m_network;
    EXPECT_EQ(network.m_sProxyServer, "second");
    EXPECT_EQ(network.m_nProxyPort, 2u);
    EXPECT_TRUE(network.m_bProxyBypassLocal);
    // Credentials belong to the element that named the proxy.
    EXPECT_EQ(network.m_sProxyUser, "");
    EXPECT_EQ(network.m_sProxyPassword, "");
    EXPECT_TRUE(log.contains(
        "WARNING: multiple proxy servers in configuration file, using last occurence"));
}

TEST(ProxyFileTest, InvalidProxyStopsReadingAndKeepsEarlierOne)
{
    ConfigFiles files;
    files.proxy(
        proxyconf("<proxy server=\"first\" port=\"1\" username=\"u1\"/>\n<proxy port=\"2\"/>\n"
                  "<proxy server=\"third\" port=\"3\"/>"));
    LogCapture log;
    UpdaterConfig config(files.paths());
    config.parseProxyFile();
    EXPECT_EQ(config.m_network.m_sProxyServer, "first");
    EXPECT_EQ(config.m_network.m_nProxyPort, 1u);
    EXPECT_EQ(config.m_network.m_sProxyUser, "u1");
    EXPECT_TRUE(log.contains("ERROR: no 'server' attribute in 'proxy' element"));
}

TEST(ProxyFileTest, MalformedFileKeepsValuesReadBeforeTheError)
{
    ConfigFiles files;
    // The reader parses ahead in chunks: the error must lie well behind the first element.
    files.proxy("<proxyconf><proxy server=\"first\" port=\"1\"/><x/><!--" +
                std::string(100000, 'x') + "--><proxy server=\"x\" port=\"2\"></proxyconf>");
    LogCapture log;
    UpdaterConfig config(files.paths());
    config.parseProxyFile();
    EXPECT_EQ(config.m_network.m_sProxyServer, "first");
    EXPECT_EQ(config.m_network.m_nProxyPort, 1u);
}

TEST(ProxyFileTest, NestedProxyElementIsFound)
{
    ConfigFiles files;
    files.proxy(proxyconf(
        "<group><proxy server=\"nested\" port=\"8\"><proxy server=\"inner\" port=\"9\"/></proxy>"
        "</group>"));
    LogCapture log;
    UpdaterConfig config(files.paths());
    config.parseProxyFile();
    // The subtree of a handled proxy element is skipped.
    EXPECT_EQ(config.m_network.m_sProxyServer, "nested");
    EXPECT_FALSE(log.contains("multiple proxy servers"));
}

TEST(ProxyFileTest, ReadOnlyAfterSuccessfulDeviceFile)
{
    struct Row
    {
        bool bDeviceOk;
        bool bFromDefaults;
        bool bProxy;
    };
    const Row rows[] = {{true, false, true}, {false, false, false}, {true, true, false}};
    for (const Row& row : rows)
    {
        ConfigFiles files;
        files.proxy(proxyconf("<proxy server=\"p\" port=\"3128\"/>"));
        if (row.bDeviceOk)
            files.config("");
        else
            files.config("<repository id=\"broken\"/>");
        LogCapture log;
        UpdaterConfig config(files.paths());
        const bool bResult = config.parseFile(files.paths().m_sConfigFile, row.bFromDefaults);
        EXPECT_EQ(bResult, row.bDeviceOk);
        EXPECT_EQ(!config.m_network.m_sProxyServer.empty(), row.bProxy)
            << row.bDeviceOk << row.bFromDefaults << log.text();
    }
}

TEST(ProxyFileTest, LoadTakesProxyAndIgnoresItsFailures)
{
    ConfigFiles files;
    files.defaults("<log><logger type=\"stderr\"/></log>");
    files.config("");
    files.proxy("<wrong/>");
    LogCapture log;
    {
        UpdaterConfig config(files.paths());
        EXPECT_TRUE(config.load({}));
        EXPECT_TRUE(config.m_network.m_sProxyServer.empty());
    }
    files.proxy(proxyconf(
        "<proxy server=\"proxy\" port=\"3128\" bypassLocalNetwork=\"false\" username=\"me\" "
        "password=\"secret\"/>"));
    UpdaterConfig config(files.paths());
    ASSERT_TRUE(config.load({}));
    EXPECT_EQ(config.m_network.m_sProxyServer, "proxy");
    EXPECT_EQ(config.m_network.m_nProxyPort, 3128u);
    EXPECT_FALSE(config.m_network.m_bProxyBypassLocal);
    EXPECT_EQ(config.m_network.m_sProxyUser, "me");
    EXPECT_EQ(config.m_network.m_sProxyPassword, "secret");
    EXPECT_FALSE(log.contains("secret"));
}
