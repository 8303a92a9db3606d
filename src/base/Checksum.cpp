#include "base/Checksum.h"

#include "base/Logger.h"
#include "base/UniqueFile.h"

#include <rpm/rpmcrypto.h>
#include <rpm/rpmpgp.h>

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/types.h>
#include <zlib.h>

// Package files may be larger than 2 GiB: a 32-bit target must be built with a 64-bit
// off_t (-D_FILE_OFFSET_BITS=64), or they cannot be opened for verification.
static_assert(sizeof(off_t) == 8, "build with -D_FILE_OFFSET_BITS=64");

namespace
{

constexpr std::size_t READ_BUFFER_SIZE = 1024;

inline uint32_t rotateLeft(uint32_t uValue, int nBits)
{
    return (uValue << nBits) | (uValue >> (32 - nBits));
}

struct GzCloser
{
    void operator()(gzFile_s* pFile) const { gzclose(pFile); }
};

} // namespace

void Sha1::reset()
{
    m_uState[0] = 0x67452301;
    m_uState[1] = 0xEFCDAB89;
    m_uState[2] = 0x98BADCFE;
    m_uState[3] = 0x10325476;
    m_uState[4] = 0xC3D2E1F0;
    m_uCountLow = 0;
    m_uCountHigh = 0;
    memset(m_Buffer, 0, sizeof m_Buffer);
}

void Sha1::clear()
{
    // Volatile stores, so that clearing the context is not optimised away.
    volatile unsigned char* p = reinterpret_cast<volatile unsigned char*>(this);
    for (std::size_t i = 0; i < sizeof(*this); ++i)
        p[i] = 0;
}

void Sha1::transform(const unsigned char block[64])
{
    // The message schedule is kept as a ring of 16 words, and the five working variables
    // rotate their roles instead of being moved: each step below is one round with the
    // names shifted by one.
    uint32_t w[16];
    for (int i = 0; i < 16; ++i)
        w[i] = (uint32_t(block[4 * i]) << 24) | (uint32_t(block[4 * i + 1]) << 16) |
               (uint32_t(block[4 * i + 2]) << 8) | uint32_t(block[4 * i + 3]);
    auto word = [&w](int i) -> uint32_t
    {
        if (i < 16)
            return w[i];
        const uint32_t uWord =
            rotateLeft(w[(i + 13) & 15] ^ w[(i + 8) & 15] ^ w[(i + 2) & 15] ^ w[i & 15], 1);
        w[i & 15] = uWord;
        return uWord;
    };
    auto choose = [](uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); };
    auto parity = [](uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; };
    auto majority = [](uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (z & (x | y)); };

    uint32_t a = m_uState[0], b = m_uState[1], c = m_uState[2], d = m_uState[3], e = m_uState[4];
    auto five = [&](auto function, uint32_t k, int i)
    {
        e += rotateLeft(a, 5) + function(b, c, d) + k + word(i);
        b = rotateLeft(b, 30);
        d += rotateLeft(e, 5) + function(a, b, c) + k + word(i + 1);
        a = rotateLeft(a, 30);
        c += rotateLeft(d, 5) + function(e, a, b) + k + word(i + 2);
        e = rotateLeft(e, 30);
        b += rotateLeft(c, 5) + function(d, e, a) + k + word(i + 3);
        d = rotateLeft(d, 30);
        a += rotateLeft(b, 5) + function(c, d, e) + k + word(i + 4);
        c = rotateLeft(c, 30);
    };
    for (int i = 0; i < 20; i += 5)
        five(choose, 0x5A827999, i);
    for (int i = 20; i < 40; i += 5)
        five(parity, 0x6ED9EBA1, i);
    for (int i = 40; i < 60; i += 5)
        five(majority, 0x8F1BBCDC, i);
    for (int i = 60; i < 80; i += 5)
        five(parity, 0xCA62C1D6, i);
    m_uState[0] += a;
    m_uState[1] += b;
    m_uState[2] += c;
    m_uState[3] += d;
    m_uState[4] += e;
}

void Sha1::update(const void* pData, std::size_t nLength)
{
    const unsigned char* p = static_cast<const unsigned char*>(pData);
    std::size_t nUsed = (m_uCountLow >> 3) & 63;

    // The bit count is kept as two 32-bit words.
    const uint64_t nBits = uint64_t(nLength) << 3;
    const uint32_t uOld = m_uCountLow;
    m_uCountLow += uint32_t(nBits);
    m_uCountHigh += uint32_t(nBits >> 32) + (m_uCountLow < uOld ? 1 : 0);

    if (nUsed > 0)
    {
        const std::size_t nFill = 64 - nUsed;
        if (nLength < nFill)
        {
            memcpy(m_Buffer + nUsed, p, nLength);
            return;
        }
        memcpy(m_Buffer + nUsed, p, nFill);
        transform(m_Buffer);
        p += nFill;
        nLength -= nFill;
    }
    while (nLength >= 64)
    {
        transform(p);
        p += 64;
        nLength -= 64;
    }
    if (nLength > 0)
        memcpy(m_Buffer, p, nLength);
}

