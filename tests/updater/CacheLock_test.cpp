#include "updater/CacheLock.h"

#include "TestSupport.h"

#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testing_support;

namespace
{

// Another process holding the fcntl lock on a file (locks belong to processes, so the
// holder must be a child); it lets go after nHoldMs milliseconds, or when destroyed.
class LockHolder
{
public:
    LockHolder(const std::string& sPath, int nHoldMs)
    {
        int ready[2];
        if (::pipe(ready) != 0)
            throw std::runtime_error("pipe");
        m_nPid = ::fork();
        if (m_nPid == 0)
        {
            ::close(ready[0]);
            int nFd = ::open(sPath.c_str(), O_RDWR | O_CREAT, 0666);
            struct flock lock = {};
            lock.l_type = F_WRLCK;
            lock.l_whence = SEEK_SET;
            char c = (nFd >= 0 && ::fcntl(nFd, F_SETLK, &lock) == 0) ? 'y' : 'n';
            (void)!::write(ready[1], &c, 1);
            ::usleep(static_cast<useconds_t>(nHoldMs) * 1000);
            ::_exit(0);
        }
        ::close(ready[1]);
        char c = 0;
        (void)!::read(ready[0], &c, 1);
        ::close(ready[0]);
        if (c != 'y')
            throw std::runtime_error("holder could not lock");
    }
    ~LockHolder()
    {
        ::kill(m_nPid, SIGKILL);
        ::waitpid(m_nPid, nullptr, 0);
    }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

private:
    pid_t m_nPid = -1;
};

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string pidLine()
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%10i\n", static_cast<int>(::getpid()));
    return buffer;
}

} // namespace

TEST(CacheLock, CreatesTheFileAndWritesThePidOverOldContent)
{
    TempDir dir;
    std::string sPath = dir.file("updater");
    writeFile(sPath, "a much longer leftover content of an earlier holder\n");
    LogCapture log;
    CacheLock lock(sPath);
    ASSERT_TRUE(lock.acquire(5));
    EXPECT_TRUE(lock.isHeld());
    EXPECT_EQ(readFile(sPath), pidLine());
    EXPECT_EQ(log.text(), "");

    // Children do not inherit the descriptor.
    std::string sFds;
    ASSERT_EQ(runShell("ls -l /proc/self/fd/", &sFds), 0);
    EXPECT_EQ(sFds.find(sPath), std::string::npos) << sFds;
}

TEST(CacheLock, NewFileGetsMode0666BeforeTheUmask)
{
    TempDir dir;
    std::string sPath = dir.file("updater");
    mode_t old = ::umask(0);
    CacheLock lock(sPath);
    bool bHeld = lock.acquire(0);
    ::umask(old);
    ASSERT_TRUE(bHeld);
    struct stat info;
    ASSERT_EQ(::stat(sPath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0666u);
}

TEST(CacheLock, SymbolicLinkIsRefusedAndItsTargetUntouched)
{
    TempDir dir;
    std::string sTarget = dir.file("precious");
    writeFile(sTarget, "keep me\n");
    std::string sPath = dir.file("updater");
    ASSERT_EQ(::symlink(sTarget.c_str(), sPath.c_str()), 0);
    std::string sDangling = dir.file("updater2");
    ASSERT_EQ(::symlink(dir.file("nothing").c_str(), sDangling.c_str()), 0);

    LogCapture log;
    CacheLock lock(sPath);
    EXPECT_FALSE(lock.acquire(5));
    EXPECT_FALSE(lock.isHeld());
    EXPECT_TRUE(log.contains("ERROR: failed creating lock file '" + sPath +
                             "' (Too many levels of symbolic links)."))
        << log.text();
    EXPECT_EQ(readFile(sTarget), "keep me\n");

    CacheLock dangling(sDangling);
    EXPECT_FALSE(dangling.acquire(5));
    EXPECT_FALSE(fileExists(dir.file("nothing")));
}

TEST(CacheLock, MissingDirectoryIsReported)
{
    TempDir dir;
    std::string sPath = dir.file("no/such/dir/updater");
    LogCapture log;
    CacheLock lock(sPath);
    EXPECT_FALSE(lock.acquire(1));
    EXPECT_TRUE(log.contains("ERROR: failed creating lock file '" + sPath +
                             "' (No such file or directory)."))
        << log.text();
}

TEST(CacheLock, NegativeOrZeroTimeoutGivesUpAtTheFirstRefusal)
{
    TempDir dir;
    std::string sPath = dir.file("updater");
    LockHolder holder(sPath, 10000);
    for (int nTimeout : {-1, 0})
    {
        LogCapture log;
        CacheLock lock(sPath);
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(lock.acquire(nTimeout));
        EXPECT_LT(secondsSince(start), 0.9);
        EXPECT_EQ(log.lines(),
                  std::vector<std::string>{"ERROR: failed acquiring lock file '" + sPath +
                                           "' (Resource temporarily unavailable)"});
    }
}

TEST(CacheLock, TimeoutMakesOneAttemptPerSecondAndTellsEveryTenth)
{
    TempDir dir;
    std::string sPath = dir.file("updater");
    LockHolder holder(sPath, 30000);
    LogCapture log;
    CacheLock lock(sPath);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(lock.acquire(11));
    double elapsed = secondsSince(start);
    EXPECT_GE(elapsed, 10.9);
    EXPECT_LT(elapsed, 14.0);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "INFO: cache lock held by another instance, will timeout in 11 secs",
                               "INFO: cache lock held by another instance, will timeout in 1 secs",
                               "ERROR: failed acquiring lock file '" + sPath +
                                   "' (Resource temporarily unavailable)",
                           }));
    // The holder's content is left alone.
    EXPECT_EQ(readFile(sPath), "");
}

TEST(CacheLock, GetsTheLockWhenTheOtherInstanceEnds)
{
    TempDir dir;
    std::string sPath = dir.file("updater");
    LockHolder holder(sPath, 1500);
    LogCapture log;
    CacheLock lock(sPath);
    EXPECT_TRUE(lock.acquire(5));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "INFO: cache lock held by another instance, will timeout in 5 secs",
                               "INFO: other instance terminated, got cache lock",
                           }));
    EXPECT_EQ(readFile(sPath), pidLine());
}
