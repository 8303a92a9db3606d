#pragma once

#include "config/UpdaterConfig.h"

#include <memory>
#include <string>
#include <vector>

struct ne_session_s;
struct ne_ssl_certificate_s;
struct ne_ssl_client_cert_s;

// The TLS settings of one repository, read and checked once: the certificate authorities
// trusted instead of (or besides) the system's, and the client certificate with its key
// that is presented when a server asks for one.
class TlsIdentity
{
public:
    TlsIdentity();
    ~TlsIdentity();
    TlsIdentity(const TlsIdentity&) = delete;
    TlsIdentity& operator=(const TlsIdentity&) = delete;

    // Reads the files the configuration names. Logs the reason and returns false when a file
    // is missing or unreadable, holds no certificate, when the key is readable by group or
    // others, does not belong to the certificate or is encrypted, or when the certificate
    // has expired.
    [[nodiscard]] bool load(const TlsConfig& config);
    // Whether the session should trust the system's authorities too.
    bool trustsSystemCa() const { return m_bSystemCa; }
    bool hasClientCert() const { return m_pClientCert != nullptr; }
    std::size_t caCount() const { return m_vCas.size(); }
    // Trusts the authorities and sets the client certificate on an https session.
    void apply(ne_session_s* pSession) const;

private:
    [[nodiscard]] bool loadCaFile(const std::string& sPath);
    [[nodiscard]] bool loadClientCert(const std::string& sCertPath, const std::string& sKeyPath);

    bool m_bSystemCa = true;
    std::vector<ne_ssl_certificate_s*> m_vCas;
    ne_ssl_client_cert_s* m_pClientCert = nullptr;
};
