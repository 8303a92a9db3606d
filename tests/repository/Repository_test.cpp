// The repository index, the repository object, its cache and the progress notifier,
// without a network: file: repositories and hand-written indexes.

#include "RepoTestSupport.h"

#include "base/Logger.h"
#include "repository/Repository.h"

#include <sys/stat.h>

using namespace repo_test;
using testing_support::fileExists;
using testing_support::LogCapture;

namespace
{

const std::string REPOMD_ROOT = "<repomd xmlns=\"http://linux.duke.edu/metadata/repo\">";

std::string dataElement(const std::string& sType, const std::string& sChildren)
{
    return "<data type=\"" + sType + "\">" + sChildren + "</data>";
}

const std::string PRIMARY_CHILDREN =
    "<checksum type=\"sha\">aaaa</checksum><open-checksum type=\"sha\">bbbb</open-checksum>"
    "<location href=\"repodata/xyz-primary.xml.gz\"/><timestamp>1700000000</timestamp>"
    "<size>10</size>";

class RepositoryTest : public ::testing::Test
{
protected:
    RepositoryTest()
    {
        loadRpmConfig();
        m_config.m_sCacheDir = m_dir.path() + "/cache/";
        m_repoConfig.m_sId = "base";
        m_repoConfig.m_sUri = "http://127.0.0.1:1/repo";
        mkdir((m_dir.path() + "/cache").c_str(), 0777);
        m_pRepo = std::make_unique<Repository>(m_config, m_repoConfig);
    }

    // Writes the cached index and parses it with a fresh map.
    bool parseIndex(const std::string& sDocument)
    {
        mkdir(m_pRepo->repoDir().c_str(), 0777);
        writeFile(m_pRepo->repoDir() + "repomd.xml", sDocument);
        m_pRepo = std::make_unique<Repository>(m_config, m_repoConfig);
        return m_pRepo->parseRepomd();
    }

    // A copy of the built repository that the test may change, and a repository object on it.
    std::string copyOfBuiltRepo()
    {
        std::string sRepo = m_dir.path() + "/served";
        copyTree(builtRepo(), sRepo);
        return sRepo;
    }

    ScopedNetwork m_network;
    TempDir m_dir;
    UpdaterConfig m_config;
    RepoConfig m_repoConfig;
    std::unique_ptr<Repository> m_pRepo;
};

} // namespace

TEST_F(RepositoryTest, ConstructionSetsDirectoriesAndBaseUriOnly)
{
    EXPECT_EQ(m_pRepo->repoDir(), m_dir.path() + "/cache/base/");
    EXPECT_EQ(m_pRepo->packageDir(), m_dir.path() + "/cache/base/packages/");
    EXPECT_EQ(m_pRepo->baseUri(), "http://127.0.0.1:1/repo");
    EXPECT_FALSE(fileExists(m_pRepo->repoDir()));
    EXPECT_TRUE(m_pRepo->packages().empty());
    EXPECT_TRUE(m_pRepo->metadata().empty());

    LogCapture log;
    m_pRepo.reset();
    EXPECT_TRUE(log.contains("DEBUG: destroyed repository 'base' with cache dir '" + m_dir.path() +
                             "/cache/base/'"));
}

TEST_F(RepositoryTest, BaseUriAndLocality)
{
    struct Row
    {
        const char* m_pUri;
        const char* m_pBase;
        bool m_bLocal;
    };
    const Row ROWS[] = {
        {"/media/usb1/updates", "file:///media/usb1/updates", true},
        {"file:///srv/repo", "file:///srv/repo", true},
        {"file:relative", "file:relative", true},
        {"http://example.invalid/repo", "http://example.invalid/repo", false},
        {"https://example.invalid/repo", "https://example.invalid/repo", false},
        {"", "", false},
        {"media/usb", "media/usb", false},
    };
    for (const Row& row : ROWS)
    {
        SCOPED_TRACE(row.m_pUri);
        m_pRepo->setBaseUri(row.m_pUri);
        EXPECT_EQ(m_pRepo->baseUri(), row.m_pBase);
        EXPECT_EQ(m_pRepo->isLocal(), row.m_bLocal);
    }
    RepoConfig usb;
    usb.m_sId = "usb";
    usb.m_sUri = "/media/usb1/updates";
    Repository fromConfig(m_config, usb);
    EXPECT_EQ(fromConfig.baseUri(), "file:///media/usb1/updates");
    EXPECT_TRUE(fromConfig.isLocal());
}

