#pragma once

#include "base/Logger.h"

#include <cstdint>
#include <string>

struct pgpDigParams_s;

// One OpenPGP signature of a file kept beside it, as "gpg --detach-sign --armor" writes it
// (for example repodata/repomd.xml.asc).
class DetachedSignature
{
public:
    DetachedSignature() = default;
    ~DetachedSignature();
    DetachedSignature(const DetachedSignature&) = delete;
    DetachedSignature& operator=(const DetachedSignature&) = delete;

    // Reads the ASCII-armoured text of a binary-document signature. False, with the reason
    // in sError, for anything else: no armour, another armour type, a damaged packet, a
    // text-mode or other kind of signature.
    [[nodiscard]] bool parse(const std::string& sText, std::string& sError);
    // The signing key's 64-bit ID in hex; empty before a successful parse.
    std::string keyId() const;
    pgpDigParams_s* params() const { return m_pParams; }

private:
    pgpDigParams_s* m_pParams = nullptr;
};

// Checks the file at sDataPath against the armoured detached signature at sSignaturePath
// with the public keys of the rpm database at librpm's configured %_dbpath. sName names the
// file in messages. Logs the reason when the check fails: no key in the database, an
// unreadable or malformed signature, a signature by a key not in the database, a bad
// signature. A good signature is logged at nGoodLevel (a check repeated on a cached copy
// need not say it again at INFO).
[[nodiscard]] bool verifyDetachedSignature(const std::string& sDataPath,
                                           const std::string& sSignaturePath,
                                           const std::string& sName, int nGoodLevel = INFO);
