// The repository over real HTTP: what is fetched, what is reused from the cache, and the
// one cache-bypassing retry, as a recording server on 127.0.0.1 sees it.

#include "RepoTestSupport.h"

#include "repository/Repository.h"

#include <sys/stat.h>

using namespace repo_test;
using testing_support::fileExists;
using testing_support::LogCapture;

namespace
{

class HttpRepositoryTest : public ::testing::Test
{
protected:
    HttpRepositoryTest()
    {
        loadRpmConfig();
        copyTree(builtRepo(), m_served.file("repo"));
        m_pServer = std::make_unique<HttpServer>(m_served.path());
        m_config.m_sCacheDir = m_cache.path() + "/";
        m_repoConfig.m_sId = "base";
        m_repoConfig.m_sUri = m_pServer->url("/repo");
        m_pRepo = std::make_unique<Repository>(m_config, m_repoConfig);
        m_sPrimary = repodataFile(served(), "primary.xml.gz");
    }

    std::string served() const { return m_served.file("repo"); }

    // One record per name, the first version of each, and the name of the second one.
    PackageSet wantedPackages() const
    {
        PackageSet wanted;
        for (const RepoPackage& package : m_pRepo->packages())
            wanted.insert(package);
        return wanted;
    }

    const RepoPackage& package(const PackageSet& set, const std::string& sName) const
    {
        auto it = set.find(sName);
        if (it == set.end())
            throw std::runtime_error("no package " + sName);
        return *it;
    }

    ScopedNetwork m_network;
    TempDir m_served;
    TempDir m_cache;
    std::unique_ptr<HttpServer> m_pServer;
    UpdaterConfig m_config;
    RepoConfig m_repoConfig;
    std::unique_ptr<Repository> m_pRepo;
    std::string m_sPrimary;
};

} // namespace

TEST_F(HttpRepositoryTest, IndexIsAlwaysFetchedFreshAndValidListIsReused)
{
    ASSERT_TRUE(m_pRepo->update());
    EXPECT_EQ(m_pRepo->packages().size(), 5u);
    ASSERT_TRUE(m_pRepo->update());
    EXPECT_EQ(m_pRepo->packages().size(), 5u);

    std::vector<Request> vIndex = m_pServer->requestsFor("/repo/repodata/repomd.xml");
    ASSERT_EQ(vIndex.size(), 2u);
    for (const Request& request : vIndex)
    {
        EXPECT_TRUE(request.bypassesCaches())
            << request.m_sCacheControl << " " << request.m_sPragma;
    }
    std::vector<Request> vList = m_pServer->requestsFor("/repo/" + m_sPrimary);
    ASSERT_EQ(vList.size(), 1u);
    EXPECT_FALSE(vList[0].bypassesCaches());
    EXPECT_EQ(m_pServer->requests().size(), 3u);
}

TEST_F(HttpRepositoryTest, BadListIsFetchedOnceMoreBypassingCachesThenFails)
{
    damage(served() + "/" + m_sPrimary);
    std::string sCorrupt = readFile(served() + "/" + m_sPrimary);

    LogCapture log;
    EXPECT_FALSE(m_pRepo->update());
    std::vector<Request> vList = m_pServer->requestsFor("/repo/" + m_sPrimary);
    ASSERT_EQ(vList.size(), 2u);
    EXPECT_FALSE(vList[0].bypassesCaches());
    EXPECT_TRUE(vList[1].bypassesCaches());
    EXPECT_TRUE(log.contains("WARNING: invalid checksum on '" + m_sPrimary +
                             "'; retrying with bypass of http caches"));
    EXPECT_TRUE(log.contains("ERROR: invalid checksum on '" + m_sPrimary + "'\n"));
    EXPECT_TRUE(log.contains("ERROR: failed getting repository resource '" + m_sPrimary + "'"));
    // The rejected file stays in the cache; nothing was parsed from it.
    EXPECT_TRUE(readFile(m_pRepo->metadata().at("primary").m_sLocalPath) == sCorrupt);
    EXPECT_TRUE(m_pRepo->packages().empty());

    // The cache alone refuses it too.
    log.clear();
    EXPECT_FALSE(m_pRepo->loadFromCache());
    EXPECT_TRUE(log.contains("ERROR: invalid checksum on '" + m_sPrimary + "'"));
}

TEST_F(HttpRepositoryTest, DamagedCachedListIsReplacedByAGoodDownload)
{
    ASSERT_TRUE(m_pRepo->update());
    std::string sLocal = m_pRepo->metadata().at("primary").m_sLocalPath;
    damage(sLocal);
    ASSERT_TRUE(m_pRepo->update());
    EXPECT_TRUE(readFile(sLocal) == readFile(served() + "/" + m_sPrimary));
    std::vector<Request> vList = m_pServer->requestsFor("/repo/" + m_sPrimary);
    ASSERT_EQ(vList.size(), 2u);
    EXPECT_FALSE(vList[1].bypassesCaches());
}

