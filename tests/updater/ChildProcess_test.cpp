#include "DriverTestSupport.h"
#include "updater/ChildProcess.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>

using driver_test::PrivatePaths;
using testing_support::LogCapture;
using testing_support::readFile;
using testing_support::writeFile;

TEST(ChildProcess, ArgumentZeroIsTheBaseName)
{
    EXPECT_EQ(ChildProcess("/usr/lib/updater/hook").arguments(), std::vector<std::string>{"hook"});
    EXPECT_EQ(ChildProcess("rpm").arguments(), std::vector<std::string>{"rpm"});

    // The shell reports the argument 0 it was given as $0 of -c.
    ChildProcess child("/bin/sh");
    child.addArgument("-c");
    child.addArgument("echo \"arg0=$0\"");
    LogCapture log;
    ASSERT_TRUE(child.run());
    EXPECT_TRUE(log.contains("INFO:   arg0=sh\n")) << log.text();
    EXPECT_TRUE(child.exited());
    EXPECT_EQ(child.exitCode(), 0);
    EXPECT_EQ(child.pid(), 0);
}

TEST(ChildProcess, OutputIsSplitIntoPieces)
{
    PrivatePaths paths;
    const std::string sData = paths.file("data");
    const std::string sLong(2500, 'a');
    // Exactly 1024 characters: the last one is a piece of its own with the newline.
    const std::string sExact(1024, 'b');
    writeFile(sData, "hello world\n" // ordinary line
                     "x\n"           // one character keeps its newline
                     "\n"            // empty line: skipped
                         + sLong + "\n" + sExact + "\n" +
                         "  indented\n"
                         "zz"); // two characters without newline are logged
    ChildProcess child("cat");
    child.addArgument(sData);
    LogCapture log;
    ASSERT_TRUE(child.run());

    const std::string sText = log.text();
    const std::string sExpected =
        std::string("INFO: cat output:\n") + "INFO:   hello world\n" + "INFO:   x\n\n" +
        "INFO:   " + std::string(1023, 'a') + "\n" + "INFO:   " + std::string(1023, 'a') + "\n" +
        "INFO:   " + std::string(2500 - 2046, 'a') + "\n" + "INFO:   " + std::string(1023, 'b') +
        "\n" + "INFO:   b\n\n" + "INFO:     indented\n" + "INFO:   zz\n";
    EXPECT_NE(sText.find(sExpected), std::string::npos) << sText;
    EXPECT_EQ(sText.find("INFO: cat output:"), sText.rfind("INFO: cat output:"));
}

TEST(ChildProcess, LoneCharacterAtEndAndSilentChildLogNothing)
{
    for (const char* pScript : {"printf z", "true", "printf '\\n\\n'"})
    {
        SCOPED_TRACE(pScript);
        ChildProcess child("/bin/sh");
        child.addArgument("-c");
        child.addArgument(pScript);
        LogCapture log;
        ASSERT_TRUE(child.run());
        EXPECT_FALSE(log.contains("output:")) << log.text();
        EXPECT_FALSE(log.contains("INFO:   ")) << log.text();
    }
}

TEST(ChildProcess, StandardErrorGoesToTheLogAndStdinIsDevNull)
{
    ChildProcess child("/bin/sh");
    child.addArgument("-c");
    child.addArgument("echo to-stderr >&2; echo stdin=$(readlink /proc/self/fd/0); exit 7");
    LogCapture log;
    ASSERT_TRUE(child.run());
    EXPECT_TRUE(log.contains("INFO: /bin/sh output:\nINFO:   to-stderr\nINFO:   stdin=/dev/null\n"))
        << log.text();
    EXPECT_TRUE(log.contains("DEBUG: started child '/bin/sh' with PID ")) << log.text();
    EXPECT_TRUE(log.contains("DEBUG: child '/bin/sh' exited with code 7")) << log.text();
    EXPECT_TRUE(child.exited());
    EXPECT_FALSE(child.signaled());
    EXPECT_EQ(child.exitCode(), 7);
}