void Sha1::finish(unsigned char digest[SHA1_DIGEST_SIZE])
{
    unsigned char length[8];
    for (int i = 0; i < 4; ++i)
    {
        length[i] = static_cast<unsigned char>(m_uCountHigh >> (24 - 8 * i));
        length[4 + i] = static_cast<unsigned char>(m_uCountLow >> (24 - 8 * i));
    }
    const unsigned char uPadStart = 0x80;
    update(&uPadStart, 1);
    const unsigned char zero = 0;
    while (((m_uCountLow >> 3) & 63) != 56)
        update(&zero, 1);
    update(length, 8);
    for (int i = 0; i < 5; ++i)
    {
        digest[4 * i] = static_cast<unsigned char>(m_uState[i] >> 24);
        digest[4 * i + 1] = static_cast<unsigned char>(m_uState[i] >> 16);
        digest[4 * i + 2] = static_cast<unsigned char>(m_uState[i] >> 8);
        digest[4 * i + 3] = static_cast<unsigned char>(m_uState[i]);
    }
    clear();
}

std::string hexEncode(const unsigned char* pBytes, std::size_t nLength)
{
    static const char DIGITS[] = "0123456789abcdef";
    std::string sText;
    sText.reserve(2 * nLength);
    for (std::size_t i = 0; i < nLength; ++i)
    {
        sText += DIGITS[pBytes[i] >> 4];
        sText += DIGITS[pBytes[i] & 0x0f];
    }
    return sText;
}

namespace
{

// Feeds every block of the file (or of its gzip content) to consume(bytes, length). False
// when the file cannot be opened (logged here) or a read fails (logged by the caller).
template <typename Consume>
bool readFileBlocks(const std::string& sPath, bool bDecompress, Consume consume)
{
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[READ_BUFFER_SIZE]);
    if (bDecompress)
    {
        std::unique_ptr<gzFile_s, GzCloser> file(gzopen(sPath.c_str(), "rb"));
        if (!file)
        {
            logMessage(ERROR, "failed opening '%s' for checksumming (%s)", sPath.c_str(),
                       errnoText().c_str());
            return false;
        }
        int nRead;
        uint64_t uTotal = 0;
        while ((nRead = gzread(file.get(), buffer.get(), READ_BUFFER_SIZE)) > 0)
        {
            uTotal += static_cast<uint64_t>(nRead);
            if (uTotal > MAX_UNCOMPRESSED_SIZE)
            {
                logMessage(ERROR, "uncompressed content of '%s' is larger than %llu bytes",
                           sPath.c_str(), static_cast<unsigned long long>(MAX_UNCOMPRESSED_SIZE));
                return false;
            }
            consume(buffer.get(), static_cast<std::size_t>(nRead));
        }
        return nRead == 0;
    }
    UniqueFile file(fopen(sPath.c_str(), "rb"));
    if (!file)
    {
        logMessage(ERROR, "failed opening '%s' for checksumming (%s)", sPath.c_str(),
                   errnoText().c_str());
        return false;
    }
    while (!feof(file.get()))
    {
        const std::size_t nRead = fread(buffer.get(), 1, READ_BUFFER_SIZE, file.get());
        if (nRead < READ_BUFFER_SIZE && ferror(file.get()))
            return false;
        if (nRead > 0)
            consume(buffer.get(), nRead);
    }
    return true;
}

// Type names and their librpm digest; 0 marks the two names of SHA-1, computed by Sha1.
struct DigestType
{
    const char* m_pName;
    int m_nRpmAlgorithm;
};
constexpr DigestType DIGEST_TYPES[] = {
    {"sha", 0},
    {"sha1", 0},
    {"sha224", PGPHASHALGO_SHA224},
    {"sha256", PGPHASHALGO_SHA256},
    {"sha384", PGPHASHALGO_SHA384},
    {"sha512", PGPHASHALGO_SHA512},
};

const DigestType* findDigestType(const std::string& sType)
{
    for (const DigestType& type : DIGEST_TYPES)
        if (sType == type.m_pName)
            return &type;
    return nullptr;
}

