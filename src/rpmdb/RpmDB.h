#pragma once

#include "base/Package.h"
#include "rpmdb/RpmHandles.h"
#include "rpmdb/RpmHeader.h"

#include <memory>
#include <string>
#include <vector>

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
    // The identity of a package file's header and the installed packages that installing
    // it replaces: those of the same name and those its obsoletes match.
    [[nodiscard]] bool readPackageFile(const std::string& sPath, PackageIdentity& identity,
                                       std::vector<PackageIdentity>& vReplaced);
    // Every installed package called sName.
    [[nodiscard]] bool findInstalled(const std::string& sName,
                                     std::vector<PackageIdentity>& vInstalled);
    void close() { m_pTs.reset(); }

    // Whether some process holds rpm's transaction lock (an rpm transaction is running).
    // False when the lock file does not exist; nLockErrno is set when it cannot be tested.
    static bool transactionLockHeld(int& nLockErrno);
    bool isOpen() const { return m_pTs != nullptr; }

private:
    TransactionSet m_pTs;
};
