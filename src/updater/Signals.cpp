#include "updater/Signals.h"

#include "base/Logger.h"

#include <csignal>
#include <cstring>
#include <map>

// rpmsq.h uses rpmutil.h without including it, so rpmutil.h comes first, in a block of its own.
#include <rpm/rpmutil.h>

#include <rpm/rpmsq.h>

namespace
{

volatile sig_atomic_t g_nSignalCaught = 0;
volatile sig_atomic_t g_nSignalNumber = 0;

// The catching handler: records the first termination signal, nothing else. It has
// the signal-queue signature so that librpm can dispatch to it as well.
void catchSignal(int nSignal, siginfo_t* /*pInfo*/, void* /*pContext*/) noexcept
{
    if (g_nSignalCaught == 0)
    {
        g_nSignalCaught = 1;
        g_nSignalNumber = nSignal;
    }
}

struct HandlerEntry
{
    int m_nSignal = 0;
    // The catching handler, or nullptr when the signal is ignored.
    rpmsqAction_t m_pHandler = nullptr;
    struct sigaction m_previousAction;
    // Whether the signal queue knows the signal, and what it had before us.
    bool m_bInRpmQueue = false;
    rpmsqAction_t m_pPreviousRpmAction = RPMSQ_DFL;
};

std::map<int, HandlerEntry>& handlerTable()
{
    static std::map<int, HandlerEntry> table;
    return table;
}

// librpm 4.18 marks its signal queue interface deprecated, but it is still the queue
// that dispatches signals whenever the library activates it; its default action for a
// termination signal is exit(), which must never replace the updater's choice.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
rpmsqAction_t setRpmAction(int nSignal, rpmsqAction_t pAction)
{
    return rpmsqSetAction(nSignal, pAction);
}
#pragma GCC diagnostic pop

// Registers the action in librpm's signal queue. A signal the queue does not handle
// needs no registration.
bool registerWithRpm(HandlerEntry& entry)
{
    const rpmsqAction_t pPrevious =
        setRpmAction(entry.m_nSignal, entry.m_pHandler ? entry.m_pHandler : RPMSQ_IGN);
    if (pPrevious == RPMSQ_ERR)
    {
        entry.m_bInRpmQueue = false;
        return true;
    }
    if (pPrevious != RPMSQ_DFL)
    {
        // Somebody else's action: leave it in place.
        (void)setRpmAction(entry.m_nSignal, pPrevious);
        logMessage(ERROR, "handler for signal %i was already installed in rpmlib signal queue",
                   entry.m_nSignal);
        return false;
    }
    entry.m_bInRpmQueue = true;
    entry.m_pPreviousRpmAction = pPrevious;
    return true;
}

bool releaseFromRpm(const HandlerEntry& entry)
{
    if (!entry.m_bInRpmQueue)
        return true;
    return setRpmAction(entry.m_nSignal, entry.m_pPreviousRpmAction) != RPMSQ_ERR;
}

bool installCatching(int nSignal)
{
    return installHandler(nSignal, false);
}

} // namespace

bool installHandler(int nSignal, bool bIgnore)
{
    std::map<int, HandlerEntry>& table = handlerTable();
    const auto it = table.find(nSignal);
    if (it != table.end())
    {
        const bool bIgnoring = it->second.m_pHandler == nullptr;
        if (bIgnoring == bIgnore)
            return true;
        if (!uninstallHandler(nSignal))
        {
            logMessage(ERROR, "failed uninstalling signal handler to install new one for signal %i",
                       nSignal);
            return false;
        }
    }

    HandlerEntry entry;
    entry.m_nSignal = nSignal;
    entry.m_pHandler = bIgnore ? nullptr : catchSignal;
    if (!registerWithRpm(entry))
        return false;

    struct sigaction action;
    memset(&action, 0, sizeof(action));
    sigemptyset(&action.sa_mask);
    if (bIgnore)
    {
        action.sa_handler = SIG_IGN;
        action.sa_flags = SA_RESTART;
    }
    else
    {
        action.sa_sigaction = catchSignal;
        action.sa_flags = SA_RESTART | SA_SIGINFO;
    }
    if (sigaction(nSignal, &action, &entry.m_previousAction) != 0)
    {
        const std::string sError = errnoText();
        (void)releaseFromRpm(entry);
        logMessage(ERROR, "failed installing handler for signal %i (%s)", nSignal, sError.c_str());
        return false;
    }
    table[nSignal] = entry;
    return true;
}

bool uninstallHandler(int nSignal)
{
    std::map<int, HandlerEntry>& table = handlerTable();
    const auto it = table.find(nSignal);
    if (it == table.end())
        return true;

    bool bResult = true;
    if (sigaction(nSignal, &it->second.m_previousAction, nullptr) != 0)
    {
        logMessage(ERROR, "failed uninstalling handler for signal %i (%s)", nSignal,
                   errnoText().c_str());
        bResult = false;
    }
    if (!releaseFromRpm(it->second))
    {
        logMessage(ERROR, "could not uninstall handler for signal %i from rpmlib signal queue",
                   nSignal);
        bResult = false;
    }
    // Dropped in every case, so that a later installation starts from a clean state.
    table.erase(it);
    return bResult;
}

bool isIgnoredByUs(int nSignal)
{
    const std::map<int, HandlerEntry>& table = handlerTable();
    const auto it = table.find(nSignal);
    return it != table.end() && it->second.m_pHandler == nullptr;
}

bool installSignalHandlers()
{
    if (!installCatching(SIGHUP) || !installCatching(SIGINT) || !installCatching(SIGTERM) ||
        !installCatching(SIGQUIT) || !installHandler(SIGPIPE, true))
    {
        logMessage(ERROR, "failed intializing signal handlers");
        return false;
    }
    return true;
}

bool disableTerminationSignals()
{
    const bool bOk = (isIgnoredByUs(SIGHUP) || installCatching(SIGHUP)) &&
                     installCatching(SIGINT) && installCatching(SIGTERM) &&
                     installCatching(SIGQUIT);
    if (!bOk)
    {
        logMessage(ERROR, "failed disabling termination signals");
        return false;
    }
    return true;
}

bool enableTerminationSignals()
{
    const bool bOk = (isIgnoredByUs(SIGHUP) || uninstallHandler(SIGHUP)) &&
                     uninstallHandler(SIGINT) && uninstallHandler(SIGTERM) &&
                     uninstallHandler(SIGQUIT);
    if (!bOk)
    {
        logMessage(ERROR, "failed enabling termination signals");
        return false;
    }
    return true;
}

bool ignoreSighup()
{
    if (isIgnoredByUs(SIGHUP))
        return true;
    if (!installHandler(SIGHUP, true))
    {
        logMessage(ERROR, "failed setting SIGHUP to be ignored");
        return false;
    }
    return true;
}

bool terminationSignalCaught()
{
    return g_nSignalCaught != 0;
}

int terminationSignalNumber()
{
    return g_nSignalNumber;
}