TEST_F(RepositoryTest, IndexEntriesAreRead)
{
    ASSERT_TRUE(parseIndex("<?xml version=\"1.0\"?>" + REPOMD_ROOT + "<revision>1</revision>" +
                           dataElement("primary", PRIMARY_CHILDREN) +
                           dataElement("other", "<location href=\"repodata/other.xml.gz\"/>") +
                           "</repomd>"));
    ASSERT_EQ(m_pRepo->metadata().size(), 2u);
    const MetadataEntry& entry = m_pRepo->metadata().at("primary");
    EXPECT_EQ(entry.m_sType, "primary");
    EXPECT_EQ(entry.m_sLocation, "repodata/xyz-primary.xml.gz");
    EXPECT_EQ(entry.m_sLocalPath, m_pRepo->repoDir() + "xyz-primary.xml.gz");
    EXPECT_EQ(entry.m_Checksum.m_sType, "sha");
    EXPECT_EQ(entry.m_Checksum.m_sValue, "aaaa");
    EXPECT_EQ(entry.m_OpenChecksum.m_sValue, "bbbb");
    EXPECT_EQ(entry.m_nTimestamp, 1700000000u);
    EXPECT_TRUE(m_pRepo->metadata().at("other").m_OpenChecksum.m_sValue.empty());
}

TEST_F(RepositoryTest, IndexCases)
{
    struct Row
    {
        const char* m_pName;
        std::string m_sDocument;
        bool m_bResult;
        std::string m_sLogLine;
    };
    const std::vector<Row> ROWS = {
        {"wrong top element", "<metadata xmlns=\"http://linux.duke.edu/metadata/repo\"/>", false,
         "DEBUG: bad top-level element, 'metadata' instead of 'rempomd'"},
        {"top element without namespace",
         "<repomd>" + dataElement("primary", PRIMARY_CHILDREN) + "</repomd>", false,
         "DEBUG: bad top-level element, 'repomd' instead of 'rempomd'"},
        {"data without type", REPOMD_ROOT + "<data>" + PRIMARY_CHILDREN + "</data></repomd>", false,
         "DEBUG: no 'type' attribute in 'data' element"},
        {"location without href", REPOMD_ROOT + dataElement("primary", "<location/>") + "</repomd>",
         false, "DEBUG: failed parsing 'data' element"},
        {"checksum without type",
         REPOMD_ROOT + dataElement("primary", "<checksum>ab</checksum>") + "</repomd>", false,
         "DEBUG: failed parsing 'checksum' element"},
        {"open-checksum without value",
         REPOMD_ROOT + dataElement("primary", "<open-checksum type=\"sha\"></open-checksum>") +
             "</repomd>",
         false, "DEBUG: failed parsing 'checksum' element"},
        {"timestamp with fraction",
         REPOMD_ROOT + dataElement("primary", "<timestamp>1.5</timestamp>") + "</repomd>", false,
         "DEBUG: failed parsing 'timestamp'"},
        {"timestamp with trailing character",
         REPOMD_ROOT + dataElement("primary", "<timestamp>17x</timestamp>") + "</repomd>", false,
         "DEBUG: failed parsing 'timestamp'"},
        {"empty timestamp",
         REPOMD_ROOT + dataElement("primary", "<timestamp></timestamp>") + "</repomd>", false,
         "DEBUG: failed parsing 'timestamp'"},
        {"timestamp at the overflow value",
         REPOMD_ROOT + dataElement("primary", "<timestamp>18446744073709551615</timestamp>") +
             "</repomd>",
         false, "DEBUG: failed parsing 'timestamp'"},
        {"timestamp beyond 64 bits",
         REPOMD_ROOT + dataElement("primary", "<timestamp>99999999999999999999</timestamp>") +
             "</repomd>",
         false, "DEBUG: failed parsing 'timestamp'"},
        {"unknown and repeated children",
         REPOMD_ROOT +
             dataElement("primary", "<size>1</size><location href=\"a\"/>"
                                    "<location href=\"b/c\"/><x:location xmlns:x=\"urn:x\"/>") +
             "</repomd>",
         true, ""},
        {"malformed XML", REPOMD_ROOT + "<data type=\"primary\">", false, ""},
        {"no entries at all", REPOMD_ROOT + "</repomd>", true, ""},
    };
    for (const Row& row : ROWS)
    {
        SCOPED_TRACE(row.m_pName);
        LogCapture log;
        EXPECT_EQ(parseIndex(row.m_sDocument), row.m_bResult);
        if (!row.m_sLogLine.empty())
        {
            EXPECT_TRUE(log.contains(row.m_sLogLine)) << log.text();
        }
    }
    // With repeated children the last one counts.
    EXPECT_EQ(m_pRepo->metadata().size(), 0u);
    ASSERT_TRUE(parseIndex(ROWS[11].m_sDocument));
    EXPECT_EQ(m_pRepo->metadata().at("primary").m_sLocation, "b/c");
    EXPECT_EQ(m_pRepo->metadata().at("primary").m_sLocalPath, m_pRepo->repoDir() + "c");
}

