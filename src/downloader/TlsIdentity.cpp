#include "downloader/TlsIdentity.h"

#include "base/Logger.h"
#include "base/UniqueFd.h"

#include <gnutls/gnutls.h>
#include <gnutls/pkcs12.h>
#include <gnutls/x509.h>
#include <ne_session.h>
#include <ne_ssl.h>
#include <ne_string.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <memory>

namespace
{

// Certificate and key files are small; a larger file is not one.
constexpr off_t MAX_PEM_FILE_SIZE = 4 << 20;
// Protects the in-memory PKCS#12 bundle that hands the key to neon; it never leaves the process.
const char BUNDLE_PASSWORD[] = "updater";

struct CrtFree
{
    void operator()(gnutls_x509_crt_t p) const noexcept { gnutls_x509_crt_deinit(p); }
};
using CrtPtr = std::unique_ptr<gnutls_x509_crt_int, CrtFree>;
struct KeyFree
{
    void operator()(gnutls_x509_privkey_t p) const noexcept { gnutls_x509_privkey_deinit(p); }
};
using KeyPtr = std::unique_ptr<gnutls_x509_privkey_int, KeyFree>;
struct Pkcs12Free
{
    void operator()(gnutls_pkcs12_t p) const noexcept { gnutls_pkcs12_deinit(p); }
};
using Pkcs12Ptr = std::unique_ptr<gnutls_pkcs12_int, Pkcs12Free>;
struct BagFree
{
    void operator()(gnutls_pkcs12_bag_t p) const noexcept { gnutls_pkcs12_bag_deinit(p); }
};
using BagPtr = std::unique_ptr<gnutls_pkcs12_bag_int, BagFree>;

// Memory that GnuTLS allocated for a datum.
class GnutlsDatum
{
public:
    GnutlsDatum() = default;
    ~GnutlsDatum()
    {
        if (m_datum.data)
        {
            std::memset(m_datum.data, 0, m_datum.size);
            gnutls_free(m_datum.data);
        }
    }
    GnutlsDatum(const GnutlsDatum&) = delete;
    GnutlsDatum& operator=(const GnutlsDatum&) = delete;
    gnutls_datum_t* get() { return &m_datum; }

private:
    gnutls_datum_t m_datum{nullptr, 0};
};

// Key material is wiped when it is no longer needed.
class SecretText
{
public:
    SecretText() = default;
    ~SecretText()
    {
        volatile char* p = m_sText.data();
        for (std::size_t i = 0; i < m_sText.size(); ++i)
            p[i] = 0;
    }
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;
    std::string& text() { return m_sText; }
    gnutls_datum_t datum()
    {
        return gnutls_datum_t{reinterpret_cast<unsigned char*>(m_sText.data()),
                              static_cast<unsigned>(m_sText.size())};
    }

private:
    std::string m_sText;
};

// Reads a whole file. bPrivate: refuse it when group or others may read it.
bool readFile(const std::string& sPath, const char* pWhat, bool bPrivate, std::string& sContent)
{
    UniqueFd fd(::open(sPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
    {
        logMessage(ERROR, "cannot read %s '%s' (%s)", pWhat, sPath.c_str(), errnoText().c_str());
        return false;
    }
    struct stat status;
    if (::fstat(fd.get(), &status) != 0)
    {
        logMessage(ERROR, "cannot read %s '%s' (%s)", pWhat, sPath.c_str(), errnoText().c_str());
        return false;
    }
    if (!S_ISREG(status.st_mode) || status.st_size > MAX_PEM_FILE_SIZE)
    {
        logMessage(ERROR, "%s '%s' is not a regular file of at most %ld bytes", pWhat,
                   sPath.c_str(), static_cast<long>(MAX_PEM_FILE_SIZE));
        return false;
    }
    if (bPrivate && (status.st_mode & (S_IRGRP | S_IROTH)) != 0)
    {
        logMessage(ERROR, "%s '%s' is readable by group or others (mode %04o); refusing to use it",
                   pWhat, sPath.c_str(), static_cast<unsigned>(status.st_mode & 07777));
        return false;
    }
    sContent.resize(static_cast<std::size_t>(status.st_size));
    std::size_t nDone = 0;
    while (nDone < sContent.size())
    {
        const ssize_t nRead = ::read(fd.get(), sContent.data() + nDone, sContent.size() - nDone);
        if (nRead < 0 && errno == EINTR)
            continue;
        if (nRead < 0)
        {
            logMessage(ERROR, "cannot read %s '%s' (%s)", pWhat, sPath.c_str(),
                       errnoText().c_str());
            return false;
        }
        if (nRead == 0)
            break;
        nDone += static_cast<std::size_t>(nRead);
    }
    sContent.resize(nDone);
    return true;
}

gnutls_datum_t datumOf(std::string& sText)
{
    return gnutls_datum_t{reinterpret_cast<unsigned char*>(sText.data()),
                          static_cast<unsigned>(sText.size())};
}

// The certificate in neon's form (neon takes it as base64 of its DER encoding).
ne_ssl_certificate* toNeonCertificate(gnutls_x509_crt_t pCert)
{
    GnutlsDatum der;
    if (gnutls_x509_crt_export2(pCert, GNUTLS_X509_FMT_DER, der.get()) != GNUTLS_E_SUCCESS)
        return nullptr;
    char* pBase64 = ne_base64(der.get()->data, der.get()->size);
    ne_ssl_certificate* pNeonCert = ne_ssl_cert_import(pBase64);
    ne_free(pBase64);
    return pNeonCert;
}

std::string keyIdOf(gnutls_x509_crt_t pCert)
{
    unsigned char id[64];
    std::size_t nSize = sizeof id;
    if (gnutls_x509_crt_get_key_id(pCert, 0, id, &nSize) != GNUTLS_E_SUCCESS)
        return std::string();
    return std::string(reinterpret_cast<const char*>(id), nSize);
}

std::string keyIdOf(gnutls_x509_privkey_t pKey)
{
    unsigned char id[64];
    std::size_t nSize = sizeof id;
    if (gnutls_x509_privkey_get_key_id(pKey, 0, id, &nSize) != GNUTLS_E_SUCCESS)
        return std::string();
    return std::string(reinterpret_cast<const char*>(id), nSize);
}

// neon takes a client certificate only as PKCS#12: the certificate and its key are put
// into a bundle in memory and imported from there.
ne_ssl_client_cert* toNeonClientCert(gnutls_x509_crt_t pCert, gnutls_x509_privkey_t pKey,
                                     const std::string& sKeyId)
{
    gnutls_pkcs12_t pRawBundle = nullptr;
    gnutls_pkcs12_bag_t pRawCertBag = nullptr, pRawKeyBag = nullptr;
    if (gnutls_pkcs12_init(&pRawBundle) != GNUTLS_E_SUCCESS)
        return nullptr;
    Pkcs12Ptr pBundle(pRawBundle);
    if (gnutls_pkcs12_bag_init(&pRawCertBag) != GNUTLS_E_SUCCESS)
        return nullptr;
    BagPtr pCertBag(pRawCertBag);
    if (gnutls_pkcs12_bag_init(&pRawKeyBag) != GNUTLS_E_SUCCESS)
        return nullptr;
    BagPtr pKeyBag(pRawKeyBag);

    gnutls_datum_t keyId{reinterpret_cast<unsigned char*>(const_cast<char*>(sKeyId.data())),
                         static_cast<unsigned>(sKeyId.size())};
    const int nCert = gnutls_pkcs12_bag_set_crt(pCertBag.get(), pCert);
    const int nKey = gnutls_pkcs12_bag_set_privkey(pKeyBag.get(), pKey, BUNDLE_PASSWORD,
                                                   GNUTLS_PKCS_PBES2_AES_256);
    // The bag indexes are known to be non-negative once the calls above succeeded.
    if (nCert < 0 || nKey < 0 ||
        gnutls_pkcs12_bag_set_key_id(pCertBag.get(), static_cast<unsigned>(nCert), &keyId) < 0 ||
        gnutls_pkcs12_bag_set_key_id(pKeyBag.get(), static_cast<unsigned>(nKey), &keyId) < 0 ||
        gnutls_pkcs12_set_bag(pBundle.get(), pCertBag.get()) < 0 ||
        gnutls_pkcs12_set_bag(pBundle.get(), pKeyBag.get()) < 0 ||
        gnutls_pkcs12_generate_mac(pBundle.get(), BUNDLE_PASSWORD) < 0)
        return nullptr;
    GnutlsDatum der;
    if (gnutls_pkcs12_export2(pBundle.get(), GNUTLS_X509_FMT_DER, der.get()) != GNUTLS_E_SUCCESS)
        return nullptr;
    ne_ssl_client_cert* pClientCert = ne_ssl_clicert_import(der.get()->data, der.get()->size);
    if (pClientCert && ne_ssl_clicert_encrypted(pClientCert) &&
        ne_ssl_clicert_decrypt(pClientCert, BUNDLE_PASSWORD) != 0)
    {
        // A failed decryption frees nothing.
        ne_ssl_clicert_free(pClientCert);
        return nullptr;
    }
    return pClientCert;
}

std::string timeText(time_t nTime)
{
    char text[64] = "?";
    struct tm parts;
    if (gmtime_r(&nTime, &parts) != nullptr)
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

} // namespace

TlsIdentity::TlsIdentity() = default;

TlsIdentity::~TlsIdentity()
{
    for (ne_ssl_certificate* pCert : m_vCas)
        ne_ssl_cert_free(pCert);
    if (m_pClientCert)
        ne_ssl_clicert_free(m_pClientCert);
}

bool TlsIdentity::load(const TlsConfig& config)
{
    m_bSystemCa = config.m_sCaFile.empty() || config.m_bSystemCa;
    if (!config.m_sCaFile.empty() && !loadCaFile(config.m_sCaFile))
        return false;
    if (!config.m_sCertFile.empty() && !loadClientCert(config.m_sCertFile, config.m_sKeyFile))
        return false;
    return true;
}

bool TlsIdentity::loadCaFile(const std::string& sPath)
{
    std::string sContent;
    if (!readFile(sPath, "certificate authority file", false, sContent))
        return false;
    gnutls_x509_crt_t* pCerts = nullptr;
    unsigned int nCount = 0;
    gnutls_datum_t data = datumOf(sContent);
    const int nResult =
        gnutls_x509_crt_list_import2(&pCerts, &nCount, &data, GNUTLS_X509_FMT_PEM, 0);
    if (nResult < 0 || nCount == 0)
    {
        logMessage(ERROR, "no usable certificate in certificate authority file '%s' (%s)",
                   sPath.c_str(), nResult < 0 ? gnutls_strerror(nResult) : "empty");
        return false;
    }
    bool bOk = true;
    for (unsigned int i = 0; i < nCount; ++i)
    {
        CrtPtr pCert(pCerts[i]);
        if (!bOk)
            continue;
        ne_ssl_certificate* pNeonCert = toNeonCertificate(pCert.get());
        if (!pNeonCert)
        {
            logMessage(ERROR, "cannot use certificate %u of certificate authority file '%s'", i + 1,
                       sPath.c_str());
            bOk = false;
            continue;
        }
        m_vCas.push_back(pNeonCert);
    }
    gnutls_free(pCerts);
    if (bOk)
        logMessage(DEBUG, "trusting %u certificate authorities of '%s'%s", nCount, sPath.c_str(),
                   m_bSystemCa ? " and the system's" : "");
    return bOk;
}

bool TlsIdentity::loadClientCert(const std::string& sCertPath, const std::string& sKeyPath)
{
    std::string sCertText;
    if (!readFile(sCertPath, "client certificate", false, sCertText))
        return false;
    SecretText keyText;
    if (!readFile(sKeyPath, "client key", true, keyText.text()))
        return false;

    gnutls_x509_crt_t pRawCert = nullptr;
    if (gnutls_x509_crt_init(&pRawCert) != GNUTLS_E_SUCCESS)
        return false;
    CrtPtr pCert(pRawCert);
    gnutls_datum_t certData = datumOf(sCertText);
    int nResult = gnutls_x509_crt_import(pCert.get(), &certData, GNUTLS_X509_FMT_PEM);
    if (nResult != GNUTLS_E_SUCCESS)
    {
        logMessage(ERROR, "no PEM certificate in client certificate '%s' (%s)", sCertPath.c_str(),
                   gnutls_strerror(nResult));
        return false;
    }
    gnutls_x509_privkey_t pRawKey = nullptr;
    if (gnutls_x509_privkey_init(&pRawKey) != GNUTLS_E_SUCCESS)
        return false;
    KeyPtr pKey(pRawKey);
    gnutls_datum_t keyData = keyText.datum();
    nResult = gnutls_x509_privkey_import2(pKey.get(), &keyData, GNUTLS_X509_FMT_PEM, nullptr,
                                          GNUTLS_PKCS_PLAIN);
    if (nResult != GNUTLS_E_SUCCESS)
    {
        logMessage(ERROR, "no unencrypted PEM private key in client key '%s' (%s)",
                   sKeyPath.c_str(), gnutls_strerror(nResult));
        return false;
    }

    const std::string sKeyId = keyIdOf(pKey.get());
    if (sKeyId.empty() || sKeyId != keyIdOf(pCert.get()))
    {
        logMessage(ERROR, "client key '%s' does not belong to client certificate '%s'",
                   sKeyPath.c_str(), sCertPath.c_str());
        return false;
    }
    const time_t nExpires = gnutls_x509_crt_get_expiration_time(pCert.get());
    if (nExpires == static_cast<time_t>(-1) || nExpires < std::time(nullptr))
    {
        logMessage(ERROR, "client certificate '%s' expired on %s", sCertPath.c_str(),
                   timeText(nExpires).c_str());
        return false;
    }

    m_pClientCert = toNeonClientCert(pCert.get(), pKey.get(), sKeyId);
    if (!m_pClientCert)
    {
        logMessage(ERROR, "cannot use client certificate '%s' with key '%s'", sCertPath.c_str(),
                   sKeyPath.c_str());
        return false;
    }
    logMessage(DEBUG, "client certificate '%s' valid until %s", sCertPath.c_str(),
               timeText(nExpires).c_str());
    return true;
}

void TlsIdentity::apply(ne_session* pSession) const
{
    for (const ne_ssl_certificate* pCert : m_vCas)
        ne_ssl_trust_cert(pSession, pCert);
    if (m_pClientCert)
        ne_ssl_set_clicert(pSession, m_pClientCert);
}
