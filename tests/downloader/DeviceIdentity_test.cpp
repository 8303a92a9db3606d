#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "TestServers.h"
#include "downloader/DeviceIdentity.h"

using namespace net_test;
using testing_support::LogCapture;
using testing_support::writeFile;

namespace
{

class IdentityTest : public NetworkTest
{
protected:
    // A 21-byte record whose last five bytes are the revision mark.
    std::string record(char cFill, const std::string& sMark)
    {
        return std::string(16, cFill) + sMark;
    }
};

TEST_F(IdentityTest, ReadsSerialRevisionAndHardware)
{
    writeFile(networkPaths().m_sCpuInfo,
              "processor\t: 0\nHardware\t: Kelmir\nRevision\t: 0212abcdEXTRA\n"
              "Serial\t\t: " +
                  std::string(70, 'S') + "\n");
    readDeviceIdentity();
    EXPECT_EQ(deviceIdentity().m_sSerial, std::string(63, 'S'));
    EXPECT_EQ(deviceIdentity().m_sRevision, "0212abcd");
    EXPECT_EQ(deviceIdentity().m_nModel, HW_MODEL_KELMIR);
}

TEST_F(IdentityTest, MissingAndMalformedValues)
{
    writeFile(networkPaths().m_sCpuInfo, "Serial\t:\nHardware\t: Other\n");
    LogCapture log;
    readDeviceIdentity();
    EXPECT_TRUE(
        log.contains("DEBUG: malformed Serial line in '" + networkPaths().m_sCpuInfo + "'"));
    EXPECT_TRUE(log.contains("WARNING: unknown hardware 'Other'"));
    EXPECT_TRUE(log.contains("ERROR: no Serial in '"));
    EXPECT_TRUE(log.contains("ERROR: no Revision in '"));
    EXPECT_EQ(deviceIdentity().m_nModel, HW_MODEL_UNKNOWN);

    networkPaths().m_sCpuInfo = m_device.file("absent");
    readDeviceIdentity();
    EXPECT_TRUE(log.contains("ERROR: failed opening '" + networkPaths().m_sCpuInfo +
                             "' for initialization: '"));
    EXPECT_TRUE(deviceIdentity().m_sSerial.empty());
}

TEST_F(IdentityTest, PasswordNeedsOneRecordOnKelmirAndTwoOtherwise)
{
    writeFile(networkPaths().m_vEepromFiles[1], record('b', "02.12"));
    writeFile(networkPaths().m_vEepromFiles[2], record('c', "02.12"));
    writeFile(networkPaths().m_vEepromFiles[0], "short");

    writeFile(networkPaths().m_sCpuInfo, "Hardware\t: Kelmir\nRevision\t: 0212\n");
    readDeviceIdentity();
    const std::string sKelmir = defaultPassword();
    ASSERT_EQ(sKelmir.size(), 12u);
    for (char c : sKelmir)
        EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') << c;

    // MD5 of the one record "bbbbbbbbbbbbbbbb02.12", low six bits of the first 12 bytes.
    std::string sOut;
    testing_support::runShell("printf 'bbbbbbbbbbbbbbbb02.12' | md5sum | cut -c1-24", &sOut);
    const char* pAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string sExpected;
    for (int i = 0; i < 12; ++i)
        sExpected +=
            pAlphabet[std::stoi(sOut.substr(static_cast<std::size_t>(i) * 2, 2), nullptr, 16) &
                      0x3f];
    EXPECT_EQ(sKelmir, sExpected);

    writeFile(networkPaths().m_sCpuInfo, "Hardware\t: Vantor\nRevision\t: 0212\n");
    readDeviceIdentity();
    const std::string sVantor = defaultPassword();
    EXPECT_EQ(sVantor.size(), 12u);
    EXPECT_NE(sVantor, sKelmir);

    LogCapture log;
    ::unlink(networkPaths().m_vEepromFiles[2].c_str());
    EXPECT_EQ(defaultPassword(), "");
    EXPECT_TRUE(
        log.contains("DEBUG: failed reading data from '" + networkPaths().m_vEepromFiles[0] + "'"));
    EXPECT_TRUE(log.contains("DEBUG: failed opening secret data file '" +
                             networkPaths().m_vEepromFiles[2] + "': "));
    EXPECT_TRUE(log.contains("DEBUG: failed reading secret data"));
}

TEST_F(IdentityTest, BadCoreEepromOfRevision212IsCorrected)
{
    writeFile(networkPaths().m_sCpuInfo, "Hardware\t: Vantor\nRevision\t: 0212\n");
    readDeviceIdentity();
    writeFile(networkPaths().m_vEepromFiles[0], record('a', "02.12"));
    writeFile(networkPaths().m_vEepromFiles[1], record('b', "02.12"));
    const std::string sGood = defaultPassword();

    writeFile(networkPaths().m_vEepromFiles[0], record('a', "02.00"));
    LogCapture log;
    EXPECT_EQ(defaultPassword(), sGood);
    EXPECT_TRUE(log.contains("TRACE: bad core EEPROM data, using workaround for HW rev 2.12"));
}

TEST_F(IdentityTest, DefaultCredentialsNeedRevisionAndPassword)
{
    writeFile(networkPaths().m_vEepromFiles[0], record('a', "02.12"));
    writeFile(networkPaths().m_sCpuInfo, "Hardware\t: Kelmir\nSerial\t: 42\n");
    {
        LogCapture log;
        initialize();
        EXPECT_TRUE(log.contains("ERROR: cannot recover default user name for authentication"));
        EXPECT_TRUE(log.contains("WARNING: cannot recover default authentication credentials"));
        EXPECT_TRUE(defaultCredentials().entries().empty());
    }
    URLFetcher::resetForTests();
    writeFile(networkPaths().m_sCpuInfo, "Hardware\t: Kelmir\nSerial\t: 42\nRevision\t: 0212\n");
    LogCapture log;
    initialize();
    ASSERT_EQ(defaultCredentials().entries().size(), 1u);
    const NetworkCredential& entry = defaultCredentials().entries()[0];
    EXPECT_EQ(entry.m_sUserName, "product-0212");
    EXPECT_EQ(entry.m_sPath, "/");
    EXPECT_EQ(entry.m_sRealm, "");
    EXPECT_EQ(entry.m_sPassword.size(), 12u);
    EXPECT_FALSE(log.contains(entry.m_sPassword));
    defaultCredentials().rewind();
    EXPECT_NE(defaultCredentials().findNext("any realm", "/deep/path/file.rpm"), nullptr);
    EXPECT_EQ(URLFetcher::userAgent(), "base/1.4.0 (product-42)");
}

TEST_F(IdentityTest, UserAgentWithoutSerial)
{
    writeFile(networkPaths().m_sCpuInfo, "Revision\t: 0212\n");
    NetworkConfig config;
    URLFetcher::initialize(config);
    EXPECT_EQ(URLFetcher::userAgent(), "/1.4.0");
}

} // namespace
