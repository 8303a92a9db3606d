#include "RepoTestSupport.h"

#include "repository/MetadataXml.h"
#include "repository/Repository.h"

#include <gtest/gtest.h>

TEST(LocationTest, OnlyFilesBelowTheRepositoryAreAccepted)
{
    const struct
    {
        const char* pLocation;
        bool bAccepted;
    } rows[] = {
        {"packages/alpha-1.0-1.noarch.rpm", true},
        {"alpha.rpm", true},
        {"a/b/c/alpha..rpm", true},
        {"..alpha.rpm", true},
        {"packages/alpha$(>x);>y|>z&`>w`.rpm", true},
        {"packages/alpha-1.0~rc1^git2-1.noarch.rpm", true},
        {"packages/alpha 1.rpm", false},
        {"packages/alpha'1.rpm", false},
        {"packages/alpha\"1.rpm", false},
        {"packages/alpha\\1.rpm", false},
        {"packages/*.rpm", false},
        {"packages/alpha?.rpm", false},
        {"packages/[a]lpha.rpm", false},
        {"packages/{a,b}.rpm", false},
        {"dir with blank/alpha.rpm", true},
        {"../alpha.rpm", false},
        {"packages/../../alpha.rpm", false},
        {"packages/..", false},
        {"..", false},
        {"/etc/passwd", false},
        {"", false},
        {"packages/", true}, // the last component names the file
        {"packages/.", false},
        {"packages/a\nb.rpm", false},
        {"packages/a\x7f.rpm", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(checkLocation(row.pLocation), row.bAccepted) << row.pLocation;
}

namespace
{

// Parses one hand-written package list; returns the accepted packages.
RepoPackageList parseList(const std::string& sPackages, bool& bParsed)
{
    repo_test::loadRpmConfig();
    testing_support::TempDir dir;
    const std::string sPath = dir.path() + "/primary.xml";
    testing_support::writeFile(
        sPath, "<?xml version=\"1.0\"?>\n<metadata xmlns=\"http://linux.duke.edu/metadata/common\" "
               "xmlns:rpm=\"http://linux.duke.edu/metadata/rpm\">\n" +
                   sPackages + "</metadata>\n");
    UpdaterConfig config;
    config.m_sCacheDir = dir.path() + "/";
    RepoConfig repoConfig;
    repoConfig.m_sId = "base";
    Repository repository(config, repoConfig);
    bParsed = repository.parsePrimary(sPath);
    return repository.packages();
}

std::string packageXml(const std::string& sName, const std::string& sLocation,
                       const std::string& sExtra)
{
    return "<package type=\"rpm\"><name>" + sName +
           "</name><arch>noarch</arch>"
           "<version epoch=\"0\" ver=\"1\" rel=\"1\"/><checksum type=\"sha\">" +
           std::string(40, '0') + "</checksum><location href=\"" + sLocation + "\"/>" + sExtra +
           "</package>\n";
}

} // namespace

TEST(LocationTest, HostilePackageRecordsFailTheWholeList)
{
    testing_support::LogCapture log;
    bool bParsed = true;
    (void)parseList(packageXml("a", "packages/a.rpm", "") + packageXml("b", "../../b.rpm", ""),
                    bParsed);
    EXPECT_FALSE(bParsed);
    EXPECT_TRUE(log.contains("ERROR: refusing location '../../b.rpm' ('..' component)"));

    (void)parseList(packageXml("a&#10;ERROR: forged", "packages/a.rpm", ""), bParsed);
    EXPECT_FALSE(bParsed);
    EXPECT_TRUE(log.contains("ERROR: refusing package name with control characters"));
    EXPECT_FALSE(log.contains("forged"));
}

TEST(LocationTest, PackageSizeBoundsTheDownload)
{
    bool bParsed = false;
    RepoPackageList list =
        parseList(packageXml("a", "packages/a.rpm", "<size package=\"1234\" installed=\"9\"/>") +
                      packageXml("b", "packages/b.rpm", "<size package=\"-5\"/>") +
                      packageXml("c", "packages/c.rpm", "") +
                      // Sizes beyond 32 bits are kept whole; beyond 64 bits, ignored.
                      packageXml("d", "packages/d.rpm", "<size package=\"2147483658\"/>") +
                      packageXml("e", "packages/e.rpm", "<size package=\"6442450944\"/>") +
                      packageXml("f", "packages/f.rpm", "<size package=\"18446744073709551616\"/>"),
                  bParsed);
    ASSERT_TRUE(bParsed);
    ASSERT_EQ(list.size(), 6u);
    auto it = list.begin();
    EXPECT_EQ(it->m_uSize, 1234u);
    EXPECT_EQ((++it)->m_uSize, 0u);
    EXPECT_EQ((++it)->m_uSize, 0u);
    EXPECT_EQ((++it)->m_uSize, 2147483658u);
    EXPECT_EQ((++it)->m_uSize, 6442450944u);
    EXPECT_EQ((++it)->m_uSize, 0u);
}
