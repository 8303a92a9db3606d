#include <gtest/gtest.h>

#include <cerrno>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>

#include "TestServers.h"
#include "downloader/DeviceIdentity.h"
#include "downloader/Downloader.h"

using namespace net_test;
using testing_support::fileExists;
using testing_support::LogCapture;
using testing_support::readFile;
using testing_support::writeFile;

namespace
{

std::string okRoute(const std::string& sBody)
{
    return R"({"responses": [{"status": 200, "body": ")" + sBody + R"("}]})";
}

std::string redirectRoute(const std::string& sTarget, int nStatus = 302)
{
    return R"({"responses": [{"status": )" + std::to_string(nStatus) +
           R"(, "headers": {"Location": ")" + sTarget + R"("}}]})";
}

class FetcherTest : public NetworkTest
{
protected:
    std::string local(const std::string& sName) const { return m_work.file(sName); }

    // No file of that name and no temporary file beside it.
    void expectNothingLeft(const std::string& sName) const
    {
        EXPECT_FALSE(fileExists(local(sName)));
        EXPECT_FALSE(fileExists(local(sName) + ".tmp"));
    }
};

TEST_F(FetcherTest, PersistentConnectionUserAgentAndCacheHeaders)
{
    ScriptedServer server(R"({"routes": {"/repo/repodata/repomd.xml": )" + okRoute("index") +
                          R"(, "/repo/a.rpm": )" + okRoute("aaaa") + R"(, "/repo/b.rpm": )" +
                          okRoute("bbbb") + "}}");
    initialize();
    for (const char* pBase : {"/repo", "/repo/"})
    {
        Downloader downloader;
        ASSERT_TRUE(downloader.open(server.url(pBase)));
        EXPECT_EQ(downloader.basePath(), "/repo/");
        writeFile(local("repomd.xml") + ".tmp", "stale leftover that is longer than the index");
        ASSERT_TRUE(downloader.get("repodata/repomd.xml", local("repomd.xml"), true));
        ASSERT_TRUE(downloader.get("a.rpm", local("a.rpm")));
        ASSERT_TRUE(downloader.get("b.rpm", local("b.rpm")));
        EXPECT_EQ(readFile(local("repomd.xml")), "index");
        EXPECT_EQ(readFile(local("b.rpm")), "bbbb");
        EXPECT_FALSE(fileExists(local("a.rpm") + ".tmp"));
    }
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(requests[0].m_sTarget, "/repo/repodata/repomd.xml");
    EXPECT_EQ(requests[0].m_sCacheControl, "no-cache");
    EXPECT_EQ(requests[0].m_sPragma, "no-cache");
    EXPECT_EQ(requests[1].m_sCacheControl, "-");
    EXPECT_EQ(requests[1].m_sPragma, "-");
    // One connection per downloader, reused for all its requests.
    EXPECT_EQ(requests[1].m_nConnection, requests[0].m_nConnection);
    EXPECT_EQ(requests[2].m_nConnection, requests[0].m_nConnection);
    EXPECT_EQ(requests[5].m_nConnection, requests[3].m_nConnection);
    EXPECT_NE(requests[3].m_nConnection, requests[0].m_nConnection);
    EXPECT_EQ(requests[0].m_sUserAgent.rfind("base/1.4.0 (product-00000000c0ffee42) neon/", 0), 0u)
        << requests[0].m_sUserAgent;
}

TEST_F(FetcherTest, UserAgentWithoutSerial)
{
    writeFile(networkPaths().m_sCpuInfo, "processor\t: 0\n");
    ScriptedServer server(R"({"routes": {"/f": )" + okRoute("x") + "}}");
    initialize();
    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/")));
    ASSERT_TRUE(downloader.get("f", local("f")));
    EXPECT_EQ(server.requests().at(0).m_sUserAgent.rfind("base/1.4.0 neon/", 0), 0u);
}

TEST_F(FetcherTest, NotFoundIsNotRetriedAndKeepsTheOldFile)
{
    ScriptedServer server(R"({"routes": {}})");
    initialize();
    writeFile(local("repomd.xml"), "previous");
    LogCapture log;
    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/repo")));
    EXPECT_FALSE(downloader.get("repodata/repomd.xml", local("repomd.xml")));
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_TRUE(log.contains("ERROR: failed fetching 'repodata/repomd.xml' (404"));
    EXPECT_FALSE(log.contains("retrying"));
    EXPECT_EQ(readFile(local("repomd.xml")), "previous");
    EXPECT_FALSE(fileExists(local("repomd.xml.tmp")));
}

// A port that refuses connections: bound, not listening.
class RefusingPort
{
public:
    RefusingPort()
    {
        m_nFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(m_nFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        socklen_t len = sizeof(addr);
        ::getsockname(m_nFd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_uPort = ntohs(addr.sin_port);
    }
    ~RefusingPort() { ::close(m_nFd); }
    int m_nFd = -1;
    unsigned int m_uPort = 0;
};

TEST_F(FetcherTest, RefusedTwiceThenAcceptedSucceedsInRetryTwo)
{
    RefusingPort gate;
    // The server waits on the bound socket; it starts listening at the third attempt.
    ScriptedServer server(R"({"routes": {"/repo/f": )" + okRoute("content") + "}}", "127.0.0.1", "",
                          "", gate.m_nFd);
    initialize();
    CountingNotifier notifier;
    notifier.m_onConnecting = [&](int n)
    {
        if (n == 3)
            ::listen(gate.m_nFd, 8);
    };
    LogCapture log;
    Downloader downloader;
    ASSERT_TRUE(downloader.open("http://127.0.0.1:" + std::to_string(gate.m_uPort) + "/repo"));
    downloader.setNotifier(&notifier);
    ASSERT_TRUE(downloader.get("f", local("f")));
    EXPECT_EQ(readFile(local("f")), "content");
    EXPECT_EQ(notifier.m_nConnecting, 3);
    EXPECT_TRUE(
        log.contains("WARNING: failed fetching 'f' (could not connect to server); retrying"));
    EXPECT_TRUE(log.contains("INFO: fetched 'f' in retry 2"));
}

TEST_F(FetcherTest, RefusedThreeTimesFailsAfterThreeAttempts)
{
    RefusingPort gate;
    initialize();
    CountingNotifier notifier;
    LogCapture log;
    Downloader downloader;
    ASSERT_TRUE(downloader.open("http://127.0.0.1:" + std::to_string(gate.m_uPort) + "/repo"));
    downloader.setNotifier(&notifier);
    EXPECT_FALSE(downloader.get("f", local("f")));
    EXPECT_EQ(notifier.m_nConnecting, 3);
    EXPECT_EQ(log.text().find("; retrying") != std::string::npos, true);
    EXPECT_TRUE(log.contains("ERROR: failed fetching 'f' (could not connect to server)\n"));
    expectNothingLeft("f");
}

TEST_F(FetcherTest, ServerClosingMidBodyIsRetriedFromTheStart)
{
    const std::string sBody(4000, 'x');
    ScriptedServer server(R"({"routes": {
        "/once": {"responses": [{"body": ")" +
                          sBody + R"(", "close_mid_body": true}, {"body": ")" + sBody + R"("}]},
        "/always": {"responses": [{"body": ")" +
                          sBody + R"(", "close_mid_body": true}]}}})");
    initialize();
    LogCapture log;
    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/")));
    ASSERT_TRUE(downloader.get("once", local("once")));
    EXPECT_EQ(readFile(local("once")), sBody);
    EXPECT_TRUE(log.contains("INFO: fetched 'once' in retry 1"));

