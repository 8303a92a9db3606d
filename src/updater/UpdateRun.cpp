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

#include <cassert>
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

// The passes of a run. A full update checks first, then installs everything but the
// add-ons (the device's base set and its release package come first), then the add-ons.
// Names on the command line, or a check only, make one pass. Whatever pass fails falls back
// to the updater alone: a newer updater may do what this one cannot.
enum class PassId
{
    CHECK,
    ALL_BUT_ADDONS,
    ADDONS,
    AS_ASKED,
    UPDATER_ONLY,
    END,
};

struct PassStep
{
    PassId m_id;
    const char* m_pAnnouncement; // INFO line before the pass unless quiet; nullptr: none
    bool m_bCheckOnly;           // select and report only, whatever the options say
    bool m_bFromCache;           // the repository data an earlier pass fetched
    bool m_bQuiet;               // no reports of its own
    bool m_bWithoutAddons;       // add-on packages and groups and the release package left out
    bool m_bUpdaterOnly;         // the updater package alone
    PassId m_onSuccess;          // after RESULT_OK or RESULT_REBOOT
    PassId m_onFailure;          // after RESULT_FAILED; any other result ends the run
};

// clang-format off
constexpr PassStep PLAN[] = {
    // id                     announcement               check  cache  quiet  no-add upd.   success                 failure
    {PassId::CHECK,           nullptr,                   true,  false, false, false, false, PassId::ALL_BUT_ADDONS, PassId::UPDATER_ONLY},
    {PassId::ALL_BUT_ADDONS,  "pass 1: all but add-ons", false, true,  true,  true,  false, PassId::ADDONS,         PassId::UPDATER_ONLY},
    {PassId::ADDONS,          "pass 2: add-ons",         false, true,  true,  false, false, PassId::END,            PassId::UPDATER_ONLY},
    {PassId::AS_ASKED,        nullptr,                   false, false, false, false, false, PassId::END,            PassId::UPDATER_ONLY},
    {PassId::UPDATER_ONLY,    nullptr,                   false, true,  false, false, true,  PassId::END,            PassId::END},
};
// clang-format on

const PassStep& passStep(PassId id)
{
    for (const PassStep& step : PLAN)
        if (step.m_id == id)
            return step;
    assert(false && "every pass of the plan has a row");
    return PLAN[0];
}

// The options of one pass: the run's, with what the step changes.
PassOptions passOptions(const UpdaterConfig& config, const PassStep& step)
{
    PassOptions options = config;
    options.m_bCheckOnly = options.m_bCheckOnly || step.m_bCheckOnly;
    options.m_bCacheOnly = options.m_bCacheOnly || step.m_bFromCache;
    options.m_bQuiet = options.m_bQuiet || step.m_bQuiet;
    return options;
}

