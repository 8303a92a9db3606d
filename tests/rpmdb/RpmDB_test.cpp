#include "rpmdb/DetachedSignature.h"
#include "rpmdb/RpmDB.h"
#include "rpmdb/RpmHeader.h"

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <rpm/rpmlib.h>
#include <rpm/rpmmacro.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

using testing_support::dependencyTexts;
using testing_support::LogCapture;
using testing_support::runShell;
using testing_support::TempDir;

// librpm reads its configuration once per process; every test then points %_dbpath at a
// database of its own.
class RpmConfigEnvironment : public testing::Environment
{
public:
    void SetUp() override { ASSERT_EQ(rpmReadConfigFiles(nullptr, nullptr), 0); }
};
const testing::Environment* const g_pRpmEnvironment =
    testing::AddGlobalTestEnvironment(new RpmConfigEnvironment);

std::string quote(const std::string& sText)
{
    std::string sQuoted = "'";
    for (char c : sText)
        sQuoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return sQuoted + "'";
}

std::string scriptPath(const char* pName)
{
    return testing_support::sourceDir() + "/tests/support/rpm/" + pName;
}

class RpmDbTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_sDbPath = m_dir.file("db");
        m_sRpmDir = m_dir.file("rpms");
        ASSERT_EQ(rpmShell("--initdb"), 0);
        rpmPushMacro(nullptr, "_dbpath", nullptr, m_sDbPath.c_str(), RMIL_CMDLINE);
    }

    void TearDown() override { rpmPopMacro(nullptr, "_dbpath"); }

public:
    // Runs rpm on the test's own database; never on the host's.
    int rpmShell(const std::string& sArguments, std::string* pOutput = nullptr) const
    {
        return runShell("rpm --dbpath " + quote(m_sDbPath) + " " + sArguments + " 2>/dev/null",
                        pOutput);
    }

    // Builds a package with the package builder script; the arguments are its options.
    std::string build(const std::vector<std::string>& vArguments)
    {
        std::string sCommand =
            "/usr/bin/python3 " + quote(scriptPath("mkrpm.py")) + " --outdir " + quote(m_sRpmDir);
        for (const std::string& sArgument : vArguments)
            sCommand += " " + quote(sArgument);
        std::string sOutput;
        EXPECT_EQ(runShell(sCommand, &sOutput), 0) << sCommand;
        while (!sOutput.empty() && sOutput.back() == '\n')
            sOutput.pop_back();
        return sOutput;
    }

    void install(const std::vector<std::string>& vPackages)
    {
        std::string sArguments = "-i --nodeps --justdb --noscripts";
        for (const std::string& sPackage : vPackages)
            sArguments += " " + quote(sPackage);
        ASSERT_EQ(rpmShell(sArguments), 0) << sArguments;
    }

protected:
    // A throwaway signing key; returns the file of its public part.
    std::string makeKey(const std::string& sName)
    {
        const std::string sPublic = m_dir.file(sName + ".asc");
        const std::string sCommand = quote(scriptPath("gpgkey.sh")) + " " +
                                     quote(m_dir.file("gnupg")) + " " + sName + " " +
                                     quote(sPublic);
        EXPECT_EQ(runShell(sCommand), 0) << sCommand;
        return sPublic;
    }

    void sign(const std::string& sKey, const std::string& sPackage)
    {
        const std::string sCommand = quote(scriptPath("signrpm.sh")) + " " +
                                     quote(m_dir.file("gnupg")) + " " + sKey + " " +
                                     quote(sPackage) + " 2>/dev/null";
        ASSERT_EQ(runShell(sCommand), 0) << sCommand;
    }

    TempDir m_dir;
    std::string m_sDbPath;
    std::string m_sRpmDir;
};

