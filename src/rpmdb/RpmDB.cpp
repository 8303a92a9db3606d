#include "rpmdb/RpmDB.h"

#include "base/FileUtil.h"
#include "base/Logger.h"
#include "base/UniqueFd.h"
#include "rpmdb/RpmHeader.h"

#include <rpm/rpmds.h>
#include <rpm/rpmlib.h>
#include <rpm/rpmmacro.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace
{

const char PUBKEY_PACKAGE[] = "gpg-pubkey";

// Empties the transaction set when the operation ends, whatever its outcome.
class EmptyOnExit
{
public:
    explicit EmptyOnExit(rpmts ts) : m_pTs(ts) {}
    ~EmptyOnExit() { rpmtsEmpty(m_pTs); }
    EmptyOnExit(const EmptyOnExit&) = delete;
    EmptyOnExit& operator=(const EmptyOnExit&) = delete;

private:
    rpmts m_pTs;
};

// The text of a string tag, empty when the header has none.
std::string stringTag(Header h, rpmTagVal nTag)
{
    const char* pText = headerGetString(h, nTag);
    return pText ? pText : std::string();
}

PackageIdentity identityOf(Header h)
{
    PackageIdentity identity;
    identity.m_sName = stringTag(h, RPMTAG_NAME);
    identity.m_sVersion = stringTag(h, RPMTAG_VERSION);
    identity.m_sRelease = stringTag(h, RPMTAG_RELEASE);
    identity.m_sArch = stringTag(h, RPMTAG_ARCH);
    if (headerIsEntry(h, RPMTAG_EPOCH))
        identity.m_nEpoch = static_cast<int>(headerGetNumber(h, RPMTAG_EPOCH));
    if (headerIsEntry(h, RPMTAG_SIGMD5))
    {
        char* pHex = headerGetAsString(h, RPMTAG_SIGMD5);
        if (pHex)
            identity.m_sSigMd5 = pHex;
        free(pHex);
    }
    return identity;
}

// Owns a dependency set read from a header.
struct RpmDsFree
{
    void operator()(rpmds ds) const noexcept { rpmdsFree(ds); }
};
using DependencyList = std::unique_ptr<rpmds_s, RpmDsFree>;

} // namespace

bool RpmDB::open(bool bNoHeaderCheck)
{
    if (m_pTs)
    {
        logMessage(ERROR, "attempted to reopen an opened RpmDB");
        return false;
    }
    m_pTs.reset(rpmtsCreate());
    if (!m_pTs)
    {
        logMessage(ERROR, "failed opening rpm transaction");
        return false;
    }
    if (bNoHeaderCheck)
        rpmtsSetVSFlags(m_pTs.get(), RPMVSF_NOHDRCHK);
    logMessage(DEBUG, "opened rpm transaction (%schecking headers)", bNoHeaderCheck ? "NOT " : "");
    return true;
}

bool RpmDB::hasPublicKeys()
{
    if (!m_pTs)
    {
        logMessage(ERROR, "rpm database is not open");
        return false;
    }
    EmptyOnExit empty(m_pTs.get());
    MatchIterator it(rpmtsInitIterator(m_pTs.get(), RPMDBI_NAME, PUBKEY_PACKAGE, 0));
    // An iterator over no records is no key either.
    if (it && rpmdbGetIteratorCount(it.get()) > 0)
        return true;
    logMessage(TRACE, "no public keys found in rpm db");
    return false;
}

bool RpmDB::verifyPackage(const std::string& sPath)
{
    if (!m_pTs)
    {
        logMessage(ERROR, "rpm database is not open");
        return false;
    }
    EmptyOnExit empty(m_pTs.get());
    const std::string sBaseName = baseName(sPath);

    FilePtr pFile(Fopen(sPath.c_str(), "r"));
    if (!pFile || Ferror(pFile.get()))
    {
        logMessage(ERROR, "failed opening '%s' to check signature: %s", sBaseName.c_str(),
                   Fstrerror(pFile.get()));
        return false;
    }

    Header pRawHeader = nullptr;
    const rpmRC nRc = rpmReadPackageFile(m_pTs.get(), pFile.get(), sBaseName.c_str(), &pRawHeader);
    HeaderPtr pHeader(pRawHeader);
    if (nRc != RPMRC_OK)
    {
        logMessage(ERROR, "failed verifying package '%s'", sBaseName.c_str());
        return false;
    }
    if (!pHeader)
    {
        logMessage(ERROR, "no header on package '%s'", sBaseName.c_str());
        return false;
    }
    for (rpmTagVal nTag : {RPMTAG_SIGPGP, RPMTAG_SIGGPG, RPMTAG_RSAHEADER, RPMTAG_DSAHEADER})
        if (headerIsEntry(pHeader.get(), nTag))
            return true;
    logMessage(ERROR, "no signature on package '%s'", sBaseName.c_str());
    return false;
}

