#include "updater/UpdateRun.h"

#include "base/Logger.h"
#include "updater/Hooks.h"
#include "updater/Result.h"

// TODO(update run): placeholder until the repository passes exist. It runs the "init"
// hook as the real run does first, then only reports what it would update and succeeds
// without touching the repository, the cache or the rpm database.
int runUpdate(const UpdaterConfig& config, const std::set<std::string>& setInclude)
{
    int nResult = runHook("init");
    if (nResult != RESULT_OK)
        return nResult;

    const RepoConfig* pRepo = config.activeRepository();
    if (!pRepo)
    {
        logMessage(WARNING, "update run not implemented yet: no active repository");
        return RESULT_OK;
    }
    if (!config.m_bQuiet)
        logMessage(INFO, "updating packages from repository '%s' (URI '%s')", pRepo->m_sName.c_str(),
                   pRepo->m_sUri.c_str());
    std::string sPackages;
    for (const std::string& sName : setInclude)
        sPackages += (sPackages.empty() ? "" : " ") + sName;
    logMessage(WARNING, "update run not implemented yet: would update %s from repository '%s'",
               sPackages.empty() ? "all packages" : sPackages.c_str(), pRepo->m_sId.c_str());
    return RESULT_OK;
}