PassSelection passSelection(const UpdaterConfig& config, const std::set<std::string>& setInclude,
                            const PassStep& step)
{
    PassSelection selection;
    if (step.m_bUpdaterOnly)
        selection.m_setInclude = NameSet{PROGRAM_NAME};
    else
        selection.m_setInclude = NameSet(setInclude.begin(), setInclude.end());
    if (step.m_bWithoutAddons)
    {
        selection.m_setExclude.insert(config.m_vAddonPackages.begin(),
                                      config.m_vAddonPackages.end());
        if (!config.m_sReleasePackage.empty())
            selection.m_setExclude.insert(config.m_sReleasePackage);
        selection.m_setExcludeGroups.insert(config.m_vAddonGroups.begin(),
                                            config.m_vAddonGroups.end());
    }
    selection.m_setPull.insert(config.m_vAddonPackages.begin(), config.m_vAddonPackages.end());
    return selection;
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
        logMessage(ERROR, "could not open '/dev/urandom' to gather random data (%s).",
                   errnoText().c_str());
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
            logMessage(
                ERROR,
                "received end-of-file from from '/dev/urandom', failed gathering random data.");
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
        logMessage(INFO, "updating packages from repository '%s' (URI '%s')",
                   pRepoConfig->m_sName.c_str(), pRepoConfig->m_sUri.c_str());

    Repository repository(config, *pRepoConfig);
    if (!repository.isLocal() && !config.m_bCacheOnly && config.m_nMaxWaitTime > 0)
    {
        if (!waitRandomDelay(config.m_nMaxWaitTime))
            return RESULT_ERROR;
    }
    if (terminationSignalCaught())
        return RESULT_ERROR;

    const NameSet setUpdaterOnly{PROGRAM_NAME};
    unsigned nAvailable = 0; // the count of the first pass that selected anything
    unsigned nHandled = 0;   // the counts of the passes that installed (or tried to)
    bool bRebootWanted = false;
    bool bUpdaterOnly = false; // the last pass worked on the updater alone
    const bool bFullUpdate = setInclude.empty() && !config.m_bCheckOnly;
    int nPass = 0;
    for (PassId id = bFullUpdate ? PassId::CHECK : PassId::AS_ASKED; id != PassId::END; ++nPass)
    {
        const PassStep& step = passStep(id);
        saveStatusOrWarn(ANALYZING, false);
        if (!config.m_bNoCacheClean)
            (void)repository.cleanPackages();
        if (step.m_pAnnouncement && !config.m_bQuiet)
            logMessage(INFO, "%s", step.m_pAnnouncement);

        const PassOptions options = passOptions(config, step);
        const PassSelection selection = passSelection(config, setInclude, step);
        bUpdaterOnly = selection.m_setInclude == setUpdaterOnly;
        RecordContext context;
        context.m_nPass = nPass;
        context.m_nAvailable = nAvailable;
        context.m_nHandled = nHandled;
        context.m_bUpdaterOnly = bUpdaterOnly;
        context.m_bNamesGiven = !setInclude.empty();
        context.m_bEarlierInstall = bRebootWanted;
        unsigned nCount = 0;
        nResult = runPass(options, selection, repository, nCount,
                          config.m_bRecoveryVerify ? &context : nullptr);
        if (nAvailable == 0)
            nAvailable = nCount;
        // A test pass installs nothing: counting it would tell outside readers that the
        // updates are installed.
        if (!options.m_bCheckOnly && !options.m_bTest)
            nHandled += nCount;

        id = PassId::END;
        if (nResult == RESULT_FAILED)
        {
            // Only a fallback to the updater alone is left, unless that is what failed. A
            // command line naming just the updater is answered like the fallback.
            if (bUpdaterOnly)
                nResult = RESULT_ERROR;
            else
            {
                logMessage(ERROR, "failed updating, will try updating updater only");
                if (!config.m_bQuiet)
                    logMessage(INFO, "--- RETRY UPDATER ONLY ---");
                id = step.m_onFailure;
            }
        }
        else if (nResult == RESULT_OK && step.m_id == PassId::UPDATER_ONLY && nCount == 0)
        {
            // The fallback found no updater to install: the run did not get anywhere.
            nResult = RESULT_ERROR;
        }
        else if (nResult == RESULT_OK || nResult == RESULT_REBOOT)
        {
            if (nResult == RESULT_REBOOT)
                bRebootWanted = true;
            id = step.m_onSuccess;
        }
    }

    // A cut-off installation is repaired at the next start from the package files it used.
    const bool bKeepForRepair =
        nResult == RESULT_FATAL && config.m_bRecoveryVerify && config.m_bRecoveryRepair;
    if (!config.m_bNoCacheClean && !bKeepForRepair)
        (void)repository.cleanPackages();

    const bool bSuccess = nResult == RESULT_OK || nResult == RESULT_REBOOT;
    if (setInclude.empty())
        recordUpdateState(nAvailable, nHandled, bSuccess, bUpdaterOnly);

    if (nHandled > 0 && bSuccess && nHandled < nAvailable && !bUpdaterOnly &&
        !config.m_bCheckOnly && !config.m_bTest)
    {
        logMessage(
            FATAL,
            "failed passing all updates but update process succeeded, SYSTEM MAY BE CORRUPTED\n");
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
