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
}
