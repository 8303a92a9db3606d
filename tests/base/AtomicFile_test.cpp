// Replacing a file through a temporary one: the data reaches the medium before the rename,
// and a failure leaves the old file and no temporary file.

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "base/AtomicFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

namespace
{

int openTemp(const std::string& sPath, const std::string& sContent)
{
    const int nFd = ::open(sPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    EXPECT_GE(nFd, 0);
    EXPECT_EQ(::write(nFd, sContent.data(), sContent.size()),
              static_cast<ssize_t>(sContent.size()));
    return nFd;
}

bool exists(const std::string& sPath)
{
    struct stat info;
    return ::stat(sPath.c_str(), &info) == 0;
}

} // namespace

TEST(ReplaceFile, ReplacesOrLeavesTheOldFile)
{
    TempDir dir;
    const std::string sTarget = dir.file("status");
    writeFile(sTarget, "READY\n");

    EXPECT_EQ(replaceFile(openTemp(sTarget + ".tmp", "UPDATING\n"), sTarget + ".tmp", sTarget),
              ReplaceStep::DONE);
    EXPECT_EQ(readFile(sTarget), "UPDATING\n");
    EXPECT_FALSE(exists(sTarget + ".tmp"));

    // A target that cannot be renamed onto: the old file stays, the temporary file goes.
    const std::string sMissingDir = dir.file("missing/status");
    errno = 0;
    EXPECT_EQ(replaceFile(openTemp(sTarget + ".tmp", "x"), sTarget + ".tmp", sMissingDir),
              ReplaceStep::RENAME);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(exists(sTarget + ".tmp"));
    EXPECT_EQ(readFile(sTarget), "UPDATING\n");

    // A descriptor that cannot be synced fails before anything is renamed.
    writeFile(sTarget + ".tmp", "x");
    EXPECT_EQ(replaceFile(-1, sTarget + ".tmp", sTarget), ReplaceStep::SYNC);
    EXPECT_EQ(errno, EBADF);
    EXPECT_FALSE(exists(sTarget + ".tmp"));
    EXPECT_EQ(readFile(sTarget), "UPDATING\n");

    EXPECT_EQ(parentDirectory("/var/lib/updater/status"), "/var/lib/updater");
    EXPECT_EQ(parentDirectory("/status"), "/");
    EXPECT_EQ(parentDirectory("status"), ".");
}

TEST(ReplaceFile, DataIsSyncedBeforeTheRenameAndTheDirectoryAfter)
{
    if (testing_support::runShell("command -v strace >/dev/null") != 0)
        GTEST_SKIP() << "strace not installed";
    TempDir dir;
    const std::string sTarget = dir.file("file");
    const std::string sTrace = dir.file("trace");
    const pid_t nPid = fork();
    ASSERT_GE(nPid, 0);
    if (nPid == 0)
    {
        // Stopped until the tracer is attached.
        raise(SIGSTOP);
        const std::string sTemp = sTarget + ".tmp";
        const int nFd = ::open(sTemp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const bool bOk = nFd >= 0 && ::write(nFd, "data\n", 5) == 5 &&
                         replaceFile(nFd, sTemp, sTarget) == ReplaceStep::DONE;
        _exit(bOk ? 0 : 1);
    }
    int nWait = 0;
    ASSERT_EQ(waitpid(nPid, &nWait, WUNTRACED), nPid);
    const std::string sCommand =
        "strace -y -e trace=fsync,fdatasync,rename,renameat,renameat2 -o " + sTrace + " -p " +
        std::to_string(nPid) + " & tracer=$!; sleep 0.5; kill -CONT " + std::to_string(nPid) +
        "; wait $tracer";
    EXPECT_EQ(testing_support::runShell(sCommand), 0);
    ASSERT_EQ(waitpid(nPid, &nWait, 0), nPid);
    EXPECT_TRUE(WIFEXITED(nWait) && WEXITSTATUS(nWait) == 0);

    // One word per traced call, in order: the synced path, or "rename".
    std::vector<std::string> vCalls;
    std::istringstream in(readFile(sTrace));
    for (std::string sLine; std::getline(in, sLine);)
    {
        if (sLine.rfind("rename", 0) == 0)
            vCalls.push_back("rename");
        else if (sLine.rfind("fsync(", 0) == 0)
            vCalls.push_back(
                sLine.substr(sLine.find('<') + 1, sLine.find('>') - sLine.find('<') - 1));
    }
    const std::vector<std::string> vExpected = {sTarget + ".tmp", "rename", dir.path()};
    EXPECT_EQ(vCalls, vExpected) << readFile(sTrace);
}
