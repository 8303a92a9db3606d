#include "updater/UpdateRun.h"

#include "base/Logger.h"
#include "base/UniqueFd.h"
#include "repository/Repository.h"
#include "updater/Hooks.h"
#include "updater/Result.h"
#include "updater/Signals.h"
#include "updater/Status.h"
#include "updater/TransactionRecord.h"
#include "updater/UpdatePass.h"
#include "updater/UpdaterPaths.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// Waits a random time up to the configured maximum, so that a fleet of devices does not
// reach the server at the same moment. False when no random data could be had.
bool waitRandomDelay(int nMaxWaitTime)
{
    unsigned char bytes[4];
    if (!gatherRandomBytes(bytes, sizeof bytes))
    {
        logMessage(ERROR, "could not gather random data");
        return false;
    }
    unsigned int uSeed;
    memcpy(&uSeed, bytes, sizeof uSeed);
    const int64_t nDelay = randomDelay(nMaxWaitTime, uSeed);
    logMessage(INFO, "waiting %u secs before connection", static_cast<unsigned>(nDelay));
    saveStatusOrWarn(DELAYING, false);
    if (sleep(static_cast<unsigned>(nDelay)) != 0)
        logMessage(ERROR, "wait interrupted");
    return true;
}

} // namespace

int64_t randomDelay(int nMaxWaitTime, unsigned uSeed)
{
    srand(uSeed);
    const int64_t nRandom = rand();
    return int64_t(nMaxWaitTime) * nRandom / 2147483647;
}

