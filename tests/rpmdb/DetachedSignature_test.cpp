#include "rpmdb/DetachedSignature.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>

// The armour reader on variants of a real signature (the fuzz seeds); no key needed.
TEST(DetachedSignatureTest, ArmourVariantsTable)
{
    const std::string sDir = testing_support::sourceDir() + "/fuzz/corpus/signature/";
    const std::string sGood = testing_support::readFile(sDir + "binary-rsa.asc");
    const std::string sText = testing_support::readFile(sDir + "text-sha512.asc");
    const std::string sCrlf = testing_support::readFile(sDir + "crlf.asc");
    ASSERT_FALSE(sGood.empty());
    const size_t nCrc = sGood.find("\n=");
    ASSERT_NE(nCrc, std::string::npos);
    std::string sBadCrc = sGood;
    sBadCrc[nCrc + 2] = sBadCrc[nCrc + 2] == 'A' ? 'B' : 'A';
    std::string sNoCrc = sGood;
    sNoCrc.erase(nCrc + 1, sGood.find('\n', nCrc + 1) - nCrc);
    const size_t nBody = sGood.find("\n\n") + 2;
    std::string sBadBase64 = sGood;
    sBadBase64[nBody + 3] = '*';
    const std::string sNoHeaders =
        sGood.substr(0, sGood.find('\n') + 1) + "\n" + sGood.substr(nBody);
    const std::string sTwice = sGood + sGood;
    const std::string sNoEnd = sGood.substr(0, sGood.find("-----END"));
    const std::string sKey =
        "-----BEGIN PGP PUBLIC KEY BLOCK-----\n\nmQENBF\n-----END PGP PUBLIC KEY BLOCK-----\n";

    struct Row
    {
        const char* pName;
        std::string sInput;
        const char* pError;
    };
    const Row rows[] = {
        {"good", sGood, ""},
        {"CRLF line ends", sCrlf, ""},
        {"without CRC line", sNoCrc, ""},
        {"without armour headers", sNoHeaders, ""},
        {"text before the armour", "signed index\n" + sGood, ""},
        {"text mode", sText, "not a signature of a binary document"},
        {"bad CRC", sBadCrc, "damaged ASCII armour (CRC mismatch)"},
        {"bad base64", sBadBase64, "damaged ASCII armour (bad base64)"},
        {"two blocks", sTwice, "text after the signature"},
        {"no end line", sNoEnd, "damaged ASCII armour (no end line)"},
        {"public key block", sKey, "not an ASCII-armoured signature"},
        {"empty", "", "not an ASCII-armoured signature"},
        {"zero byte", std::string("\0", 1) + sGood, "not an ASCII-armoured signature"},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.pName);
        DetachedSignature signature;
        std::string sError;
        EXPECT_EQ(signature.parse(row.sInput, sError), *row.pError == '\0');
        EXPECT_EQ(sError, row.pError);
        EXPECT_EQ(signature.keyId().size(), *row.pError == '\0' ? 16u : 0u);
    }
}
