#include "DriverTestSupport.h"
#include "updater/Hooks.h"
#include "updater/Result.h"
#include "updater/Status.h"

#include <gtest/gtest.h>

using driver_test::PrivatePaths;
using testing_support::LogCapture;
using testing_support::readFile;

namespace
{

// A stub that records its arguments, one a line, into "<name>.args" and then runs sBody.
std::string recordingStub(const PrivatePaths& paths, const std::string& sName,
                          const std::string& sBody)
{
    const std::string sArgs = paths.file(sName + ".args");
    return paths.script(sName, "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > " + sArgs +
                                   ".tmp\nmv " + sArgs + ".tmp " + sArgs + "\n" + sBody);
}

} // namespace

TEST(Hook, ResultFollowsTheExitOfTheHook)
{
    struct Row
    {
        std::string m_sBody;
        int m_nResult;
        std::string m_sLog;
    };
    const std::vector<Row> vRows = {
        {"exit 0\n", RESULT_OK, ""},
        {"exit 1\n", RESULT_FAILED, "ERROR: hook failed (exit code 1)"},
        {"exit 3\n", RESULT_FAILED, "ERROR: hook failed (exit code 3)"},
        {"kill -TERM $$\n", RESULT_ERROR, "ERROR: hook was interrupted"},
    };
    for (const Row& row : vRows)
    {
        SCOPED_TRACE(row.m_sBody);
        PrivatePaths paths;
        recordingStub(paths, "hook", row.m_sBody);
        LogCapture log;
        EXPECT_EQ(runHook("download"), row.m_nResult);
        EXPECT_TRUE(log.contains("INFO: running download hook")) << log.text();
        if (!row.m_sLog.empty())
        {
            EXPECT_TRUE(log.contains(row.m_sLog)) << log.text();
        }
        EXPECT_EQ(readFile(paths.file("hook.args")), "download\n1.4.0\n");
    }
}

TEST(Hook, CountArgumentAndOutputInTheLog)
{
    PrivatePaths paths;
    recordingStub(paths, "hook", "echo \"hook sees $1\"\necho problem >&2\n");
    LogCapture log;
    EXPECT_EQ(runHook("update", std::string("12")), RESULT_OK);
    EXPECT_EQ(readFile(paths.file("hook.args")), "update\n1.4.0\n12\n");
    EXPECT_TRUE(log.contains("INFO: " + paths.paths().m_sHookProgram +
                             " output:\nINFO:   hook sees update\n"
                             "INFO:   problem\n"))
        << log.text();
}

TEST(Hook, MissingOrNotExecutableHookFails)
{
    PrivatePaths paths;
    {
        LogCapture log;
        EXPECT_EQ(runHook("init"), RESULT_FAILED);
        EXPECT_TRUE(
            log.contains("INFO:   " + paths.paths().m_sHookProgram + ": No such file or directory"))
            << log.text();
        EXPECT_TRUE(log.contains("ERROR: hook failed (exit code 1)")) << log.text();
    }
    testing_support::writeFile(paths.paths().m_sHookProgram, "#!/bin/sh\nexit 0\n");
    {
        LogCapture log;
        EXPECT_EQ(runHook("init"), RESULT_FAILED);
        EXPECT_TRUE(log.contains(": Permission denied")) << log.text();
    }
}

TEST(Reboot, RunsTelinitThenStartsTheDelayedShutdown)
{
    PrivatePaths paths;
    recordingStub(paths, "telinit", "exit 0\n");
    recordingStub(paths, "shutdown", "exit 0\n");
    ASSERT_TRUE(saveStatus(READY));
    LogCapture log;
    ASSERT_TRUE(rebootSystem());
    EXPECT_TRUE(log.contains("INFO: rebooting for upgrades to take full effect")) << log.text();
    EXPECT_FALSE(log.contains("WARNING")) << log.text();
    EXPECT_EQ(readFile(paths.file("telinit.args")), "u\n");
    ASSERT_TRUE(driver_test::waitForFile(paths.file("shutdown.args")));
    EXPECT_EQ(readFile(paths.file("shutdown.args")), "-r\n+1\nrebooting after upgrade\n");
    EXPECT_EQ(readFile(paths.paths().m_sStatusFile), "REBOOTING\n");
}

TEST(Reboot, TelinitProblemsDoNotStopTheShutdown)
{
    struct Row
    {
        bool m_bTelinitPresent;
        std::string m_sBody;
        std::string m_sWarning;
    };
    const std::vector<Row> vRows = {
        {false, "", "WARNING: failed re-execing init (exit code 1)"},
        {true, "exit 4\n", "WARNING: failed re-execing init (exit code 4)"},
        {true, "kill -KILL $$\n", "WARNING: telinit was interrupted"},
    };
    for (const Row& row : vRows)
    {
        SCOPED_TRACE(row.m_sWarning);
        PrivatePaths paths;
        if (row.m_bTelinitPresent)
            recordingStub(paths, "telinit", row.m_sBody);
        recordingStub(paths, "shutdown", "exit 0\n");
        LogCapture log;
        ASSERT_TRUE(rebootSystem());
        EXPECT_TRUE(log.contains(row.m_sWarning)) << log.text();
        ASSERT_TRUE(driver_test::waitForFile(paths.file("shutdown.args")));
        EXPECT_EQ(readFile(paths.file("shutdown.args")), "-r\n+1\nrebooting after upgrade\n");
        EXPECT_EQ(readFile(paths.paths().m_sStatusFile), "REBOOTING\n");
    }
}

TEST(Reboot, StatusFailureIsOnlyWarned)
{
    PrivatePaths paths;
    recordingStub(paths, "telinit", "exit 0\n");
    recordingStub(paths, "shutdown", "exit 0\n");
    UpdaterPaths changed = paths.paths();
    changed.m_sStatusFile = paths.file("missing/status");
    paths.apply(changed);
    LogCapture log;
    EXPECT_TRUE(rebootSystem());
    EXPECT_TRUE(log.contains("WARNING: failed updating status file")) << log.text();
    EXPECT_TRUE(driver_test::waitForFile(paths.file("shutdown.args")));
}
