// Download progress: a line at most once a minute, the final line once, and the flags
// kept even when the log threshold hides the lines.

#include "base/Logger.h"
#include "repository/ItemNotify.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

using testing_support::LogCapture;

TEST(ItemNotifyTest, ProgressLinesAtMostOncePerMinute)
{
    LogCapture log;
    ItemNotify notifier;
    EXPECT_EQ(notifier.m_nTotal, 0);
    EXPECT_EQ(notifier.m_nCount, 0);
    EXPECT_FALSE(notifier.m_bReported);
    EXPECT_FALSE(notifier.m_bFinished);
    EXPECT_LE(notifier.m_tLastReport, time(nullptr));
    notifier.m_nTotal = 2;

    // Within the first minute nothing is printed, not even when everything has arrived.
    notifier.notify(3);
    notifier.m_nCount = 2;
    notifier.notify(0);
    EXPECT_FALSE(notifier.m_bFinished);
    EXPECT_EQ(log.text(), "");

    // A minute later a progress line, then nothing more within the next minute.
    notifier.m_nCount = 1;
    notifier.m_tLastReport -= 60;
    notifier.notify(5);
    notifier.notify(5);
    EXPECT_TRUE(notifier.m_bReported);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"INFO: downloading... (1/2)"}));

    // The final line once, after a progress line was printed.
    notifier.m_nCount = 2;
    notifier.notify(0);
    notifier.m_tLastReport -= 600;
    notifier.notify(0);
    EXPECT_TRUE(notifier.m_bFinished);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"INFO: downloading... (1/2)", "INFO: downloaded (2/2)"}));
}

TEST(ItemNotifyTest, FlagsAreSetBelowTheThresholdToo)
{
    testing_support::LogCapture log;
    int nOld = logger().threshold();
    logger().setLevel(ERROR);
    ItemNotify notifier;
    notifier.m_nTotal = 1;
    notifier.m_tLastReport -= 61;
    notifier.notify(0);
    EXPECT_TRUE(notifier.m_bReported);
    notifier.m_nCount = 1;
    notifier.notify(0);
    EXPECT_TRUE(notifier.m_bFinished);
    logger().setLevel(nOld);
    EXPECT_EQ(log.text(), "");
}