// What rpm itself reports for a dependency tag of one installed package, without the entries
// the reader drops; computed from rpm's raw flags, independently of the reader.
DependencySet queryDependencies(const RpmDbTest& test, const std::string& sTag,
                                const std::string& sPackage)
{
    std::string sOutput;
    const std::string sFormat =
        "[%{" + sTag + "NAME}\\t%{" + sTag + "FLAGS}\\t%{" + sTag + "VERSION}\\n]";
    EXPECT_EQ(test.rpmShell("-q --qf " + quote(sFormat) + " " + quote(sPackage), &sOutput), 0);
    DependencySet setResult;
    std::istringstream in(sOutput);
    std::string sLine;
    while (std::getline(in, sLine))
    {
        const size_t nTab1 = sLine.find('\t');
        const size_t nTab2 = sLine.find('\t', nTab1 + 1);
        const std::string sName = sLine.substr(0, nTab1);
        const unsigned long uFlags = std::stoul(sLine.substr(nTab1 + 1, nTab2 - nTab1 - 1));
        const std::string sVersion = sLine.substr(nTab2 + 1);
        // rpmlib capabilities, legacy pre-requisites and scriptlet pre-requisites.
        if (uFlags & (0x1000000 | 0x40 | 0x200 | 0x400 | 0x800 | 0x1000) ||
            sName.starts_with("rpmlib("))
            continue;
        setResult.insert(Dependency(sName,
                                    sVersion.empty() ? Evr() : Evr(std::string_view(sVersion)),
                                    static_cast<int>(uFlags & 0xf)));
    }
    return setResult;
}

const Package* findPackage(const InstalledPackages& installed, const std::string& sName,
                           const std::string& sVersion)
{
    auto [first, last] = installed.equal_range(sName);
    for (auto it = first; it != last; ++it)
        if (it->m_Evr.m_sVersion == sVersion)
            return &*it;
    return nullptr;
}

