// The package directory of the repository cache: retrieval and cleaning.

#include "repository/Repository.h"

#include "repository/ItemNotify.h"

#include "base/Logger.h"
#include "downloader/Downloader.h"

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

bool isValidPackageFile(const RepoPackage& package)
{
    const std::string sPath = package.m_sLocalPath.str();
    return isReadable(sPath) && package.m_Checksum.verify(sPath);
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
        const std::string sLocation = package.m_sLocation.str();
        const std::string sLocalPath = package.m_sLocalPath.str();
        bool bAccepted = false;
        // A cache on the way may hold a damaged copy: the second fetch asks it not to answer.
        for (int nAttempt = 0; nAttempt < 2 && !bAccepted; ++nAttempt)
        {
            bool bBypassCaches = nAttempt > 0;
            // The size from the package list bounds the download: a longer answer is not the package.
            if (!bDownloaderOpen || !downloader.get(sLocation, sLocalPath, bBypassCaches,
                                                    package.m_uSize != 0 ? package.m_uSize : MAX_PACKAGE_SIZE))
            {
                logMessage(ERROR, "failed getting package '%s' from repository", package.m_sLocation.c_str());
                return false;
            }
            if (package.m_Checksum.verify(sLocalPath))
                bAccepted = true;
            else if (!bBypassCaches)
                logMessage(WARNING, "invalid checksum on '%s'; retrying with bypass of http caches",
                           package.m_sLocalPath.c_str());
        }
        if (!bAccepted)
        {
            logMessage(ERROR, "invalid checksum on '%s'", package.m_sLocalPath.c_str());
            return false;
        }
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
        logMessage(ERROR, "could not clean packages from '%s' (%s)", m_sPackageDir.c_str(), errnoText().c_str());
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
                logMessage(ERROR, "failed reading directory '%s' (%s)", m_sPackageDir.c_str(), errnoText().c_str());
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