TEST(ChildProcess, MissingProgramExitsWithOne)
{
    PrivatePaths paths;
    const std::string sProgram = paths.file("no-such-program");
    ChildProcess child(sProgram);
    LogCapture log;
    ASSERT_TRUE(child.run());
    EXPECT_TRUE(child.exited());
    EXPECT_EQ(child.exitCode(), 1);
    EXPECT_TRUE(log.contains("INFO:   " + sProgram + ": No such file or directory")) << log.text();

    // The same through the PATH lookup.
    ChildProcess unknown("updater-test-no-such-command");
    ASSERT_TRUE(unknown.run());
    EXPECT_EQ(unknown.exitCode(), 1);
    EXPECT_TRUE(log.contains("INFO:   updater-test-no-such-command: No such file or directory"))
        << log.text();
}

TEST(ChildProcess, KilledChild)
{
    ChildProcess child("/bin/sh");
    child.addArgument("-c");
    child.addArgument("echo before; kill -KILL $$; echo after");
    LogCapture log;
    ASSERT_TRUE(child.run());
    EXPECT_FALSE(child.exited());
    EXPECT_TRUE(child.signaled());
    EXPECT_EQ(child.exitCode(), SIGKILL);
    EXPECT_TRUE(log.contains("INFO:   before")) << log.text();
    EXPECT_FALSE(log.contains("after")) << log.text();
    EXPECT_TRUE(log.contains("ERROR: child '/bin/sh' terminated by signal 9")) << log.text();
}

TEST(ChildProcess, WaitWithoutChild)
{
    ChildProcess child("true");
    LogCapture log;
    EXPECT_FALSE(child.wait());
    EXPECT_EQ(log.text(), "");
    ASSERT_TRUE(child.run());
    EXPECT_FALSE(child.wait());
}

