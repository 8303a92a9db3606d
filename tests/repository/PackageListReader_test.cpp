// Reading package lists: real createrepo_c output compared with rpm's own view of the
// package files, and hand-written lists for every malformed case.

#include "RepoTestSupport.h"

#include "config/XmlReader.h"
#include "repository/Repository.h"

#include <libxml/parserInternals.h>

#include <algorithm>
#include <map>

using namespace repo_test;
using testing_support::LogCapture;

namespace
{

const std::string DOC_ROOT = "<metadata xmlns=\"http://linux.duke.edu/metadata/common\" "
                             "xmlns:rpm=\"http://linux.duke.edu/metadata/rpm\" packages=\"1\">\n";
const std::string DOC_HEAD = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + DOC_ROOT;
const char* DOC_TAIL = "</metadata>\n";

// A complete package element; parts can be replaced to build the malformed cases.
struct PackageXml
{
    std::string m_sType = " type=\"rpm\"";
    std::string m_sName = "<name>pkg</name>";
    std::string m_sArch = "<arch>noarch</arch>";
    std::string m_sVersion = "<version epoch=\"2\" ver=\"1.0\" rel=\"3\"/>";
    std::string m_sChecksum =
        "<checksum type=\"sha\" pkgid=\"YES\">0123456789abcdef0123456789abcdef01234567</checksum>";
    std::string m_sLocation = "<location href=\"packages/pkg-1.0-3.noarch.rpm\"/>";
    std::string m_sFormat = "<format><rpm:group>System/Base</rpm:group>"
                            "<rpm:provides><rpm:entry name=\"pkg\" flags=\"EQ\" epoch=\"2\" "
                            "ver=\"1.0\" rel=\"3\"/></rpm:provides>"
                            "<rpm:requires><rpm:entry name=\"libc\"/></rpm:requires></format>";
    std::string m_sExtra;

    std::string str() const
    {
        return "<package" + m_sType + ">" + m_sName + m_sArch + m_sVersion + m_sChecksum +
               m_sLocation + m_sFormat + m_sExtra + "</package>\n";
    }
};

std::string document(const std::string& sPackages)
{
    return DOC_HEAD + sPackages + DOC_TAIL;
}

std::string document(const PackageXml& package)
{
    return document(package.str());
}

class PrimaryTest : public ::testing::Test
{
protected:
    PrimaryTest()
    {
        loadRpmConfig();
        m_config.m_sCacheDir = m_dir.path() + "/";
        m_repoConfig.m_sId = "base";
        m_repoConfig.m_sUri = "http://127.0.0.1:1/repo";
        m_pRepo = std::make_unique<Repository>(m_config, m_repoConfig);
    }

    bool parse(const std::string& sDocument)
    {
        std::string sPath = m_dir.file("primary-" + std::to_string(++m_nFiles) + ".xml");
        writeFile(sPath, sDocument);
        return m_pRepo->parsePrimary(sPath);
    }

    TempDir m_dir;
    UpdaterConfig m_config;
    RepoConfig m_repoConfig;
    std::unique_ptr<Repository> m_pRepo;
    int m_nFiles = 0;
};

Dependency dep(const std::string& sName, int nFlags = 0, Evr evr = Evr())
{
    return Dependency(sName, std::move(evr), nFlags);
}

// "name", "name OP evr" as rpm -q --provides prints them.
Dependency parseRpmDependency(const std::string& sLine)
{
    std::istringstream in(sLine);
    std::string sName, sOperator, sEvr;
    in >> sName >> sOperator >> sEvr;
    static const std::map<std::string, int> OPERATORS = {{"<", RPMSENSE_LESS},
                                                         {">", RPMSENSE_GREATER},
                                                         {"=", RPMSENSE_EQUAL},
                                                         {"<=", RPMSENSE_LESS | RPMSENSE_EQUAL},
                                                         {">=", RPMSENSE_GREATER | RPMSENSE_EQUAL}};
    if (sOperator.empty())
        return dep(sName);
    return dep(sName, OPERATORS.at(sOperator), Evr(sEvr));
}

// rpm's own list of one relation of a package file, rpm's own capabilities left out.
DependencySet rpmQuery(const std::string& sDbDir, const std::string& sFile,
                       const std::string& sRelation)
{
    std::string sOutput;
    EXPECT_EQ(runShell("rpm -qp --dbpath '" + sDbDir + "' --" + sRelation + " '" + sFile +
                           "' 2>/dev/null",
                       &sOutput),
              0);
    DependencySet set;
    std::istringstream in(sOutput);
    std::string sLine;
    while (std::getline(in, sLine))
        if (!sLine.empty() && sLine.compare(0, 7, "rpmlib(") != 0)
            set.insert(parseRpmDependency(sLine));
    return set;
}

std::string rpmQueryFormat(const std::string& sDbDir, const std::string& sFile,
                           const std::string& sFormat)
{
    std::string sOutput;
    EXPECT_EQ(runShell("rpm -qp --dbpath '" + sDbDir + "' --qf '" + sFormat + "' '" + sFile +
                           "' 2>/dev/null",
                       &sOutput),
              0);
    return sOutput;
}

std::vector<std::string> names(const RepoPackageList& packages)
{
    std::vector<std::string> vNames;
    for (const RepoPackage& package : packages)
        vNames.push_back(package.label());
    return vNames;
}

} // namespace

