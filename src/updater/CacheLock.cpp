#include "updater/CacheLock.h"

#include "base/Logger.h"
#include "updater/Signals.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

CacheLock::CacheLock(std::string sPath) : m_sPath(std::move(sPath)) {}

CacheLock::~CacheLock()
{
    release();
}

void CacheLock::release()
{
    (void)m_fd.reset();
}

bool CacheLock::acquire(int nTimeout)
{
    release();

    // The lock directory is world-writable: never follow a link planted there, or any
    // local user could make us truncate a file of their choosing.
    UniqueFd fd(::open(m_sPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
    const int nFd = fd.get();
    if (nFd < 0)
    {
        logMessage(ERROR, "failed creating lock file '%s' (%s).", m_sPath.c_str(),
                   errnoText().c_str());
        return false;
    }
    // O_CLOEXEC already did this; keep it explicit for children that must not inherit it.
    int nFlags = ::fcntl(nFd, F_GETFD);
    if (nFlags >= 0)
        (void)::fcntl(nFd, F_SETFD, nFlags | FD_CLOEXEC);

    for (int n = 1;; ++n)
    {
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        lock.l_start = 0;
        lock.l_len = 0;
        if (::fcntl(nFd, F_SETLK, &lock) == 0)
        {
            if (n > 1)
                logMessage(INFO, "other instance terminated, got cache lock");
            if (::ftruncate(nFd, 0) != 0)
            {
                logMessage(ERROR, "failed truncating lock file '%s' (%s)", m_sPath.c_str(),
                           errnoText().c_str());
                return false;
            }
            char buffer[32];
            int nLength =
                std::snprintf(buffer, sizeof buffer, "%10i\n", static_cast<int>(::getpid()));
            ssize_t nWritten = ::pwrite(nFd, buffer, static_cast<size_t>(nLength), 0);
            if (nWritten < nLength)
                logMessage(WARNING, "failed writing PID to lock file '%s'.", m_sPath.c_str());
            m_fd = std::move(fd);
            return true;
        }

        int nError = errno;
        bool bGiveUp = true;
        if ((nError == EAGAIN || nError == EACCES) && nTimeout >= n)
        {
            if (n % 10 == 1)
                logMessage(INFO, "cache lock held by another instance, will timeout in %i secs",
                           nTimeout - n + 1);
            ::sleep(1);
            bGiveUp = nTimeout < n || terminationSignalCaught();
        }
        if (bGiveUp)
        {
            if (!terminationSignalCaught())
            {
                errno = nError;
                logMessage(ERROR, "failed acquiring lock file '%s' (%s)", m_sPath.c_str(),
                           errnoText().c_str());
            }
            return false;
        }
    }
}
