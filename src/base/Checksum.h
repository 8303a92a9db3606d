#pragma once

#include "base/InternedString.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One expected digest from the repository metadata. Only "sha" (SHA-1) is verified unless
// the configuration accepts more types (setAcceptedTypes).
struct Checksum
{
    // Interned: a package list holds one per package, mostly different values of one type.
    InternedString m_sValue;
    InternedString m_sType;

    // The file's bytes as stored.
    [[nodiscard]] bool verify(const std::string& sPath) const;
    // The file's content after gzip decompression (a plain file passes through as is).
    [[nodiscard]] bool verifyUncompressed(const std::string& sPath) const;

    // Every type name this program can verify: "sha", "sha1", "sha224", "sha256", "sha384",
    // "sha512".
    static bool isKnownType(const std::string& sType);
    // The types verified from now on, replacing the built-in "sha" alone; set once at
    // start-up from the configuration. Names must be known types.
    static void setAcceptedTypes(const std::vector<std::string>& vTypes);
    static const std::vector<std::string>& acceptedTypes();

private:
    bool verifyFile(const std::string& sPath, bool bDecompress) const;
};

constexpr std::size_t SHA1_DIGEST_SIZE = 20;

// Uncompressed bytes beyond which a compressed file is refused wherever it is inflated: a
// small download must not be able to cost minutes of decompression or the device's memory.
inline constexpr uint64_t MAX_UNCOMPRESSED_SIZE = 256ull << 20;

// Incremental SHA-1.
class Sha1
{
public:
    Sha1() { reset(); }
    ~Sha1() { clear(); }
    Sha1(const Sha1&) = delete;
    Sha1& operator=(const Sha1&) = delete;

    void reset();
    void update(const void* pData, std::size_t nLength);
    void finish(unsigned char digest[SHA1_DIGEST_SIZE]);

private:
    void transform(const unsigned char block[64]);
    void clear();

    uint32_t m_uState[5];
    uint32_t m_uCountLow;
    uint32_t m_uCountHigh;
    unsigned char m_Buffer[64];
};

// The digest of a known type over the file's bytes (or its gzip content) as lowercase hex;
// false when the file cannot be opened or read. "sha" and "sha1" use Sha1 above, the SHA-2
// types librpm's digests.
[[nodiscard]] bool computeFileDigest(const std::string& sPath, const std::string& sType,
                                     std::string& sHex, bool bDecompress);
[[nodiscard]] bool computeFileSha1(const std::string& sPath, unsigned char digest[SHA1_DIGEST_SIZE],
                                   bool bDecompress);
std::string hexEncode(const unsigned char* pBytes, std::size_t nLength);
