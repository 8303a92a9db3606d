#pragma once

#include "base/Package.h"
#include "rpmdb/RpmHandles.h"

#include <memory>
#include <string>

// The device's rpm installation: one transaction set over the database at rpm's configured
// %_dbpath. librpm must have read its configuration (rpmReadConfigFiles or rpmcliInit).
class RpmDB
{
public:
    RpmDB() = default;
    ~RpmDB() = default;
    RpmDB(const RpmDB&) = delete;
    RpmDB& operator=(const RpmDB&) = delete;

    // Creates the transaction set; with bNoHeaderCheck headers read from the database are
    // not verified. Refused while open.
    [[nodiscard]] bool open(bool bNoHeaderCheck);
    // Whether the database holds at least one "gpg-pubkey" package.
    [[nodiscard]] bool hasPublicKeys();
    // Whether the package file reads correctly under rpm's signature verification and
    // carries a signature.
    [[nodiscard]] bool verifyPackage(const std::string& sPath);
    // Every installed package with its requires and provides, or none on failure.
    [[nodiscard]] std::unique_ptr<InstalledPackages> readInstalled();
    void close() { m_pTs.reset(); }
    bool isOpen() const { return m_pTs != nullptr; }

private:
    TransactionSet m_pTs;
};