TEST_F(RpmDbTest, ReadsInstalledPackagesAsRpmReportsThem)
{
    install({
        build({"--name",          "alpha",
               "--version",       "1.0",
               "--release",       "1",
               "--provides",      "libalpha = 1.0",
               "--provides",      "alpha-cap",
               "--requires",      "beta >= 2.0",
               "--requires",      "gamma",
               "--requires",      "delta < 3:1-2",
               "--requires",      "eps <= 4",
               "--requires",      "zeta > 1.1",
               "--requires",      "eta = 5-6",
               "--requires",      "(beta >= 2 or gamma)",
               "--requires",      "(zeta if eta else (beta with gamma))",
               "--requires-pre",  "/bin/sh",
               "--requires-pre",  "prething >= 1",
               "--requires-post", "postthing",
               "--file",          "/usr/share/alpha/data"}),
        build({"--name", "beta", "--version", "2.5", "--release", "3", "--epoch", "2", "--provides",
               "libbeta.so.1", "--no-auto"}),
        build({"--name", "multi", "--version", "1.0", "--release", "1", "--no-auto"}),
        build({"--name", "multi", "--version", "2.0", "--release", "1", "--no-auto"}),
    });
    ASSERT_EQ(rpmShell("--import " + quote(makeKey("alice"))), 0);
    ASSERT_EQ(rpmShell("--import " + quote(makeKey("bob"))), 0);

    LogCapture log;
    RpmDB db;
    ASSERT_TRUE(db.open(true));
    auto pInstalled = db.readInstalled();
    ASSERT_NE(pInstalled, nullptr);

    EXPECT_EQ(pInstalled->size(), 6u);
    EXPECT_EQ(pInstalled->count("gpg-pubkey"), 2u);
    EXPECT_EQ(pInstalled->count("multi"), 2u);

    // The entries a device maker would check by hand.
    const Package* pAlpha = findPackage(*pInstalled, "alpha", "1.0");
    ASSERT_NE(pAlpha, nullptr);
    EXPECT_EQ(pAlpha->m_Evr, Evr(0, "1.0", "1"));
    EXPECT_EQ(dependencyTexts(pAlpha->m_setRequires),
              (std::vector<std::string>{
                  "(beta >= 2 or gamma)", "(zeta if eta else (beta with gamma))", "beta >= 0:2.0",
                  "delta < 3:1-2", "eps <= 0:4", "eta = 0:5-6", "gamma", "zeta > 0:1.1"}));
    EXPECT_EQ(dependencyTexts(pAlpha->m_setProvides),
              (std::vector<std::string>{"alpha = 0:1.0-1", "alpha-cap", "libalpha = 0:1.0"}));
    EXPECT_TRUE(pAlpha->m_sGroup.empty());
    EXPECT_TRUE(pAlpha->m_setObsoletes.empty());

    const Package* pBeta = findPackage(*pInstalled, "beta", "2.5");
    ASSERT_NE(pBeta, nullptr);
    EXPECT_EQ(pBeta->m_Evr, Evr(2, "2.5", "3"));
    EXPECT_TRUE(pBeta->m_setRequires.empty());
    EXPECT_EQ(dependencyTexts(pBeta->m_setProvides),
              (std::vector<std::string>{"beta = 2:2.5-3", "libbeta.so.1"}));

    EXPECT_NE(findPackage(*pInstalled, "multi", "1.0"), nullptr);
    EXPECT_NE(findPackage(*pInstalled, "multi", "2.0"), nullptr);

    // Every installed record against rpm's own query.
    for (const Package& package : *pInstalled)
    {
        const std::string sQuery = package.m_sName.str() + "-" + package.m_Evr.m_sVersion.str() +
                                   "-" + package.m_Evr.m_sRelease.str();
        SCOPED_TRACE(sQuery);
        EXPECT_EQ(package.m_setRequires, queryDependencies(*this, "REQUIRE", sQuery));
        EXPECT_EQ(package.m_setProvides, queryDependencies(*this, "PROVIDE", sQuery));
    }

    EXPECT_TRUE(log.contains("DEBUG: opened rpm transaction (NOT checking headers)"));
    EXPECT_TRUE(log.contains("TRACE: beta 2.0 0xc => beta >= 0:2.0"));
    EXPECT_TRUE(log.contains("TRACE: gamma  0x0 => gamma"));
    EXPECT_FALSE(log.contains("prething"));
    EXPECT_FALSE(log.contains("postthing"));
    EXPECT_FALSE(log.contains("rpmlib("));
    EXPECT_FALSE(log.contains("ERROR"));
    db.close();
    EXPECT_FALSE(db.isOpen());
}

TEST_F(RpmDbTest, OpenIsRefusedTwiceAndReadsAnEmptyDatabase)
{
    LogCapture log;
    RpmDB db;
    ASSERT_TRUE(db.open(false));
    EXPECT_TRUE(log.contains("DEBUG: opened rpm transaction (checking headers)"));
    EXPECT_FALSE(db.open(true));
    EXPECT_TRUE(log.contains("ERROR: attempted to reopen an opened RpmDB"));
    EXPECT_TRUE(db.isOpen());

    auto pInstalled = db.readInstalled();
    ASSERT_NE(pInstalled, nullptr);
    EXPECT_TRUE(pInstalled->empty());
    // The transaction set is emptied after each call, so the next one starts clean.
    pInstalled = db.readInstalled();
    ASSERT_NE(pInstalled, nullptr);

    db.close();
    ASSERT_TRUE(db.open(true));
}

