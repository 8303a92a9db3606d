#include "DriverTestSupport.h"
#include "updater/ChildProcess.h"
#include "updater/Signals.h"

#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <rpm/rpmdb.h>
#include <rpm/rpmlib.h>
#include <rpm/rpmmacro.h>
#include <rpm/rpmsq.h>
#include <rpm/rpmts.h>
#include <rpm/rpmutil.h>

// The signal queue interface is marked deprecated in librpm 4.18 but still in use.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

using driver_test::PrivatePaths;
using testing_support::LogCapture;

// Every test changes process-wide dispositions, so each runs in a forked child (a
// death-test statement) and leaves the test program's own dispositions alone.

namespace
{

struct sigaction currentAction(int nSignal)
{
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    sigaction(nSignal, nullptr, &action);
    return action;
}

bool isCatching(int nSignal)
{
    const struct sigaction action = currentAction(nSignal);
    return (action.sa_flags & SA_SIGINFO) && (action.sa_flags & SA_RESTART) &&
           action.sa_sigaction != nullptr;
}

bool hasHandler(int nSignal, void (*pHandler)(int))
{
    const struct sigaction action = currentAction(nSignal);
    return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == pHandler;
}

volatile sig_atomic_t g_nCustomCalls = 0;
void customHandler(int)
{
    g_nCustomCalls = g_nCustomCalls + 1;
}

void foreignRpmAction(int, siginfo_t*, void*) {}

// Reads the signal queue's action for a signal without changing it.
rpmsqAction_t rpmAction(int nSignal)
{
    const rpmsqAction_t pAction = rpmsqSetAction(nSignal, RPMSQ_DFL);
    rpmsqSetAction(nSignal, pAction);
    return pAction;
}

} // namespace

TEST(Signals, StartUpCatchesTerminationAndIgnoresSigpipe)
{
    const auto body = [&]
    {
        CHILD_CHECK(!terminationSignalCaught());
        CHILD_CHECK(terminationSignalNumber() == 0);
        CHILD_CHECK(installSignalHandlers());
        for (int nSignal : {SIGHUP, SIGINT, SIGTERM, SIGQUIT})
        {
            CHILD_CHECK(isCatching(nSignal));
            CHILD_CHECK(!isIgnoredByUs(nSignal));
            CHILD_CHECK(rpmAction(nSignal) != RPMSQ_DFL);
        }
        CHILD_CHECK(hasHandler(SIGPIPE, SIG_IGN));
        CHILD_CHECK(currentAction(SIGPIPE).sa_flags & SA_RESTART);
        CHILD_CHECK(isIgnoredByUs(SIGPIPE));

        // Only the first signal is kept; the process goes on.
        raise(SIGTERM);
        raise(SIGINT);
        raise(SIGPIPE);
        CHILD_CHECK(terminationSignalCaught());
        CHILD_CHECK(terminationSignalNumber() == SIGTERM);
        _exit(0);
    };
    EXPECT_EXIT(body(), ::testing::ExitedWithCode(0), "");
}

TEST(Signals, RepeatedInstallTouchesNothing)
{
    const auto body = [&]
    {
        CHILD_CHECK(installHandler(SIGINT, false));
        CHILD_CHECK(isCatching(SIGINT));
        // Changed behind the table's back: a repeated install must not notice.
        signal(SIGINT, SIG_DFL);
        const rpmsqAction_t pRpm = rpmAction(SIGINT);
        CHILD_CHECK(installHandler(SIGINT, false));
        CHILD_CHECK(hasHandler(SIGINT, SIG_DFL));
        CHILD_CHECK(rpmAction(SIGINT) == pRpm);

        CHILD_CHECK(installHandler(SIGPIPE, true));
        signal(SIGPIPE, SIG_DFL);
        CHILD_CHECK(installHandler(SIGPIPE, true));
        CHILD_CHECK(hasHandler(SIGPIPE, SIG_DFL));

        // Nothing to remove is no error.
        CHILD_CHECK(uninstallHandler(SIGUSR1));
        _exit(0);
    };
    EXPECT_EXIT(body(), ::testing::ExitedWithCode(0), "");
}

