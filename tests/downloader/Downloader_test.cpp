#include <gtest/gtest.h>

#include <sys/stat.h>

#include "TestServers.h"
#include "downloader/Downloader.h"

using namespace net_test;
using testing_support::fileExists;
using testing_support::LogCapture;
using testing_support::readFile;
using testing_support::writeFile;

namespace
{

TEST(FileHelpers, CreateDirAndIsReadable)
{
    TempDir dir;
    LogCapture log;
    const std::string sDir = dir.file("sub");
    EXPECT_TRUE(createDir(sDir));
    EXPECT_TRUE(createDir(sDir)) << "an existing directory is fine";
    EXPECT_TRUE(log.contains("DEBUG: successfully created dir '" + sDir + "'"));
    writeFile(dir.file("file"), "x");
    EXPECT_FALSE(createDir(dir.file("file")));
    EXPECT_TRUE(log.contains("ERROR: cannot create dir '" + dir.file("file") + "' (File exists)"));
    EXPECT_FALSE(createDir(dir.file("a/b")));
    EXPECT_TRUE(log.contains("(No such file or directory)"));

    EXPECT_TRUE(isReadable(dir.file("file")));
    EXPECT_FALSE(isReadable(dir.file("missing")));
    EXPECT_TRUE(log.contains("DEBUG: file '" + dir.file("missing") +
                             "' not readable (No such file or directory)"));
}

class DownloaderTest : public NetworkTest
{
};

TEST_F(DownloaderTest, OpenRefusesBadURIsAndASecondOpen)
{
    LogCapture log;
    Downloader downloader;
    EXPECT_FALSE(downloader.open("http://[::1/repo"));
    EXPECT_TRUE(log.contains("ERROR: failed parsing repository URI 'http://[::1/repo'"));
    EXPECT_FALSE(downloader.open("/just/a/path"));
    EXPECT_TRUE(log.contains("ERROR: repository URI '/just/a/path' missing host, path or scheme"));
    EXPECT_FALSE(downloader.open("http://127.0.0.1/repo"));
    EXPECT_TRUE(log.contains("ERROR: URLFetcher class not initialized before calling constructor"));
    EXPECT_TRUE(log.contains("ERROR: cannot create fetcher for 'http://127.0.0.1/repo'"));

    initialize();
    EXPECT_FALSE(downloader.open("gopher://127.0.0.1/repo"));
    EXPECT_TRUE(log.contains("ERROR: scheme 'gopher' not supported"));
    EXPECT_FALSE(downloader.open("file://otherhost/repo"));
    EXPECT_TRUE(log.contains("ERROR: only local file: URIs supported"));
    EXPECT_FALSE(downloader.isOpen());

    ASSERT_TRUE(downloader.open("http://127.0.0.1/first"));
    EXPECT_FALSE(downloader.open("http://127.0.0.1/second"));
    EXPECT_EQ(downloader.basePath(), "/first/");
    downloader.close();
    EXPECT_FALSE(downloader.isOpen());
    EXPECT_TRUE(downloader.open("http://127.0.0.1/second"));
}

TEST_F(DownloaderTest, FileRepositoriesWithAndWithoutLocalhost)
{
    initialize();
    TempDir repo;
    ASSERT_EQ(::mkdir(repo.file("repodata").c_str(), 0755), 0);
    const std::string sBig(10000, 'q');
    writeFile(repo.file("repodata/repomd.xml"), sBig);
    TempDir target;
    for (const std::string& sPrefix : {std::string("file://"), std::string("file://localhost")})
    {
        LogCapture log;
        Downloader downloader;
        ASSERT_TRUE(downloader.open(sPrefix + repo.path())) << sPrefix;
        URLFetcher::Notifier notifier;
        downloader.setNotifier(&notifier);
        ASSERT_TRUE(downloader.get("repodata/repomd.xml", target.file("repomd.xml"), true));
        EXPECT_EQ(readFile(target.file("repomd.xml")), sBig);

        writeFile(target.file("missing"), "keep");
        EXPECT_FALSE(downloader.get("repodata/missing", target.file("missing")));
        EXPECT_TRUE(log.contains("ERROR: failed copying file (No such file or directory)"));
        EXPECT_EQ(readFile(target.file("missing")), "keep");
        EXPECT_FALSE(fileExists(target.file("missing.tmp")));
    }
}

TEST_F(DownloaderTest, UnwritableTargetIsReported)
{
    initialize();
    TempDir repo;
    writeFile(repo.file("f"), "x");
    LogCapture log;
    Downloader downloader;
    ASSERT_TRUE(downloader.open("file://" + repo.path()));
    EXPECT_FALSE(downloader.get("f", repo.file("no-such-dir/f")));
    EXPECT_TRUE(
        log.contains("ERROR: failed creating file '" + repo.file("no-such-dir/f.tmp") + "' ("));
}

TEST_F(DownloaderTest, FetcherMatchesSchemeHostAndDefaultPort)
{
    initialize();
    struct Case
    {
        const char* pFetcher;
        const char* pUri;
        bool bMatches;
    };
    const Case cases[] = {
        {"http://h/", "http://h:80/x", true},        {"http://h:80/", "http://h/x", true},
        {"https://h/", "https://h:443/", true},      {"http://h/", "https://h/", false},
        {"http://h/", "http://H/", false},           {"http://h:8080/", "http://h/", false},
        {"http://[::1]/", "http://[::1]:80/", true},
    };
    for (const Case& c : cases)
    {
        ne_uri fetcherUri{}, uri{};
        ASSERT_EQ(ne_uri_parse(c.pFetcher, &fetcherUri), 0);
        ASSERT_EQ(ne_uri_parse(c.pUri, &uri), 0);
        URLFetcher fetcher(fetcherUri);
        EXPECT_TRUE(fetcher.isValid());
        EXPECT_EQ(fetcher.matches(uri), c.bMatches) << c.pFetcher << " " << c.pUri;
        ne_uri_free(&fetcherUri);
        ne_uri_free(&uri);
    }
}

} // namespace