TEST_F(HttpRepositoryTest, FailedIndexFetchKeepsThePreviousIndex)
{
    ASSERT_TRUE(m_pRepo->update());
    std::string sIndex = readFile(m_pRepo->repoDir() + "repomd.xml");
    std::filesystem::remove(served() + "/repodata/repomd.xml");
    LogCapture log;
    EXPECT_FALSE(m_pRepo->update());
    EXPECT_TRUE(log.contains("ERROR: failed getting repository resource 'repodata/repomd.xml'"));
    EXPECT_EQ(readFile(m_pRepo->repoDir() + "repomd.xml"), sIndex);
    EXPECT_FALSE(fileExists(m_pRepo->repoDir() + "repomd.xml.tmp"));
}

TEST_F(HttpRepositoryTest, PackagesAlreadyCachedAreNotFetched)
{
    ASSERT_TRUE(m_pRepo->update());
    PackageSet wanted = wantedPackages();
    ASSERT_EQ(wanted.size(), 4u);
    const RepoPackage& alpha = package(wanted, "alpha");
    ASSERT_EQ(mkdir(m_pRepo->packageDir().c_str(), 0777), 0);
    copyTree(served() + "/" + alpha.m_sLocation.str(), alpha.m_sLocalPath.str());

    LogCapture log;
    ASSERT_TRUE(m_pRepo->getPackages(wanted));
    for (const RepoPackage& record : wanted)
    {
        EXPECT_TRUE(record.m_Checksum.verify(record.m_sLocalPath.str()))
            << record.m_sLocalPath.str();
        std::vector<Request> vSeen = m_pServer->requestsFor("/repo/" + record.m_sLocation.str());
        EXPECT_EQ(vSeen.size(), record.m_sName == "alpha" ? 0u : 1u) << record.m_sName;
        for (const Request& request : vSeen)
            EXPECT_FALSE(request.bypassesCaches());
    }
    // Fast downloads print no progress, and with one package cached never the final line.
    EXPECT_FALSE(log.contains("INFO: download"));
}

TEST_F(HttpRepositoryTest, DamagedCachedPackageIsFetchedAgainWithoutBypass)
{
    ASSERT_TRUE(m_pRepo->update());
    PackageSet wanted = wantedPackages();
    const RepoPackage& alpha = package(wanted, "alpha");
    ASSERT_EQ(mkdir(m_pRepo->packageDir().c_str(), 0777), 0);
    writeFile(alpha.m_sLocalPath.str(), "not a package");

    ASSERT_TRUE(m_pRepo->getPackages(wanted));
    EXPECT_TRUE(alpha.m_Checksum.verify(alpha.m_sLocalPath.str()));
    std::vector<Request> vSeen = m_pServer->requestsFor("/repo/" + alpha.m_sLocation.str());
    ASSERT_EQ(vSeen.size(), 1u);
    EXPECT_FALSE(vSeen[0].bypassesCaches());
}

TEST_F(HttpRepositoryTest, PackageFailingItsChecksumTwiceStopsTheCall)
{
    ASSERT_TRUE(m_pRepo->update());
    PackageSet wanted = wantedPackages();
    const RepoPackage& beta = package(wanted, "beta");
    damage(served() + "/" + beta.m_sLocation.str());
    std::string sCorrupt = readFile(served() + "/" + beta.m_sLocation.str());

    LogCapture log;
    EXPECT_FALSE(m_pRepo->getPackages(wanted));
    // alpha before it is fetched and kept; delta and gamma after it are never asked for.
    EXPECT_EQ(m_pServer->requestsFor("/repo/" + package(wanted, "alpha").m_sLocation.str()).size(),
              1u);
    EXPECT_TRUE(
        package(wanted, "alpha").m_Checksum.verify(package(wanted, "alpha").m_sLocalPath.str()));
    std::vector<Request> vBeta = m_pServer->requestsFor("/repo/" + beta.m_sLocation.str());
    ASSERT_EQ(vBeta.size(), 2u);
    EXPECT_FALSE(vBeta[0].bypassesCaches());
    EXPECT_TRUE(vBeta[1].bypassesCaches());
    EXPECT_TRUE(
        m_pServer->requestsFor("/repo/" + package(wanted, "delta").m_sLocation.str()).empty());
    EXPECT_TRUE(
        m_pServer->requestsFor("/repo/" + package(wanted, "gamma").m_sLocation.str()).empty());
    EXPECT_TRUE(log.contains("WARNING: invalid checksum on '" + beta.m_sLocalPath.str() +
                             "'; retrying with bypass of http caches"));
    EXPECT_TRUE(log.contains("ERROR: invalid checksum on '" + beta.m_sLocalPath.str() + "'\n"));
    // The rejected file stays; a later clean removes it and any leftover temporary file.
    EXPECT_TRUE(readFile(beta.m_sLocalPath.str()) == sCorrupt);
    writeFile(m_pRepo->packageDir() + "gamma.rpm.tmp", "interrupted");
    ASSERT_TRUE(m_pRepo->cleanPackages());
    EXPECT_FALSE(fileExists(beta.m_sLocalPath.str()));
    EXPECT_FALSE(fileExists(m_pRepo->packageDir() + "gamma.rpm.tmp"));
    EXPECT_TRUE(fileExists(m_pRepo->packageDir()));
}