    writeFile(local("always"), "old");
    EXPECT_FALSE(downloader.get("always", local("always")));
    EXPECT_EQ(readFile(local("always")), "old");
    EXPECT_FALSE(fileExists(local("always.tmp")));
    int nAlways = 0;
    for (const auto& r : server.requests())
        nAlways += r.m_sTarget == "/always";
    EXPECT_EQ(nAlways, 3);
}

TEST_F(FetcherTest, RedirectChainsOfFiveSucceedAndSixFail)
{
    std::string sRoutes = R"({"routes": {"/final": )" + okRoute("done");
    for (int i = 1; i <= 6; ++i)
        sRoutes +=
            ", \"/r" + std::to_string(i) + "\": " +
            redirectRoute(i == 6 ? "/final" : "/r" + std::to_string(i + 1), i % 2 ? 302 : 301);
    ScriptedServer server(sRoutes + "}}");
    initialize();
    LogCapture log;
    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/")));
    ASSERT_TRUE(downloader.get("r2", local("five")));
    EXPECT_EQ(readFile(local("five")), "done");
    EXPECT_EQ(downloader.fetcherCount(), 1u);
    EXPECT_FALSE(log.contains("ERROR"));

    EXPECT_FALSE(downloader.get("r1", local("six")));
    EXPECT_TRUE(log.contains("ERROR: maximum number of redirects (5) exceeded"));
    expectNothingLeft("six");
}

TEST_F(FetcherTest, RedirectsAcrossHostsReuseFetchersAndKeepTheQuery)
{
    ScriptedServer other(R"({"routes": {"/mirror/x?token=abc": )" + okRoute("from mirror x") +
                             R"(, "/mirror/y": )" + okRoute("from mirror y") + "}}",
                         "127.0.0.2");
    ASSERT_NE(other.port(), 0u);
    const std::string sMirror = "http://127.0.0.2:" + std::to_string(other.port());
    ScriptedServer base(R"({"routes": {"/repo/x": )" +
                        redirectRoute(sMirror + "/mirror/x?token=abc") + R"(, "/repo/y": )" +
                        redirectRoute(sMirror + "/mirror/y") + R"(, "/repo/z": )" +
                        redirectRoute("/repo/zz") + R"(, "/repo/zz": )" + okRoute("zz") + "}}");
    const std::string sBase = base.url("/repo");
    base.port();
    initialize();
    LogCapture log;
    Downloader downloader;
    ASSERT_TRUE(downloader.open(sBase));
    ASSERT_TRUE(downloader.get("x", local("x")));
    EXPECT_EQ(readFile(local("x")), "from mirror x");
    EXPECT_EQ(downloader.fetcherCount(), 2u);
    ASSERT_TRUE(downloader.get("y", local("y")));
    EXPECT_EQ(readFile(local("y")), "from mirror y");
    EXPECT_EQ(downloader.fetcherCount(), 2u);
    ASSERT_TRUE(downloader.get("z", local("z")));
    EXPECT_EQ(readFile(local("z")), "zz");
    EXPECT_EQ(downloader.fetcherCount(), 2u);

    const auto seen = other.requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].m_sTarget, "/mirror/x?token=abc");
    // The mirror's connection is closed after each download.
    EXPECT_NE(seen[0].m_nConnection, seen[1].m_nConnection);
    EXPECT_TRUE(log.contains("DEBUG: 'x' redirected to 'http://127.0.0.2:" +
                             std::to_string(other.port()) + "/mirror/x"));
}

