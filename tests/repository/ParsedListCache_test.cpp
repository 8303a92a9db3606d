// A package list loaded again from the same verified file is taken over from the load
// before, with the same messages; any other file is parsed.

#include "RepoTestSupport.h"

#include "base/Logger.h"
#include "repository/Repository.h"

#include <cstdio>
#include <sys/stat.h>

using namespace repo_test;
using testing_support::LogCapture;

namespace
{

const std::string LIST_HEAD =
    "<?xml version=\"1.0\"?>\n<metadata xmlns=\"http://linux.duke.edu/metadata/common\" "
    "xmlns:rpm=\"http://linux.duke.edu/metadata/rpm\">";

std::string package(const std::string& sName, const std::string& sVersion, const std::string& sArch)
{
    return "<package type=\"rpm\"><name>" + sName + "</name><arch>" + sArch +
           "</arch><version epoch=\"0\" ver=\"" + sVersion +
           "\" rel=\"1\"/><checksum type=\"sha\">abc</checksum><location href=\"Packages/" + sName +
           "-" + sVersion + "-1." + sArch +
           ".rpm\"/><format><rpm:group>Base</rpm:group><rpm:provides><rpm:entry name=\"" + sName +
           "\" flags=\"EQ\" epoch=\"0\" ver=\"" + sVersion +
           "\" rel=\"1\"/></rpm:provides>"
           "<rpm:requires><rpm:entry "
           "name=\"libc.so.6()(64bit)\"/></rpm:requires></format></package>";
}

// The list: foo and bar (noarch), and a package of an architecture no machine here runs,
// which the parse reports.
std::string list(const std::string& sFooVersion)
{
    return LIST_HEAD + package("foo", sFooVersion, "noarch") + package("bar", "2.0", "noarch") +
           package("odd", "1.0", "s390-none") + "</metadata>\n";
}

class ReuseTest : public ::testing::Test
{
protected:
    ReuseTest()
    {
        loadRpmConfig();
        m_config.m_sCacheDir = m_dir.path() + "/cache/";
        m_repoConfig.m_sId = "base";
        m_repoConfig.m_sUri = "file:///nonexistent";
        mkdir((m_dir.path() + "/cache").c_str(), 0777);
        m_pRepo = std::make_unique<Repository>(m_config, m_repoConfig);
        mkdir(m_pRepo->repoDir().c_str(), 0777);
    }

    // Puts the list into the cache, with an index whose checksums match it: the stored
    // checksum, or (bOpenOnly) only the uncompressed one.
    void cacheList(const std::string& sList, bool bOpenOnly = false)
    {
        const std::string sPath = m_pRepo->repoDir() + "primary.xml";
        writeFile(sPath, sList);
        const std::string sSha = sha1Of(sPath);
        const std::string sStored = bOpenOnly ? std::string(40, '0') : sSha;
        writeFile(m_pRepo->repoDir() + "repomd.xml",
                  "<repomd xmlns=\"http://linux.duke.edu/metadata/repo\"><data type=\"primary\">"
                  "<checksum type=\"sha\">" +
                      sStored + "</checksum><open-checksum type=\"sha\">" + sSha +
                      "</open-checksum><location href=\"repodata/primary.xml\"/></data></repomd>");
    }

    // The lines a load wrote, and the first record's address (same address: same list).
    std::vector<std::string> load(const RepoPackage*& pFirst)
    {
        LogCapture log;
        EXPECT_TRUE(m_pRepo->loadFromCache());
        pFirst = m_pRepo->packages().empty() ? nullptr : &*m_pRepo->packages().begin();
        return log.lines();
    }

    static std::vector<std::string> labels(const RepoPackageList& packages)
    {
        std::vector<std::string> vLabels;
        for (const RepoPackage& package : packages)
            vLabels.push_back(package.label() + " " + package.m_sGroup.str() + " " +
                              package.m_sLocalPath.str() + " " +
                              std::to_string(package.m_setProvides.size()) + " " +
                              std::to_string(package.m_setRequires.size()));
        return vLabels;
    }

    TempDir m_dir;
    UpdaterConfig m_config;
    RepoConfig m_repoConfig;
    std::unique_ptr<Repository> m_pRepo;
};

} // namespace

TEST_F(ReuseTest, SameVerifiedFileGivesSameListAndSameMessages)
{
    cacheList(list("1.0"));
    const RepoPackage* pFirst = nullptr;
    const std::vector<std::string> vParsed = load(pFirst);
    const std::vector<std::string> vLabels = labels(m_pRepo->packages());
    ASSERT_EQ(vLabels.size(), 2u);
    // The parse traced the dependencies and warned about the foreign package.
    EXPECT_NE(std::find(vParsed.begin(), vParsed.end(), "TRACE: parsing rpm provides for 'foo'"),
              vParsed.end());
    EXPECT_NE(std::find(vParsed.begin(), vParsed.end(),
                        "WARNING: skipping package 'odd-1.0-1.s390-none.rpm' of non-compatible "
                        "arch 's390-none'"),
              vParsed.end());

    // Loaded again: the very same records, and the same lines in the same order.
    const RepoPackage* pAgain = nullptr;
    EXPECT_EQ(load(pAgain), vParsed);
    EXPECT_EQ(pAgain, pFirst);
    EXPECT_EQ(labels(m_pRepo->packages()), vLabels);

    // And again: a reused list stays reusable.
    EXPECT_EQ(load(pAgain), vParsed);
    EXPECT_EQ(pAgain, pFirst);
}