TEST_F(HttpRepositoryTest, MissingPackageStopsTheCall)
{
    ASSERT_TRUE(m_pRepo->update());
    PackageSet wanted = wantedPackages();
    const RepoPackage& alpha = package(wanted, "alpha");
    std::filesystem::remove(served() + "/" + alpha.m_sLocation.str());
    LogCapture log;
    EXPECT_FALSE(m_pRepo->getPackages(wanted));
    EXPECT_TRUE(log.contains("ERROR: failed getting package '" + alpha.m_sLocation.str() +
                             "' from repository"));
    EXPECT_EQ(m_pServer->requestsFor("/repo/" + package(wanted, "beta").m_sLocation.str()).size(),
              0u);
    EXPECT_FALSE(fileExists(alpha.m_sLocalPath.str() + ".tmp"));
}

// The list entry of alpha points at beta's file, with beta's checksum and size: the file
// passes every transfer check but is not alpha.
TEST_F(HttpRepositoryTest, PackageFileOfAnotherPackageIsRefusedAfterABypassingRetry)
{
    ASSERT_TRUE(m_pRepo->update());
    PackageSet wanted = wantedPackages();
    RepoPackage alpha = package(wanted, "alpha");
    const RepoPackage& beta = package(wanted, "beta");
    alpha.m_sLocation = beta.m_sLocation;
    alpha.m_Checksum = beta.m_Checksum;
    alpha.m_uSize = beta.m_uSize;
    PackageSet mislabelled;
    mislabelled.insert(alpha);

    LogCapture log;
    EXPECT_FALSE(m_pRepo->getPackages(mislabelled));
    std::vector<Request> vSeen = m_pServer->requestsFor("/repo/" + beta.m_sLocation.str());
    ASSERT_EQ(vSeen.size(), 2u);
    EXPECT_FALSE(vSeen[0].bypassesCaches());
    EXPECT_TRUE(vSeen[1].bypassesCaches());
    const std::string sMessage = "'" + alpha.m_sLocalPath.str() + "' holds package beta-" +
                                 beta.m_Evr.toString() + "." + beta.m_sArch.str() +
                                 " instead of alpha-" + alpha.m_Evr.toString() + "." +
                                 alpha.m_sArch.str();
    EXPECT_TRUE(log.contains("WARNING: " + sMessage + "; retrying with bypass of http caches"))
        << log.text();
    EXPECT_TRUE(log.contains("ERROR: " + sMessage + "\n")) << log.text();

    // A cached copy of the wrong package is not taken either: it is fetched again.
    log.clear();
    EXPECT_FALSE(m_pRepo->getPackages(mislabelled));
    EXPECT_EQ(m_pServer->requestsFor("/repo/" + beta.m_sLocation.str()).size(), 4u);

    // The true records are accepted as they are.
    EXPECT_TRUE(m_pRepo->getPackages(wanted));
}

// A body longer than the list's size is a wrong copy (a cache on the way holding another
// build): it is fetched once more bypassing caches, not retried as a network failure.
TEST_F(HttpRepositoryTest, PackageLargerThanTheListSaysIsFetchedOnceMoreBypassingCaches)
{
    ASSERT_TRUE(m_pRepo->update());
    PackageSet wanted = wantedPackages();
    RepoPackage alpha = package(wanted, "alpha");
    ASSERT_GT(alpha.m_uSize, 1u);
    alpha.m_uSize -= 1;
    PackageSet shorter;
    shorter.insert(alpha);

    LogCapture log;
    EXPECT_FALSE(m_pRepo->getPackages(shorter));
    std::vector<Request> vSeen = m_pServer->requestsFor("/repo/" + alpha.m_sLocation.str());
    ASSERT_EQ(vSeen.size(), 2u);
    EXPECT_FALSE(vSeen[0].bypassesCaches());
    EXPECT_TRUE(vSeen[1].bypassesCaches());
    EXPECT_TRUE(
        log.contains("WARNING: '" + alpha.m_sLocation.str() +
                     "' is larger than the package list says; retrying with bypass of http caches"))
        << log.text();
    EXPECT_TRUE(log.contains("ERROR: '" + alpha.m_sLocation.str() +
                             "' is larger than the package list says\n"));
    EXPECT_FALSE(log.contains("retrying\n"));
    EXPECT_FALSE(fileExists(alpha.m_sLocalPath.str() + ".tmp"));
}
