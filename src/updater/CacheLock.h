#pragma once

#include "base/UniqueFd.h"

#include <string>

// The instance lock: an fcntl write lock over the whole lock file, held from the moment
// it is acquired until the process ends. While held, the file holds the holder's PID.
class CacheLock
{
public:
    static constexpr const char* LOCK_FILE = "/var/lock/updater";

    explicit CacheLock(std::string sPath = LOCK_FILE);
    ~CacheLock();
    CacheLock(const CacheLock&) = delete;
    CacheLock& operator=(const CacheLock&) = delete;

    // Waits up to nTimeout seconds (one attempt per second, nTimeout + 1 attempts; at
    // once when nTimeout <= 0) for another instance to let go. Stops early when a
    // termination signal has been caught. Logs the reason when the lock is not held.
    [[nodiscard]] bool acquire(int nTimeout);
    bool isHeld() const { return static_cast<bool>(m_fd); }
    const std::string& path() const { return m_sPath; }

private:
    void release();

    std::string m_sPath;
    UniqueFd m_fd;
};