TEST_F(ReuseTest, ChangedFileIsParsedAgain)
{
    cacheList(list("1.0"));
    const RepoPackage* pFirst = nullptr;
    (void)load(pFirst);

    // Another list under the same name, with an index that matches it.
    cacheList(list("1.1"));
    const RepoPackage* pAgain = nullptr;
    (void)load(pAgain);
    std::vector<std::string> vLabels = labels(m_pRepo->packages());
    ASSERT_EQ(vLabels.size(), 2u);
    EXPECT_EQ(vLabels[1].substr(0, 11), "foo-0:1.1-1");

    // The same content accepted by the other checksum is read again too.
    cacheList(list("1.1"), true);
    (void)load(pAgain);
    EXPECT_EQ(labels(m_pRepo->packages()), vLabels);
}

// The list is taken over only from the very file it was parsed from: a copy with the same
// content put in its place is parsed again, with the same lines.
TEST_F(ReuseTest, SameContentInAnotherFileIsParsedAgain)
{
    cacheList(list("1.0"));
    const RepoPackage* pFirst = nullptr;
    const std::vector<std::string> vParsed = load(pFirst);
    const std::string sPath = m_pRepo->repoDir() + "primary.xml";
    writeFile(sPath + ".copy", readFile(sPath));
    ASSERT_EQ(::rename((sPath + ".copy").c_str(), sPath.c_str()), 0);

    const RepoPackage* pAgain = nullptr;
    EXPECT_EQ(load(pAgain), vParsed);
    EXPECT_NE(pAgain, pFirst);
    EXPECT_EQ(m_pRepo->packages().size(), 2u);
}

TEST_F(ReuseTest, DamagedFileIsRefusedAndNotReused)
{
    cacheList(list("1.0"));
    const RepoPackage* pFirst = nullptr;
    (void)load(pFirst);
    damage(m_pRepo->repoDir() + "primary.xml");
    LogCapture log;
    EXPECT_FALSE(m_pRepo->loadFromCache());
    EXPECT_TRUE(log.contains("ERROR: invalid checksum on 'repodata/primary.xml'"));
    EXPECT_TRUE(m_pRepo->packages().empty());
}

TEST_F(ReuseTest, OtherLogLevelParsesAgain)
{
    cacheList(list("1.0"));
    const RepoPackage* pFirst = nullptr;
    (void)load(pFirst);
    // Parsed at TRACE; loaded at WARNING, the list is parsed again and only the warning
    // is written.
    LogCapture log;
    logger().setLevel(WARNING);
    ASSERT_TRUE(m_pRepo->loadFromCache());
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"WARNING: skipping package 'odd-1.0-1.s390-none.rpm' of "
                                       "non-compatible arch 's390-none'"});
    EXPECT_EQ(m_pRepo->packages().size(), 2u);
}

TEST_F(ReuseTest, ListDroppedByAFailedLoadIsNotTakenOver)
{
    const std::string sList = list("1.0");
    cacheList(sList);
    const RepoPackage* pFirst = nullptr;
    (void)load(pFirst);
    const std::string sIndex = readFile(m_pRepo->repoDir() + "repomd.xml");

    // A failed load leaves an empty list; the next good load parses the file again
    // instead of taking over the empty list.
    writeFile(m_pRepo->repoDir() + "repomd.xml", "<broken");
    {
        LogCapture log;
        EXPECT_FALSE(m_pRepo->loadFromCache());
        EXPECT_TRUE(m_pRepo->packages().empty());
    }
    writeFile(m_pRepo->repoDir() + "repomd.xml", sIndex);
    const RepoPackage* pAgain = nullptr;
    (void)load(pAgain);
    EXPECT_EQ(m_pRepo->packages().size(), 2u);

    // The same after a failed verification, and after an update that failed before its
    // list was read.
    damage(m_pRepo->repoDir() + "primary.xml");
    {
        LogCapture log;
        EXPECT_FALSE(m_pRepo->loadFromCache());
    }
    writeFile(m_pRepo->repoDir() + "primary.xml", sList);
    (void)load(pAgain);
    EXPECT_EQ(m_pRepo->packages().size(), 2u);
    {
        LogCapture log;
        EXPECT_FALSE(m_pRepo->update(m_dir.path() + "/no-such-repository"));
        EXPECT_TRUE(m_pRepo->packages().empty());
    }
    writeFile(m_pRepo->repoDir() + "repomd.xml", sIndex);
    (void)load(pAgain);
    EXPECT_EQ(m_pRepo->packages().size(), 2u);
}