TEST_F(PrimaryTest, RealRepositoryMatchesRpmsViewOfThePackageFiles)
{
    const std::string& sRepo = builtRepo();
    LogCapture log;
    ASSERT_TRUE(m_pRepo->parsePrimary(sRepo + "/" + repodataFile(sRepo, "primary.xml.gz")));

    // Both versions of alpha in file order; the package for another machine is left out.
    EXPECT_EQ(names(m_pRepo->packages()),
              (std::vector<std::string>{"alpha-0:1.0-1", "alpha-0:1.1-2", "beta-0:2.0-1",
                                        "delta-1:0.1-1", "gamma-3:1.5-2"}));
    std::string sForeign = machine() == "s390x" ? "x86_64" : "s390x";
    EXPECT_TRUE(log.contains("WARNING: skipping package 'foreign-1.0-1." + sForeign +
                             ".rpm' of non-compatible arch '" + sForeign + "'"));

    TempDir db;
    for (const RepoPackage& package : m_pRepo->packages())
    {
        SCOPED_TRACE(package.label());
        std::string sFile = sRepo + "/" + package.m_sLocation.str();
        ASSERT_TRUE(testing_support::fileExists(sFile));
        EXPECT_EQ(package.m_sLocation.compare(0, 9, "packages/"), 0);
        EXPECT_EQ(package.m_sLocalPath.str(),
                  m_pRepo->packageDir() + package.m_sLocation.str().substr(9));
        EXPECT_EQ(m_pRepo->packageDir(), m_dir.path() + "/base/packages/");
        EXPECT_EQ(package.m_Checksum.m_sType, "sha");
        EXPECT_EQ(package.m_Checksum.m_sValue, sha1Of(sFile));
        EXPECT_TRUE(package.m_Checksum.verify(sFile));

        std::string sEpoch = rpmQueryFormat(db.path(), sFile, "%{EPOCH}");
        EXPECT_EQ(package.m_Evr.m_nEpoch, sEpoch == "(none)" ? 0 : std::stoi(sEpoch));
        EXPECT_EQ(package.m_Evr.m_sVersion, rpmQueryFormat(db.path(), sFile, "%{VERSION}"));
        EXPECT_EQ(package.m_Evr.m_sRelease, rpmQueryFormat(db.path(), sFile, "%{RELEASE}"));
        EXPECT_EQ(package.m_sGroup, rpmQueryFormat(db.path(), sFile, "%{GROUP}"));

        EXPECT_EQ(package.m_setProvides, rpmQuery(db.path(), sFile, "provides"));
        EXPECT_EQ(package.m_setRequires, rpmQuery(db.path(), sFile, "requires"));
        EXPECT_EQ(package.m_setObsoletes, rpmQuery(db.path(), sFile, "obsoletes"));
    }
    // The cases the package set was built for are really there.
    auto gamma = m_pRepo->packages().find("gamma");
    ASSERT_NE(gamma, m_pRepo->packages().end());
    EXPECT_TRUE(gamma->m_setRequires.count(dep("rpmlib-like-tool")));
    EXPECT_TRUE(gamma->m_setProvides.count(dep("gammax", RPMSENSE_LESS, Evr(0, "2.0", ""))));
    auto beta = m_pRepo->packages().find("beta");
    ASSERT_NE(beta, m_pRepo->packages().end());
    EXPECT_TRUE(beta->m_setObsoletes.count(
        dep("beta-compat", RPMSENSE_LESS | RPMSENSE_EQUAL, Evr(0, "1.9", "9"))));
    EXPECT_TRUE(beta->m_setObsoletes.count(dep("betaold")));
}

TEST_F(PrimaryTest, CompressedAndPlainListGiveTheSameRecords)
{
    const std::string& sRepo = builtRepo();
    std::string sCompressed = sRepo + "/" + repodataFile(sRepo, "primary.xml.gz");
    std::string sPlain = m_dir.file("primary.xml");
    ASSERT_EQ(runShell("gzip -dc '" + sCompressed + "' > '" + sPlain + "'"), 0);

    ASSERT_TRUE(m_pRepo->parsePrimary(sCompressed));
    RepoPackageList compressed = m_pRepo->packages();
    Repository plainRepo(m_config, m_repoConfig);
    ASSERT_TRUE(plainRepo.parsePrimary(sPlain));
    ASSERT_EQ(compressed.size(), plainRepo.packages().size());
    auto it = plainRepo.packages().begin();
    for (const RepoPackage& package : compressed)
    {
        EXPECT_EQ(package.label(), it->label());
        EXPECT_EQ(package.m_sGroup, it->m_sGroup);
        EXPECT_EQ(package.m_setProvides, it->m_setProvides);
        EXPECT_EQ(package.m_setRequires, it->m_setRequires);
        EXPECT_EQ(package.m_setObsoletes, it->m_setObsoletes);
        EXPECT_EQ(package.m_Checksum.m_sValue, it->m_Checksum.m_sValue);
        EXPECT_EQ(package.m_sLocalPath, it->m_sLocalPath);
        ++it;
    }
}

TEST_F(PrimaryTest, AcceptedPackageFillsEveryField)
{
    PackageXml package;
    package.m_sFormat =
        "<format><rpm:group>System/Base</rpm:group>"
        "<rpm:provides><rpm:entry name=\"pkg\" flags=\"EQ\" epoch=\"2\" ver=\"1.0\" rel=\"3\"/>"
        "<rpm:entry name=\"pkg-cap\" flags=\"GE\" epoch=\"0\" ver=\"1\"/></rpm:provides>"
        "<rpm:requires><rpm:entry name=\"a\" flags=\"LT\" epoch=\"0\" ver=\"1\"/>"
        "<rpm:entry name=\"b\" flags=\"GT\" epoch=\"0\" ver=\"1\"/>"
        "<rpm:entry name=\"c\" flags=\"LE\" epoch=\"1\" ver=\"2\" rel=\"x\"/>"
        "<rpm:entry name=\"d\" flags=\"GE\"/>"
        "<rpm:entry name=\"d\" flags=\"GE\"/>"
        "<rpm:entry name=\"rpmlib(PayloadIsXz)\" flags=\"LE\" epoch=\"0\" ver=\"5.2\" rel=\"1\"/>"
        "<rpm:entry name=\"rpmlib(broken)\" ver=\"1\" flags=\"WHAT\"/>"
        "<rpm:entry name=\"xrpmlib(kept)\"/></rpm:requires>"
        "<rpm:obsoletes><rpm:entry name=\"old\" flags=\"EQ\" epoch=\"0\" "
        "ver=\"0.9\"/></rpm:obsoletes>"
        "<rpm:license>MIT</rpm:license><other:group "
        "xmlns:other=\"urn:x\">ignored</other:group></format>";
    package.m_sExtra = "<summary>ignored</summary><size package=\"1\"/>";
    ASSERT_TRUE(parse(document(package)));
    ASSERT_EQ(m_pRepo->packages().size(), 1u);
    const RepoPackage& record = *m_pRepo->packages().begin();
    EXPECT_EQ(record.m_sName, "pkg");
    EXPECT_EQ(record.m_sGroup, "System/Base");
    EXPECT_EQ(record.m_Evr, Evr(2, "1.0", "3"));
    EXPECT_EQ(record.m_sLocation, "packages/pkg-1.0-3.noarch.rpm");
    EXPECT_EQ(record.m_sLocalPath, m_pRepo->packageDir() + "pkg-1.0-3.noarch.rpm");
    EXPECT_EQ(record.m_Checksum.m_sType, "sha");
    EXPECT_EQ(record.m_Checksum.m_sValue, "0123456789abcdef0123456789abcdef01234567");
    EXPECT_EQ(record.m_setProvides,
              (DependencySet{dep("pkg", RPMSENSE_EQUAL, Evr(2, "1.0", "3")),
                             dep("pkg-cap", RPMSENSE_GREATER | RPMSENSE_EQUAL, Evr(0, "1", ""))}));
    EXPECT_EQ(record.m_setRequires,
              (DependencySet{dep("a", RPMSENSE_LESS, Evr(0, "1", "")),
                             dep("b", RPMSENSE_GREATER, Evr(0, "1", "")),
                             dep("c", RPMSENSE_LESS | RPMSENSE_EQUAL, Evr(1, "2", "x")), dep("d"),
                             dep("xrpmlib(kept)")}));
    EXPECT_EQ(record.m_setObsoletes,
              (DependencySet{dep("old", RPMSENSE_EQUAL, Evr(0, "0.9", ""))}));
    // The entries are in the list's arena, freed with the list.
    for (const DependencySet* pSet :
         {&record.m_setProvides, &record.m_setRequires, &record.m_setObsoletes})
        EXPECT_EQ(pSet->get_allocator(), m_pRepo->packages().get_allocator());
}