TEST_F(FetcherTest, RedirectToAFileIsRefused)
{
    ScriptedServer server(R"({"routes": {"/repo/repomd.xml": )" +
                          redirectRoute("file:///etc/hostname") + R"(, "/repo/odd": )" +
                          redirectRoute("ftp://127.0.0.1/x") + "}}");
    initialize();
    LogCapture log;
    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/repo")));
    EXPECT_FALSE(downloader.get("repomd.xml", local("repomd.xml")));
    EXPECT_TRUE(
        log.contains("ERROR: refusing redirection of 'repomd.xml' to 'file:///etc/hostname'"));
    expectNothingLeft("repomd.xml");
    EXPECT_FALSE(downloader.get("odd", local("odd")));
    EXPECT_TRUE(log.contains("to 'ftp://127.0.0.1/x'"));
    EXPECT_EQ(downloader.fetcherCount(), 1u);
}

TEST_F(FetcherTest, RedirectsBetweenHttpAndHttpsAreFollowed)
{
    TempDir certs;
    ASSERT_TRUE(makeTestCertificates(certs.path()));
    networkPaths().m_sExtraCaFile = certs.file("ca.pem");
    ScriptedServer plain(R"({"routes": {"/plain": )" + okRoute("plain body") + "}}");
    ScriptedServer tls(R"({"routes": {"/secure": )" + okRoute("secure body") +
                           R"(, "/to-plain": )" + redirectRoute(plain.url("/plain")) + "}}",
                       "127.0.0.1", certs.file("server.crt"), certs.file("server.key"));
    const std::string sTls = "https://127.0.0.1:" + std::to_string(tls.port());
    ScriptedServer entry(R"({"routes": {"/to-secure": )" + redirectRoute(sTls + "/secure") + "}}");
    initialize();

    Downloader downloader;
    ASSERT_TRUE(downloader.open(entry.url("/")));
    ASSERT_TRUE(downloader.get("to-secure", local("secure")));
    EXPECT_EQ(readFile(local("secure")), "secure body");

    Downloader secure;
    ASSERT_TRUE(secure.open(sTls + "/"));
    ASSERT_TRUE(secure.get("to-plain", local("plain")));
    EXPECT_EQ(readFile(local("plain")), "plain body");
}