TEST(Signals, EnableRestoresTheActionsFoundAtStart)
{
    const auto body = [&]
    {
        signal(SIGTERM, customHandler);
        signal(SIGQUIT, SIG_IGN);
        CHILD_CHECK(installSignalHandlers());
        CHILD_CHECK(enableTerminationSignals());
        CHILD_CHECK(hasHandler(SIGTERM, customHandler));
        CHILD_CHECK(hasHandler(SIGQUIT, SIG_IGN));
        CHILD_CHECK(hasHandler(SIGHUP, SIG_DFL));
        CHILD_CHECK(hasHandler(SIGINT, SIG_DFL));
        CHILD_CHECK(hasHandler(SIGPIPE, SIG_IGN));
        // librpm's queue is back at its own default as well.
        for (int nSignal : {SIGHUP, SIGINT, SIGTERM, SIGQUIT})
            CHILD_CHECK(rpmAction(nSignal) == RPMSQ_DFL);
        raise(SIGTERM);
        CHILD_CHECK(g_nCustomCalls == 1);
        CHILD_CHECK(!terminationSignalCaught());

        CHILD_CHECK(disableTerminationSignals());
        for (int nSignal : {SIGHUP, SIGINT, SIGTERM, SIGQUIT})
            CHILD_CHECK(isCatching(nSignal));
        raise(SIGQUIT);
        CHILD_CHECK(terminationSignalNumber() == SIGQUIT);
        CHILD_CHECK(g_nCustomCalls == 1);
        _exit(0);
    };
    EXPECT_EXIT(body(), ::testing::ExitedWithCode(0), "");
}

TEST(Signals, WindowEnablesForItsScopeOrUntilClosed)
{
    const auto body = [&]
    {
        CHILD_CHECK(installSignalHandlers());
        {
            TerminationSignalWindow window;
            CHILD_CHECK(window.isOpen());
            CHILD_CHECK(hasHandler(SIGTERM, SIG_DFL));
        }
        // Left on an early return: recorded only again.
        for (int nSignal : {SIGHUP, SIGINT, SIGTERM, SIGQUIT})
            CHILD_CHECK(isCatching(nSignal));
        {
            TerminationSignalWindow window;
            CHILD_CHECK(window.close());
            CHILD_CHECK(isCatching(SIGTERM));
            CHILD_CHECK(!window.isOpen());
        }
        CHILD_CHECK(isCatching(SIGTERM));
        raise(SIGTERM);
        CHILD_CHECK(terminationSignalNumber() == SIGTERM);
        _exit(0);
    };
    EXPECT_EXIT(body(), ::testing::ExitedWithCode(0), "");
}

TEST(Signals, EnabledSignalEndsTheProcess)
{
    const auto body = [&]
    {
        CHILD_CHECK(installSignalHandlers());
        CHILD_CHECK(enableTerminationSignals());
        raise(SIGTERM);
        _exit(0);
    };
    EXPECT_EXIT(body(), ::testing::KilledBySignal(SIGTERM), "");
}

TEST(Signals, RecordedSignalIsRaisedAgainAfterEnabling)
{
    const auto body = [&]
    {
        CHILD_CHECK(installSignalHandlers());
        raise(SIGINT);
        CHILD_CHECK(terminationSignalCaught());
        CHILD_CHECK(enableTerminationSignals());
        raise(terminationSignalNumber());
        _exit(0);
    };
    EXPECT_EXIT(body(), ::testing::KilledBySignal(SIGINT), "");
}

