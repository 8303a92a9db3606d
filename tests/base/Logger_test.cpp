#include "base/Logger.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

namespace
{

using testing_support::LogCapture;
using testing_support::readFile;
using testing_support::TempDir;

// Restores the process-wide logger settings that a test changes.
class LoggerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_nThreshold = logger().threshold();
        m_bStderr = logger().toStderr();
        logger().setStderr(false);
    }
    void TearDown() override
    {
        logger().setLevel(m_nThreshold);
        logger().setStderr(m_bStderr);
    }

    TempDir m_dir;

private:
    int m_nThreshold = INFO;
    bool m_bStderr = true;
};

TEST_F(LoggerTest, ThresholdAndPerFileLevels)
{
    const std::string sTrace = m_dir.file("trace.log"), sInfo = m_dir.file("info.log");
    ASSERT_TRUE(logger().addFile(sTrace, TRACE, false));
    ASSERT_TRUE(logger().addFile(sInfo, INFO, false));

    logger().setLevel(WARNING);
    logMessage(INFO, "dropped %d", 1);
    logMessage(ERROR, "kept %s", "everywhere");
    logger().setLevel(TRACE);
    logMessage(DEBUG, "debug %d", 2);
    logMessage(7, "odd level");

    EXPECT_EQ(readFile(sTrace), "ERROR: kept everywhere\nDEBUG: debug 2\nUNKNOWN: odd level\n");
    EXPECT_EQ(readFile(sInfo), "ERROR: kept everywhere\nUNKNOWN: odd level\n");
    EXPECT_TRUE(logger().removeFile(sTrace));
    EXPECT_TRUE(logger().removeFile(sInfo));
}

TEST_F(LoggerTest, AddingTheSamePathChangesItsLevelOnly)
{
    const std::string sPath = m_dir.file("same.log");
    testing_support::writeFile(sPath, "old line\n");
    ASSERT_TRUE(logger().addFile(sPath, TRACE, true));
    logMessage(ERROR, "first");
    // The second call neither reopens (truncates) the file nor adds a second entry.
    ASSERT_TRUE(logger().addFile(sPath, ERROR, false));
    logMessage(WARNING, "filtered");
    logMessage(FATAL, "second");
    EXPECT_TRUE(logger().removeFile(sPath));
    EXPECT_FALSE(logger().removeFile(sPath));
    logMessage(FATAL, "after removal");
    EXPECT_EQ(readFile(sPath), "old line\nERROR: first\nFATAL: second\n");
}

TEST_F(LoggerTest, UnopenableFileIsReported)
{
    LogCapture log;
    EXPECT_FALSE(logger().addFile(m_dir.file("missing/dir.log"), TRACE, true));
    EXPECT_TRUE(log.contains("ERROR: cannot open log file " + m_dir.file("missing/dir.log") +
                             ": No such file or directory"));
    EXPECT_FALSE(logger().removeFile(m_dir.file("missing/dir.log")));
}

TEST_F(LoggerTest, EveryOutputGetsTheWholeMessage)
{
    // Formatting consumes a va_list; each output must format from its own copy.
    const std::string sA = m_dir.file("a.log"), sB = m_dir.file("b.log");
    ASSERT_TRUE(logger().addFile(sA, TRACE, false));
    ASSERT_TRUE(logger().addFile(sB, TRACE, false));
    logger().setLevel(TRACE);
    logger().setStderr(true);
    testing::internal::CaptureStderr();
    logMessage(INFO, "%s-%d-%s", "x", 42, "y");
    const std::string sStderr = testing::internal::GetCapturedStderr();
    logger().setStderr(false);
    EXPECT_EQ(sStderr, "INFO: x-42-y\n");
    EXPECT_EQ(readFile(sA), "INFO: x-42-y\n");
    EXPECT_EQ(readFile(sB), "INFO: x-42-y\n");
    EXPECT_TRUE(logger().removeFile(sA));
    EXPECT_TRUE(logger().removeFile(sB));
}

TEST_F(LoggerTest, LevelAndFacilityNamesAreExact)
{
    LogCapture log;
    EXPECT_EQ(parseLogLevel("trace"), TRACE);
    EXPECT_EQ(parseLogLevel("debug"), DEBUG);
    EXPECT_EQ(parseLogLevel("info"), INFO);
    EXPECT_EQ(parseLogLevel("warn"), WARNING);
    EXPECT_EQ(parseLogLevel("error"), ERROR);
    EXPECT_EQ(parseLogLevel("fatal"), FATAL);
    EXPECT_EQ(log.text(), "");
    for (const char* pName : {"Warn", "WARN", "warning", "", "info "})
    {
        log.clear();
        EXPECT_EQ(parseLogLevel(pName), INFO);
        EXPECT_EQ(log.text(),
                  std::string("ERROR: unrecognized logger level '") + pName + "' using 'info'\n");
    }

    EXPECT_EQ(parseSyslogFacility("daemon"), LOG_DAEMON);
    EXPECT_EQ(parseSyslogFacility("user"), LOG_USER);
    EXPECT_EQ(parseSyslogFacility("local0"), LOG_LOCAL0);
    EXPECT_EQ(parseSyslogFacility("local7"), LOG_LOCAL7);
    log.clear();
    EXPECT_EQ(parseSyslogFacility("local8"), LOG_DAEMON);
    EXPECT_EQ(parseSyslogFacility("Daemon"), LOG_DAEMON);
    EXPECT_EQ(log.text(), "ERROR: unrecognized syslog facility 'local8' using 'daemon'\n"
                          "ERROR: unrecognized syslog facility 'Daemon' using 'daemon'\n");
}

TEST(LoggerTables, NamesAndPriorities)
{
    EXPECT_STREQ(logLevelName(WARNING), "WARNING");
    EXPECT_STREQ(logLevelName(-1), "UNKNOWN");
    EXPECT_STREQ(logLevelName(6), "UNKNOWN");
    EXPECT_EQ(logLevelPriority(TRACE), LOG_DEBUG);
    EXPECT_EQ(logLevelPriority(DEBUG), LOG_DEBUG);
    EXPECT_EQ(logLevelPriority(INFO), LOG_INFO);
    EXPECT_EQ(logLevelPriority(WARNING), LOG_WARNING);
    EXPECT_EQ(logLevelPriority(ERROR), LOG_ERR);
    EXPECT_EQ(logLevelPriority(FATAL), LOG_CRIT);
    EXPECT_EQ(logLevelPriority(42), LOG_DEBUG);
    errno = ENOENT;
    EXPECT_EQ(errnoText(), "No such file or directory");
}

TEST(LoggerDefaults, FreshLoggerWritesInfoAndAboveToStderrOnly)
{
    Logger fresh;
    EXPECT_EQ(fresh.threshold(), INFO);
    EXPECT_TRUE(fresh.toStderr());
    EXPECT_FALSE(fresh.toSyslog());
    EXPECT_FALSE(fresh.removeFile("/never/added"));
}

} // namespace