TEST_F(RpmDbTest, ReadsPackageIdentityAndWhatInstallingItReplaces)
{
    install({build({"--name", "a2", "--version", "1.0", "--no-auto"}),
             build({"--name", "compat", "--version", "1.0", "--no-auto"}),
             build({"--name", "compat", "--version", "3.0", "--release", "2", "--no-auto"}),
             build({"--name", "other", "--version", "1.0", "--no-auto"})});
    const std::string sNew = build({"--name", "a2", "--version", "2.0", "--epoch", "2",
                                    "--obsoletes", "compat < 2.0", "--no-auto"});
    std::string sSigMd5;
    ASSERT_EQ(rpmShell("-qp --nosignature --qf '%{SIGMD5}' " + quote(sNew), &sSigMd5), 0);

    RpmDB db;
    ASSERT_TRUE(db.open(false));
    PackageIdentity identity;
    std::vector<PackageIdentity> vReplaced;
    ASSERT_TRUE(db.readPackageFile(sNew, identity, vReplaced));
    EXPECT_EQ(identity.label(), "a2-2:2.0-1.noarch");
    EXPECT_EQ(identity.m_sSigMd5, sSigMd5);
    EXPECT_EQ(sSigMd5.size(), 32u);
    // The older version of its name and what its obsoletes match, nothing else.
    std::vector<std::string> vLabels;
    for (const PackageIdentity& replaced : vReplaced)
        vLabels.push_back(replaced.label());
    EXPECT_EQ(vLabels, (std::vector<std::string>{"a2-1.0-1.noarch", "compat-1.0-1.noarch"}));

    std::vector<PackageIdentity> vInstalled;
    ASSERT_TRUE(db.findInstalled("compat", vInstalled));
    ASSERT_EQ(vInstalled.size(), 2u);
    EXPECT_TRUE(vInstalled[0].sameNevra(vReplaced[1]) || vInstalled[1].sameNevra(vReplaced[1]));
    vInstalled.clear();
    ASSERT_TRUE(db.findInstalled("missing", vInstalled));
    EXPECT_TRUE(vInstalled.empty());

    LogCapture log;
    EXPECT_FALSE(db.readPackageFile(m_dir.file("absent.rpm"), identity, vReplaced));
    EXPECT_TRUE(log.contains("ERROR: failed opening 'absent.rpm'")) << log.text();
}

TEST_F(RpmDbTest, SeesRpmsTransactionLockHeldByAnotherProcess)
{
    int nErrno = -1;
    EXPECT_FALSE(RpmDB::transactionLockHeld(nErrno));
    EXPECT_EQ(nErrno, 0);

    char* pPath = rpmExpand("%{_rpmlock_path}", nullptr);
    const std::string sLock = pPath;
    free(pPath);
    ASSERT_EQ(sLock.rfind(m_sDbPath, 0), 0u) << sLock;
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t nChild = fork();
    ASSERT_GE(nChild, 0);
    if (nChild == 0)
    {
        // As rpm does for a transaction: a write lock on the whole file.
        const int nFd = open(sLock.c_str(), O_RDWR | O_CREAT, 0644);
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        const char cReady = nFd >= 0 && fcntl(nFd, F_SETLK, &lock) == 0 ? 'y' : 'n';
        (void)!write(pipeFds[1], &cReady, 1);
        pause();
        _exit(0);
    }
    char cReady = 0;
    ASSERT_EQ(read(pipeFds[0], &cReady, 1), 1);
    EXPECT_EQ(cReady, 'y');
    EXPECT_TRUE(RpmDB::transactionLockHeld(nErrno));
    EXPECT_EQ(nErrno, 0);
    kill(nChild, SIGKILL);
    waitpid(nChild, nullptr, 0);
    close(pipeFds[0]);
    close(pipeFds[1]);
    EXPECT_FALSE(RpmDB::transactionLockHeld(nErrno));
}

TEST_F(RpmDbTest, FindsPublicKeysOnlyAfterImport)
{
    install({build({"--name", "plain", "--version", "1", "--no-auto"})});
    const std::string sKey = makeKey("carol");
    {
        LogCapture log;
        RpmDB db;
        ASSERT_TRUE(db.open(true));
        EXPECT_FALSE(db.hasPublicKeys());
        EXPECT_TRUE(log.contains("TRACE: no public keys found in rpm db"));
    }
    ASSERT_EQ(rpmShell("--import " + quote(sKey)), 0);
    {
        LogCapture log;
        RpmDB db;
        ASSERT_TRUE(db.open(false));
        EXPECT_TRUE(db.hasPublicKeys());
        EXPECT_TRUE(db.hasPublicKeys());
        EXPECT_FALSE(log.contains("no public keys"));
    }
}