TEST_F(PrimaryTest, DependencyEntriesAreTracedAtTraceLevel)
{
    LogCapture log;
    ASSERT_TRUE(parse(document(PackageXml())));
    EXPECT_TRUE(log.contains("TRACE: parsing rpm provides for 'pkg'"));
    EXPECT_TRUE(log.contains("TRACE: parsing rpm requires for 'pkg'"));
    EXPECT_TRUE(log.contains("TRACE: pkg = 2:1.0-3"));
    EXPECT_TRUE(log.contains("TRACE: libc\n"));
}

namespace
{

enum class Outcome
{
    ACCEPTED, // true, one record
    SKIPPED,  // true, no record
    FAILED,   // false
};

struct Case
{
    const char* m_pName;
    std::string m_sDocument;
    Outcome m_outcome;
    std::string m_sLogLine; // must appear in the log when not empty
};

PackageXml with(std::string PackageXml::*pField, std::string sValue)
{
    PackageXml package;
    package.*pField = std::move(sValue);
    return package;
}

PackageXml withExtra(std::string sExtra)
{
    return with(&PackageXml::m_sExtra, std::move(sExtra));
}

std::vector<Case> cases()
{
    using P = PackageXml;
    const std::string sNoRpmNs =
        "<?xml version=\"1.0\"?>\n<metadata xmlns=\"http://linux.duke.edu/metadata/common\">";
    return {
        {"wrong top element",
         "<metadata2 xmlns=\"http://linux.duke.edu/metadata/common\">" + PackageXml().str() +
             "</metadata2>",
         Outcome::FAILED, "ERROR: bad top-level element, 'metadata2' instead of 'metadata'"},
        {"top element in no namespace", "<metadata>" + PackageXml().str() + "</metadata>",
         Outcome::FAILED, "ERROR: bad top-level element, 'metadata' instead of 'metadata'"},
        {"top element of the index format",
         "<repomd xmlns=\"http://linux.duke.edu/metadata/repo\"></repomd>", Outcome::FAILED,
         "ERROR: bad top-level element, 'repomd' instead of 'metadata'"},
        {"malformed XML", DOC_HEAD + "<package type=\"rpm\"><name>x</name>", Outcome::FAILED, ""},
        {"empty file", "", Outcome::FAILED, ""},
        {"any prefix for the namespaces",
         "<c:metadata xmlns:c=\"http://linux.duke.edu/metadata/common\" "
         "xmlns:r=\"http://linux.duke.edu/metadata/rpm\">"
         "<c:package type=\"rpm\"><c:name>pkg</c:name><c:arch>noarch</c:arch>"
         "<c:version epoch=\"0\" ver=\"1\"/><c:checksum type=\"sha\">ab</c:checksum><c:location "
         "href=\"p.rpm\"/>"
         "<c:format><r:group>G</r:group></c:format></c:package></c:metadata>",
         Outcome::ACCEPTED, ""},
        {"package in another namespace is not a package",
         document("<package xmlns=\"urn:other\" type=\"rpm\"><name>x</name></package>"),
         Outcome::SKIPPED, ""},
        {"other package type", document(with(&P::m_sType, " type=\"srpm\"")), Outcome::SKIPPED, ""},
        {"no package type", document(with(&P::m_sType, "")), Outcome::SKIPPED, ""},
        {"other type skips even a malformed package",
         document("<package type=\"deb\"><name/><name/></package>"), Outcome::SKIPPED, ""},
        {"foreign architecture", document(with(&P::m_sArch, "<arch>s390x_not_here</arch>")),
         Outcome::SKIPPED,
         "WARNING: skipping package 'pkg-1.0-3.noarch.rpm' of non-compatible arch "
         "'s390x_not_here'"},
        {"no architecture", document(with(&P::m_sArch, "")), Outcome::SKIPPED,
         "WARNING: skipping package 'pkg-1.0-3.noarch.rpm' of non-compatible arch ''"},
        {"second name", document(withExtra("<name>other</name>")), Outcome::FAILED, ""},
        {"empty name", document(with(&P::m_sName, "<name></name>")), Outcome::FAILED,
         "DEBUG: no string list for node 'name'"},
        {"no name", document(with(&P::m_sName, "")), Outcome::FAILED, ""},
        {"second arch", document(withExtra("<arch>noarch</arch>")), Outcome::FAILED, ""},
        {"empty arch", document(with(&P::m_sArch, "<arch/>")), Outcome::FAILED, ""},
        {"second version", document(withExtra("<version epoch=\"0\" ver=\"1\"/>")), Outcome::FAILED,
         ""},
        {"no version", document(with(&P::m_sVersion, "")), Outcome::FAILED, ""},
        {"second location", document(withExtra("<location href=\"b.rpm\"/>")), Outcome::FAILED, ""},
        {"location without href", document(with(&P::m_sLocation, "<location/>")), Outcome::FAILED,
         "DEBUG: no attribute 'href' for node 'location'"},
        {"no location", document(with(&P::m_sLocation, "")), Outcome::FAILED, ""},
        {"second checksum", document(withExtra("<checksum type=\"sha\">ab</checksum>")),
         Outcome::FAILED, ""},
        {"checksum without type", document(with(&P::m_sChecksum, "<checksum>ab</checksum>")),
         Outcome::FAILED, "DEBUG: failed parsing 'checksum' element"},
        {"checksum without value", document(with(&P::m_sChecksum, "<checksum type=\"sha\"/>")),
         Outcome::FAILED, "DEBUG: failed parsing 'checksum' element"},
        {"no checksum", document(with(&P::m_sChecksum, "")), Outcome::FAILED, ""},
        {"package without children", document("<package type=\"rpm\"/>"), Outcome::FAILED, ""},
        {"negative epoch", document(with(&P::m_sVersion, "<version epoch=\"-1\" ver=\"1\"/>")),
         Outcome::FAILED, ""},
        {"empty epoch", document(with(&P::m_sVersion, "<version epoch=\"\" ver=\"1\"/>")),
         Outcome::FAILED, ""},
        {"epoch with trailing characters",
         document(with(&P::m_sVersion, "<version epoch=\"1a\" ver=\"1\"/>")), Outcome::FAILED, ""},
        {"epoch at the overflow value",
         document(with(&P::m_sVersion, "<version epoch=\"2147483647\" ver=\"1\"/>")),
         Outcome::FAILED, ""},
        {"epoch beyond int",
         document(with(&P::m_sVersion, "<version epoch=\"99999999999\" ver=\"1\"/>")),
         Outcome::FAILED, ""},
        {"largest epoch",
         document(with(&P::m_sVersion, "<version epoch=\"2147483646\" ver=\"1\"/>")),
         Outcome::ACCEPTED, ""},
        {"version without epoch", document(with(&P::m_sVersion, "<version ver=\"1\" rel=\"1\"/>")),
         Outcome::FAILED, "DEBUG: failed parsing 'version' element"},
        {"version without ver", document(with(&P::m_sVersion, "<version epoch=\"0\" rel=\"1\"/>")),
         Outcome::FAILED, "DEBUG: failed parsing 'version' element"},
        {"version without rel", document(with(&P::m_sVersion, "<version epoch=\"0\" ver=\"1\"/>")),
         Outcome::ACCEPTED, ""},
        {"second group",
         document(with(&P::m_sFormat,
                       "<format><rpm:group>A</rpm:group><rpm:group>B</rpm:group></format>")),
         Outcome::FAILED, ""},
        {"empty group", document(with(&P::m_sFormat, "<format><rpm:group/></format>")),
         Outcome::FAILED, ""},
        {"entry without name",
         document(with(&P::m_sFormat,
                       "<format><rpm:requires><rpm:entry flags=\"EQ\"/></rpm:requires></format>")),
         Outcome::FAILED, "DEBUG: failed getting 'name' from 'entry'"},
        {"entry with ver but without epoch",
         document(with(&P::m_sFormat, "<format><rpm:requires><rpm:entry name=\"a\" flags=\"EQ\" "
                                      "ver=\"1\"/></rpm:requires></format>")),
         Outcome::FAILED, "DEBUG: failed parsing EVR in entry"},
        {"entry with bad epoch",
         document(
             with(&P::m_sFormat,
                  "<format><rpm:provides><rpm:entry name=\"a\" flags=\"EQ\" epoch=\"x\" ver=\"1\"/>"
                  "</rpm:provides></format>")),
         Outcome::FAILED, "DEBUG: failed parsing EVR in entry"},
        {"entry with ver but without flags",
         document(with(&P::m_sFormat, "<format><rpm:obsoletes><rpm:entry name=\"a\" epoch=\"0\" "
                                      "ver=\"1\"/></rpm:obsoletes></format>")),
         Outcome::FAILED, "DEBUG: failed parsing 'flags' in 'entry'"},
        {"entry with unknown flags",
         document(
             with(&P::m_sFormat,
                  "<format><rpm:requires><rpm:entry name=\"a\" flags=\"NE\" epoch=\"0\" ver=\"1\"/>"
                  "</rpm:requires></format>")),
         Outcome::FAILED, "DEBUG: invalid flags 'NE' in 'entry'"},
        {"entry with lower-case flags",
         document(
             with(&P::m_sFormat,
                  "<format><rpm:requires><rpm:entry name=\"a\" flags=\"eq\" epoch=\"0\" ver=\"1\"/>"
                  "</rpm:requires></format>")),
         Outcome::FAILED, "DEBUG: invalid flags 'eq' in 'entry'"},
        {"rich requirement",
         document(with(&P::m_sFormat,
                       "<format><rpm:requires><rpm:entry name=\"(a or (b &gt;= 2 with c))\"/>"
                       "</rpm:requires></format>")),
         Outcome::ACCEPTED, "TRACE: (a or (b >= 2 with c))"},
        {"rich provide",
         document(
             with(&P::m_sFormat,
                  "<format><rpm:provides><rpm:entry name=\"(a or b)\"/></rpm:provides></format>")),
         Outcome::FAILED, "DEBUG: invalid rich dependency '(a or b)' in 'entry'"},
        {"rich obsolete",
         document(with(
             &P::m_sFormat,
             "<format><rpm:obsoletes><rpm:entry name=\"(a if b)\"/></rpm:obsoletes></format>")),
         Outcome::FAILED, "DEBUG: invalid rich dependency '(a if b)' in 'entry'"},
        {"rich requirement with a version",
         document(
             with(&P::m_sFormat,
                  "<format><rpm:requires><rpm:entry name=\"(a or b)\" flags=\"EQ\" epoch=\"0\" "
                  "ver=\"1\"/></rpm:requires></format>")),
         Outcome::FAILED, "DEBUG: invalid rich dependency '(a or b)' in 'entry'"},
        {"rich requirement librpm cannot parse",
         document(with(&P::m_sFormat, "<format><rpm:requires><rpm:entry name=\"(a or b and c)\"/>"
                                      "</rpm:requires></format>")),
         Outcome::FAILED, "DEBUG: invalid rich dependency '(a or b and c)' in 'entry'"},
        {"format without the rpm namespace",
         sNoRpmNs +
             with(&PackageXml::m_sFormat,
                  "<format><group>G</group><requires><entry name=\"a\"/></requires></format>")
                 .str() +
             DOC_TAIL,
         Outcome::ACCEPTED, "DEBUG: no rpm specific data in XML doc"},
    };
}

} // namespace

