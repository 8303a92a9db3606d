#include "downloader/TransferWatch.h"

#include "base/Logger.h"
#include "base/SignalFreeThread.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <ctime>
#include <memory>

#include <dirent.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

int64_t monotonicMilliseconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Bytes the kernel has received on the TCP connection so far (TLS records included).
bool bytesReceived(int nSocket, uint64_t& uBytes)
{
    tcp_info info{};
    socklen_t uLength = sizeof(info);
    if (::getsockopt(nSocket, IPPROTO_TCP, TCP_INFO, &info, &uLength) != 0 ||
        uLength < offsetof(tcp_info, tcpi_bytes_received) + sizeof(info.tcpi_bytes_received))
        return false;
    uBytes = info.tcpi_bytes_received;
    return true;
}

struct DirClose
{
    void operator()(DIR* pDir) const noexcept { ::closedir(pDir); }
};

// Calls visit(descriptor, inode) for every open socket of the process.
template <typename Visit> void forEachSocket(Visit visit)
{
    std::unique_ptr<DIR, DirClose> pDir(::opendir("/proc/self/fd"));
    if (!pDir)
        return;
    const int nOwn = ::dirfd(pDir.get());
    while (const dirent* pEntry = ::readdir(pDir.get()))
    {
        char* pEnd = nullptr;
        const long nFd = std::strtol(pEntry->d_name, &pEnd, 10);
        if (pEnd == pEntry->d_name || *pEnd != '\0' || nFd == nOwn)
            continue;
        struct stat info
        {
        };
        if (::fstat(static_cast<int>(nFd), &info) == 0 && S_ISSOCK(info.st_mode))
            visit(static_cast<int>(nFd), static_cast<unsigned long>(info.st_ino));
    }
}

} // namespace

NetworkTimeouts& networkTimeouts()
{
    static NetworkTimeouts timeouts;
    return timeouts;
}

TransferWatch::TransferWatch(int nSocket) : m_nSocket(nSocket)
{
    m_wakeFd = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!m_wakeFd)
    {
        logMessage(DEBUG, "transfer not watched (%s)", errnoText().c_str());
        return;
    }
    if (!startSignalFreeThread(m_thread, [this] { watch(); }))
        logMessage(DEBUG, "transfer not watched (no thread)");
}

TransferWatch::~TransferWatch()
{
    m_bStopped.store(true);
    wake();
    if (m_thread.joinable())
        m_thread.join();
}

bool TransferWatch::kernelCountsBytes()
{
    static const bool bCounts = []
    {
        const UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        uint64_t uBytes = 0;
        return probe && bytesReceived(probe.get(), uBytes);
    }();
    return bCounts && !networkTimeouts().m_bCountBodyBytesOnly;
}

void TransferWatch::wake()
{
    const uint64_t uOne = 1;
    if (m_wakeFd)
        while (::write(m_wakeFd.get(), &uOne, sizeof(uOne)) < 0 && errno == EINTR)
            ;
}

void TransferWatch::setSocket(int nSocket)
{
    m_nSocket.store(nSocket);
    if (nSocket >= 0 && m_verdict.load() != Verdict::NONE)
        ::shutdown(nSocket, SHUT_RDWR);
    wake();
}

void TransferWatch::watch()
{
    const int64_t nPeriod = static_cast<int64_t>(networkTimeouts().m_nReadSeconds) * 1000;
    int nWatched = -1;
    int64_t nPeriodStart = 0;
    uint64_t uStartBytes = 0;
    bool bKernelCounts = true;
    while (!m_bStopped.load())
    {
        const int nSocket = m_nSocket.load();
        const int64_t nNow = monotonicMilliseconds();
        if (nSocket != nWatched)
        {
            // A new connection starts a new period.
            nWatched = nSocket;
            nPeriodStart = nNow;
            uStartBytes = 0;
            bKernelCounts = kernelCountsBytes();
            if (!bKernelCounts)
                uStartBytes = m_uCounted.load();
            else if (nSocket >= 0 && !bytesReceived(nSocket, uStartBytes))
                nWatched = -1;
        }
        else if (nWatched >= 0 && nNow - nPeriodStart >= nPeriod)
        {
            uint64_t uBytes = m_uCounted.load();
            if (bKernelCounts && !bytesReceived(nWatched, uBytes))
            {
                nWatched = -1;
                continue;
            }
            const uint64_t uPeriodBytes = uBytes - uStartBytes;
            if (uPeriodBytes >= MIN_BYTES_PER_PERIOD)
            {
                nPeriodStart = nNow;
                uStartBytes = uBytes;
            }
            else
            {
                m_uPeriodBytes.store(uPeriodBytes);
                m_nPeriodSeconds.store((nNow - nPeriodStart) / 1000);
                m_verdict.store(uPeriodBytes == 0 ? Verdict::TIMED_OUT : Verdict::TOO_SLOW);
                ::shutdown(nWatched, SHUT_RDWR);
                // A connection made meanwhile is shut down here, a later one by setSocket.
                const int nLatest = m_nSocket.load();
                if (nLatest >= 0 && nLatest != nWatched)
                    ::shutdown(nLatest, SHUT_RDWR);
                return;
            }
        }
        // Sleep until the end of the period, a change of connection or the end of the request.
        const int nWait =
            nWatched >= 0 ? static_cast<int>(std::max<int64_t>(nPeriodStart + nPeriod - nNow, 1))
                          : -1;
        pollfd wakeup{m_wakeFd.get(), POLLIN, 0};
        if (::poll(&wakeup, 1, nWait) > 0)
        {
            uint64_t uCount = 0;
            (void)::read(m_wakeFd.get(), &uCount, sizeof(uCount));
        }
    }
}

void NewSocketFinder::snapshot()
{
    m_vInodes.clear();
    forEachSocket([this](int, unsigned long uInode) { m_vInodes.push_back(uInode); });
}

int NewSocketFinder::find() const
{
    int nFound = -1;
    int nCount = 0;
    forEachSocket(
        [&](int nFd, unsigned long uInode)
        {
            if (std::find(m_vInodes.begin(), m_vInodes.end(), uInode) == m_vInodes.end())
            {
                nFound = nFd;
                ++nCount;
            }
        });
    return nCount == 1 ? nFound : -1;
}
