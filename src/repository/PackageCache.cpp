// The package directory of the repository cache: retrieval and cleaning.

#include "repository/Repository.h"

#include "repository/ItemNotify.h"
#include "repository/VerifiedFetch.h"

#include "base/Logger.h"
#include "downloader/Downloader.h"
#include "rpmdb/RpmHeader.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

namespace
{

// A package the list gives no size for still cannot fill the storage without end.
constexpr uint64_t MAX_PACKAGE_SIZE = 2ull << 30;

struct DirClose
{
    void operator()(DIR* pDir) const noexcept { closedir(pDir); }
};
using DirHandle = std::unique_ptr<DIR, DirClose>;

// name-epoch:version-release.arch, as the package list gives a record.
std::string labelOf(std::string_view sName, const Evr& evr, std::string_view sArch)
{
    return std::string(sName) + "-" + evr.toString() + "." + std::string(sArch);
}

// The label a record's file must carry in its header.
std::string expectedLabel(const RepoPackage& package)
{
    return labelOf(package.m_sName.view(), package.m_Evr, package.m_sArch.view());
}

// The file's header names the package of the record. A repository whose list points at
// another package's file (checksum and size matching that file) would otherwise install
// it under the record's name. sFound describes what the file holds.
bool holdsRecordedPackage(const RepoPackage& package, const std::string& sPath, std::string& sFound)
{
    PackageIdentity found;
    if (!rpmheader::readPackageIdentity(sPath, found))
    {
        sFound = "no readable package header";
        return false;
    }
    // A header without an epoch has epoch 0, as a list record without one does.
    const Evr foundEvr(found.m_nEpoch < 0 ? 0 : found.m_nEpoch, found.m_sVersion, found.m_sRelease);
    sFound = "package " + labelOf(found.m_sName, foundEvr, found.m_sArch);
    return found.m_sName == package.m_sName.view() && foundEvr == package.m_Evr &&
           found.m_sArch == package.m_sArch.view();
}

bool isValidPackageFile(const RepoPackage& package)
{
    const std::string sPath = package.m_sLocalPath.str();
    std::string sFound;
    return isReadable(sPath) && package.m_Checksum.verify(sPath) &&
           holdsRecordedPackage(package, sPath, sFound);
}

} // namespace

bool Repository::getPackages(const PackageSet& packages)
{
    if (m_sBaseUri.empty())
    {
        logMessage(ERROR, "no repository URI set, cannot get packages");
        return false;
    }
    if (!createDir(m_sPackageDir))
        return false;

    ItemNotify notifier;
    Downloader downloader;
    // Without a downloader, valid cached copies are still good enough.
    bool bDownloaderOpen = downloader.open(m_sBaseUri, m_pRepoConfig->m_tls);
    if (!bDownloaderOpen)
        logMessage(ERROR, "failed creating repository downloder from '%s'", m_sBaseUri.c_str());
    notifier.m_nTotal = static_cast<int>(packages.size());
    downloader.setNotifier(&notifier);

    for (const RepoPackage& package : packages)
    {
        if (isValidPackageFile(package))
            continue;
        VerifiedFetch fetch;
        fetch.m_sLocation = package.m_sLocation.str();
        fetch.m_sLocalPath = package.m_sLocalPath.str();
        // The size from the package list bounds the download: a longer answer is not the
        // package but, say, an older build still in a cache on the way.
        fetch.m_bExpectedSize = package.m_uSize != 0;
        fetch.m_uMaxSize = fetch.m_bExpectedSize ? package.m_uSize : MAX_PACKAGE_SIZE;
        fetch.m_sFetchError = "failed getting package '" + fetch.m_sLocation + "' from repository";
        fetch.m_sOversized = "'" + fetch.m_sLocation + "' is larger than the package list says";
        const bool bAccepted =
            fetchVerified(bDownloaderOpen ? &downloader : nullptr, fetch,
                          [&](std::string& sProblem)
                          {
                              std::string sFound;
                              if (!package.m_Checksum.verify(fetch.m_sLocalPath))
                                  sProblem = "invalid checksum on '" + fetch.m_sLocalPath + "'";
                              else if (!holdsRecordedPackage(package, fetch.m_sLocalPath, sFound))
                                  sProblem = "'" + fetch.m_sLocalPath + "' holds " + sFound +
                                             " instead of " + expectedLabel(package);
                              return sProblem.empty();
                          });
        if (!bAccepted)
            return false;
        ++notifier.m_nCount;
        notifier.notify(0);
    }
    return true;
}

bool Repository::cleanPackages()
{
    logMessage(DEBUG, "removing packages from repository cache '%s'", m_sPackageDir.c_str());
    DirHandle pDir(opendir(m_sPackageDir.c_str()));
    if (!pDir)
    {
        if (errno == ENOENT)
            return true;
        logMessage(ERROR, "could not clean packages from '%s' (%s)", m_sPackageDir.c_str(),
                   errnoText().c_str());
        return false;
    }

    bool bRemovalFailed = false;
    bool bResult = true;
    for (;;)
    {
        errno = 0;
        const dirent* pEntry = readdir(pDir.get());
        if (pEntry == nullptr)
        {
            if (errno != 0)
            {
                logMessage(ERROR, "failed reading directory '%s' (%s)", m_sPackageDir.c_str(),
                           errnoText().c_str());
                bResult = false;
            }
            break;
        }
        if (std::strcmp(pEntry->d_name, ".") == 0 || std::strcmp(pEntry->d_name, "..") == 0)
            continue;
        std::string sPath = m_sPackageDir + pEntry->d_name;
        if (unlink(sPath.c_str()) != 0)
        {
            logMessage(ERROR, "failed removing file '%s' (%s)", sPath.c_str(), errnoText().c_str());
            bRemovalFailed = true;
        }
    }
    if (bRemovalFailed)
        logMessage(WARNING, "encountered errors while cleaning package cache");
    return bResult;
}
