// Answers that would fill the storage: a download beyond its size limit fails and leaves
// the previous file and no temporary file behind.

#include <gtest/gtest.h>

#include "TestServers.h"
#include "downloader/Downloader.h"

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
    EXPECT_TRUE(log.contains("ERROR: failed fetching 'endless' (resource larger than 100000 bytes)"));
    EXPECT_EQ(readFile(target.file("endless")), "old");
    EXPECT_FALSE(fileExists(target.file("endless.tmp")));

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