TEST_F(RepositoryTest, IndexDetails)
{
    // The first entry of a type counts; a later one of the same type is ignored.
    ASSERT_TRUE(parseIndex(REPOMD_ROOT + dataElement("primary", "<location href=\"first.xml\"/>") +
                           dataElement("primary", "<location href=\"second.xml\"/>") +
                           "</repomd>"));
    EXPECT_EQ(m_pRepo->metadata().at("primary").m_sLocation, "first.xml");

    // An entry without location gets the repository directory as its local path.
    ASSERT_TRUE(parseIndex(REPOMD_ROOT + dataElement("primary", "<timestamp> +42</timestamp>") +
                           "</repomd>"));
    EXPECT_EQ(m_pRepo->metadata().at("primary").m_sLocation, "");
    EXPECT_EQ(m_pRepo->metadata().at("primary").m_sLocalPath, m_pRepo->repoDir());
    EXPECT_EQ(m_pRepo->metadata().at("primary").m_nTimestamp, 42u);

    // Only the low 32 bits of the timestamp are kept.
    ASSERT_TRUE(parseIndex(
        REPOMD_ROOT + dataElement("primary", "<timestamp>4294967298</timestamp>") + "</repomd>"));
    EXPECT_EQ(m_pRepo->metadata().at("primary").m_nTimestamp, 2u);

    // Data elements are found anywhere, whatever the prefix of their namespace.
    ASSERT_TRUE(parseIndex(
        "<r:repomd xmlns:r=\"http://linux.duke.edu/metadata/repo\"><r:group><r:data type=\"x\">"
        "<r:location href=\"x.xml\"/></r:data></r:group></r:repomd>"));
    EXPECT_EQ(m_pRepo->metadata().at("x").m_sLocation, "x.xml");

    // A missing index is not reported here: the caller names it.
    std::remove((m_pRepo->repoDir() + "repomd.xml").c_str());
    LogCapture log;
    EXPECT_FALSE(m_pRepo->parseRepomd());
    EXPECT_EQ(log.text(), "");
}

