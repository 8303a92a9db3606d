// Answers that would fill the storage: a download beyond its size limit fails and leaves
// the previous file and no temporary file behind.

#include <gtest/gtest.h>

#include "TestServers.h"
#include "downloader/Downloader.h"
#include "downloader/TransferWatch.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace net_test;
using testing_support::fileExists;
using testing_support::LogCapture;
using testing_support::readFile;
using testing_support::writeFile;

namespace
{

class LimitTest : public NetworkTest
{
};

} // namespace

TEST_F(LimitTest, EndlessAndOversizedAnswersStopAtTheLimit)
{
    ScriptedServer server(R"({"routes": {
        "/endless": {"responses": [{"body": "x", "endless": true}]},
        "/exact": {"responses": [{"body": "0123456789"}]}}})");
    initialize();
    TempDir target;
    LogCapture log;
    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/")));

    writeFile(target.file("endless"), "old");
    EXPECT_FALSE(downloader.get("endless", target.file("endless"), false, 100000));
    EXPECT_TRUE(
        log.contains("ERROR: failed fetching 'endless' (resource larger than 100000 bytes)"));
    EXPECT_EQ(readFile(target.file("endless")), "old");
    EXPECT_FALSE(fileExists(target.file("endless.tmp")));
    // The updater's own bound: refused at once, never asked again.
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_FALSE(log.contains("retrying"));
    EXPECT_EQ(downloader.lastFailure(), URLFetcher::Failure::REFUSED);

    EXPECT_TRUE(downloader.get("exact", target.file("exact"), false, 10));
    EXPECT_EQ(readFile(target.file("exact")), "0123456789");
    EXPECT_FALSE(downloader.get("exact", target.file("exact9"), false, 9));
    EXPECT_FALSE(fileExists(target.file("exact9")));
}

TEST_F(LimitTest, LocalFilesStopAtTheLimit)
{
    initialize();
    TempDir repo;
    writeFile(repo.file("f"), std::string(5000, 'f'));
    TempDir target;
    LogCapture log;
    Downloader downloader;
    ASSERT_TRUE(downloader.open("file://" + repo.path()));
    EXPECT_TRUE(downloader.get("f", target.file("f"), false, 5000));
    EXPECT_FALSE(downloader.get("f", target.file("g"), false, 4999));
    EXPECT_TRUE(log.contains("ERROR: failed copying file (larger than 4999 bytes)"));
    EXPECT_FALSE(fileExists(target.file("g")));
    EXPECT_FALSE(fileExists(target.file("g.tmp")));
    // 4 GiB + 1 cut to 32 bits would be a limit of 1 byte.
    EXPECT_TRUE(downloader.get("f", target.file("h"), false, (uint64_t{1} << 32) + 1));
}

// Limits and lengths beyond 32 bits (packages of several GiB): a 32-bit build that cut them
// would refuse a good answer or take a short one for complete.
TEST_F(LimitTest, LimitsAndLengthsBeyondThirtyTwoBits)
{
    ScriptedServer server(R"({"routes": {
        "/exact": {"responses": [{"body": "0123456789"}]},
        "/over2g": {"responses": [{"body": "0123456789", "content_length": 2147483658}]},
        "/over4g": {"responses": [{"body": "0123456789", "content_length": 4294967306}]}}})");
    initialize();
    TempDir target;
    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/")));

    const struct
    {
        const char* m_pName;
        uint64_t m_uLimit;
    } LIMITS[] = {
        {"2 GiB + 5, negative as a signed 32-bit number", (uint64_t{1} << 31) + 5},
        {"4 GiB + 5, 5 when cut to 32 bits", (uint64_t{1} << 32) + 5},
        {"the largest package size", UINT64_MAX},
    };
    for (const auto& row : LIMITS)
    {
        SCOPED_TRACE(row.m_pName);
        ASSERT_TRUE(downloader.get("exact", target.file("exact"), false, row.m_uLimit));
        EXPECT_EQ(readFile(target.file("exact")), "0123456789");
    }

    // The server announces 2 GiB + 10 and 4 GiB + 10 bytes and closes after 10: the answer
    // is incomplete (cut to 32 bits, the second length would be exactly the 10 bytes).
    for (const char* pName : {"over2g", "over4g"})
    {
        SCOPED_TRACE(pName);
        LogCapture log;
        EXPECT_FALSE(downloader.get(pName, target.file(pName), false, 0));
        EXPECT_FALSE(fileExists(target.file(pName)));
        EXPECT_FALSE(fileExists(target.file(pName) + ".tmp"));
        EXPECT_TRUE(log.contains(std::string("ERROR: failed fetching '") + pName + "'"));
    }
}