TEST_F(FetcherTest, UntrustedCertificateFails)
{
    TempDir certs;
    ASSERT_TRUE(makeTestCertificates(certs.path()));
    ScriptedServer tls(R"({"routes": {"/f": )" + okRoute("x") + "}}", "127.0.0.1",
                       certs.file("server.crt"), certs.file("server.key"));
    initialize();
    LogCapture log;
    Downloader downloader;
    ASSERT_TRUE(downloader.open("https://127.0.0.1:" + std::to_string(tls.port()) + "/"));
    EXPECT_FALSE(downloader.get("f", local("f")));
    EXPECT_TRUE(log.contains("ERROR: failed fetching 'f' ("));
    expectNothingLeft("f");
}

// EEPROM data and a revision give the device its default credentials.
class AuthTest : public FetcherTest
{
protected:
    void SetUp() override
    {
        FetcherTest::SetUp();
        writeFile(networkPaths().m_sCpuInfo,
                  "Hardware\t: Kelmir\nRevision\t: 0212\nSerial\t: 77\n");
        writeFile(networkPaths().m_vEepromFiles[0], std::string(16, 'k') + "02.12");
    }
    std::string defaultPasswordNow()
    {
        readDeviceIdentity();
        return defaultPassword();
    }
    static std::vector<std::string> usersTried(const ScriptedServer& server)
    {
        std::vector<std::string> v;
        for (const auto& r : server.requests())
            v.push_back(r.m_sUser);
        return v;
    }
};

TEST_F(AuthTest, DigestTriesFileEntriesInOrderThenTheDefault)
{
    const std::string sPassword = defaultPasswordNow();
    ASSERT_EQ(sPassword.size(), 12u);
    ScriptedServer server(R"({"routes": {"/repo/f": {"auth": {"type": "digest", "realm": "R",
        "users": {"product-0212": ")" +
                          sPassword + R"("}}, "responses": [{"body": "secret"}]},
        "/repo/g": {"auth": {"type": "digest", "realm": "R", "users": {"second": "pw2"}},
        "responses": [{"body": "second ok"}]}}})");
    const std::string sHref = server.url("/repo");
    writeCredentials(R"(<creditentials xlink:href=")" + sHref +
                     R"(" username="first" password="wrong"/>
<creditentials xlink:href=")" +
                     sHref + R"(" realm="Other" username="other-realm" password="x"/>
<creditentials xlink:href=")" +
                     server.url("/elsewhere") + R"(" username="other-path" password="x"/>
<creditentials xlink:href=")" +
                     sHref + R"(" realm="R" username="second" password="pw2"/>
)");
    initialize();
    LogCapture log;
    Downloader downloader;
    ASSERT_TRUE(downloader.open(sHref));
    ASSERT_TRUE(downloader.get("f", local("f")));
    EXPECT_EQ(readFile(local("f")), "secret");
    EXPECT_EQ(usersTried(server),
              (std::vector<std::string>{"-", "first", "second", "product-0212"}));
    EXPECT_TRUE(
        log.contains("DEBUG: trying default user authentication for 'product-0212' in attempt 2"));
    EXPECT_FALSE(log.contains(sPassword));

    ASSERT_TRUE(downloader.get("g", local("g")));
    EXPECT_EQ(readFile(local("g")), "second ok");
}

