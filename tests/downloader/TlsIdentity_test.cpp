#include "downloader/TlsIdentity.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

namespace
{

using testing_support::LogCapture;
using testing_support::runShell;
using testing_support::TempDir;

// The certificates of tests/support/tls/mkcerts.py, made once for all tests.
class Certificates : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_pDir = new TempDir;
        ASSERT_EQ(runShell("/usr/bin/python3 " + testing_support::sourceDir() +
                           "/tests/support/tls/mkcerts.py " + s_pDir->path()),
                  0);
    }
    static void TearDownTestSuite()
    {
        delete s_pDir;
        s_pDir = nullptr;
    }
    static std::string file(const std::string& sName) { return s_pDir->file(sName); }

    static TempDir* s_pDir;
};
TempDir* Certificates::s_pDir = nullptr;

TEST_F(Certificates, UsableSettingsLoad)
{
    struct Row
    {
        TlsConfig config;
        bool bSystemCa;
        std::size_t nCas;
        bool bClientCert;
    };
    const Row rows[] = {
        {{file("ca.pem"), false, "", ""}, false, 1, false},
        {{file("bundle.pem"), true, "", ""}, true, 2, false},
        {{"", false, file("client.pem"), file("client.key")}, true, 0, true},
        {{file("ca.pem"), false, file("client.pem"), file("client.key")}, false, 1, true},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.config.m_sCaFile + " " + row.config.m_sCertFile);
        LogCapture log;
        TlsIdentity identity;
        ASSERT_TRUE(identity.load(row.config)) << log.text();
        EXPECT_EQ(identity.trustsSystemCa(), row.bSystemCa);
        EXPECT_EQ(identity.caCount(), row.nCas);
        EXPECT_EQ(identity.hasClientCert(), row.bClientCert);
        EXPECT_FALSE(log.contains("ERROR")) << log.text();
    }
}

// Every unusable file is refused with a message that names it; nothing falls back to a
// connection without the client certificate.
TEST_F(Certificates, UnusableFilesAreRefused)
{
    const std::string sOpenKey = file("open.key");
    ASSERT_EQ(runShell("cp " + file("client.key") + " " + sOpenKey + " && chmod 0644 " + sOpenKey),
              0);
    const std::string sGroupKey = file("group.key");
    ASSERT_EQ(
        runShell("cp " + file("client.key") + " " + sGroupKey + " && chmod 0640 " + sGroupKey), 0);
    const std::string sNotPem = file("not.pem");
    testing_support::writeFile(sNotPem, "just text\n");
    ASSERT_EQ(chmod(sNotPem.c_str(), 0600), 0);

    struct Row
    {
        TlsConfig config;
        std::string sMessage;
    };
    const Row rows[] = {
        {{file("missing.pem"), false, "", ""},
         "ERROR: cannot read certificate authority file '" + file("missing.pem") +
             "' (No such file or directory)"},
        {{sNotPem, false, "", ""},
         "ERROR: no usable certificate in certificate authority file '" + sNotPem + "'"},
        {{"", false, file("missing.pem"), file("client.key")},
         "ERROR: cannot read client certificate '" + file("missing.pem") +
             "' (No such file or directory)"},
        {{"", false, file("client.pem"), file("missing.key")},
         "ERROR: cannot read client key '" + file("missing.key") + "' (No such file or directory)"},
        {{"", false, file("client.pem"), sOpenKey},
         "ERROR: client key '" + sOpenKey +
             "' is readable by group or others (mode 0644); refusing to use it"},
        {{"", false, file("client.pem"), sGroupKey},
         "ERROR: client key '" + sGroupKey +
             "' is readable by group or others (mode 0640); refusing to use it"},
        {{"", false, file("client.pem"), file("stranger.key")},
         "ERROR: client key '" + file("stranger.key") +
             "' does not belong to client certificate '" + file("client.pem") + "'"},
        {{"", false, file("expired.pem"), file("expired.key")},
         "ERROR: client certificate '" + file("expired.pem") + "' expired on "},
        {{"", false, sNotPem, file("client.key")},
         "ERROR: no PEM certificate in client certificate '" + sNotPem + "'"},
        {{"", false, file("client.pem"), sNotPem},
         "ERROR: no unencrypted PEM private key in client key '" + sNotPem + "'"},
        {{"", false, file("client.pem"), s_pDir->path()},
         "ERROR: client key '" + s_pDir->path() + "' is not a regular file"},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.sMessage);
        LogCapture log;
        TlsIdentity identity;
        EXPECT_FALSE(identity.load(row.config));
        EXPECT_TRUE(log.contains(row.sMessage)) << log.text();
        EXPECT_FALSE(identity.hasClientCert());
    }
}

} // namespace
