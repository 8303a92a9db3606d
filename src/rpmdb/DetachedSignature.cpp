#include "rpmdb/DetachedSignature.h"

#include "base/Checksum.h"
#include "base/Logger.h"
#include "base/UniqueFile.h"
#include "rpmdb/RpmHandles.h"

#include <rpm/rpmbase64.h>
#include <rpm/rpmcrypto.h>
#include <rpm/rpmkeyring.h>
#include <rpm/rpmpgp.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

namespace
{

const char PUBKEY_PACKAGE[] = "gpg-pubkey";
// An armoured signature is well under a kilobyte; anything this large is not one.
constexpr std::size_t MAX_SIGNATURE_SIZE = 64 * 1024;
constexpr std::size_t READ_BUFFER_SIZE = 16 * 1024;
constexpr std::size_t KEY_ID_SIZE = 8;

struct KeyringFree
{
    void operator()(rpmKeyring keyring) const noexcept { rpmKeyringFree(keyring); }
};
using KeyringPtr = std::unique_ptr<rpmKeyring_s, KeyringFree>;

struct DigestFree
{
    void operator()(DIGEST_CTX ctx) const noexcept { rpmDigestFinal(ctx, nullptr, nullptr, 0); }
};
using DigestPtr = std::unique_ptr<DIGEST_CTX_s, DigestFree>;

struct MallocFree
{
    void operator()(void* p) const noexcept { free(p); }
};

constexpr std::string_view ARMOR_BEGIN = "-----BEGIN PGP SIGNATURE-----";
constexpr std::string_view ARMOR_END = "-----END PGP SIGNATURE-----";

// The whole signature file, refused when it is larger than any signature.
bool readSignatureFile(const std::string& sPath, std::string& sText)
{
    UniqueFile file(fopen(sPath.c_str(), "rb"));
    if (!file)
    {
        logMessage(ERROR, "cannot read signature '%s' (%s)", sPath.c_str(), errnoText().c_str());
        return false;
    }
    char buffer[4096];
    std::size_t nRead;
    while ((nRead = fread(buffer, 1, sizeof buffer, file.get())) > 0)
    {
        sText.append(buffer, nRead);
        if (sText.size() > MAX_SIGNATURE_SIZE)
        {
            logMessage(ERROR, "signature '%s' is larger than %zu bytes", sPath.c_str(),
                       MAX_SIGNATURE_SIZE);
            return false;
        }
    }
    if (ferror(file.get()))
    {
        logMessage(ERROR, "cannot read signature '%s' (%s)", sPath.c_str(), errnoText().c_str());
        return false;
    }
    return true;
}

bool hasPublicKey(rpmts ts)
{
    MatchIterator it(rpmtsInitIterator(ts, RPMDBI_NAME, PUBKEY_PACKAGE, 0));
    return it && rpmdbGetIteratorCount(it.get()) > 0;
}

// Feeds the data file to the digest.
bool digestFile(const std::string& sPath, DIGEST_CTX ctx)
{
    UniqueFile file(fopen(sPath.c_str(), "rb"));
    if (!file)
    {
        logMessage(ERROR, "cannot read '%s' to check its signature (%s)", sPath.c_str(),
                   errnoText().c_str());
        return false;
    }
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[READ_BUFFER_SIZE]);
    std::size_t nRead;
    while ((nRead = fread(buffer.get(), 1, READ_BUFFER_SIZE, file.get())) > 0)
        rpmDigestUpdate(ctx, buffer.get(), nRead);
    if (ferror(file.get()))
    {
        logMessage(ERROR, "cannot read '%s' to check its signature (%s)", sPath.c_str(),
                   errnoText().c_str());
        return false;
    }
    return true;
}

// The lines of the text, each without its line end and trailing white space.
std::vector<std::string_view> splitLines(std::string_view sText)
{
    std::vector<std::string_view> vLines;
    while (!sText.empty())
    {
        const std::size_t nEnd = sText.find('\n');
        std::string_view sLine = sText.substr(0, nEnd);
        sText = nEnd == std::string_view::npos ? std::string_view() : sText.substr(nEnd + 1);
        const std::size_t nLast = sLine.find_last_not_of(" \t\r");
        vLines.push_back(nLast == std::string_view::npos ? std::string_view()
                                                         : sLine.substr(0, nLast + 1));
    }
    return vLines;
}