TEST_F(LimitTest, SizeTheCallerExpectsIsAWrongCopyNotARefusal)
{
    ScriptedServer server(R"({"routes": {"/p": {"responses": [{"body": "0123456789"}]}}})");
    initialize();
    TempDir target;
    LogCapture log;
    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/")));
    EXPECT_FALSE(downloader.get("p", target.file("p"), false, 9, true));
    EXPECT_EQ(downloader.lastFailure(), URLFetcher::Failure::LARGER_THAN_EXPECTED);
    EXPECT_TRUE(log.contains("WARNING: failed fetching 'p' (resource larger than 9 bytes)"))
        << log.text();
    EXPECT_FALSE(log.contains("ERROR"));
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_FALSE(fileExists(target.file("p.tmp")));
}

// Timeouts of a second, so that stalls show within the test.
class StallTest : public LimitTest
{
protected:
    void SetUp() override
    {
        LimitTest::SetUp();
        m_saved = networkTimeouts();
        networkTimeouts().m_nReadSeconds = 1;
    }
    void TearDown() override
    {
        networkTimeouts() = m_saved;
        LimitTest::TearDown();
    }

    NetworkTimeouts m_saved;
};

// Servers that keep a request alive with a byte now and then: in the headers, in the body
// of an error answer. Each ends within a period, as too slow, and is not asked again.
TEST_F(StallTest, TrickledHeadersAndErrorBodiesAreTooSlow)
{
    if (!TransferWatch::kernelCountsBytes())
        GTEST_SKIP()
            << "the kernel does not report a connection's received bytes (qemu's user emulation)";
    ScriptedServer server(R"({"routes": {
        "/headers": {"responses": [{"body": "x", "trickle_headers": 0.2}]},
        "/missing": {"responses": [{"status": 404, "body": "not found, slowly", "trickle": 0.2}]},
        "/endless-error": {"responses": [{"status": 500, "body": "e", "endless": true}]}}})");
    initialize();
    TempDir target;
    Downloader downloader;
    ASSERT_TRUE(downloader.open(server.url("/")));
    for (const char* pName : {"headers", "missing"})
    {
        SCOPED_TRACE(pName);
        LogCapture log;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(downloader.get(pName, target.file(pName)));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_TRUE(log.contains(std::string("ERROR: failed fetching '") + pName +
                                 "' (transfer too slow ("))
            << log.text();
        EXPECT_FALSE(log.contains("retrying"));
        EXPECT_EQ(downloader.lastFailure(), URLFetcher::Failure::REFUSED);
        EXPECT_FALSE(fileExists(target.file(pName)));
        EXPECT_FALSE(fileExists(target.file(std::string(pName) + ".tmp")));
    }
    LogCapture log;
    EXPECT_FALSE(downloader.get("endless-error", target.file("e")));
    EXPECT_TRUE(log.contains(
        "ERROR: failed fetching 'endless-error' (error answer larger than 1048576 bytes)"))
        << log.text();

    std::vector<std::string> vTargets;
    for (const SeenRequest& request : server.requests())
        vTargets.push_back(request.m_sTarget);
    EXPECT_EQ(vTargets, (std::vector<std::string>{"/headers", "/missing", "/endless-error"}));
}

// An https request to a server that waits for a request in plain HTTP: the TLS handshake
// gets no answer, which neon waits for without a timeout of its own. It ends whether the
// watch measures the kernel's byte count or, where there is none, the body bytes read.
TEST_F(StallTest, SilentTlsHandshakeTimesOutAndIsRetried)
{
    for (const bool bBodyBytesOnly : {false, true})
    {
        SCOPED_TRACE(bBodyBytesOnly ? "body bytes only" : "kernel's byte count");
        networkTimeouts().m_bCountBodyBytesOnly = bBodyBytesOnly;
        const int nListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(nListener, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t uLength = sizeof(address);
        ASSERT_EQ(::bind(nListener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        ASSERT_EQ(::listen(nListener, 8), 0);
        ASSERT_EQ(::getsockname(nListener, reinterpret_cast<sockaddr*>(&address), &uLength), 0);
        // Connections wait in the backlog: the kernel accepts them, nobody ever answers.
        initialize();
        TempDir target;
        LogCapture log;
        Downloader downloader;
        ASSERT_TRUE(
            downloader.open("https://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/"));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(downloader.get("f", target.file("f")));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        const std::vector<std::string> vLines = log.lines();
        EXPECT_EQ(std::count(vLines.begin(), vLines.end(),
                             "WARNING: failed fetching 'f' (connection timed out); retrying"),
                  2)
            << log.text();
        EXPECT_TRUE(log.contains("ERROR: failed fetching 'f' (connection timed out)"));
        EXPECT_EQ(downloader.lastFailure(), URLFetcher::Failure::NETWORK);
        EXPECT_FALSE(fileExists(target.file("f.tmp")));
        ::close(nListener);
    }
}
