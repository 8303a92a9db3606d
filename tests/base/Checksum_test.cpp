#include "base/Checksum.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>
#include <zlib.h>

namespace
{

using testing_support::LogCapture;
using testing_support::runShell;
using testing_support::TempDir;
using testing_support::writeFile;

std::string sha1Of(const std::string& sData)
{
    Sha1 sha;
    sha.update(sData.data(), sData.size());
    unsigned char digest[SHA1_DIGEST_SIZE];
    sha.finish(digest);
    return hexEncode(digest, sizeof digest);
}

TEST(Sha1, PublishedVectors)
{
    EXPECT_EQ(sha1Of(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(sha1Of("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(sha1Of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(sha1Of(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Sha1, PiecewiseUpdatesEqualOneUpdate)
{
    const std::string sData(300, 'q');
    for (size_t nSplit : std::initializer_list<size_t>{0, 1, 55, 63, 64, 65, 128, 299})
    {
        Sha1 sha;
        sha.update(sData.data(), nSplit);
        sha.update(sData.data() + nSplit, sData.size() - nSplit);
        unsigned char digest[SHA1_DIGEST_SIZE];
        sha.finish(digest);
        EXPECT_EQ(hexEncode(digest, sizeof digest), sha1Of(sData)) << nSplit;
    }
}

TEST(HexEncode, LowercaseNibbles)
{
    const unsigned char bytes[] = {0x00, 0x0f, 0xa5, 0xff};
    EXPECT_EQ(hexEncode(bytes, 4), "000fa5ff");
    EXPECT_EQ(hexEncode(bytes, 0), "");
}

// Files at the padding and buffer boundaries, checked against sha1sum.
TEST(Checksum, FilesMatchSha1sum)
{
    TempDir dir;
    for (size_t nSize :
         std::initializer_list<size_t>{0, 1, 55, 56, 63, 64, 65, 1023, 1024, 1025, 2048, 100000})
    {
        SCOPED_TRACE(nSize);
        std::string sData(nSize, '\0');
        for (size_t i = 0; i < nSize; ++i)
            sData[i] = static_cast<char>((i * 131 + 7) & 0xff);
        const std::string sPath = dir.file("f" + std::to_string(nSize));
        writeFile(sPath, sData);
        std::string sOut;
        ASSERT_EQ(runShell("sha1sum " + sPath, &sOut), 0);
        Checksum checksum{sOut.substr(0, 40), "sha"};
        EXPECT_TRUE(checksum.verify(sPath));
        EXPECT_TRUE(checksum.verifyUncompressed(sPath));
    }
}

TEST(Checksum, GzipContentIsCheckedAfterDecompression)
{
    TempDir dir;
    const std::string sContent(5000, 'z');
    const std::string sPlain = dir.file("plain"), sGz = dir.file("plain.gz");
    writeFile(sPlain, sContent);
    ASSERT_EQ(runShell("gzip -c " + sPlain + " > " + sGz), 0);

    Checksum content{sha1Of(sContent), "sha"};
    EXPECT_TRUE(content.verifyUncompressed(sGz));
    EXPECT_FALSE(content.verify(sGz));

    std::string sOut;
    ASSERT_EQ(runShell("sha1sum " + sGz, &sOut), 0);
    Checksum stored{sOut.substr(0, 40), "sha"};
    EXPECT_TRUE(stored.verify(sGz));
    EXPECT_FALSE(stored.verifyUncompressed(sGz));
}

TEST(Checksum, FailuresAreReportedAndNeverPass)
{
    TempDir dir;
    const std::string sPath = dir.file("data");
    writeFile(sPath, "abc");
    const std::string sDigest = "a9993e364706816aba3e25717850c26c9cd0d89d";

    {
        LogCapture log;
        EXPECT_FALSE((Checksum{"", "sha"}).verify(dir.file("missing")));
        EXPECT_EQ(log.text(), "ERROR: attempted to check an empty checksum\n");
    }
    for (const char* pType : {"SHA", "sha1", "sha256", "md5", ""})
    {
        LogCapture log;
        EXPECT_FALSE((Checksum{sDigest, pType}).verify(sPath));
        EXPECT_EQ(log.text(), std::string("ERROR: unsupported checksum type '") + pType + "'\n");
    }
    {
        LogCapture log;
        std::string sUpper = sDigest;
        for (char& c : sUpper)
            c = static_cast<char>(toupper(c));
        EXPECT_FALSE((Checksum{sUpper, "sha"}).verify(sPath));
        EXPECT_FALSE((Checksum{" " + sDigest, "sha"}).verify(sPath));
        EXPECT_TRUE(log.contains("DEBUG: 'sha' checksum of '" + sPath + "' (" + sDigest +
                                 ") FAILS against " + sUpper));
    }
    {
        LogCapture log;
        EXPECT_TRUE((Checksum{sDigest, "sha"}).verify(sPath));
        EXPECT_EQ(log.text(), "DEBUG: 'sha' checksum of '" + sPath + "' (" + sDigest +
                                  ") checks against " + sDigest + "\n");
    }
    {
        LogCapture log;
        const std::string sMissing = dir.file("missing");
        EXPECT_FALSE((Checksum{sDigest, "sha"}).verify(sMissing));
        EXPECT_FALSE((Checksum{sDigest, "sha"}).verifyUncompressed(sMissing));
        const std::string sExpected = "ERROR: failed opening '" + sMissing +
                                      "' for checksumming (No such file or directory)\n"
                                      "ERROR: failed while reading from '" +
                                      sMissing + "'\n";
        EXPECT_EQ(log.text(), sExpected + sExpected);
    }
    {
        // A directory opens but cannot be read.
        LogCapture log;
        EXPECT_FALSE((Checksum{sDigest, "sha"}).verify(dir.path()));
        EXPECT_TRUE(log.contains("ERROR: failed while reading from '" + dir.path() + "'"));
    }
}

TEST(Checksum, CutGzipStreamFails)
{
    TempDir dir;
    const std::string sPlain = dir.file("p"), sGz = dir.file("p.gz"), sCut = dir.file("cut.gz");
    std::string sContent(20000, '\0');
    for (size_t i = 0; i < sContent.size(); ++i)
        sContent[i] = static_cast<char>((i * 2654435761u) >> 13);
    writeFile(sPlain, sContent);
    ASSERT_EQ(runShell("gzip -c " + sPlain + " > " + sGz), 0);
    const std::string sBytes = testing_support::readFile(sGz);
    writeFile(sCut, sBytes.substr(0, sBytes.size() / 2));
    // zlib reads a cut stream as a shorter one; the digest of the part cannot match.
    LogCapture log;
    EXPECT_FALSE((Checksum{sha1Of(sContent), "sha"}).verifyUncompressed(sCut));
    EXPECT_TRUE(log.contains("FAILS against"));

    // A damaged CRC in the trailer is a read error.
    std::string sBadCrc = sBytes;
    sBadCrc[sBadCrc.size() - 8] ^= 0x01;
    const std::string sCrc = dir.file("crc.gz");
    writeFile(sCrc, sBadCrc);
    log.clear();
    EXPECT_FALSE((Checksum{sha1Of(sContent), "sha"}).verifyUncompressed(sCrc));
    EXPECT_EQ(log.text(), "ERROR: failed while reading from '" + sCrc + "'\n");
}

// Sets the accepted checksum types for one test and restores the built-in "sha" after it.
class AcceptedTypes
{
public:
    explicit AcceptedTypes(const std::vector<std::string>& vTypes)
    {
        Checksum::setAcceptedTypes(vTypes);
    }
    ~AcceptedTypes() { Checksum::setAcceptedTypes({"sha"}); }
    AcceptedTypes(const AcceptedTypes&) = delete;
    AcceptedTypes& operator=(const AcceptedTypes&) = delete;
};

// Every accepted type against the coreutils tool of its digest, as stored and after gzip,
// at the block boundaries of the file reader.
TEST(Checksum, AcceptedTypesMatchCoreutils)
{
    AcceptedTypes accepted({"sha", "sha1", "sha224", "sha256", "sha384", "sha512"});
    const std::pair<const char*, const char*> types[] = {
        {"sha", "sha1sum"},      {"sha1", "sha1sum"},     {"sha224", "sha224sum"},
        {"sha256", "sha256sum"}, {"sha384", "sha384sum"}, {"sha512", "sha512sum"},
    };
    TempDir dir;
    for (size_t nSize : std::initializer_list<size_t>{0, 1, 1023, 1024, 1025, 70000})
    {
        std::string sData(nSize, '\0');
        for (size_t i = 0; i < nSize; ++i)
            sData[i] = static_cast<char>((i * 131 + 7) & 0xff);
        const std::string sPath = dir.file("f" + std::to_string(nSize)), sGz = sPath + ".gz";
        writeFile(sPath, sData);
        ASSERT_EQ(runShell("gzip -c " + sPath + " > " + sGz), 0);
        for (const auto& [pType, pTool] : types)
        {
            SCOPED_TRACE(std::string(pType) + " " + std::to_string(nSize));
            std::string sOut;
            ASSERT_EQ(runShell(std::string(pTool) + " " + sPath, &sOut), 0);
            const std::string sDigest = sOut.substr(0, sOut.find(' '));
            LogCapture log;
            EXPECT_TRUE((Checksum{sDigest, pType}).verify(sPath)) << log.text();
            EXPECT_TRUE((Checksum{sDigest, pType}).verifyUncompressed(sGz)) << log.text();
            EXPECT_FALSE((Checksum{sDigest, pType}).verify(sGz));
            EXPECT_TRUE(log.contains(std::string("DEBUG: '") + pType + "' checksum of '" + sPath +
                                     "' (" + sDigest + ") checks against " + sDigest));
        }
    }
}

TEST(Checksum, OnlyAcceptedTypesAreVerified)
{
    TempDir dir;
    const std::string sPath = dir.file("data");
    writeFile(sPath, "abc");
    const std::string sSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    {
        AcceptedTypes accepted({"sha256"});
        LogCapture log;
        EXPECT_TRUE((Checksum{sSha256, "sha256"}).verify(sPath));
        // "sha" is a type like the others once the list is configured.
        EXPECT_FALSE((Checksum{"a9993e364706816aba3e25717850c26c9cd0d89d", "sha"}).verify(sPath));
        EXPECT_FALSE((Checksum{sSha256, "SHA256"}).verify(sPath));
        EXPECT_TRUE(log.contains("ERROR: unsupported checksum type 'sha'"));
        EXPECT_TRUE(log.contains("ERROR: unsupported checksum type 'SHA256'"));
        // A wrong digest of an accepted type fails like a wrong SHA-1.
        std::string sWrong = sSha256;
        sWrong[0] = 'c';
        EXPECT_FALSE((Checksum{sWrong, "sha256"}).verify(sPath));
        EXPECT_TRUE(log.contains("(" + sSha256 + ") FAILS against " + sWrong));
        log.clear();
        EXPECT_FALSE((Checksum{sSha256, "sha256"}).verify(dir.file("missing")));
        EXPECT_TRUE(log.contains("ERROR: failed while reading from '" + dir.file("missing") + "'"));
    }
    LogCapture log;
    EXPECT_FALSE((Checksum{sSha256, "sha256"}).verify(sPath));
    EXPECT_EQ(log.text(), "ERROR: unsupported checksum type 'sha256'\n");
    for (const char* pType : {"sha", "sha1", "sha224", "sha256", "sha384", "sha512"})
        EXPECT_TRUE(Checksum::isKnownType(pType)) << pType;
    for (const char* pType : {"SHA", "md5", "sha-256", "sha3-256", ""})
        EXPECT_FALSE(Checksum::isKnownType(pType)) << pType;
}

TEST(Checksum, DecompressionStopsAtTheBound)
{
    // A gzip file of a few hundred kilobytes that inflates to one byte over the bound.
    TempDir dir;
    const std::string sBomb = dir.file("bomb.gz");
    gzFile pFile = gzopen(sBomb.c_str(), "wb9");
    ASSERT_NE(pFile, nullptr);
    const std::string sBlock(1 << 20, '\0');
    for (uint64_t u = 0; u < MAX_UNCOMPRESSED_SIZE / sBlock.size(); ++u)
        ASSERT_EQ(gzwrite(pFile, sBlock.data(), static_cast<unsigned>(sBlock.size())),
                  static_cast<int>(sBlock.size()));
    ASSERT_EQ(gzwrite(pFile, "x", 1), 1);
    ASSERT_EQ(gzclose(pFile), Z_OK);

    LogCapture log;
    EXPECT_FALSE((Checksum{std::string(40, '0'), "sha"}).verifyUncompressed(sBomb));
    EXPECT_TRUE(log.contains("ERROR: uncompressed content of '" + sBomb +
                             "' is larger than 268435456 bytes"))
        << log.text();
    EXPECT_TRUE(log.contains("ERROR: failed while reading from '" + sBomb + "'"));
}

} // namespace
