#pragma once

#include "base/Package.h"
#include "rpmdb/RpmHandles.h"

#include <memory>
#include <string>
#include <vector>

// What identifies one package header exactly: its name, epoch, version, release and
// architecture, and the MD5 digest over header and payload that rpm stores with it.
struct PackageIdentity
{
    std::string m_sName;
    int m_nEpoch = -1; // -1: the header has no epoch
    std::string m_sVersion;
    std::string m_sRelease;
    std::string m_sArch;
    std::string m_sSigMd5; // lower-case hex; empty when the header carries none

    // "version-release" with "epoch:" in front when there is one.
    std::string evr() const;
    // "name-[epoch:]version-release.arch"
    std::string label() const;
    bool sameNevra(const PackageIdentity& other) const;
    bool operator==(const PackageIdentity& other) const = default;
};

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
    [[nodiscard]] bool findInstalled(const std::string& sName, std::vector<PackageIdentity>& vInstalled);
    void close() { m_pTs.reset(); }

    // Whether some process holds rpm's transaction lock (an rpm transaction is running).
    // False when the lock file does not exist; nLockErrno is set when it cannot be tested.
    static bool transactionLockHeld(int& nLockErrno);
    bool isOpen() const { return m_pTs != nullptr; }

private:
    TransactionSet m_pTs;
};
