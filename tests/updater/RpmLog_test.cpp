#include "updater/RpmLog.h"

#include "TestSupport.h"
#include "base/Logger.h"

#include <gtest/gtest.h>
#include <rpm/rpmlog.h>

using namespace testing_support;

TEST(RpmLog, PriorityLevels)
{
    struct Row
    {
        int nPriority;
        int nLevel;
    };
    const Row rows[] = {
        {RPMLOG_EMERG, FATAL},
        {RPMLOG_ALERT, FATAL},
        {RPMLOG_CRIT, FATAL},
        {RPMLOG_ERR, ERROR},
        {RPMLOG_WARNING, WARNING},
        {RPMLOG_NOTICE, INFO},
        {RPMLOG_INFO, INFO},
        {RPMLOG_DEBUG, DEBUG},
        // Only the low three bits are the priority.
        {RPMLOG_ERR | (3 << 3), ERROR},
        {RPMLOG_DEBUG | (1 << 3), DEBUG},
    };
    for (const Row& row : rows)
        EXPECT_EQ(rpmPriorityLevel(row.nPriority), row.nLevel) << row.nPriority;
}

TEST(RpmLog, MessagesReachTheLoggerWithOneNewlineRemoved)
{
    LogCapture log;
    {
        RpmLogRoute route;
        rpmlog(RPMLOG_ERR, "cannot open %s\n", "Packages");
        rpmlog(RPMLOG_WARNING, "no newline");
        rpmlog(RPMLOG_NOTICE, "two newlines\n\n");
        rpmlog(RPMLOG_CRIT, "crit\n");
    }
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "ERROR: rpmlib: cannot open Packages",
                               "WARNING: rpmlib: no newline",
                               "INFO: rpmlib: two newlines",
                               "",
                               "FATAL: rpmlib: crit",
                           }));
    // Once the route is gone rpm's messages no longer reach the logger.
    log.clear();
    FILE* pNull = std::fopen("/dev/null", "w");
    rpmlogSetFile(pNull);
    rpmlog(RPMLOG_ERR, "after\n");
    rpmlogSetFile(nullptr);
    std::fclose(pNull);
    EXPECT_EQ(log.text(), "");
}
