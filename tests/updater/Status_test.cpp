#include "DriverTestSupport.h"
#include "updater/Result.h"
#include "updater/Status.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <set>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

using driver_test::PrivatePaths;
using testing_support::LogCapture;
using testing_support::readFile;
using testing_support::writeFile;

namespace
{

// Names of the files in a directory other than "." and "..".
std::vector<std::string> listDir(const std::string& sDir)
{
    std::vector<std::string> vNames;
    DIR* pDir = opendir(sDir.c_str());
    if (!pDir)
        return vNames;
    while (const dirent* pEntry = readdir(pDir))
    {
        const std::string sName = pEntry->d_name;
        if (sName != "." && sName != "..")
            vNames.push_back(sName);
    }
    closedir(pDir);
    return vNames;
}

// In a forked child: mounts a small private tmpfs over sDir (the parent never sees
// it). Returns false when mount namespaces are not available.
bool mountSmallFilesystem(const std::string& sDir)
{
    if (unshare(CLONE_NEWNS) != 0)
        return false;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    return mount("tmpfs", sDir.c_str(), "tmpfs", 0, "size=64k") == 0;
}

// Fills the filesystem of sDir until no block is left; the file is sDir/filler.
void fillFilesystem(const std::string& sDir)
{
    const int nFd = open((sDir + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::string sBlock(4096, 'f');
    while (write(nFd, sBlock.data(), sBlock.size()) > 0)
    {
    }
    while (write(nFd, sBlock.data(), 1) > 0)
    {
    }
    close(nFd);
}

} // namespace

TEST(StatusFile, MissingFileReadsAsReady)
{
    PrivatePaths paths;
    Status status = CORRUPTED;
    EXPECT_TRUE(loadStatus(status));
    EXPECT_EQ(status, READY);
}

TEST(StatusFile, ReadsOnlyTheFirstWordExactly)
{
    struct Row
    {
        std::string m_sContent;
        bool m_bOk;
        Status m_status;
        std::string m_sLog;
    };
    const std::vector<Row> vRows = {
        {"READY\n", true, READY, ""},
        {"READY and more words\nsecond line\n", true, READY, ""},
        {"  \n\tPKGSDONE", true, PKGSDONE, ""},
        {"REBOOTING\n", true, REBOOTING, ""},
        {"ready\n", false, READY, "ERROR: unknown status 'ready'"},
        {"READYX\n", false, READY, "ERROR: unknown status 'READYX'"},
        {"", false, READY, "DEBUG: failed reading from status file"},
        {"  \n\n", false, READY, "DEBUG: failed reading from status file"},
        // Only 31 characters of a long word are compared.
        {std::string(40, 'A'), false, READY,
         "ERROR: unknown status '" + std::string(31, 'A') + "'"},
    };
    PrivatePaths paths;
    for (const Row& row : vRows)
    {
        SCOPED_TRACE("content '" + row.m_sContent + "'");
        writeFile(paths.paths().m_sStatusFile, row.m_sContent);
        LogCapture log;
        Status status = DELAYING;
        EXPECT_EQ(loadStatus(status), row.m_bOk);
        if (row.m_bOk)
        {
            EXPECT_EQ(status, row.m_status);
        }
        if (!row.m_sLog.empty())
        {
            EXPECT_TRUE(log.contains(row.m_sLog)) << log.text();
        }
        // A read never changes the file.
        EXPECT_EQ(readFile(paths.paths().m_sStatusFile), row.m_sContent);
    }
}

TEST(StatusFile, UnreadableFileIsAnError)
{
    PrivatePaths paths;
    UpdaterPaths changed = paths.paths();
    writeFile(paths.file("plain"), "x");
    changed.m_sStatusFile = paths.file("plain") + "/status";
    paths.apply(changed);
    LogCapture log;
    Status status = READY;
    EXPECT_FALSE(loadStatus(status));
    EXPECT_TRUE(log.contains("DEBUG: cannot read from status file: Not a directory")) << log.text();
}

TEST(StatusFile, EveryStatusRoundTripsWithModeAndContent)
{
    PrivatePaths paths;
    const mode_t oldMask = umask(077);
    for (int nStatus = READY; nStatus <= REBOOTING; ++nStatus)
    {
        ASSERT_TRUE(saveStatus(nStatus));
        EXPECT_EQ(readFile(paths.paths().m_sStatusFile), std::string(statusName(nStatus)) + "\n");
        struct stat info;
        ASSERT_EQ(stat(paths.paths().m_sStatusFile.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0644u);
        Status status = READY;
        EXPECT_TRUE(loadStatus(status));
        EXPECT_EQ(status, nStatus);
    }
    umask(oldMask);
    EXPECT_EQ(listDir(paths.dir()), std::vector<std::string>{"status"});
}

TEST(StatusFile, InvalidValueChangesNothing)
{
    PrivatePaths paths;
    ASSERT_TRUE(saveStatus(DOWNLOADING));
    for (int nValue : {9, -1, 100})
    {
        LogCapture log;
        EXPECT_FALSE(saveStatus(nValue));
        EXPECT_TRUE(log.contains("ERROR: invalid status value " + std::to_string(nValue)))
            << log.text();
    }
    EXPECT_EQ(readFile(paths.paths().m_sStatusFile), "DOWNLOADING\n");
}

TEST(StatusFile, FailedWriteKeepsTheOldFileAndNoTemporary)
{
    // A full disk: the temporary file can be created but not written.
    PrivatePaths paths;
    const auto body = [&]
    {
        CHILD_CHECK(mountSmallFilesystem(paths.dir()));
        CHILD_CHECK(saveStatus(ANALYZING));
        fillFilesystem(paths.dir());
        bool bSaved = true;
        std::string sLog;
        {
            LogCapture log;
            bSaved = saveStatus(UPDATING);
            sLog = log.text();
        }
        CHILD_CHECK(!bSaved);
        CHILD_CHECK(
            sLog.find("DEBUG: failed writing status to temp file: No space left on device") !=
            std::string::npos);
        CHILD_CHECK(readFile(paths.paths().m_sStatusFile) == "ANALYZING\n");
        CHILD_CHECK((listDir(paths.dir()) == std::vector<std::string>{"filler", "status"} ||
                     listDir(paths.dir()) == std::vector<std::string>{"status", "filler"}));
        _exit(0);
    };
    EXPECT_EXIT(body(), ::testing::ExitedWithCode(0), "");
}

TEST(StatusFile, FailedRenameRemovesTheTemporary)
{
    PrivatePaths paths;
    // A non-empty directory where the status file should be cannot be replaced.
    ASSERT_EQ(mkdir(paths.paths().m_sStatusFile.c_str(), 0755), 0);
    writeFile(paths.paths().m_sStatusFile + "/keep", "x");
    LogCapture log;
    EXPECT_FALSE(saveStatus(READY));
    EXPECT_TRUE(log.contains("DEBUG: failed saving status: ")) << log.text();
    EXPECT_EQ(listDir(paths.dir()), std::vector<std::string>{"status"});
}

TEST(StatusFile, MissingDirectoryFailsAtTheTemporary)
{
    PrivatePaths paths;
    UpdaterPaths changed = paths.paths();
    changed.m_sStatusFile = paths.file("missing/status");
    paths.apply(changed);
    LogCapture log;
    EXPECT_FALSE(saveStatus(READY));
    EXPECT_TRUE(
        log.contains("DEBUG: failed creating status temporary file: No such file or directory"))
        << log.text();
}

TEST(StatusFile, ReaderNeverSeesAPartialFile)
{
    PrivatePaths paths;
    ASSERT_TRUE(saveStatus(READY));
    std::set<std::string> setValid;
    for (int nStatus = READY; nStatus <= REBOOTING; ++nStatus)
        setValid.insert(std::string(statusName(nStatus)) + "\n");

    std::atomic<bool> bStop{false};
    std::atomic<int> nReads{0};
    std::string sBad;
    std::thread reader(
        [&]
        {
            while (!bStop)
            {
                FILE* pStream = fopen(paths.paths().m_sStatusFile.c_str(), "r");
                if (!pStream)
                {
                    sBad = "file missing";
                    return;
                }
                char buffer[64];
                const size_t nRead = fread(buffer, 1, sizeof(buffer), pStream);
                fclose(pStream);
                const std::string sContent(buffer, nRead);
                if (!setValid.count(sContent))
                {
                    sBad = "'" + sContent + "'";
                    return;
                }
                ++nReads;
            }
        });
    for (int n = 0; n < 500 && sBad.empty(); ++n)
        ASSERT_TRUE(saveStatus(n % STATUS_COUNT));
    bStop = true;
    reader.join();
    EXPECT_EQ(sBad, "");
    EXPECT_GT(nReads.load(), 0);
    EXPECT_EQ(listDir(paths.dir()), std::vector<std::string>{"status"});
}

namespace
{

struct SyncRecord
{
    std::vector<struct stat> m_vSynced;
    int m_nFailAt = -1; // index of the call that fails with EIO
};
SyncRecord g_syncRecord;

int recordingSync(int nFd)
{
    struct stat info;
    fstat(nFd, &info);
    const int nIndex = static_cast<int>(g_syncRecord.m_vSynced.size());
    g_syncRecord.m_vSynced.push_back(info);
    if (nIndex == g_syncRecord.m_nFailAt)
    {
        errno = EIO;
        return -1;
    }
    return fsync(nFd);
}

class StatusSync : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_syncRecord = SyncRecord();
        setStatusSyncFunction(recordingSync);
    }
    void TearDown() override { setStatusSyncFunction(nullptr); }

    PrivatePaths m_paths;
};

} // namespace

TEST_F(StatusSync, SyncsTheFileAndItsDirectory)
{
    ASSERT_TRUE(saveStatus(UPDATING));
    LogCapture log;
    ASSERT_TRUE(syncStatus());
    EXPECT_TRUE(log.contains("TRACE: synced status file")) << log.text();

    struct stat file;
    struct stat dir;
    ASSERT_EQ(stat(m_paths.paths().m_sStatusFile.c_str(), &file), 0);
    ASSERT_EQ(stat(m_paths.dir().c_str(), &dir), 0);
    ASSERT_EQ(g_syncRecord.m_vSynced.size(), 2u);
    bool bFileSynced = false;
    bool bDirSynced = false;
    for (const struct stat& info : g_syncRecord.m_vSynced)
    {
        bFileSynced |= info.st_ino == file.st_ino && info.st_dev == file.st_dev;
        bDirSynced |=
            S_ISDIR(info.st_mode) && info.st_ino == dir.st_ino && info.st_dev == dir.st_dev;
    }
    EXPECT_TRUE(bFileSynced);
    EXPECT_TRUE(bDirSynced);
}

TEST_F(StatusSync, FailureOfEitherSyncIsReported)
{
    ASSERT_TRUE(saveStatus(TESTING));
    for (int nFailAt : {0, 1})
    {
        SCOPED_TRACE(nFailAt);
        g_syncRecord = SyncRecord();
        g_syncRecord.m_nFailAt = nFailAt;
        LogCapture log;
        EXPECT_FALSE(syncStatus());
        EXPECT_TRUE(log.contains("ERROR: failed to sync status file: Input/output error"))
            << log.text();
        EXPECT_FALSE(log.contains("synced status file"));
    }
}

TEST_F(StatusSync, MissingFileCannotBeSynced)
{
    LogCapture log;
    EXPECT_FALSE(syncStatus());
    EXPECT_TRUE(log.contains("ERROR: failed to sync status file: No such file or directory"))
        << log.text();
}

TEST(StatusSyncSystemCalls, DirectoryIsFsyncedOnDisk)
{
    // Through the real system calls: a child process that saves and syncs the status,
    // traced for fsync of a directory descriptor.
    if (testing_support::runShell("command -v strace >/dev/null") != 0)
        GTEST_SKIP() << "strace not installed";
    PrivatePaths paths;
    const std::string sTrace = paths.file("trace");
    pid_t nPid = fork();
    ASSERT_GE(nPid, 0);
    if (nPid == 0)
    {
        // Stopped until the tracer is attached.
        raise(SIGSTOP);
        const bool bOk = saveStatus(UPDATING) && syncStatus();
        _exit(bOk ? 0 : 1);
    }
    int nWait = 0;
    ASSERT_EQ(waitpid(nPid, &nWait, WUNTRACED), nPid);
    const std::string sCommand = "strace -y -e trace=fsync,fdatasync -o " + sTrace + " -p " +
                                 std::to_string(nPid) + " & tracer=$!; sleep 0.5; kill -CONT " +
                                 std::to_string(nPid) + "; wait $tracer";
    EXPECT_EQ(testing_support::runShell(sCommand), 0);
    ASSERT_EQ(waitpid(nPid, &nWait, 0), nPid);
    EXPECT_TRUE(WIFEXITED(nWait) && WEXITSTATUS(nWait) == 0);
    const std::string sLog = readFile(sTrace);
    const auto synced = [&sLog](const std::string& sPath)
    {
        std::istringstream in(sLog);
        for (std::string sLine; std::getline(in, sLine);)
        {
            if (sLine.rfind("fsync(", 0) == 0 &&
                sLine.find("<" + sPath + ">)") != std::string::npos && sLine.size() >= 3 &&
                sLine.compare(sLine.size() - 3, 3, "= 0") == 0)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(synced(paths.paths().m_sStatusFile)) << sLog;
    EXPECT_TRUE(synced(paths.dir())) << sLog;
}

TEST(StartCheck, EveryStatus)
{
    struct Row
    {
        Status m_status;
        bool m_bMayStart;
        int m_nExit;
        std::string m_sLog;
        std::string m_sFileAfter;
    };
    const std::vector<Row> vRows = {
        {READY, true, -5, "", "READY\n"},
        {DELAYING, true, -5, "", "DELAYING\n"},
        {ANALYZING, true, -5, "", "ANALYZING\n"},
        {DOWNLOADING, true, -5, "", "DOWNLOADING\n"},
        {TESTING, true, -5, "", "TESTING\n"},
        {PKGSDONE, true, -5, "", "PKGSDONE\n"},
        {UPDATING, false, RESULT_FATAL,
         "FATAL: a previous update was interrupted; SYSTEM MAY BE CORRUPTED! Aborting",
         "CORRUPTED\n"},
        {CORRUPTED, false, RESULT_FATAL, "FATAL: system is corrupted cannot update", "CORRUPTED\n"},
        {REBOOTING, false, RESULT_ERROR, "INFO: machine is rebooting after update, cannot start",
         "REBOOTING\n"},
    };
    for (const Row& row : vRows)
    {
        SCOPED_TRACE(statusName(row.m_status));
        PrivatePaths paths;
        ASSERT_TRUE(saveStatus(row.m_status));
        LogCapture log;
        Status status = READY;
        ASSERT_TRUE(loadStatus(status));
        int nExit = -5;
        EXPECT_EQ(checkStatusForStart(status, nExit), row.m_bMayStart);
        EXPECT_EQ(nExit, row.m_nExit);
        if (row.m_sLog.empty())
        {
            EXPECT_EQ(log.text(), "");
        }
        else
        {
            EXPECT_TRUE(log.contains(row.m_sLog)) << log.text();
        }
        EXPECT_EQ(readFile(paths.paths().m_sStatusFile), row.m_sFileAfter);
    }
}

TEST(StartCheck, InterruptedInstallationStaysCorrupted)
{
    PrivatePaths paths;
    LogCapture log;
    ASSERT_TRUE(saveStatus(UPDATING));
    for (int nStart = 0; nStart < 3; ++nStart)
    {
        Status status = READY;
        ASSERT_TRUE(loadStatus(status));
        int nExit = 0;
        EXPECT_FALSE(checkStatusForStart(status, nExit));
        EXPECT_EQ(nExit, RESULT_FATAL);
        EXPECT_EQ(readFile(paths.paths().m_sStatusFile), "CORRUPTED\n");
    }
}

TEST(StartCheck, FailedCorruptedMarkIsWarned)
{
    PrivatePaths paths;
    UpdaterPaths changed = paths.paths();
    changed.m_sStatusFile = paths.file("missing/status");
    paths.apply(changed);
    LogCapture log;
    int nExit = 0;
    EXPECT_FALSE(checkStatusForStart(UPDATING, nExit));
    EXPECT_EQ(nExit, RESULT_FATAL);
    EXPECT_TRUE(log.contains("WARNING: failed updating status file")) << log.text();
}

TEST(UpdateStateFile, ReadsKnownNamesOnly)
{
    struct Row
    {
        std::optional<std::string> m_sContent; // none: no file
        UpdateState m_state;
        std::string m_sLog;
    };
    const std::vector<Row> vRows = {
        {std::nullopt, NONE, ""},
        {"AVAILABLE\n", AVAILABLE, ""},
        {"PENDING and more\n", PENDING, ""},
        {"\n COMPLETE", COMPLETE, ""},
        {"pending\n", NONE, "WARNING: unknown update state 'pending'"},
        {"NONE\n", NONE, "WARNING: unknown update state 'NONE'"},
        {"", NONE, "DEBUG: failed reading from update state file"},
    };
    for (const Row& row : vRows)
    {
        SCOPED_TRACE(row.m_sContent.value_or("(no file)"));
        PrivatePaths paths;
        if (row.m_sContent)
            writeFile(paths.paths().m_sUpdateStateFile, *row.m_sContent);
        LogCapture log;
        EXPECT_EQ(loadUpdateState(), row.m_state);
        if (row.m_sLog.empty())
        {
            EXPECT_EQ(log.text(), "");
        }
        else
        {
            EXPECT_TRUE(log.contains(row.m_sLog)) << log.text();
        }
    }
}

TEST(UpdateStateFile, UnreadableFileIsNone)
{
    PrivatePaths paths;
    UpdaterPaths changed = paths.paths();
    writeFile(paths.file("plain"), "x");
    changed.m_sUpdateStateFile = paths.file("plain") + "/update-state";
    paths.apply(changed);
    LogCapture log;
    EXPECT_EQ(loadUpdateState(), NONE);
    EXPECT_TRUE(log.contains("DEBUG: cannot read from update state file: Not a directory"))
        << log.text();
}

TEST(UpdateStateFile, SameStateIsWrittenOnce)
{
    PrivatePaths paths;
    const std::string& sFile = paths.paths().m_sUpdateStateFile;
    ASSERT_EQ(loadUpdateState(), NONE);
    saveUpdateState(COMPLETE);
    EXPECT_EQ(readFile(sFile), "COMPLETE\n");
    writeFile(sFile, "changed by someone else\n");
    saveUpdateState(COMPLETE);
    EXPECT_EQ(readFile(sFile), "changed by someone else\n");
    saveUpdateState(PENDING);
    EXPECT_EQ(readFile(sFile), "PENDING\n");

    // A value read from the file counts as written.
    writeFile(sFile, "AVAILABLE\n");
    ASSERT_EQ(loadUpdateState(), AVAILABLE);
    writeFile(sFile, "marker\n");
    saveUpdateState(AVAILABLE);
    EXPECT_EQ(readFile(sFile), "marker\n");
}

TEST(UpdateStateFile, NoneIsNeverWritten)
{
    PrivatePaths paths;
    (void)loadUpdateState();
    LogCapture log;
    saveUpdateState(NONE);
    EXPECT_TRUE(log.contains("WARNING: ignoring request to save NONE as update state"))
        << log.text();
    EXPECT_FALSE(testing_support::fileExists(paths.paths().m_sUpdateStateFile));
}

TEST(UpdateStateFile, FailedWriteIsRetried)
{
    PrivatePaths paths;
    UpdaterPaths changed = paths.paths();
    changed.m_sUpdateStateFile = paths.file("later/update-state");
    paths.apply(changed);
    (void)loadUpdateState();
    {
        LogCapture log;
        saveUpdateState(PENDING);
        EXPECT_TRUE(log.contains(
            "WARNING: failed to open update state file for save: No such file or directory"))
            << log.text();
    }
    ASSERT_EQ(mkdir(paths.file("later").c_str(), 0755), 0);
    saveUpdateState(PENDING);
    EXPECT_EQ(readFile(changed.m_sUpdateStateFile), "PENDING\n");
}

TEST(UpdateStateFile, FailedFlushIsReportedAndNotCached)
{
    PrivatePaths paths;
    const auto body = [&]
    {
        CHILD_CHECK(mountSmallFilesystem(paths.dir()));
        (void)loadUpdateState();
        fillFilesystem(paths.dir());
        std::string sLog;
        {
            LogCapture log;
            saveUpdateState(COMPLETE);
            sLog = log.text();
        }
        CHILD_CHECK(
            sLog.find("WARNING: failed writing to update state file: No space left on device") !=
            std::string::npos);
        // Not cached: once there is room, the same value is written.
        CHILD_CHECK(unlink(paths.file("filler").c_str()) == 0);
        saveUpdateState(COMPLETE);
        CHILD_CHECK(readFile(paths.paths().m_sUpdateStateFile) == "COMPLETE\n");
        _exit(0);
    };
    EXPECT_EXIT(body(), ::testing::ExitedWithCode(0), "");
}

TEST(UpdateStateDecision, Rules)
{
    struct Row
    {
        unsigned m_nAvailable;
        unsigned m_nHandled;
        bool m_bSuccess;
        bool m_bUpdaterOnly;
        UpdateState m_previous;
        UpdateState m_expected;
    };
    const std::vector<Row> vRows = {
        // Some installed, others remain.
        {5, 2, true, false, NONE, PENDING},
        {5, 2, false, false, COMPLETE, PENDING},
        // Only the updater itself was installed.
        {5, 5, true, true, NONE, PENDING},
        {1, 1, true, true, AVAILABLE, PENDING},
        // Everything handled, or nothing to do.
        {3, 3, true, false, PENDING, COMPLETE},
        {0, 0, true, false, NONE, COMPLETE},
        {0, 0, true, false, PENDING, COMPLETE},
        {2, 4, true, false, NONE, COMPLETE},
        // A check-only run that found updates.
        {3, 0, true, false, NONE, AVAILABLE},
        {3, 0, true, false, COMPLETE, AVAILABLE},
        {3, 3, false, false, COMPLETE, AVAILABLE},
        // A partial installation stays recorded until completed.
        {3, 0, true, false, PENDING, PENDING},
        {3, 0, false, false, PENDING, PENDING},
        // Failed runs with nothing found keep the previous value.
        {0, 0, false, false, AVAILABLE, AVAILABLE},
        {0, 0, false, false, NONE, NONE},
    };
    for (const Row& row : vRows)
    {
        SCOPED_TRACE(::testing::Message() << "A=" << row.m_nAvailable << " I=" << row.m_nHandled
                                          << " success=" << row.m_bSuccess << " updaterOnly="
                                          << row.m_bUpdaterOnly << " previous=" << row.m_previous);
        EXPECT_EQ(decideUpdateState(row.m_nAvailable, row.m_nHandled, row.m_bSuccess,
                                    row.m_bUpdaterOnly, row.m_previous),
                  row.m_expected);
    }
}

TEST(UpdateStateDecision, RecordingWritesOnlyChanges)
{
    PrivatePaths paths;
    const std::string& sFile = paths.paths().m_sUpdateStateFile;
    recordUpdateState(0, 0, false, false);
    EXPECT_FALSE(testing_support::fileExists(sFile));
    recordUpdateState(4, 0, true, false);
    EXPECT_EQ(readFile(sFile), "AVAILABLE\n");
    recordUpdateState(4, 1, true, false);
    EXPECT_EQ(readFile(sFile), "PENDING\n");
    recordUpdateState(4, 0, true, false);
    EXPECT_EQ(readFile(sFile), "PENDING\n");
    recordUpdateState(3, 3, true, false);
    EXPECT_EQ(readFile(sFile), "COMPLETE\n");
}
