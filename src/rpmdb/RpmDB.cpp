#include "rpmdb/RpmDB.h"

#include "base/Logger.h"
#include "rpmdb/RpmHeader.h"

#include <rpm/rpmlib.h>

namespace
{

const char PUBKEY_PACKAGE[] = "gpg-pubkey";

// The part after the last '/', trailing '/' characters ignored.
std::string baseNameOf(const std::string& sPath)
{
    const size_t nEnd = sPath.find_last_not_of('/');
    if (nEnd == std::string::npos)
        return std::string();
    const size_t nSlash = sPath.rfind('/', nEnd);
    const size_t nStart = nSlash == std::string::npos ? 0 : nSlash + 1;
    return sPath.substr(nStart, nEnd + 1 - nStart);
}

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
    const std::string sBaseName = baseNameOf(sPath);

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