TEST_F(RepositoryTest, IndexWithExternalEntityIsRefused)
{
    std::string sSecret = m_dir.file("secret");
    writeFile(sSecret, "TOPSECRET");
    EXPECT_FALSE(
        parseIndex("<?xml version=\"1.0\"?>\n<!DOCTYPE repomd [ <!ENTITY x SYSTEM \"file://" +
                   sSecret + "\"> ]>\n" + REPOMD_ROOT +
                   dataElement("primary", "<location href=\"&x;\"/>") + "</repomd>"));
    EXPECT_FALSE(parseIndex("<?xml version=\"1.0\"?>\n<!DOCTYPE repomd SYSTEM \"file://" + sSecret +
                            "\">\n" + REPOMD_ROOT +
                            dataElement("primary", "<location href=\"a\"/>") + "</repomd>"));
}

TEST_F(RepositoryTest, UpdateFromLocalRepositoryAndLoadFromCache)
{
    std::string sRepo = copyOfBuiltRepo();
    LogCapture log;
    ASSERT_TRUE(m_pRepo->update(sRepo));
    EXPECT_EQ(m_pRepo->baseUri(), "file://" + sRepo);
    EXPECT_EQ(m_pRepo->packages().size(), 5u);
    const MetadataEntry primary = m_pRepo->metadata().at("primary");
    EXPECT_TRUE(fileExists(m_pRepo->repoDir() + "repomd.xml"));
    EXPECT_EQ(readFile(primary.m_sLocalPath), readFile(sRepo + "/" + primary.m_sLocation));
    // Both files arrive within the minute: no progress lines.
    EXPECT_FALSE(log.contains("INFO: download"));

    // A second update reuses the cached list.
    log.clear();
    ASSERT_TRUE(m_pRepo->update());
    EXPECT_TRUE(log.contains("DEBUG: cached copy '" + primary.m_sLocalPath + "' of '" +
                             primary.m_sLocation + "' is valid"));
    EXPECT_EQ(m_pRepo->packages().size(), 5u);

    // The cache alone gives the same list, even with the repository gone.
    std::filesystem::remove_all(sRepo);
    Repository cached(m_config, m_repoConfig);
    ASSERT_TRUE(cached.loadFromCache());
    EXPECT_EQ(cached.packages().size(), 5u);

    // A list stored uncompressed still matches its open-checksum.
    std::string sPlain = m_dir.file("plain.xml");
    ASSERT_EQ(runShell("gzip -dc '" + primary.m_sLocalPath + "' > '" + sPlain + "' && mv '" +
                       sPlain + "' '" + primary.m_sLocalPath + "'"),
              0);
    Repository uncompressed(m_config, m_repoConfig);
    ASSERT_TRUE(uncompressed.loadFromCache());
    EXPECT_EQ(uncompressed.packages().size(), 5u);

    // A corrupted list is refused.
    damage(primary.m_sLocalPath);
    log.clear();
    Repository corrupted(m_config, m_repoConfig);
    EXPECT_FALSE(corrupted.loadFromCache());
    EXPECT_TRUE(log.contains("ERROR: invalid checksum on '" + primary.m_sLocation + "'"));
    EXPECT_TRUE(corrupted.packages().empty());
}

TEST_F(RepositoryTest, LoadFromCacheWithoutIndex)
{
    LogCapture log;
    EXPECT_FALSE(m_pRepo->loadFromCache());
    EXPECT_TRUE(
        log.contains("ERROR: failed parsing repository metadata from 'repodata/repomd.xml'"));
    EXPECT_FALSE(fileExists(m_pRepo->repoDir()));
}