TEST(Signals, IgnoredSighupStaysIgnoredAlsoInChildren)
{
    const auto body = [&]
    {
        signal(SIGHUP, customHandler);
        CHILD_CHECK(installSignalHandlers());
        CHILD_CHECK(ignoreSighup());
        CHILD_CHECK(isIgnoredByUs(SIGHUP));
        CHILD_CHECK(hasHandler(SIGHUP, SIG_IGN));
        CHILD_CHECK(ignoreSighup());
        CHILD_CHECK(enableTerminationSignals());
        CHILD_CHECK(hasHandler(SIGHUP, SIG_IGN));
        CHILD_CHECK(disableTerminationSignals());
        CHILD_CHECK(hasHandler(SIGHUP, SIG_IGN));
        raise(SIGHUP);
        CHILD_CHECK(!terminationSignalCaught());
        CHILD_CHECK(g_nCustomCalls == 0);

        // A child sees SIGHUP ignored, SIGPIPE and the caught signals at their default.
        std::string sLog;
        {
            LogCapture log;
            ChildProcess child("grep");
            child.addArgument("-E");
            child.addArgument("^Sig(Ign|Cgt)");
            child.addArgument("/proc/self/status");
            CHILD_CHECK(child.run());
            sLog = log.text();
        }
        const std::string::size_type nIgn = sLog.find("SigIgn:");
        const std::string::size_type nCgt = sLog.find("SigCgt:");
        CHILD_CHECK(nIgn != std::string::npos && nCgt != std::string::npos);
        const unsigned long long nIgnored = std::stoull(sLog.substr(nIgn + 7), nullptr, 16);
        const unsigned long long nCaught = std::stoull(sLog.substr(nCgt + 7), nullptr, 16);
        CHILD_CHECK(nIgnored & (1ULL << (SIGHUP - 1)));
        CHILD_CHECK(!(nIgnored & (1ULL << (SIGPIPE - 1))));
        CHILD_CHECK(!(nIgnored & (1ULL << (SIGTERM - 1))));
        CHILD_CHECK(!(nCaught & (1ULL << (SIGTERM - 1))));

        // The action found at start comes back once SIGHUP is released.
        CHILD_CHECK(uninstallHandler(SIGHUP));
        CHILD_CHECK(hasHandler(SIGHUP, customHandler));
        _exit(0);
    };
    EXPECT_EXIT(body(), ::testing::ExitedWithCode(0), "");
}

TEST(Signals, FailedInstallationLeavesNoEntry)
{
    const auto body = [&]
    {
        std::string sLog;
        bool bInstalled = true;
        {
            LogCapture log;
            bInstalled = installHandler(SIGKILL, false);
            sLog = log.text();
        }
        CHILD_CHECK(!bInstalled);
        CHILD_CHECK(sLog.find("ERROR: failed installing handler for signal 9 (Invalid argument)") !=
                    std::string::npos);
        CHILD_CHECK(uninstallHandler(SIGKILL));
        _exit(0);
    };
    EXPECT_EXIT(body(), ::testing::ExitedWithCode(0), "");
}

TEST(Signals, ForeignRpmQueueActionIsKept)
{
    const auto body = [&]
    {
        rpmsqSetAction(SIGTERM, foreignRpmAction);
        std::string sLog;
        bool bInstalled = true;
        {
            LogCapture log;
            bInstalled = installSignalHandlers();
            sLog = log.text();
        }
        CHILD_CHECK(!bInstalled);
        CHILD_CHECK(
            sLog.find(
                "ERROR: handler for signal 15 was already installed in rpmlib signal queue") !=
            std::string::npos);
        CHILD_CHECK(sLog.find("ERROR: failed intializing signal handlers") != std::string::npos);
        CHILD_CHECK(rpmAction(SIGTERM) == foreignRpmAction);
        CHILD_CHECK(hasHandler(SIGTERM, SIG_DFL));
        _exit(0);
    };
    EXPECT_EXIT(body(), ::testing::ExitedWithCode(0), "");
}