bool gatherRandomBytes(unsigned char* pBuffer, unsigned nCount)
{
    logMessage(DEBUG, "requesting %u random bytes", nCount);
    const UniqueFd fd(open(updaterPaths().m_sRandomDevice.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
    {
        logMessage(ERROR, "could not open '/dev/urandom' to gather random data (%s).", errnoText().c_str());
        return false;
    }
    unsigned nGathered = 0;
    int nInterrupts = 0;
    while (nGathered < nCount)
    {
        const ssize_t nRead = read(fd.get(), pBuffer + nGathered, nCount - nGathered);
        if (nRead > 0)
        {
            nGathered += static_cast<unsigned>(nRead);
            continue;
        }
        if (nRead == 0)
        {
            logMessage(ERROR, "received end-of-file from from '/dev/urandom', failed gathering random data.");
            break;
        }
        // A signal may interrupt the read a few times; any other error ends the gathering
        // instead of looping on it.
        if (errno == EINTR && ++nInterrupts < 10 && !terminationSignalCaught())
            continue;
        logMessage(ERROR, "failed reading from '/dev/urandom', failed gathering random data (%s).",
                   errnoText().c_str());
        break;
    }
    return nGathered == nCount;
}

int runUpdate(const UpdaterConfig& config, const std::set<std::string>& setInclude)
{
    // A failing "init" hook ends the run before any repository is touched. Its own result
    // (failed or interrupted) is not an exit status: the run ends with an error.
    int nResult = runHook("init");
    if (nResult != RESULT_OK)
        return RESULT_ERROR;

    if (config.m_lRepositories.empty())
    {
        logMessage(ERROR, "no repositories configured, nothing to do");
        return RESULT_ERROR;
    }
    const RepoConfig* pRepoConfig = config.activeRepository();
    if (pRepoConfig == nullptr)
    {
        logMessage(ERROR, "no active repository, nothing to do");
        return RESULT_ERROR;
    }
    if (!config.m_bQuiet)
        logMessage(INFO, "updating packages from repository '%s' (URI '%s')", pRepoConfig->m_sName.c_str(),
                   pRepoConfig->m_sUri.c_str());

    Repository repository(config, *pRepoConfig);
    if (!repository.isLocal() && !config.m_bCacheOnly && config.m_nMaxWaitTime > 0)
    {
        if (!waitRandomDelay(config.m_nMaxWaitTime))
            return RESULT_ERROR;
    }
    if (terminationSignalCaught())
        return RESULT_ERROR;

    const NameSet setUpdaterOnly{PROGRAM_NAME};
    NameSet setTarget(setInclude.begin(), setInclude.end());
    bool bMultiPass = setInclude.empty() && !config.m_bCheckOnly;
    int nPassIndex = 0;
    unsigned nAvailable = 0; // the count of the first pass that selected anything
    unsigned nHandled = 0;   // the counts of the passes that installed (or tried to)
    bool bRebootWanted = false;
    // Set once a failed pass falls back to the updater alone. Only that retry finding nothing
    // is an error: a command line naming just the updater is answered like any other.
    bool bRetryingUpdater = false;
    const NameSet setPull(config.m_vAddonPackages.begin(), config.m_vAddonPackages.end());

    for (;;)
    {
        PassOptions options = config;
        saveStatusOrWarn(ANALYZING, false);
        if (!config.m_bNoCacheClean)
            (void)repository.cleanPackages();

        NameSet setExclude, setExcludeGroups;
        if (bMultiPass)
        {
            if (nPassIndex == 0)
                options.m_bCheckOnly = true;
            else
            {
                options.m_bQuiet = true;
                options.m_bCacheOnly = true;
                if (nPassIndex == 1)
                {
                    setExclude.insert(config.m_vAddonPackages.begin(), config.m_vAddonPackages.end());
                    if (!config.m_sReleasePackage.empty())
                        setExclude.insert(config.m_sReleasePackage);
                    setExcludeGroups.insert(config.m_vAddonGroups.begin(), config.m_vAddonGroups.end());
                    if (!config.m_bQuiet)
                        logMessage(INFO, "pass 1: all but add-ons");
                }
                else
                {
                    bMultiPass = false;
                    if (!config.m_bQuiet)
                        logMessage(INFO, "pass 2: add-ons");
                }
            }
        }
        else if (nPassIndex > 0)
            options.m_bCacheOnly = true;

        RecordContext context;
        context.m_nPass = nPassIndex;
        context.m_nAvailable = nAvailable;
        context.m_nHandled = nHandled;
        context.m_bUpdaterOnly = setTarget == setUpdaterOnly;
        context.m_bNamesGiven = !setInclude.empty();
        context.m_bEarlierInstall = bRebootWanted;
        unsigned nCount = 0;
        nResult = runPass(options, setTarget, setExclude, setExcludeGroups, setPull, repository, nCount,
                          config.m_bRecoveryVerify ? &context : nullptr);
        if (nAvailable == 0)
            nAvailable = nCount;
        // A test pass installs nothing: counting it would tell outside readers that the
        // updates are installed.
        if (!options.m_bCheckOnly && !options.m_bTest)
            nHandled += nCount;

        if (nResult == RESULT_FAILED)
        {
            if (setTarget == setUpdaterOnly)
                nResult = RESULT_ERROR;
            else
            {
                logMessage(ERROR, "failed updating, will try updating updater only");
                if (!config.m_bQuiet)
                    logMessage(INFO, "--- RETRY UPDATER ONLY ---");
                setTarget = setUpdaterOnly;
                bRetryingUpdater = true;
                bMultiPass = false;
            }
        }
        else if (nResult == RESULT_OK)
        {
            if (bRetryingUpdater && nCount == 0)
                nResult = RESULT_ERROR;
        }
        else if (nResult == RESULT_REBOOT)
            bRebootWanted = true;

        ++nPassIndex;
        const bool bAgain = nResult == RESULT_FAILED ||
                            ((nResult == RESULT_OK || nResult == RESULT_REBOOT) && bMultiPass);
        if (!bAgain)
            break;
    }

    // A cut-off installation is repaired at the next start from the package files it used.
    const bool bKeepForRepair = nResult == RESULT_FATAL && config.m_bRecoveryVerify && config.m_bRecoveryRepair;
    if (!config.m_bNoCacheClean && !bKeepForRepair)
        (void)repository.cleanPackages();

    const bool bSuccess = nResult == RESULT_OK || nResult == RESULT_REBOOT;
    const bool bUpdaterOnly = setTarget == setUpdaterOnly;
    if (setInclude.empty())
        recordUpdateState(nAvailable, nHandled, bSuccess, bUpdaterOnly);

    if (nHandled > 0 && bSuccess && nHandled < nAvailable && !bUpdaterOnly && !config.m_bCheckOnly &&
        !config.m_bTest)
    {
        logMessage(FATAL, "failed passing all updates but update process succeeded, SYSTEM MAY BE CORRUPTED\n");
        // Not an interrupted installation: nothing for the next start to verify or repair.
        if (config.m_bRecoveryVerify)
            (void)removeTransactionRecord();
        // The mark must survive a power cut: later starts refuse on it.
        saveStatusOrWarn(CORRUPTED, true);
        return RESULT_FATAL;
    }
    // A pass that left the system damaged wins over an earlier pass's wish to reboot: the
    // CORRUPTED status must stay on disk, and main saves READY for anything but a fatal end.
    if (nResult == RESULT_FATAL)
        return RESULT_FATAL;
    return bRebootWanted ? RESULT_REBOOT : nResult;
}
