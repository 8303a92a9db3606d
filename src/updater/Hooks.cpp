#include "updater/Hooks.h"

#include "base/Logger.h"
#include "base/Version.h"
#include "updater/ChildProcess.h"
#include "updater/Result.h"
#include "updater/Status.h"
#include "updater/TransactionRecord.h"
#include "updater/UpdaterPaths.h"

int runHook(const std::string& sName, const std::optional<std::string>& argument)
{
    ChildProcess hook(updaterPaths().m_sHookProgram);
    hook.addArgument(sName);
    hook.addArgument(PROGRAM_VERSION);
    if (argument)
        hook.addArgument(*argument);

    logMessage(INFO, "running %s hook", sName.c_str());
    if (!hook.run())
    {
        logMessage(WARNING, "failed starting hook, continuing anyways");
        return RESULT_OK;
    }
    if (!hook.exited())
    {
        logMessage(ERROR, "hook was interrupted");
        return RESULT_ERROR;
    }
    if (hook.exitCode() != 0)
    {
        logMessage(ERROR, "hook failed (exit code %i)", hook.exitCode());
        return RESULT_FAILED;
    }
    return RESULT_OK;
}

bool rebootSystem()
{
    logMessage(INFO, "rebooting for upgrades to take full effect");

    // init re-executes itself so that an upgraded init is the one that reboots.
    ChildProcess telinit(updaterPaths().m_sTelinit);
    telinit.addArgument("u");
    if (!telinit.run())
        logMessage(WARNING, "failed to call telinit");
    else if (telinit.exited() && telinit.exitCode() != 0)
        logMessage(WARNING, "failed re-execing init (exit code %i)", telinit.exitCode());
    else if (!telinit.exited())
        logMessage(WARNING, "telinit was interrupted");

    ChildProcess shutdown(updaterPaths().m_sShutdown);
    shutdown.addArgument("-r");
    shutdown.addArgument("+1");
    shutdown.addArgument("rebooting after upgrade");
    if (!shutdown.runInBackground())
    {
        logMessage(FATAL, "failed to start reboot process");
        return false;
    }

    if (!saveStatus(REBOOTING) || !syncStatus())
        logMessage(WARNING, "failed updating status file");
    // The reboot is no longer owed (a record exists only with recovery on).
    (void)removeTransactionRecord();
    return true;
}