std::unique_ptr<InstalledPackages> RpmDB::readInstalled()
{
    if (!m_pTs)
    {
        logMessage(ERROR, "rpm database is not open");
        return nullptr;
    }
    EmptyOnExit empty(m_pTs.get());
    auto pInstalled = std::make_unique<InstalledPackages>();

    MatchIterator it(rpmtsInitIterator(m_pTs.get(), RPMDBI_NAME, nullptr, 0));
    if (!it)
    {
        logMessage(ERROR, "failed initializing rpm DB iterator");
        return nullptr;
    }

    bool bIterationError = false;
    while (Header h = rpmdbNextIterator(it.get()))
    {
        Package package;
        if (!rpmheader::readString(h, RPMTAG_NAME, package.m_sName) ||
            !rpmheader::readString(h, RPMTAG_VERSION, package.m_Evr.m_sVersion) ||
            !rpmheader::readString(h, RPMTAG_RELEASE, package.m_Evr.m_sRelease) ||
            (headerIsEntry(h, RPMTAG_EPOCH) &&
             !rpmheader::readInt(h, RPMTAG_EPOCH, package.m_Evr.m_nEpoch)))
        {
            bIterationError = true;
            break;
        }
        if (!rpmheader::readDependencies(h, RPMTAG_REQUIRENAME, package.m_setRequires))
        {
            logMessage(ERROR, "failed getting requires for package '%s'", package.m_sName.c_str());
            return nullptr;
        }
        if (!rpmheader::readDependencies(h, RPMTAG_PROVIDENAME, package.m_setProvides))
        {
            logMessage(ERROR, "failed getting provides for package '%s'", package.m_sName.c_str());
            return nullptr;
        }
        pInstalled->insert(std::move(package));
    }
    if (bIterationError)
    {
        logMessage(ERROR, "failed while iterating on rpm DB");
        return nullptr;
    }
    return pInstalled;
}

bool RpmDB::readPackageFile(const std::string& sPath, PackageIdentity& identity,
                            std::vector<PackageIdentity>& vReplaced)
{
    if (!m_pTs)
    {
        logMessage(ERROR, "rpm database is not open");
        return false;
    }
    EmptyOnExit empty(m_pTs.get());
    const std::string sBaseName = baseName(sPath);
    FilePtr pFile(Fopen(sPath.c_str(), "r"));
    if (!pFile || Ferror(pFile.get()))
    {
        logMessage(ERROR, "failed opening '%s': %s", sBaseName.c_str(), Fstrerror(pFile.get()));
        return false;
    }
    // Signatures were checked (or deliberately not) before; only the header is wanted here.
    const rpmVSFlags nSavedFlags =
        rpmtsSetVSFlags(m_pTs.get(), rpmtsVSFlags(m_pTs.get()) | RPMVSF_MASK_NOSIGNATURES);
    Header pRawHeader = nullptr;
    const rpmRC nRc = rpmReadPackageFile(m_pTs.get(), pFile.get(), sBaseName.c_str(), &pRawHeader);
    rpmtsSetVSFlags(m_pTs.get(), nSavedFlags);
    HeaderPtr pHeader(pRawHeader);
    if ((nRc != RPMRC_OK && nRc != RPMRC_NOKEY && nRc != RPMRC_NOTTRUSTED) || !pHeader)
    {
        logMessage(ERROR, "failed reading package '%s'", sBaseName.c_str());
        return false;
    }
    identity = identityOf(pHeader.get());

    vReplaced.clear();
    if (!findInstalled(identity.m_sName, vReplaced))
        return false;
    DependencyList pObsoletes(rpmdsNew(pHeader.get(), RPMTAG_OBSOLETENAME, 0));
    while (pObsoletes && rpmdsNext(pObsoletes.get()) >= 0)
    {
        const char* pName = rpmdsN(pObsoletes.get());
        if (!pName || identity.m_sName == pName)
            continue;
        MatchIterator it(rpmtsInitIterator(m_pTs.get(), RPMDBI_NAME, pName, 0));
        while (Header h = it ? rpmdbNextIterator(it.get()) : nullptr)
            if (rpmdsNVRMatchesDep(h, pObsoletes.get(), 1))
                vReplaced.push_back(identityOf(h));
    }
    return true;
}

bool RpmDB::findInstalled(const std::string& sName, std::vector<PackageIdentity>& vInstalled)
{
    if (!m_pTs)
    {
        logMessage(ERROR, "rpm database is not open");
        return false;
    }
    EmptyOnExit empty(m_pTs.get());
    MatchIterator it(rpmtsInitIterator(m_pTs.get(), RPMDBI_NAME, sName.c_str(), 0));
    while (Header h = it ? rpmdbNextIterator(it.get()) : nullptr)
        vInstalled.push_back(identityOf(h));
    return true;
}

bool RpmDB::transactionLockHeld(int& nLockErrno)
{
    nLockErrno = 0;
    char* pPath = rpmExpand("%{?_rpmlock_path}", nullptr);
    std::string sPath = pPath ? pPath : "";
    free(pPath);
    if (sPath.empty())
    {
        // Older configurations keep the lock next to the database.
        char* pDbPath = rpmExpand("%{?_dbpath}", nullptr);
        sPath = std::string(pDbPath ? pDbPath : "") + "/.rpm.lock";
        free(pDbPath);
    }
    UniqueFd fd(::open(sPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
    {
        if (errno != ENOENT)
            nLockErrno = errno;
        return false;
    }
    // rpm takes a write lock on the whole file for the length of a transaction.
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd.get(), F_GETLK, &lock) != 0)
    {
        nLockErrno = errno;
        return false;
    }
    return lock.l_type != F_UNLCK;
}