TEST_F(AuthTest, BasicNeverGetsTheDefaultCredentials)
{
    const std::string sPassword = defaultPasswordNow();
    ScriptedServer server(R"({"routes": {"/f": {"auth": {"type": "basic", "realm": "B",
        "users": {"product-0212": ")" +
                          sPassword + R"("}}, "responses": [{"body": "secret"}]}}})");
    writeCredentials(R"(<creditentials xlink:href=")" + server.url("/") +
                     R"(" username="fileuser" password="no"/>)");
    initialize();
    LogCapture log;
    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/")));
    EXPECT_FALSE(downloader.get("f", local("f")));
    EXPECT_EQ(usersTried(server), (std::vector<std::string>{"-", "fileuser"}));
    EXPECT_TRUE(log.contains("ERROR: failed fetching 'f' (authentication failed on server)"));
    expectNothingLeft("f");
}

TEST_F(AuthTest, UserNamesUpTo255Characters)
{
    const std::string s255(255, 'u');
    const std::string s256(256, 'v');
    ScriptedServer server(R"({"routes": {
        "/a/f": {"auth": {"type": "basic", "realm": "B", "users": {")" +
                          s255 + R"(": "pw"}}, "responses": [{"body": "ok"}]},
        "/b/f": {"auth": {"type": "basic", "realm": "B", "users": {")" +
                          s256 + R"(": "pw"}}, "responses": [{"body": "ok"}]}}})");
    writeCredentials(R"(<creditentials xlink:href=")" + server.url("/a") + R"(" username=")" +
                     s255 + R"(" password="pw"/>
<creditentials xlink:href=")" +
                     server.url("/b") + R"(" username=")" + s256 + R"(" password="pw"/>)");
    initialize();
    LogCapture log;
    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/")));
    EXPECT_TRUE(downloader.get("a/f", local("a")));
    EXPECT_FALSE(downloader.get("b/f", local("b")));
    EXPECT_TRUE(log.contains("ERROR: http username length (256) exceeds maximum supported (256)"));
}

class ProxyTest : public FetcherTest
{
};

TEST_F(ProxyTest, RemoteHostGoesThroughTheProxyAndIsNeverContacted)
{
    // The proxy answers itself; 203.0.113.1 (TEST-NET-3) is never connected to. The
    // machine's own network may be TEST-NET-1, where the address would count as local.
    ScriptedServer proxy(R"({"routes": {"http://203.0.113.1:8080/repo/f": )" +
                         okRoute("via proxy") + "}}");
    initialize("127.0.0.1", proxy.port(), true);
    LogCapture log;
    Downloader downloader;
    ASSERT_TRUE(downloader.open("http://203.0.113.1:8080/repo"));
    ASSERT_TRUE(downloader.get("f", local("f")));
    EXPECT_EQ(readFile(local("f")), "via proxy");
    EXPECT_TRUE(log.contains("DEBUG: using proxy for 203.0.113.1"));
    ASSERT_EQ(proxy.requests().size(), 1u);
    EXPECT_EQ(proxy.requests()[0].m_sTarget, "http://203.0.113.1:8080/repo/f");
}