TEST(ChildProcess, NoDescriptorsLeakIntoTheChild)
{
    PrivatePaths paths;
    // Like the lock file: close-on-exec, so programs never hold the lock.
    const std::string sLock = paths.file("lock");
    const int nLockFd = open(sLock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_GE(nLockFd, 0);
    ChildProcess child("ls");
    child.addArgument("-l");
    child.addArgument("/proc/self/fd/");
    LogCapture log;
    ASSERT_TRUE(child.run());
    close(nLockFd);
    const std::string sText = log.text();
    EXPECT_EQ(sText.find(sLock), std::string::npos) << sText;
    // Standard output and error are the write end; the read end stays with the parent.
    const std::string::size_type nOut = sText.find(" 1 -> pipe:[");
    ASSERT_NE(nOut, std::string::npos) << sText;
    const std::string sPipe = sText.substr(nOut + 6, sText.find(']', nOut) - nOut - 5);
    size_t nPipes = 0;
    for (std::string::size_type n = sText.find(sPipe); n != std::string::npos;
         n = sText.find(sPipe, n + 1))
        ++nPipes;
    EXPECT_EQ(nPipes, 2u) << sPipe << "\n" << sText;
    EXPECT_NE(sText.find(" 2 -> " + sPipe), std::string::npos) << sText;
    EXPECT_NE(sText.find(" 0 -> /dev/null"), std::string::npos) << sText;
}

TEST(ChildProcess, GrandchildKeepsThePipeOpen)
{
    // The parent reads until every writer has closed the pipe.
    ChildProcess child("/bin/sh");
    child.addArgument("-c");
    child.addArgument("(sleep 0.3; echo from-grandchild) & echo from-child");
    LogCapture log;
    ASSERT_TRUE(child.run());
    EXPECT_TRUE(log.contains("INFO:   from-child")) << log.text();
    EXPECT_TRUE(log.contains("INFO:   from-grandchild")) << log.text();
}

TEST(ChildProcess, PipeFailureMeansNotStarted)
{
    const auto body = [&]
    {
        std::string sLog;
        bool bStarted = true;
        int nPid = -1;
        {
            LogCapture log;
            const rlimit limit{32, 32};
            setrlimit(RLIMIT_NOFILE, &limit);
            std::vector<int> vFds;
            for (int nFd; (nFd = open("/dev/null", O_RDONLY)) >= 0;)
                vFds.push_back(nFd);
            ChildProcess child("true");
            bStarted = child.run();
            nPid = child.pid();
            for (int nFd : vFds)
                close(nFd);
            sLog = log.text();
        }
        CHILD_CHECK(!bStarted);
        CHILD_CHECK(sLog.find("ERROR: failed creating pipe to run 'true' (Too many open files)") !=
                    std::string::npos);
        CHILD_CHECK(nPid == 0);
        _exit(0);
    };
    EXPECT_EXIT(body(), ::testing::ExitedWithCode(0), "");
}

TEST(ChildProcess, BackgroundChildOutlivesItsParent)
{
    PrivatePaths paths;
    const std::string sResult = paths.file("result");
    const std::string sScript = paths.script(
        "background",
        "fds=\"0=$(readlink /proc/$$/fd/0) 1=$(readlink /proc/$$/fd/1) 2=$(readlink "
        "/proc/$$/fd/2)\"\n"
        "sleep 0.3\n"
        "{ echo \"args=$*\"; echo \"$fds\"; echo \"sid=$(cut -d' ' -f6 /proc/$$/stat) pid=$$\";\n"
        "  grep SigIgn /proc/$$/status; } > " +
            sResult +
            ".tmp\n"
            "mv " +
            sResult + ".tmp " + sResult + "\n");
    const std::string sPidFile = paths.file("pid");

    // The intermediate process stands for the updater, which exits right after.
    const auto body = [&]
    {
        signal(SIGPIPE, SIG_IGN);
        ChildProcess child(sScript);
        child.addArgument("-r");
        child.addArgument("+1");
        child.addArgument("two words");
        bool bStarted = false;
        std::string sLog;
        {
            LogCapture log;
            bStarted = child.runInBackground();
            sLog = log.text();
        }
        CHILD_CHECK(bStarted);
        CHILD_CHECK(child.pid() > 0);
        CHILD_CHECK(sLog.find("DEBUG: started background child '" + sScript + "' with PID " +
                              std::to_string(child.pid())) != std::string::npos);
        writeFile(sPidFile, std::to_string(child.pid()));
        _exit(0);
    };
    EXPECT_EXIT(body(), ::testing::ExitedWithCode(0), "");

    ASSERT_TRUE(driver_test::waitForFile(sResult));
    const std::string sPid = readFile(sPidFile);
    const std::string sText = readFile(sResult);
    EXPECT_NE(sText.find("args=-r +1 two words\n0=/dev/null 1=/dev/null 2=/dev/null\n"),
              std::string::npos)
        << sText;
    // A session of its own.
    EXPECT_NE(sText.find("sid=" + sPid + " pid=" + sPid + "\n"), std::string::npos) << sText;
    // SIGPIPE (bit 13) is the default again although the parent ignored it.
    const std::string::size_type nIgn = sText.find("SigIgn:");
    ASSERT_NE(nIgn, std::string::npos);
    const unsigned long long nMask = std::stoull(sText.substr(nIgn + 7), nullptr, 16);
    EXPECT_EQ(nMask & (1ULL << (SIGPIPE - 1)), 0u) << sText;
}

TEST(ChildProcess, StartingAgainWithoutWaitWarns)
{
    PrivatePaths paths;
    ChildProcess child("true");
    LogCapture log;
    ASSERT_TRUE(child.runInBackground());
    const int nPid = child.pid();
    ASSERT_TRUE(child.run());
    EXPECT_TRUE(log.contains("WARNING: Did not wait on previously spawned helper")) << log.text();
    EXPECT_TRUE(child.exited());
    int nStatus = 0;
    EXPECT_EQ(waitpid(nPid, &nStatus, 0), nPid);
}