// Owns a librpm digest context; a context not finished by finish() is freed unread.
class RpmDigest
{
public:
    explicit RpmDigest(int nAlgorithm)
    {
        // librpm's crypto back end must be set up once before its first digest.
        static const int nInit = rpmInitCrypto();
        (void)nInit;
        m_pCtx = rpmDigestInit(nAlgorithm, RPMDIGEST_NONE);
    }
    ~RpmDigest()
    {
        if (m_pCtx)
            rpmDigestFinal(m_pCtx, nullptr, nullptr, 0);
    }
    RpmDigest(const RpmDigest&) = delete;
    RpmDigest& operator=(const RpmDigest&) = delete;

    bool valid() const { return m_pCtx != nullptr; }
    void update(const unsigned char* pData, std::size_t nLength)
    {
        rpmDigestUpdate(m_pCtx, pData, nLength);
    }
    // Lowercase hex of the digest; the context is used up.
    std::string finish()
    {
        void* pHex = nullptr;
        size_t nLength = 0;
        rpmDigestFinal(m_pCtx, &pHex, &nLength, 1);
        m_pCtx = nullptr;
        std::string sHex;
        if (pHex)
            sHex = static_cast<const char*>(pHex);
        free(pHex);
        return sHex;
    }

private:
    DIGEST_CTX m_pCtx = nullptr;
};

std::vector<std::string>& acceptedTypeList()
{
    static std::vector<std::string> vTypes{"sha"};
    return vTypes;
}

} // namespace

bool computeFileSha1(const std::string& sPath, unsigned char digest[SHA1_DIGEST_SIZE],
                     bool bDecompress)
{
    Sha1 sha;
    const bool bOk = readFileBlocks(sPath, bDecompress,
                                    [&sha](const unsigned char* pData, std::size_t nLength)
                                    { sha.update(pData, nLength); });
    sha.finish(digest);
    return bOk;
}

bool computeFileDigest(const std::string& sPath, const std::string& sType, std::string& sHex,
                       bool bDecompress)
{
    sHex.clear();
    const DigestType* pType = findDigestType(sType);
    assert(pType != nullptr);
    if (pType->m_nRpmAlgorithm == 0)
    {
        unsigned char digest[SHA1_DIGEST_SIZE];
        if (!computeFileSha1(sPath, digest, bDecompress))
            return false;
        sHex = hexEncode(digest, SHA1_DIGEST_SIZE);
        return true;
    }
    RpmDigest digest(pType->m_nRpmAlgorithm);
    if (!digest.valid())
    {
        logMessage(ERROR, "no '%s' digest available", sType.c_str());
        return false;
    }
    if (!readFileBlocks(sPath, bDecompress,
                        [&digest](const unsigned char* pData, std::size_t nLength)
                        { digest.update(pData, nLength); }))
        return false;
    sHex = digest.finish();
    return !sHex.empty();
}

bool Checksum::isKnownType(const std::string& sType)
{
    return findDigestType(sType) != nullptr;
}

void Checksum::setAcceptedTypes(const std::vector<std::string>& vTypes)
{
    assert(std::all_of(vTypes.begin(), vTypes.end(),
                       [](const std::string& sType) { return isKnownType(sType); }));
    acceptedTypeList() = vTypes;
}

const std::vector<std::string>& Checksum::acceptedTypes()
{
    return acceptedTypeList();
}

bool Checksum::verify(const std::string& sPath) const
{
    return verifyFile(sPath, false);
}

bool Checksum::verifyUncompressed(const std::string& sPath) const
{
    return verifyFile(sPath, true);
}

bool Checksum::verifyFile(const std::string& sPath, bool bDecompress) const
{
    if (m_sValue.empty())
    {
        logMessage(ERROR, "attempted to check an empty checksum");
        return false;
    }
    const std::vector<std::string>& vAccepted = acceptedTypeList();
    if (std::find(vAccepted.begin(), vAccepted.end(), m_sType.str()) == vAccepted.end())
    {
        logMessage(ERROR, "unsupported checksum type '%s'", m_sType.c_str());
        return false;
    }
    std::string sComputed;
    if (!computeFileDigest(sPath, m_sType.str(), sComputed, bDecompress))
        sComputed.clear();
    if (sComputed.empty())
    {
        logMessage(ERROR, "failed while reading from '%s'", sPath.c_str());
        return false;
    }
    const bool bMatches = sComputed == m_sValue;
    logMessage(DEBUG, "'%s' checksum of '%s' (%s) %s against %s", m_sType.c_str(), sPath.c_str(),
               sComputed.c_str(), bMatches ? "checks" : "FAILS", m_sValue.c_str());
    return bMatches;
}