TEST_F(RepositoryTest, LoadFromCacheWithoutPrimaryEntryOrUnparsableList)
{
    ASSERT_TRUE(
        parseIndex(REPOMD_ROOT + dataElement("other", "<location href=\"o.xml\"/>") + "</repomd>"));
    {
        LogCapture log;
        EXPECT_FALSE(m_pRepo->loadFromCache());
        EXPECT_TRUE(log.contains("ERROR: no 'primary' entry in repository metadata"));
    }
    // A list that passes its checksum but is not a package list.
    std::string sList = "<metadata xmlns=\"urn:wrong\"/>";
    writeFile(m_pRepo->repoDir() + "primary.xml", sList);
    std::string sSha = sha1Of(m_pRepo->repoDir() + "primary.xml");
    ASSERT_TRUE(parseIndex(
        REPOMD_ROOT +
        dataElement("primary", "<checksum type=\"sha\">" + sSha +
                                   "</checksum><location href=\"repodata/primary.xml\"/>") +
        "</repomd>"));
    LogCapture log;
    EXPECT_FALSE(m_pRepo->loadFromCache());
    EXPECT_TRUE(log.contains("ERROR: failed parsing repository resource 'repodata/primary.xml'"));
    // Without an open-checksum the second test complains about the empty checksum; the
    // stored checksum matched first, so it is not reached here.
    EXPECT_FALSE(log.contains("attempted to check an empty checksum"));
}

TEST_F(RepositoryTest, UpdateFailures)
{
    {
        m_pRepo->setBaseUri("");
        LogCapture log;
        EXPECT_FALSE(m_pRepo->update());
        EXPECT_TRUE(log.contains("ERROR: no repository URI set, cannot update"));
    }
    {
        // Only the repository's own directory is created, never the cache directory itself.
        UpdaterConfig config;
        config.m_sCacheDir = m_dir.path() + "/missing/";
        Repository repo(config, m_repoConfig);
        LogCapture log;
        EXPECT_FALSE(repo.update("file://" + builtRepo()));
        EXPECT_TRUE(log.contains("ERROR: cannot create dir '" + m_dir.path() +
                                 "/missing/base/' (No such file or directory)"))
            << log.text();
        EXPECT_FALSE(fileExists(m_dir.path() + "/missing"));
    }
    {
        LogCapture log;
        EXPECT_FALSE(m_pRepo->update("bogus"));
        EXPECT_TRUE(log.contains("ERROR: failed creating repository downloder from 'bogus'"));
    }
    {
        TempDir empty;
        LogCapture log;
        EXPECT_FALSE(m_pRepo->update("file://" + empty.path()));
        EXPECT_TRUE(
            log.contains("ERROR: failed getting repository resource 'repodata/repomd.xml'"));
    }
    {
        TempDir noPrimary;
        mkdir(noPrimary.file("repodata").c_str(), 0777);
        writeFile(noPrimary.file("repodata/repomd.xml"),
                  REPOMD_ROOT + dataElement("other", "") + "</repomd>");
        LogCapture log;
        EXPECT_FALSE(m_pRepo->update("file://" + noPrimary.path()));
        EXPECT_TRUE(log.contains("ERROR: no 'primary' entry in repository metadata"));
    }
    {
        TempDir badIndex;
        mkdir(badIndex.file("repodata").c_str(), 0777);
        writeFile(badIndex.file("repodata/repomd.xml"), "<repomd/>");
        LogCapture log;
        EXPECT_FALSE(m_pRepo->update("file://" + badIndex.path()));
        EXPECT_TRUE(
            log.contains("ERROR: failed parsing repository metadata from 'repodata/repomd.xml'"));
    }
    {
        // The list named by the index is missing: reported by the fetch and by the update.
        TempDir missingList;
        mkdir(missingList.file("repodata").c_str(), 0777);
        writeFile(missingList.file("repodata/repomd.xml"),
                  REPOMD_ROOT +
                      dataElement("primary", "<checksum type=\"sha\">ab</checksum>"
                                             "<location href=\"repodata/gone.xml.gz\"/>") +
                      "</repomd>");
        LogCapture log;
        EXPECT_FALSE(m_pRepo->update("file://" + missingList.path()));
        std::string sText = log.text();
        std::string sLine = "ERROR: failed getting repository resource 'repodata/gone.xml.gz'";
        std::size_t nFirst = sText.find(sLine);
        ASSERT_NE(nFirst, std::string::npos);
        EXPECT_NE(sText.find(sLine, nFirst + 1), std::string::npos);
    }
}