TEST_F(PrimaryTest, MalformedAndUnusualLists)
{
    for (const Case& testCase : cases())
    {
        SCOPED_TRACE(testCase.m_pName);
        Repository repo(m_config, m_repoConfig);
        std::string sPath = m_dir.file("case.xml");
        writeFile(sPath, testCase.m_sDocument);
        LogCapture log;
        bool bResult = repo.parsePrimary(sPath);
        EXPECT_EQ(bResult, testCase.m_outcome != Outcome::FAILED);
        if (testCase.m_outcome != Outcome::FAILED)
        {
            EXPECT_EQ(repo.packages().size(), testCase.m_outcome == Outcome::ACCEPTED ? 1u : 0u);
        }
        if (!testCase.m_sLogLine.empty())
        {
            EXPECT_TRUE(log.contains(testCase.m_sLogLine)) << log.text();
        }
        if (testCase.m_outcome == Outcome::SKIPPED && testCase.m_sLogLine.empty())
        {
            EXPECT_FALSE(log.contains("WARNING")) << log.text();
        }
    }
}

TEST_F(PrimaryTest, FormatWithoutRpmNamespaceKeepsPackageWithoutGroupAndDependencies)
{
    std::string sDocument = "<metadata xmlns=\"http://linux.duke.edu/metadata/common\">" +
                            with(&PackageXml::m_sFormat,
                                 "<format><group>G</group><requires><entry name=\"a\"/></requires>"
                                 "</format>")
                                .str() +
                            "</metadata>";
    ASSERT_TRUE(parse(sDocument));
    ASSERT_EQ(m_pRepo->packages().size(), 1u);
    EXPECT_TRUE(m_pRepo->packages().begin()->m_sGroup.empty());
    EXPECT_TRUE(m_pRepo->packages().begin()->m_setRequires.empty());
    EXPECT_TRUE(m_pRepo->packages().begin()->m_setProvides.empty());
}