TEST_F(ProxyTest, LocalServerBypassesTheProxyOnlyWhenAsked)
{
    ScriptedServer proxy(R"({"routes": {}})");
    ScriptedServer server(R"({"routes": {"/f": )" + okRoute("direct") + "}}");
    {
        initialize("127.0.0.1", proxy.port(), true);
        LogCapture log;
        Downloader downloader;
        ASSERT_TRUE(downloader.open(server.url("/")));
        ASSERT_TRUE(downloader.get("f", local("f")));
        EXPECT_TRUE(log.contains("DEBUG: bypassing proxy since 127.0.0.1 is local"));
        EXPECT_TRUE(proxy.requests().empty());
        EXPECT_EQ(server.requests().size(), 1u);
    }
    URLFetcher::resetForTests();
    initialize("127.0.0.1", proxy.port(), false);
    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/")));
    EXPECT_FALSE(downloader.get("f", local("g")));
    ASSERT_EQ(proxy.requests().size(), 1u);
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(ProxyTest, ProxyCredentialsAreSentOnceAndRejectionIsReported)
{
    ScriptedServer proxy(R"({"proxy_auth": {"users": {"pu": "pp"}},
        "routes": {"http://203.0.113.1/f": )" +
                         okRoute("authorised") + "}}");
    {
        initialize("127.0.0.1", proxy.port(), false, "pu", "pp");
        Downloader downloader;
        ASSERT_TRUE(downloader.open("http://203.0.113.1/"));
        ASSERT_TRUE(downloader.get("f", local("f")));
        EXPECT_EQ(readFile(local("f")), "authorised");
    }
    const std::size_t uBefore = proxy.requests().size();
    URLFetcher::resetForTests();
    initialize("127.0.0.1", proxy.port(), false, "pu", "wrong-password");
    LogCapture log;
    Downloader downloader;
    ASSERT_TRUE(downloader.open("http://203.0.113.1/"));
    EXPECT_FALSE(downloader.get("f", local("g")));
    const auto seen = proxy.requests();
    ASSERT_EQ(seen.size(), uBefore + 2);
    EXPECT_EQ(seen[uBefore].m_sProxyUser, "-");
    EXPECT_EQ(seen[uBefore + 1].m_sProxyUser, "pu");
    EXPECT_TRUE(log.contains("ERROR: proxy authentication as user 'pu' failed"));
    EXPECT_TRUE(log.contains(
        "ERROR: make sure the proper username and password are configured in the proxy settings"));
    EXPECT_FALSE(log.contains("wrong-password"));
}

TEST_F(FetcherTest, FullDiskGivesAWriteErrorAndLeavesNothing)
{
    const std::string sBody(64 * 1024, 'z');
    ScriptedServer server(R"({"routes": {"/big": )" + okRoute(sBody) + "}}");
    initialize();
    const std::string sMount = m_work.file("small");
    ASSERT_EQ(::mkdir(sMount.c_str(), 0755), 0);
    LogCapture log;
    // A private mount namespace in a child keeps the small file system away from the host.
    const pid_t nPid = fork();
    if (nPid == 0)
    {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", sMount.c_str(), "tmpfs", 0, "size=16k") != 0)
            _exit(3);
        Downloader downloader;
        if (!downloader.open(server.url("/")))
            _exit(4);
        const bool bOk = downloader.get("big", sMount + "/big");
        const bool bLeft = fileExists(sMount + "/big") || fileExists(sMount + "/big.tmp");
        _exit(bOk ? 5 : (bLeft ? 6 : 0));
    }
    int nStatus = 0;
    ASSERT_EQ(waitpid(nPid, &nStatus, 0), nPid);
    ASSERT_TRUE(WIFEXITED(nStatus));
    if (WEXITSTATUS(nStatus) == 3)
        GTEST_SKIP() << "cannot mount a private tmpfs here";
    EXPECT_EQ(WEXITSTATUS(nStatus), 0);
    EXPECT_TRUE(log.contains("ERROR: failed fetching 'big' (failed writing downloaded data to file "
                             "(No space left on device))"));
}

} // namespace

namespace
{

TEST_F(ProxyTest, BracketedIPv6LiteralIsCheckedAsANumericAddress)
{
    ScriptedServer proxy(R"({"routes": {}})");
    ScriptedServer server(R"({"routes": {"/f": )" + okRoute("over ipv6") + "}}", "::1");
    if (server.port() == 0)
        GTEST_SKIP() << "no IPv6 loopback";
    initialize("127.0.0.1", proxy.port(), true);
    LogCapture log;
    Downloader downloader;
    ASSERT_TRUE(downloader.open("http://[::1]:" + std::to_string(server.port()) + "/"));
    ASSERT_TRUE(downloader.get("f", local("f")));
    EXPECT_EQ(readFile(local("f")), "over ipv6");
    EXPECT_TRUE(log.contains("DEBUG: bypassing proxy since [::1] is local"));
    EXPECT_TRUE(proxy.requests().empty());
}

} // namespace