TEST_F(RepositoryTest, CleanPackages)
{
    {
        // Nothing to clean.
        LogCapture log;
        EXPECT_TRUE(m_pRepo->cleanPackages());
        EXPECT_TRUE(log.contains("DEBUG: removing packages from repository cache '" +
                                 m_pRepo->packageDir() + "'"));
        EXPECT_FALSE(log.contains("ERROR"));
    }
    std::string sDir = m_pRepo->packageDir();
    mkdir(m_pRepo->repoDir().c_str(), 0777);
    mkdir(sDir.c_str(), 0777);
    writeFile(sDir + "a.rpm", "a");
    writeFile(sDir + "b.rpm.tmp", "half");
    writeFile(sDir + ".hidden", "x");
    mkdir((sDir + "sub").c_str(), 0777);
    writeFile(m_pRepo->repoDir() + "repomd.xml", "kept");
    {
        LogCapture log;
        EXPECT_TRUE(m_pRepo->cleanPackages());
        EXPECT_FALSE(fileExists(sDir + "a.rpm"));
        EXPECT_FALSE(fileExists(sDir + "b.rpm.tmp"));
        EXPECT_FALSE(fileExists(sDir + ".hidden"));
        EXPECT_TRUE(fileExists(sDir + "sub"));
        EXPECT_TRUE(fileExists(m_pRepo->repoDir() + "repomd.xml"));
        EXPECT_TRUE(log.contains("ERROR: failed removing file '" + sDir + "sub' (Is a directory)"))
            << log.text();
        EXPECT_TRUE(log.contains("WARNING: encountered errors while cleaning package cache"));
    }
    {
        // The package directory is not a directory.
        std::filesystem::remove_all(sDir);
        writeFile(sDir.substr(0, sDir.size() - 1), "file");
        LogCapture log;
        EXPECT_FALSE(m_pRepo->cleanPackages());
        EXPECT_TRUE(
            log.contains("ERROR: could not clean packages from '" + sDir + "' (Not a directory)"))
            << log.text();
    }
}

TEST_F(RepositoryTest, GetPackagesFromLocalRepository)
{
    std::string sRepo = copyOfBuiltRepo();
    ASSERT_TRUE(m_pRepo->update(sRepo));
    PackageSet wanted;
    for (const RepoPackage& package : m_pRepo->packages())
        wanted.insert(package); // the first version of each name
    ASSERT_EQ(wanted.size(), 4u);
    {
        // An empty set only creates the directory.
        LogCapture log;
        EXPECT_TRUE(m_pRepo->getPackages(PackageSet()));
        EXPECT_TRUE(fileExists(m_pRepo->packageDir()));
        EXPECT_FALSE(log.contains("INFO"));
    }
    ASSERT_TRUE(m_pRepo->getPackages(wanted));
    for (const RepoPackage& package : wanted)
        EXPECT_TRUE(package.m_Checksum.verify(package.m_sLocalPath.str()))
            << package.m_sLocalPath.str();

    // Everything valid in the cache: no downloader needed at all.
    m_pRepo->setBaseUri("bogus");
    LogCapture log;
    EXPECT_TRUE(m_pRepo->getPackages(wanted));
    EXPECT_TRUE(log.contains("ERROR: failed creating repository downloder from 'bogus'"));

    // A package that has to be fetched then fails as a failed fetch.
    std::remove(wanted.begin()->m_sLocalPath.c_str());
    log.clear();
    EXPECT_FALSE(m_pRepo->getPackages(wanted));
    EXPECT_TRUE(log.contains("ERROR: failed getting package '" + wanted.begin()->m_sLocation.str() +
                             "' from repository"));

    m_pRepo->setBaseUri("");
    log.clear();
    EXPECT_FALSE(m_pRepo->getPackages(wanted));
    EXPECT_TRUE(log.contains("ERROR: no repository URI set, cannot get packages"));
}