TEST_F(PrimaryTest, SameNameTwiceKeepsBothInFileOrderAndLocalPathsUseTheBaseName)
{
    PackageXml newer;
    newer.m_sVersion = "<version epoch=\"0\" ver=\"2.0\"/>";
    newer.m_sLocation = "<location href=\"a/b/pkg.rpm\"/>";
    PackageXml older;
    older.m_sVersion = "<version epoch=\"0\" ver=\"1.0\"/>";
    older.m_sLocation = "<location href=\"c/pkg.rpm\"/>";
    PackageXml other;
    other.m_sName = "<name>aaa</name>";
    ASSERT_TRUE(parse(document(newer.str() + other.str() + older.str())));
    EXPECT_EQ(names(m_pRepo->packages()),
              (std::vector<std::string>{"aaa-2:1.0-3", "pkg-0:2.0", "pkg-0:1.0"}));
    auto range = m_pRepo->packages().equal_range("pkg");
    for (auto it = range.first; it != range.second; ++it)
        EXPECT_EQ(it->m_sLocalPath, m_pRepo->packageDir() + "pkg.rpm");
}

// The list is ordered bytewise by name, and records of one name keep the order in which
// they came, also when a second list is added to the first.
TEST_F(PrimaryTest, RecordsAreOrderedByNameBytewiseAndEqualNamesKeepTheirOrder)
{
    // Names sharing their first eight bytes or more, shorter ones, prefixes of others and
    // bytes above 0x7f, in a shuffled order with repeats.
    const std::vector<std::string> NAMES = {
        "libfoo-devel", "libfoo-devel-static", "libfoo-de",     "libfoo",    "lib", "l",
        "libfoo-devel", "caf\xc3\xa9",         "cafe",          "caf",       "zz",  "libfoo-devem",
        "Zebra",        "libfoo-deveL",        "caf\xc3\xa9-2", "x\xc3\xa9", "y"};
    auto makeList =
        [&](int nFirst, int nCount, std::vector<std::pair<std::string, std::string>>& vAll)
    {
        std::string sPackages;
        for (int i = nFirst; i < nFirst + nCount; ++i)
        {
            const std::string& sName = NAMES[static_cast<size_t>(i * 7 + i / 5) % NAMES.size()];
            PackageXml package;
            package.m_sName = "<name>" + sName + "</name>";
            package.m_sVersion =
                "<version epoch=\"0\" ver=\"" + std::to_string(i) + "\" rel=\"1\"/>";
            sPackages += package.str();
            vAll.emplace_back(sName, std::to_string(i));
        }
        return document(sPackages);
    };
    auto listed = [&]()
    {
        std::vector<std::pair<std::string, std::string>> vListed;
        for (const RepoPackage& package : m_pRepo->packages())
            vListed.emplace_back(std::string(package.m_sName.view()),
                                 std::string(package.m_Evr.m_sVersion.view()));
        return vListed;
    };
    auto expected = [](std::vector<std::pair<std::string, std::string>> vAll)
    {
        std::stable_sort(vAll.begin(), vAll.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        return vAll;
    };

    std::vector<std::pair<std::string, std::string>> vAll;
    ASSERT_TRUE(parse(makeList(0, 120, vAll)));
    EXPECT_EQ(listed(), expected(vAll));
    ASSERT_TRUE(parse(makeList(120, 60, vAll)));
    EXPECT_EQ(listed(), expected(vAll));
}

TEST_F(PrimaryTest, FailureKeepsRecordsReadBeforeIt)
{
    PackageXml good;
    PackageXml bad = withExtra("<name>again</name>");
    EXPECT_FALSE(parse(document(good.str() + bad.str() + good.str())));
    EXPECT_EQ(m_pRepo->packages().size(), 1u);
}

TEST_F(PrimaryTest, MissingFileIsReported)
{
    LogCapture log;
    std::string sPath = m_dir.file("nonexistent.xml.gz");
    EXPECT_FALSE(m_pRepo->parsePrimary(sPath));
    EXPECT_TRUE(log.contains("ERROR: could not open primary file '" + sPath + "' for parsing"));
}

// Repository metadata must not make the updater read local files: a document that refers
// to an external entity or an external DTD is refused as a whole.
TEST_F(PrimaryTest, ExternalEntitiesAndDtdsAreRefused)
{
    std::string sSecret = m_dir.file("secret");
    writeFile(sSecret, "TOPSECRET");
    writeFile(m_dir.file("evil.dtd"), "<!ENTITY inner \"from-dtd\">");
    xmlExternalEntityLoader pLoaderBefore = xmlGetExternalEntityLoader();

    const std::string sEntityDoc =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE metadata [ <!ENTITY x SYSTEM \"file://" + sSecret +
        "\"> ]>\n" + DOC_ROOT + with(&PackageXml::m_sName, "<name>pkg&x;</name>").str() + DOC_TAIL;
    const std::string sEntityInAttribute =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE metadata [ <!ENTITY x SYSTEM \"file://" + sSecret +
        "\"> ]>\n" + DOC_ROOT +
        with(&PackageXml::m_sLocation, "<location href=\"&x;.rpm\"/>").str() + DOC_TAIL;
    const std::string sDtdDoc = "<?xml version=\"1.0\"?>\n<!DOCTYPE metadata SYSTEM \"file://" +
                                m_dir.file("evil.dtd") + "\">\n" + DOC_ROOT + PackageXml().str() +
                                DOC_TAIL;
    for (const std::string& sDocument : {sEntityDoc, sEntityInAttribute, sDtdDoc})
    {
        Repository repo(m_config, m_repoConfig);
        std::string sPath = m_dir.file("evil.xml");
        writeFile(sPath, sDocument);
        EXPECT_FALSE(repo.parsePrimary(sPath)) << sDocument;
        for (const RepoPackage& package : repo.packages())
        {
            EXPECT_EQ(package.m_sName.view().find("TOPSECRET"), std::string::npos);
            EXPECT_EQ(package.m_sLocation.view().find("TOPSECRET"), std::string::npos);
        }
        EXPECT_EQ(xmlGetExternalEntityLoader(), pLoaderBefore);
    }

    // Internal entities are still substituted.
    const std::string sInternal =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE metadata [ <!ENTITY n \"named\"> ]>\n" + DOC_ROOT +
        with(&PackageXml::m_sName, "<name>&n;</name>").str() + DOC_TAIL;
    ASSERT_TRUE(parse(sInternal));
    ASSERT_EQ(m_pRepo->packages().size(), 1u);
    EXPECT_EQ(m_pRepo->packages().begin()->m_sName, "named");

    // Outside repository metadata the process-wide loader is untouched: a plain reader with
    // the same options still resolves the entity.
    std::string sPlainPath = m_dir.file("plain.xml");
    writeFile(sPlainPath, "<?xml version=\"1.0\"?>\n<!DOCTYPE conf [ <!ENTITY x SYSTEM \"file://" +
                              sSecret + "\"> ]>\n<conf>&x;</conf>");
    xmlTextReaderPtr pReader = xmlReaderForFile(sPlainPath.c_str(), nullptr, XML_READER_OPTIONS);
    ASSERT_NE(pReader, nullptr);
    std::string sText;
    while (xmlTextReaderRead(pReader) == 1)
        if (xmlTextReaderNodeType(pReader) == XML_READER_TYPE_TEXT)
            sText += reinterpret_cast<const char*>(xmlTextReaderConstValue(pReader));
    xmlFreeTextReader(pReader);
    EXPECT_EQ(sText, "TOPSECRET");
}

TEST_F(PrimaryTest, ExponentialEntityExpansionFailsQuickly)
{
    std::string sEntities = "<!ENTITY l0 \"lollollollollollollollollollol\">";
    for (int i = 1; i < 10; ++i)
    {
        sEntities += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j)
            sEntities += "&l" + std::to_string(i - 1) + ";";
        sEntities += "\">";
    }
    EXPECT_FALSE(parse("<?xml version=\"1.0\"?>\n<!DOCTYPE metadata [" + sEntities + "]>\n" +
                       DOC_ROOT + with(&PackageXml::m_sName, "<name>&l9;</name>").str() +
                       DOC_TAIL));
    EXPECT_TRUE(m_pRepo->packages().empty());
}

TEST_F(PrimaryTest, DeepNestingIsRefused)
{
    // The parser keeps a few words per open element: millions of them, from a small
    // compressed file, would outgrow the device's memory.
    std::string sDeep;
    for (int i = 0; i < 300; ++i)
        sDeep += "<x>";
    LogCapture log;
    EXPECT_FALSE(parse("<?xml version=\"1.0\"?>\n" + DOC_ROOT + sDeep));
    EXPECT_TRUE(log.contains("is nested deeper than 256 elements")) << log.text();

    // 254 levels below the top element are read like any others.
    std::string sOpen, sClose;
    for (int i = 0; i < 254; ++i)
    {
        sOpen += "<x>";
        sClose += "</x>";
    }
    EXPECT_TRUE(parse("<?xml version=\"1.0\"?>\n" + DOC_ROOT + sOpen + sClose + DOC_TAIL));
}

// Texts are the character data directly inside an element; blank runs that libxml2's
// blank removal takes for indentation (before markup, in an element without text so far)
// are dropped, as a tree built with the same options drops them.
TEST_F(PrimaryTest, NameTextFollowsTheParsersBlankRemoval)
{
    const struct
    {
        const char* m_pName;
        const char* m_pExpected; // nullptr: the list is refused
    } CASES[] = {
        {"<name>  pkg  </name>", "  pkg  "},
        {"<name>  <![CDATA[cd]]></name>", "cd"},
        {"<name><![CDATA[  ]]>x</name>", "  x"},
        {"<name>  <!--c-->a</name>", "a"},
        {"<name>b<!--c-->  </name>", "b  "},
        {"<name>&#32;<!--c-->a</name>", " a"},
        {"<name xml:space=\"preserve\">  <!--c-->a</name>", "  a"},
        {"<name>x<b>y</b>z</name>", "xz"},
        {"<name><b/>  </name>", nullptr},
        {"<name><!--c-->  </name>", nullptr},
    };
    for (const auto& testCase : CASES)
    {
        SCOPED_TRACE(testCase.m_pName);
        Repository repo(m_config, m_repoConfig);
        std::string sPath = m_dir.file("text.xml");
        writeFile(sPath, document(with(&PackageXml::m_sName, testCase.m_pName)));
        LogCapture log;
        EXPECT_EQ(repo.parsePrimary(sPath), testCase.m_pExpected != nullptr);
        if (testCase.m_pExpected == nullptr)
            EXPECT_TRUE(log.contains("DEBUG: no string list for node 'name'")) << log.text();
        else if (repo.packages().size() == 1)
            EXPECT_EQ(repo.packages().begin()->m_sName, testCase.m_pExpected);
        else
            ADD_FAILURE() << "no record";
    }
}

TEST_F(PrimaryTest, PackagesAndElementsFromInternalEntitiesAreRead)
{
    const std::string sDocument =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE metadata [ <!ENTITY n \"<name>named</name>\">"
        " <!ENTITY p '" +
        with(&PackageXml::m_sName, "<name>fromentity</name>").str() + "'> ]>\n" + DOC_ROOT +
        with(&PackageXml::m_sName, "&n;").str() + "&p;" + DOC_TAIL;
    ASSERT_TRUE(parse(sDocument));
    EXPECT_EQ(names(m_pRepo->packages()),
              (std::vector<std::string>{"fromentity-2:1.0-3", "named-2:1.0-3"}));
}

// A malformed package fails the list once its end tag has been read, so that libxml2 still
// reports a well-formedness error inside it.
TEST_F(PrimaryTest, MalformedXmlInsideARefusedPackageIsStillReported)
{
    LogCapture log;
    EXPECT_FALSE(parse(document(withExtra("<name>again</name><arch>x</arc>"))));
    EXPECT_TRUE(log.contains("ERROR: XML error in")) << log.text();
}

TEST_F(PrimaryTest, DamagedCompressedListIsReported)
{
    const std::string sDocument = document(PackageXml().str() + PackageXml().str());
    std::string sPlain = m_dir.file("list.xml");
    writeFile(sPlain, sDocument);
    ASSERT_EQ(runShell("gzip -n -c '" + sPlain + "' > '" + sPlain + ".gz'"), 0);
    std::string sCompressed = readFile(sPlain + ".gz");

    const struct
    {
        const char* m_pName;
        std::string m_sBytes;
        const char* m_pReason;
    } CASES[] = {
        {"truncated", sCompressed.substr(0, sCompressed.size() - 12), "unexpected end of file"},
        {"bad check value", sCompressed.substr(0, sCompressed.size() - 8) + std::string(8, '\0'),
         "incorrect data check"},
    };
    for (const auto& testCase : CASES)
    {
        SCOPED_TRACE(testCase.m_pName);
        Repository repo(m_config, m_repoConfig);
        std::string sPath = m_dir.file("damaged.xml.gz");
        writeFile(sPath, testCase.m_sBytes);
        LogCapture log;
        EXPECT_FALSE(repo.parsePrimary(sPath));
        EXPECT_TRUE(log.contains("ERROR: failed reading primary file '" + sPath + "' (" +
                                 testCase.m_pReason + ")"))
            << log.text();
    }
}

// A list of many megabytes goes through the read-ahead ring several times over; every
// package arrives once and in file order, compressed or not.
TEST_F(PrimaryTest, ListLargerThanTheReadAheadRingKeepsEveryPackageInOrder)
{
    const int PACKAGES = 6000;
    std::string sPackages;
    for (int i = 0; i < PACKAGES; ++i)
    {
        PackageXml package;
        // Every package twice under one name (file order decides among equal names), and a
        // long description so that the list spans many read-ahead buffers.
        package.m_sName = "<name>pkg" + std::to_string(i / 2) + "</name>";
        package.m_sVersion = "<version epoch=\"0\" ver=\"" + std::to_string(i) + "\" rel=\"1\"/>";
        package.m_sExtra = "<description>" + std::string(400, 'x') + "</description>";
        sPackages += package.str();
    }
    std::string sPlain = m_dir.file("large.xml");
    writeFile(sPlain, document(sPackages));
    ASSERT_GT(readFile(sPlain).size(), 3u << 20);
    ASSERT_EQ(runShell("gzip -n -c '" + sPlain + "' > '" + sPlain + ".gz'"), 0);

    for (const std::string& sPath : {sPlain, sPlain + ".gz"})
    {
        SCOPED_TRACE(sPath);
        Repository repo(m_config, m_repoConfig);
        ASSERT_TRUE(repo.parsePrimary(sPath));
        ASSERT_EQ(repo.packages().size(), static_cast<std::size_t>(PACKAGES));
        for (int i = 0; i < PACKAGES / 2; ++i)
        {
            auto [first, last] = repo.packages().equal_range("pkg" + std::to_string(i));
            ASSERT_EQ(std::distance(first, last), 2);
            EXPECT_EQ(first->m_Evr.m_sVersion, std::to_string(2 * i));
            EXPECT_EQ(std::next(first)->m_Evr.m_sVersion, std::to_string(2 * i + 1));
        }
    }
}

namespace
{

std::string withDoctype(const std::string& sInternalSubset, const PackageXml& package)
{
    return "<?xml version=\"1.0\"?>\n<!DOCTYPE metadata [" + sInternalSubset + "]>\n" + DOC_ROOT +
           package.str() + DOC_TAIL;
}

PackageXml withGroup(const std::string& sGroup)
{
    return with(&PackageXml::m_sFormat,
                "<format>" + sGroup +
                    "<rpm:requires><rpm:entry name=\"libc\"/></rpm:requires></format>");
}

PackageXml withName(const std::string& sName, const std::string& sPackageAttributes = std::string())
{
    PackageXml package = with(&PackageXml::m_sName, sName);
    package.m_sType += sPackageAttributes;
    return package;
}

std::string nameOf(Repository& repo, const std::string& sPath, const std::string& sDocument)
{
    writeFile(sPath, sDocument);
    LogCapture log;
    if (!repo.parsePrimary(sPath))
        return "<refused>";
    if (repo.packages().size() != 1)
        return "<" + std::to_string(repo.packages().size()) + " records>";
    return repo.packages().begin()->m_sName.str();
}

} // namespace

// Blank text in the elements whose text is read (name, arch, checksum, group): a run of
// blanks written in the document is indentation, and dropped, when markup follows it and
// the element has no text as its first child nor as the child before the run; it is text
// when the end tag of an element without children follows it, when a reference or other
// text follows it, under xml:space="preserve", once the element has kept text that begins
// with a blank, and when the DTD declares the element with mixed content (element content:
// always dropped). Blanks from a character reference or a CDATA section are always text.
TEST_F(PrimaryTest, BlankTextTable)
{
    const std::string sLong(400, ' ');
    const struct
    {
        const char* m_pCase;
        std::string m_sDocument;
        std::string m_sName; // "<refused>": the list is refused
        const char* m_pArch = nullptr;
        const char* m_pGroup = nullptr;
    } CASES[] = {
        {"blanks around text", document(withName("<name>  pkg  </name>")), "  pkg  "},
        {"blanks only", document(withName("<name>   </name>")), "   "},
        {"blanks only with a line end", document(withName("<name>\n  </name>")), "<refused>"},
        {"blanks then CDATA", document(withName("<name>  <![CDATA[cd]]></name>")), "cd"},
        {"blank CDATA then comment", document(withName("<name><![CDATA[  ]]><!--c-->x</name>")),
         "  x"},
        {"blanks then comment", document(withName("<name>  <!--c-->a</name>")), "a"},
        {"blanks then processing instruction", document(withName("<name>  <?pi x?>a</name>")), "a"},
        {"blanks then element", document(withName("<name>  <b/>a</name>")), "a"},
        {"comment, blanks, comment", document(withName("<name><!--c-->  <!--d-->a</name>")), "a"},
        {"comment, blanks, end", document(withName("<name><!--c-->  </name>")), "<refused>"},
        {"text first: blanks kept", document(withName("<name>a<!--c-->  <!--d-->b</name>")),
         "a  b"},
        {"text before: blanks kept",
         document(withName("<name><!--c-->a<!--d-->  <!--e-->b</name>")), "ab"},
        {"text after: blanks kept", document(withName("<name><!--c-->a<!--d-->  b</name>")),
         "a  b"},
        {"mixed content", document(withName("<name>x<b> </b>  <c/>z</name>")), "x  z"},
        {"character reference, blanks", document(withName("<name>&#32;  <!--c-->a</name>")),
         "   a"},
        {"blanks, character reference", document(withName("<name>  &#32;<!--c-->a</name>")),
         "   a"},
        {"blanks, predefined entity", document(withName("<name>  &amp;<!--c-->  <!--d-->y</name>")),
         "  &  y"},
        {"default space", document(withName("<name xml:space=\"default\">  <!--c-->a</name>")),
         "a"},
        {"preserve inherited",
         document(withName("<name>  <!--c-->a</name>", " xml:space=\"preserve\"")), "  a"},
        {"default below preserve",
         document(
             withName("<name xml:space=\"default\">  <!--c-->a</name>", " xml:space=\"preserve\"")),
         "a"},
        {"unknown space value keeps the inherited one",
         document(
             withName("<name xml:space=\"other\">  <!--c-->a</name>", " xml:space=\"preserve\"")),
         "  a"},
        {"line end CR LF", document(withName("<name> \r\n <!--c-->a</name>")), "a"},
        {"line end CR alone", document(withName("<name> \r <!--c-->a</name>")), "<refused>"},
        {"no-break space is text", document(withName("<name>\xc2\xa0<!--c-->a</name>")),
         "\xc2\xa0"
         "a"},
        {"after non-ASCII text", document(withName("<name>\xc3\xa9<!--c-->  <!--d-->a</name>")),
         "\xc3\xa9  a"},
        {"long blank run", document(withName("<name>" + sLong + "<!--c-->a</name>")), "a"},
        {"long text, then blanks",
         document(withName("<name>" + std::string(400, 'n') + "<!--c-->  <!--d-->a</name>")),
         std::string(400, 'n') + "  a"},
        {"arch", document(with(&PackageXml::m_sArch, "<arch>  <!--c-->noarch</arch>")), "pkg",
         "noarch"},
        {"checksum",
         document(
             with(&PackageXml::m_sChecksum, "<checksum type=\"sha\">  <!--c-->abc</checksum>")),
         "pkg"},
        {"group", document(withGroup("<rpm:group>  <!--c-->Base</rpm:group>")), "pkg", nullptr,
         "Base"},
        {"group of blanks", document(withGroup("<rpm:group>  </rpm:group>")), "pkg", nullptr, "  "},
        {"group: comment, blanks", document(withGroup("<rpm:group><!--c-->  </rpm:group>")),
         "<refused>"},
        {"blank summary and description",
         document(withExtra("<summary> </summary><description>\n  \n</description>")), "pkg"},
        {"indented package",
         document("<package type=\"rpm\">\n  <name>pkg</name>\n  <arch>noarch</arch>\n  <version "
                  "epoch=\"0\" ver=\"1\" "
                  "rel=\"1\"/>\n  <checksum type=\"sha\">abc</checksum>\n  <location "
                  "href=\"a.rpm\"/>\n  <format>\n"
                  "    <rpm:group>\n      G\n    </rpm:group>\n  </format>\n</package>\n"),
         "pkg", "noarch", "\n      G\n    "},
        {"DTD: mixed",
         withDoctype("<!ELEMENT name (#PCDATA|b)*>", withName("<name>  <!--c-->a</name>")), "  a"},
        {"DTD: text only",
         withDoctype("<!ELEMENT name (#PCDATA)>", withName("<name>  <!--c-->a</name>")), "  a"},
        {"DTD: any", withDoctype("<!ELEMENT name ANY>", withName("<name>  <!--c-->a</name>")),
         "  a"},
        {"DTD: empty", withDoctype("<!ELEMENT name EMPTY>", withName("<name>  <!--c-->a</name>")),
         "  a"},
        {"DTD: elements", withDoctype("<!ELEMENT name (b)*>", withName("<name>  </name>")),
         "<refused>"},
        {"DTD: elements, text",
         withDoctype("<!ELEMENT name (b)*>", withName("<name>a  <!--c-->  b</name>")), "a    b"},
        {"DTD: first declaration counts",
         withDoctype("<!ELEMENT name (#PCDATA)><!ELEMENT name (b)*>",
                     withName("<name>  <!--c-->a</name>")),
         "  a"},
        {"DTD: other element",
         withDoctype("<!ELEMENT arch (b)*>", withName("<name>  <!--c-->a</name>")), "a"},
        {"DTD: prefixed name",
         withDoctype("<!ELEMENT rpm:group (b)*>", withGroup("<rpm:group>  </rpm:group>")), "pkg",
         nullptr, "  "},
        {"entity of blanks",
         withDoctype("<!ENTITY sp \"  \">", withName("<name>&sp;<!--c-->a</name>")), "  a"},
        {"entity of blanks and a comment",
         withDoctype("<!ENTITY sp \"  <!--c-->\">", withName("<name>&sp;a</name>")), "a"},
        {"entity holding the name",
         withDoctype("<!ENTITY n \"<name>  <!--c-->x</name>\">", withName("&n;")), "x"},
        {"entity of a character reference",
         withDoctype("<!ENTITY sp \"&#38;#32;\">", withName("<name>&sp;<!--c-->a</name>")), " a"},
        {"blanks before an entity",
         withDoctype("<!ENTITY x \"x\">", withName("<name>  &x;<!--c-->  <!--d-->y</name>")),
         "  x  y"},
    };
    for (const auto& testCase : CASES)
    {
        SCOPED_TRACE(testCase.m_pCase);
        Repository repo(m_config, m_repoConfig);
        EXPECT_EQ(nameOf(repo, m_dir.file("blank.xml"), testCase.m_sDocument), testCase.m_sName);
        if (repo.packages().size() != 1)
            continue;
        if (testCase.m_pArch != nullptr)
        {
            EXPECT_EQ(repo.packages().begin()->m_sArch.str(), testCase.m_pArch);
        }
        if (testCase.m_pGroup != nullptr)
        {
            EXPECT_EQ(repo.packages().begin()->m_sGroup.str(), testCase.m_pGroup);
        }
    }
}

// The list is read in pieces; where a piece ends inside a text changes nothing.
TEST_F(PrimaryTest, BlankTextAcrossReads)
{
    const struct
    {
        std::string m_sText;
        std::string m_sName;
    } CASES[] = {
        {"  <!--c-->a", "a"},
        {"  pkg  ", "  pkg  "},
        {"a<!--c-->  <!--d-->b", "a  b"},
        {"&#32;<!--c-->a", " a"},
        {"<![CDATA[  ]]><!--c-->x", "  x"},
        {"<!--c-->  <!--d-->a", "a"},
        {" \r\n <!--c-->a", "a"},
        // Long runs of blanks, read in parts.
        {std::string(400, ' ') + "<!--c-->a", "a"},
        {"<!--c-->" + std::string(400, ' ') + "<!--d-->a", "a"},
    };
    const std::string sOpen = DOC_HEAD + "<package type=\"rpm\"><description>";
    const std::size_t READ_SIZE = 256u << 10;
    for (const auto& testCase : CASES)
    {
        SCOPED_TRACE(testCase.m_sText);
        for (int nOffset : {-12, -1,  0,   1,   2,   3,   5,   8,   10,  13, 20,
                            30,  100, 200, 300, 399, 400, 401, 405, 410, 420})
        {
            // The first read ends nOffset bytes into the name's content.
            if (static_cast<std::size_t>(nOffset) > testCase.m_sText.size() + 10 && nOffset > 0)
                continue;
            SCOPED_TRACE(nOffset);
            const std::size_t uPad = READ_SIZE - sOpen.size() -
                                     std::string("</description><name>").size() -
                                     static_cast<std::size_t>(static_cast<long>(nOffset));
            PackageXml package;
            const std::string sDocument =
                sOpen + std::string(uPad, 'x') + "</description><name>" + testCase.m_sText +
                "</name>" + package.m_sArch + package.m_sVersion + package.m_sChecksum +
                package.m_sLocation + package.m_sFormat + "</package>\n" + DOC_TAIL;
            ASSERT_EQ(sDocument.find(testCase.m_sText),
                      READ_SIZE - static_cast<std::size_t>(static_cast<long>(nOffset)));
            Repository repo(m_config, m_repoConfig);
            EXPECT_EQ(nameOf(repo, m_dir.file("split.xml"), sDocument), testCase.m_sName);
        }
    }
}
