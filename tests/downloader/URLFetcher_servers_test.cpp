#include <gtest/gtest.h>

#include <sys/stat.h>

#include "TestServers.h"
#include "downloader/DeviceIdentity.h"
#include "downloader/Downloader.h"

using namespace net_test;
using testing_support::LogCapture;
using testing_support::readFile;
using testing_support::writeFile;

namespace
{

// lighttpd or tinyproxy through tests/support/servers/daemon.py.
class Daemon
{
public:
    Daemon(const std::string& sKind, std::vector<std::string> vArgs)
    {
        vArgs.insert(vArgs.begin(),
                     {sKind, "--workdir", m_dir.path(), "--port-file", m_dir.file("port")});
        m_pProcess = std::make_unique<ServerProcess>("daemon.py", vArgs, m_dir.file("port"));
    }
    unsigned int port() const { return m_pProcess->port(); }

private:
    TempDir m_dir;
    std::unique_ptr<ServerProcess> m_pProcess;
};

class RealServerTest : public NetworkTest
{
protected:
    void SetUp() override
    {
        NetworkTest::SetUp();
        writeFile(networkPaths().m_sCpuInfo,
                  "Hardware\t: Kelmir\nRevision\t: 0301\nSerial\t: 12\n");
        writeFile(networkPaths().m_vEepromFiles[0], std::string(16, 'e') + "03.01");
        readDeviceIdentity();
        m_sDefaultPassword = defaultPassword();
        ASSERT_EQ(::mkdir(m_root.file("repo").c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(m_root.file("basic").c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(m_root.file("digest").c_str(), 0755), 0);
        writeFile(m_root.file("repo/repomd.xml"), "static index");
        writeFile(m_root.file("basic/f"), "basic content");
        writeFile(m_root.file("digest/f"), "digest content");
        writeFile(m_users.file("users"),
                  "fileuser:filepw\nproduct-0301:" + m_sDefaultPassword + "\n");
    }

    std::vector<std::string> lighttpdArgs() const
    {
        return {"--root",      m_root.path(),
                "--auth-file", m_users.file("users"),
                "--basic",     "/basic",
                "B",           "--digest",
                "/digest",     "D"};
    }

    TempDir m_root;
    TempDir m_users;
    std::string m_sDefaultPassword;
};

TEST_F(RealServerTest, LighttpdStaticBasicAndDigest)
{
    Daemon server("lighttpd", lighttpdArgs());
    ASSERT_NE(server.port(), 0u);
    const std::string sBase = "http://127.0.0.1:" + std::to_string(server.port());
    writeCredentials(R"(<creditentials xlink:href=")" + sBase +
                     R"(/basic" realm="B" username="fileuser" password="filepw"/>)");
    initialize();
    LogCapture log;
    Downloader downloader;
    ASSERT_TRUE(downloader.open(sBase + "/"));
    ASSERT_TRUE(downloader.get("repo/repomd.xml", m_work.file("repomd.xml"), true));
    EXPECT_EQ(readFile(m_work.file("repomd.xml")), "static index");
    ASSERT_TRUE(downloader.get("basic/f", m_work.file("basic")));
    EXPECT_EQ(readFile(m_work.file("basic")), "basic content");
    // The digest realm has no file entry: the device's default credentials answer it.
    ASSERT_TRUE(downloader.get("digest/f", m_work.file("digest")));
    EXPECT_EQ(readFile(m_work.file("digest")), "digest content");
    EXPECT_TRUE(
        log.contains("DEBUG: trying default user authentication for 'product-0301' in attempt 0"));
    EXPECT_FALSE(log.contains(m_sDefaultPassword));
}

TEST_F(RealServerTest, LighttpdBasicRefusesWhenOnlyDefaultCredentialsExist)
{
    Daemon server("lighttpd", lighttpdArgs());
    initialize();
    LogCapture log;
    Downloader downloader;
    ASSERT_TRUE(downloader.open("http://127.0.0.1:" + std::to_string(server.port()) + "/basic"));
    EXPECT_FALSE(downloader.get("f", m_work.file("f")));
    EXPECT_TRUE(log.contains("ERROR: failed fetching 'f' (authentication failed on server)"));
    EXPECT_FALSE(log.contains("default user"));
}

TEST_F(RealServerTest, LighttpdOverTlsWithTheDeviceTrust)
{
    TempDir certs;
    ASSERT_TRUE(makeTestCertificates(certs.path()));
    std::vector<std::string> vArgs = lighttpdArgs();
    vArgs.insert(vArgs.end(), {"--tls-pem", certs.file("server.pem")});
    Daemon server("lighttpd", vArgs);
    ASSERT_NE(server.port(), 0u);
    const std::string sBase = "https://127.0.0.1:" + std::to_string(server.port()) + "/repo";
    initialize();
    {
        LogCapture log;
        Downloader downloader;
        ASSERT_TRUE(downloader.open(sBase));
        EXPECT_FALSE(downloader.get("repomd.xml", m_work.file("untrusted")));
        EXPECT_TRUE(log.contains("ERROR: failed fetching 'repomd.xml' ("));
    }
    networkPaths().m_sExtraCaFile = certs.file("ca.pem");
    Downloader downloader;
    ASSERT_TRUE(downloader.open(sBase));
    ASSERT_TRUE(downloader.get("repomd.xml", m_work.file("repomd.xml")));
    EXPECT_EQ(readFile(m_work.file("repomd.xml")), "static index");
}

TEST_F(RealServerTest, TinyproxyWithCredentials)
{
    Daemon server("lighttpd", lighttpdArgs());
    Daemon proxy("tinyproxy", {"--user", "pu", "--password", "pp"});
    ASSERT_NE(proxy.port(), 0u);
    const std::string sBase = "http://127.0.0.1:" + std::to_string(server.port()) + "/repo";
    {
        initialize("127.0.0.1", proxy.port(), false, "pu", "pp");
        LogCapture log;
        Downloader downloader;
        ASSERT_TRUE(downloader.open(sBase));
        ASSERT_TRUE(downloader.get("repomd.xml", m_work.file("repomd.xml")));
        EXPECT_EQ(readFile(m_work.file("repomd.xml")), "static index");
        EXPECT_TRUE(log.contains("DEBUG: using proxy for 127.0.0.1"));
    }
    URLFetcher::resetForTests();
    {
        initialize("127.0.0.1", proxy.port(), false, "pu", "wrong-proxy-pw");
        LogCapture log;
        Downloader downloader;
        ASSERT_TRUE(downloader.open(sBase));
        EXPECT_FALSE(downloader.get("repomd.xml", m_work.file("other")));
        // tinyproxy 1.11 answers rejected proxy credentials with 401 and a server challenge;
        // the exact proxy rejection path is covered with the scripted proxy.
        EXPECT_TRUE(
            log.contains("ERROR: failed fetching 'repomd.xml' (authentication failed on server)"));
        EXPECT_FALSE(log.contains("wrong-proxy-pw"));
    }
    URLFetcher::resetForTests();
    initialize("127.0.0.1", proxy.port(), false);
    LogCapture log;
    Downloader downloader;
    ASSERT_TRUE(downloader.open(sBase));
    EXPECT_FALSE(downloader.get("repomd.xml", m_work.file("other")));
    EXPECT_TRUE(log.contains("ERROR: proxy authentication requested but no credentials set"));
}

} // namespace