TEST(RpmSignalQueue, ActiveQueueOnlySetsTheFlag)
{
    // While librpm's queue is active its own handler takes the signal, and polling
    // runs the registered action: ours records the signal instead of exiting.
    const auto body = [&]
    {
        CHILD_CHECK(installSignalHandlers());
        rpmsqActivate(1);
        raise(SIGTERM);
        // Queued by librpm, not yet seen by the updater.
        CHILD_CHECK(!terminationSignalCaught());
        rpmsqPoll();
        rpmsqActivate(0);
        CHILD_CHECK(terminationSignalCaught());
        CHILD_CHECK(terminationSignalNumber() == SIGTERM);
        CHILD_CHECK(isCatching(SIGTERM));
        _exit(0);
    };
    EXPECT_EXIT(body(), ::testing::ExitedWithCode(0), "");
}

TEST(RpmSignalQueue, WithoutRegistrationTheQueueExits)
{
    // The library's default that the registration replaces (exit with 128 + signal);
    // also what the signal does again after enableTerminationSignals.
    const auto body = [&]
    {
        CHILD_CHECK(installSignalHandlers());
        CHILD_CHECK(enableTerminationSignals());
        rpmsqActivate(1);
        raise(SIGTERM);
        rpmsqPoll();
        _exit(0);
    };
    EXPECT_EXIT(body(), ::testing::ExitedWithCode(128 + SIGTERM), "");
}

TEST(RpmSignalQueue, SigtermWhileReadingTheDatabase)
{
    PrivatePaths paths;
    const std::string sDb = paths.file("rpmdb");
    const std::string sTop = paths.file("build");
    ASSERT_EQ(testing_support::runShell("rpm --dbpath " + sDb + " --initdb"), 0);
    // One package in the database, so that the iteration has a header to read.
    testing_support::writeFile(paths.file("sigtest.spec"),
                               "Name: sigtest\nVersion: 1.0\nRelease: 1\n"
                               "Summary: test\nLicense: none\nBuildArch: noarch\n"
                               "%description\ntest\n%files\n");
    ASSERT_EQ(testing_support::runShell("rpmbuild -bb --quiet --define '_topdir " + sTop +
                                        "' --define '_dbpath " + sDb + "' " +
                                        paths.file("sigtest.spec") + " >/dev/null 2>&1"),
              0);
    ASSERT_EQ(testing_support::runShell("rpm --dbpath " + sDb +
                                        " -i --justdb --nodeps --noscripts " + sTop +
                                        "/RPMS/noarch/sigtest-1.0-1.noarch.rpm >/dev/null 2>&1"),
              0);

    const auto body = [&]
    {
        CHILD_CHECK(installSignalHandlers());
        CHILD_CHECK(rpmReadConfigFiles(nullptr, nullptr) == 0);
        rpmPushMacro(nullptr, "_dbpath", nullptr, sDb.c_str(), RMIL_CMDLINE);
        rpmts ts = rpmtsCreate();
        rpmdbMatchIterator iterator = rpmtsInitIterator(ts, RPMDBI_PACKAGES, nullptr, 0);
        CHILD_CHECK(iterator != nullptr);
        int nHeaders = 0;
        while (Header header = rpmdbNextIterator(iterator))
        {
            if (nHeaders++ == 0)
            {
                // librpm has put no handler of its own in place of ours.
                CHILD_CHECK(isCatching(SIGTERM));
                kill(getpid(), SIGTERM);
                kill(getpid(), SIGINT);
            }
            CHILD_CHECK(headerGetString(header, RPMTAG_NAME) == std::string("sigtest"));
        }
        rpmdbFreeIterator(iterator);
        rpmtsFree(ts);
        CHILD_CHECK(nHeaders == 1);
        CHILD_CHECK(terminationSignalCaught());
        CHILD_CHECK(terminationSignalNumber() == SIGTERM);
        CHILD_CHECK(isCatching(SIGTERM));
        _exit(0);
    };
    EXPECT_EXIT(body(), ::testing::ExitedWithCode(0), "");
}