// ASCII armour of one signature block (RFC 4880, section 6.2): the BEGIN line, armour
// headers up to an empty line, the base64 body, an optional "=" CRC-24 line, the END line.
// librpm decodes the armour of public keys only.
bool decodeArmor(const std::string& sText, std::vector<uint8_t>& vPacket, std::string& sError)
{
    if (sText.find('\0') != std::string::npos)
    {
        sError = "not an ASCII-armoured signature";
        return false;
    }
    const std::vector<std::string_view> vLines = splitLines(sText);
    std::size_t i = 0;
    while (i < vLines.size() && vLines[i] != ARMOR_BEGIN)
        ++i;
    if (i == vLines.size())
    {
        sError = "not an ASCII-armoured signature";
        return false;
    }
    ++i;
    while (i < vLines.size() && !vLines[i].empty() &&
           vLines[i].find(": ") != std::string_view::npos)
        ++i;
    if (i == vLines.size() || !vLines[i].empty())
    {
        sError = "damaged ASCII armour (no empty line after the armour headers)";
        return false;
    }
    ++i;
    std::string sBody, sCrc;
    for (; i < vLines.size() && vLines[i] != ARMOR_END; ++i)
    {
        const std::string_view sLine = vLines[i];
        if (!sLine.empty() && sLine[0] == '=' && sLine.size() == 5 && sCrc.empty())
            sCrc = sLine.substr(1);
        else if (sCrc.empty())
            sBody += sLine;
        else
            break;
    }
    if (i == vLines.size() || vLines[i] != ARMOR_END)
    {
        sError = "damaged ASCII armour (no end line)";
        return false;
    }
    for (++i; i < vLines.size(); ++i)
    {
        if (!vLines[i].empty())
        {
            sError = "text after the signature";
            return false;
        }
    }

    void* pRaw = nullptr;
    std::size_t nLength = 0;
    const int nResult = rpmBase64Decode(sBody.c_str(), &pRaw, &nLength);
    std::unique_ptr<uint8_t, MallocFree> pDecoded(static_cast<uint8_t*>(pRaw));
    if (nResult != 0 || !pDecoded || nLength == 0)
    {
        sError = "damaged ASCII armour (bad base64)";
        return false;
    }
    if (!sCrc.empty())
    {
        std::unique_ptr<char, MallocFree> pCrc(rpmBase64CRC(pDecoded.get(), nLength));
        if (!pCrc || sCrc != pCrc.get())
        {
            sError = "damaged ASCII armour (CRC mismatch)";
            return false;
        }
    }
    vPacket.assign(pDecoded.get(), pDecoded.get() + nLength);
    return true;
}

} // namespace

DetachedSignature::~DetachedSignature()
{
    pgpDigParamsFree(m_pParams);
}

bool DetachedSignature::parse(const std::string& sText, std::string& sError)
{
    pgpDigParamsFree(m_pParams);
    m_pParams = nullptr;
    std::vector<uint8_t> vPacket;
    if (!decodeArmor(sText, vPacket, sError))
        return false;
    pgpDigParams pParams = nullptr;
    if (pgpPrtParams(vPacket.data(), vPacket.size(), PGPTAG_SIGNATURE, &pParams) != 0 ||
        pParams == nullptr)
    {
        pgpDigParamsFree(pParams);
        sError = "malformed signature packet";
        return false;
    }
    // A text-mode signature covers the text with normalised line ends, not the bytes served.
    if (pgpSignatureType(pParams) != PGPSIGTYPE_BINARY)
    {
        pgpDigParamsFree(pParams);
        sError = "not a signature of a binary document";
        return false;
    }
    m_pParams = pParams;
    return true;
}

std::string DetachedSignature::keyId() const
{
    if (!m_pParams)
        return std::string();
    return hexEncode(pgpDigParamsSignID(m_pParams), KEY_ID_SIZE);
}

bool verifyDetachedSignature(const std::string& sDataPath, const std::string& sSignaturePath,
                             const std::string& sName, int nGoodLevel)
{
    TransactionSet ts(rpmtsCreate());
    if (!ts)
    {
        logMessage(ERROR, "failed opening rpm transaction");
        return false;
    }
    if (!hasPublicKey(ts.get()))
    {
        logMessage(ERROR, "no public key in rpm database to verify the signature of '%s'",
                   sName.c_str());
        return false;
    }

    std::string sText;
    if (!readSignatureFile(sSignaturePath, sText))
        return false;
    DetachedSignature signature;
    std::string sError;
    if (!signature.parse(sText, sError))
    {
        logMessage(ERROR, "invalid signature of '%s' (%s)", sName.c_str(), sError.c_str());
        return false;
    }

    const unsigned int nHashAlgorithm = pgpDigParamsAlgo(signature.params(), PGPVAL_HASHALGO);
    DigestPtr pDigest(rpmDigestInit(static_cast<int>(nHashAlgorithm), RPMDIGEST_NONE));
    if (!pDigest)
    {
        logMessage(ERROR, "unsupported digest algorithm %u in signature of '%s'", nHashAlgorithm,
                   sName.c_str());
        return false;
    }
    if (!digestFile(sDataPath, pDigest.get()))
        return false;

    KeyringPtr pKeyring(rpmtsGetKeyring(ts.get(), 1));
    const std::string sKeyId = signature.keyId();
    const rpmRC nRc = pKeyring
                          ? rpmKeyringVerifySig(pKeyring.get(), signature.params(), pDigest.get())
                          : RPMRC_NOKEY;
    switch (nRc)
    {
    case RPMRC_OK:
        logMessage(nGoodLevel, "good signature of '%s' by key %s", sName.c_str(), sKeyId.c_str());
        return true;
    case RPMRC_NOKEY:
        logMessage(ERROR, "'%s' is signed by key %s, which is not in the rpm database",
                   sName.c_str(), sKeyId.c_str());
        return false;
    default:
        logMessage(ERROR, "BAD signature of '%s' (key %s)", sName.c_str(), sKeyId.c_str());
        return false;
    }
}