TEST_F(RpmDbTest, VerifiesPackageSignatures)
{
    const std::string sSigned = build({"--name", "signed", "--version", "1", "--no-auto"});
    const std::string sForeign = build({"--name", "foreign", "--version", "1", "--no-auto"});
    const std::string sUnsigned = build({"--name", "unsigned", "--version", "1", "--no-auto"});
    const std::string sTrusted = makeKey("trusted");
    makeKey("stranger");
    sign("trusted", sSigned);
    sign("stranger", sForeign);
    ASSERT_EQ(rpmShell("--import " + quote(sTrusted)), 0);

    // A signed copy with one byte of its header changed.
    const std::string sCorrupt = m_dir.file("corrupt-1-1.noarch.rpm");
    std::string sBytes = testing_support::readFile(sSigned);
    const size_t nSummary = sBytes.rfind("test package signed");
    ASSERT_NE(nSummary, std::string::npos);
    sBytes[nSummary] = 'T';
    testing_support::writeFile(sCorrupt, sBytes);
    // A signed copy cut short.
    const std::string sTruncated = m_dir.file("truncated-1-1.noarch.rpm");
    testing_support::writeFile(sTruncated, sBytes.substr(0, nSummary));
    // A file that is no package at all.
    const std::string sGarbage = m_dir.file("garbage.rpm");
    testing_support::writeFile(sGarbage, "this is not an rpm package\n");

    struct Row
    {
        std::string m_sPath;
        bool m_bResult;
        std::string m_sMessage;
    };
    const std::vector<Row> rows = {
        {sSigned, true, ""},
        {sForeign, false, "ERROR: failed verifying package 'foreign-1-1.noarch.rpm'"},
        {sUnsigned, false, "ERROR: no signature on package 'unsigned-1-1.noarch.rpm'"},
        {sCorrupt, false, "ERROR: failed verifying package 'corrupt-1-1.noarch.rpm'"},
        {sTruncated, false, "ERROR: failed verifying package 'truncated-1-1.noarch.rpm'"},
        {sGarbage, false, "ERROR: failed verifying package 'garbage.rpm'"},
        {m_dir.file("missing.rpm") + "/", false,
         "ERROR: failed opening 'missing.rpm' to check signature: No such file or directory"},
    };
    RpmDB db;
    ASSERT_TRUE(db.open(false));
    ASSERT_TRUE(db.hasPublicKeys());
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.m_sPath);
        LogCapture log;
        EXPECT_EQ(db.verifyPackage(row.m_sPath), row.m_bResult);
        if (row.m_sMessage.empty())
            EXPECT_FALSE(log.contains("ERROR")) << log.text();
        else
            EXPECT_TRUE(log.contains(row.m_sMessage)) << log.text();
    }
    // A failure leaves the transaction set usable for the next package.
    EXPECT_TRUE(db.verifyPackage(sSigned));
}

// Detached signatures of repository files, as "gpg --detach-sign --armor" writes them,
// against the keys of the database.
TEST_F(RpmDbTest, VerifiesDetachedSignatures)
{
    const std::string sData = m_dir.file("repomd.xml");
    testing_support::writeFile(sData, "<repomd>index</repomd>\n");
    const std::string sTrusted = makeKey("trusted");
    makeKey("stranger");
    const std::string sGpg =
        "GNUPGHOME=" + quote(m_dir.file("gnupg")) + " gpg --batch --quiet --yes ";
    auto detachSign =
        [&](const std::string& sKey, const std::string& sOptions, const std::string& sOut)
    {
        ASSERT_EQ(runShell(sGpg + "--local-user " + sKey + " " + sOptions +
                           " --detach-sign --armor --output " + quote(sOut) + " " + quote(sData) +
                           " 2>/dev/null"),
                  0);
    };
    const std::string sGood = m_dir.file("good.asc"), sStranger = m_dir.file("stranger.asc");
    const std::string sText = m_dir.file("text.asc"), sSha1 = m_dir.file("sha1.asc");
    detachSign("trusted", "", sGood);
    detachSign("stranger", "", sStranger);
    detachSign("trusted", "--textmode", sText);
    detachSign("trusted", "--digest-algo SHA512", sSha1);
    const std::string sGarbage = m_dir.file("garbage.asc");
    testing_support::writeFile(
        sGarbage, "-----BEGIN PGP SIGNATURE-----\n\nAAAA\n-----END PGP SIGNATURE-----\n");
    const std::string sKeyBlock = m_dir.file("key.asc");
    ASSERT_EQ(runShell("cp " + quote(sTrusted) + " " + quote(sKeyBlock)), 0);
    const std::string sEdited = m_dir.file("edited.xml");
    testing_support::writeFile(sEdited, "<repomd>index</repomd> \n");

    {
        LogCapture log;
        EXPECT_FALSE(verifyDetachedSignature(sData, sGood, "repomd.xml"));
        EXPECT_EQ(log.text(),
                  "ERROR: no public key in rpm database to verify the signature of 'repomd.xml'\n");
    }
    ASSERT_EQ(rpmShell("--import " + quote(sTrusted)), 0);

    struct Row
    {
        std::string m_sData;
        std::string m_sSignature;
        bool m_bResult;
        std::string m_sMessage;
    };
    const std::vector<Row> rows = {
        {sData, sGood, true, "INFO: good signature of 'repomd.xml' by key "},
        {sData, sSha1, true, "INFO: good signature of 'repomd.xml' by key "},
        {sEdited, sGood, false, "ERROR: BAD signature of 'repomd.xml' (key "},
        {sData, sStranger, false, "which is not in the rpm database"},
        {sData, sText, false,
         "ERROR: invalid signature of 'repomd.xml' (not a signature of a binary document)"},
        {sData, sGarbage, false, "ERROR: invalid signature of 'repomd.xml' ("},
        {sData, sKeyBlock, false,
         "ERROR: invalid signature of 'repomd.xml' (not an ASCII-armoured signature)"},
        {sData, sData, false,
         "ERROR: invalid signature of 'repomd.xml' (not an ASCII-armoured signature)"},
        {sData, m_dir.file("missing.asc"), false,
         "ERROR: cannot read signature '" + m_dir.file("missing.asc") +
             "' (No such file or directory)"},
        {m_dir.file("missing.xml"), sGood, false,
         "ERROR: cannot read '" + m_dir.file("missing.xml") +
             "' to check its signature (No such file or directory)"},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.m_sData + " " + row.m_sSignature);
        LogCapture log;
        EXPECT_EQ(verifyDetachedSignature(row.m_sData, row.m_sSignature, "repomd.xml"),
                  row.m_bResult);
        EXPECT_TRUE(log.contains(row.m_sMessage)) << log.text();
        if (row.m_bResult)
        {
            EXPECT_FALSE(log.contains("ERROR")) << log.text();
        }
    }

    // The key ID named is the signing key's, as gpg lists it.
    std::string sListing;
    ASSERT_EQ(runShell(sGpg + "--with-colons --list-keys stranger", &sListing), 0);
    const size_t nPub = sListing.find("pub:");
    ASSERT_NE(nPub, std::string::npos);
    std::string sKeyId = sListing.substr(nPub).substr(0, sListing.substr(nPub).find('\n'));
    for (int i = 0; i < 4; ++i)
        sKeyId = sKeyId.substr(sKeyId.find(':') + 1);
    sKeyId = sKeyId.substr(0, sKeyId.find(':'));
    for (char& c : sKeyId)
        c = static_cast<char>(tolower(c));
    LogCapture log;
    EXPECT_FALSE(verifyDetachedSignature(sData, sStranger, "repomd.xml"));
    EXPECT_TRUE(log.contains("ERROR: 'repomd.xml' is signed by key " + sKeyId +
                             ", which is not in the rpm database"))
        << log.text() << sKeyId;
}

} // namespace
