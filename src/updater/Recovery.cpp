#include "updater/Recovery.h"

#include "base/Checksum.h"
#include "base/Evr.h"
#include "base/Logger.h"
#include "rpmdb/RpmDB.h"
#include "updater/ChildProcess.h"
#include "updater/Hooks.h"
#include "updater/Result.h"
#include "updater/Signals.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace
{

constexpr const char* INTERRUPTED_MESSAGE =
    "a previous update was interrupted; SYSTEM MAY BE CORRUPTED! Aborting";

void saveRecordOrWarn(const TransactionRecord& record)
{
    if (!saveTransactionRecord(record))
        logMessage(WARNING, "failed updating the transaction record");
}

bool isInterruptedStage(TransactionRecord::Stage stage)
{
    return stage == TransactionRecord::Stage::INSTALLING ||
           stage == TransactionRecord::Stage::RPM_KILLED;
}

// A killed run may have left rpm running on its own (a kill of the updater alone): its
// transaction must end before the database says anything final.
bool waitForRpmTransactions(int nTimeout)
{
    const time_t nDeadline = time(nullptr) + std::max(nTimeout, 0);
    bool bReported = false;
    for (;;)
    {
        int nLockErrno = 0;
        const bool bHeld = RpmDB::transactionLockHeld(nLockErrno);
        if (nLockErrno != 0)
        {
            errno = nLockErrno;
            logMessage(ERROR, "cannot test rpm's transaction lock: %s", errnoText().c_str());
            return false;
        }
        if (!bHeld)
            return true;
        if (terminationSignalCaught() || time(nullptr) >= nDeadline)
        {
            logMessage(
                ERROR,
                "an rpm transaction is still running, cannot verify the interrupted installation");
            return false;
        }
        if (!bReported)
            logMessage(INFO, "waiting for a running rpm transaction to end");
        bReported = true;
        usleep(200 * 1000);
    }
}

std::string joinVersions(const std::vector<PackageIdentity>& vInstalled)
{
    std::string sText;
    for (std::size_t i = 0; i < vInstalled.size(); ++i)
    {
        if (i > 0)
            sText += " and ";
        sText += vInstalled[i].evr();
    }
    return sText;
}

bool isExactly(const PackageIdentity& installed, const PackageIdentity& recorded)
{
    return installed.sameNevra(recorded) &&
           (recorded.m_sSigMd5.empty() || installed.m_sSigMd5 == recorded.m_sSigMd5);
}

// rpm's own verification of the files of the new packages (configuration files, which
// devices change, left out).
bool filesIntact(const TransactionRecord& record)
{
    ChildProcess rpm("rpm");
    for (const char* pArgument : {"-V", "--nodeps", "--noscripts", "--noconfig"})
        rpm.addArgument(pArgument);
    for (const TransactionRecord::NewPackage& package : record.m_vNew)
        rpm.addArgument(package.m_identity.label());
    return rpm.run() && rpm.exited() && rpm.exitCode() == 0;
}

// Whether every package file is still in the cache as it was downloaded.
bool packageFilesUsable(const TransactionRecord& record, std::vector<std::string>& vProblems)
{
    bool bUsable = true;
    for (const TransactionRecord::NewPackage& package : record.m_vNew)
    {
        Checksum checksum;
        checksum.m_sType = InternedString(package.m_sChecksumType);
        checksum.m_sValue = InternedString(package.m_sChecksum);
        if (access(package.m_sPath.c_str(), R_OK) != 0)
        {
            vProblems.push_back("package file '" + package.m_sPath + "' is missing");
            bUsable = false;
        }
        else if (!checksum.verify(package.m_sPath))
        {
            vProblems.push_back("package file '" + package.m_sPath +
                                "' does not match its checksum");
            bUsable = false;
        }
    }
    return bUsable;
}

// Runs the recorded installation once more. False when rpm could not be run to its end.
bool repairInstallation(const UpdaterConfig& config, TransactionRecord& record)
{
    bool bReplace = false, bOlder = false;
    {
        RpmDB db;
        if (!db.open(config.m_bCheckDbHeaders))
            return false;
        for (const TransactionRecord::NewPackage& package : record.m_vNew)
        {
            std::vector<PackageIdentity> vInstalled;
            if (!db.findInstalled(package.m_identity.m_sName, vInstalled))
                return false;
            const Evr newEvr{std::string_view(package.m_identity.evr())};
            for (const PackageIdentity& installed : vInstalled)
            {
                bReplace = bReplace || installed.sameNevra(package.m_identity);
                bOlder = bOlder || Evr(std::string_view(installed.evr())).compare(newEvr) > 0;
            }
        }
    }

    // One repair per record, whatever happens from here on.
    record.m_bRepairTried = true;
    if (!saveTransactionRecord(record) || !saveStatus(UPDATING) || !syncStatus())
    {
        logMessage(ERROR, "failed setting status file for launching rpm, cannot continue");
        return false;
    }
    if (!ignoreSighup())
        return false;

    ChildProcess rpm("rpm");
    rpm.addArgument("-v");
    rpm.addArgument("-U");
    // Only what finishing the cut-off transaction needs: never --nodeps or --force.
    if (bReplace)
        rpm.addArgument("--replacepkgs");
    if (bOlder)
        rpm.addArgument("--oldpackage");
    for (const TransactionRecord::NewPackage& package : record.m_vNew)
        rpm.addArgument(package.m_sPath);
    logMessage(INFO, "repairing the interrupted installation (%u packages)",
               static_cast<unsigned>(record.m_vNew.size()));
    if (!rpm.run())
    {
        logMessage(ERROR, "failed starting rpm to repair the installation");
        return false;
    }
    record.m_stage =
        rpm.exited() ? TransactionRecord::Stage::RPM_EXITED : TransactionRecord::Stage::RPM_KILLED;
    record.m_nRpmCode = rpm.exitCode();
    saveRecordOrWarn(record);
    sync();
    if (!rpm.exited())
    {
        logMessage(FATAL,
                   "rpm was interrupted, installation may be incomplete; SYSTEM MAY BE CORRUPTED");
        return false;
    }
    if (rpm.exitCode() != 0)
        logMessage(ERROR, "package installation FAILED (exit code %i)", rpm.exitCode());
    return true;
}

// The run that installed the recorded packages ends here as it would have: the
// "postupdate" hook if it was owed, PKGSDONE, the update state, the reboot.
int finishInstalledRun(const UpdaterConfig& config, TransactionRecord& record, bool bOwnInstall)
{
    if (bOwnInstall && record.m_stage != TransactionRecord::Stage::HOOK_DONE)
    {
        char countText[32];
        snprintf(countText, sizeof countText, "%u", static_cast<unsigned>(record.m_vNew.size()));
        (void)runHook("postupdate", std::string(countText));
        record.m_stage = TransactionRecord::Stage::HOOK_DONE;
        record.m_nRpmCode = 0;
        saveRecordOrWarn(record);
    }
    saveStatusOrWarn(PKGSDONE, true);
    if (!record.m_bNamesGiven)
    {
        const unsigned nHandled =
            bOwnInstall ? record.m_nHandled
                        : record.m_nHandled - static_cast<unsigned>(record.m_vNew.size());
        recordUpdateState(record.m_nAvailable, nHandled, bOwnInstall, record.m_bUpdaterOnly);
    }
    if (record.m_bNoReboot)
        return RESULT_OK;
    if (config.m_bNoReboot)
    {
        logMessage(INFO, "the installed packages need a reboot; not rebooting (--no-reboot)");
        return RESULT_OK;
    }
    return RESULT_REBOOT;
}

StartOutcome refuseCorrupted(TransactionRecord& record, const std::vector<std::string>& vProblems,
                             int& nResult)
{
    for (const std::string& sProblem : vProblems)
        logMessage(ERROR, "%s", sProblem.c_str());
    logMessage(FATAL, "%s", INTERRUPTED_MESSAGE);
    record.m_bRefused = true;
    saveRecordOrWarn(record);
    saveStatusOrWarn(CORRUPTED, true);
    nResult = RESULT_FATAL;
    return StartOutcome::REFUSED;
}

} // namespace

bool checkInstallation(const TransactionRecord& record, bool bNoHeaderCheck, InstallState& state,
                       std::vector<std::string>& vProblems)
{
    RpmDB db;
    if (!db.open(bNoHeaderCheck))
        return false;
    std::size_t nNewInstalled = 0, nOldPresent = 0;
    bool bDuplicates = false;
    std::vector<std::string> vMissing, vLeft, vDuplicateNames;
    for (const TransactionRecord::NewPackage& package : record.m_vNew)
    {
        const PackageIdentity& recorded = package.m_identity;
        std::vector<PackageIdentity> vInstalled;
        if (!db.findInstalled(recorded.m_sName, vInstalled))
            return false;
        const bool bExact =
            std::any_of(vInstalled.begin(), vInstalled.end(),
                        [&](const PackageIdentity& i) { return isExactly(i, recorded); });
        nNewInstalled += bExact ? 1 : 0;
        if (vInstalled.size() > 1)
        {
            bDuplicates = true;
            vDuplicateNames.push_back(recorded.m_sName);
            vProblems.push_back(recorded.m_sName + ": both " + joinVersions(vInstalled) +
                                " installed");
        }
        else if (!bExact)
            vMissing.push_back(recorded.m_sName + ": " + recorded.evr() + " not installed");
    }
    for (const PackageIdentity& replaced : record.m_vReplaced)
    {
        std::vector<PackageIdentity> vInstalled;
        if (!db.findInstalled(replaced.m_sName, vInstalled))
            return false;
        if (std::any_of(vInstalled.begin(), vInstalled.end(),
                        [&](const PackageIdentity& i) { return i.sameNevra(replaced); }))
        {
            ++nOldPresent;
            if (std::find(vDuplicateNames.begin(), vDuplicateNames.end(), replaced.m_sName) ==
                vDuplicateNames.end())
                vLeft.push_back(replaced.m_sName + ": " + replaced.evr() + " still installed");
        }
    }
    db.close();

    if (!bDuplicates && nNewInstalled == record.m_vNew.size() && nOldPresent == 0)
    {
        if (filesIntact(record))
        {
            state = InstallState::FINISHED;
            return true;
        }
        vProblems.push_back("files of the new packages differ from the packages (rpm -V)");
    }
    else if (!bDuplicates && nNewInstalled == 0 && nOldPresent == record.m_vReplaced.size())
    {
        state = InstallState::UNTOUCHED;
        return true;
    }
    state = InstallState::CUT_OFF;
    vProblems.insert(vProblems.end(), vMissing.begin(), vMissing.end());
    vProblems.insert(vProblems.end(), vLeft.begin(), vLeft.end());
    return true;
}

bool recoveryPending(const UpdaterConfig& config, Status status)
{
    if (!config.m_bRecoveryVerify || (status != UPDATING && status != CORRUPTED))
        return false;
    TransactionRecord record;
    bool bFound = false;
    if (!loadTransactionRecord(record, bFound) || !bFound)
        return false;
    return status == UPDATING || (!record.m_bRefused && isInterruptedStage(record.m_stage));
}

StartOutcome recoverOnStart(const UpdaterConfig& config, Status status, int& nResult)
{
    if (!config.m_bRecoveryVerify || status == REBOOTING)
        return StartOutcome::PROCEED;
    TransactionRecord record;
    bool bFound = false;
    const bool bLoaded = loadTransactionRecord(record, bFound);
    if (!bFound)
        return StartOutcome::PROCEED;
    const bool bInterrupted = status == UPDATING || status == CORRUPTED;
    if (!bLoaded)
    {
        // Without a readable record an interrupted installation stays what it was.
        if (!bInterrupted)
        {
            logMessage(WARNING, "ignoring the unreadable transaction record");
            (void)removeTransactionRecord();
        }
        return StartOutcome::PROCEED;
    }
    if (status == CORRUPTED && !recoveryPending(config, status))
        return StartOutcome::PROCEED;
    if (!bInterrupted && !record.rebootOwed())
    {
        // rpm never ran for it, or its run ended without owing anything.
        (void)removeTransactionRecord();
        return StartOutcome::PROCEED;
    }

    if (!waitForRpmTransactions(config.m_nLockTimeout))
    {
        nResult = RESULT_ERROR;
        return StartOutcome::REFUSED;
    }
    InstallState state = InstallState::CUT_OFF;
    std::vector<std::string> vProblems;
    if (!checkInstallation(record, config.m_bCheckDbHeaders, state, vProblems))
    {
        logMessage(ERROR, "cannot read the rpm database to verify the interrupted installation");
        nResult = RESULT_ERROR;
        return StartOutcome::REFUSED;
    }

    if (state == InstallState::CUT_OFF)
    {
        if (!config.m_bRecoveryRepair || record.m_bRepairTried)
            return refuseCorrupted(record, vProblems, nResult);
        logMessage(WARNING,
                   "the previous run was interrupted during its installation; repairing it");
        for (const std::string& sProblem : vProblems)
            logMessage(WARNING, "%s", sProblem.c_str());
        std::vector<std::string> vFileProblems;
        if (!packageFilesUsable(record, vFileProblems))
        {
            vFileProblems.push_back("cannot repair the interrupted installation");
            return refuseCorrupted(record, vFileProblems, nResult);
        }
        if (!repairInstallation(config, record))
            return refuseCorrupted(record, {"the repair of the interrupted installation failed"},
                                   nResult);
        vProblems.clear();
        if (!checkInstallation(record, config.m_bCheckDbHeaders, state, vProblems))
            return refuseCorrupted(record, {"cannot read the rpm database after the repair"},
                                   nResult);
        if (state != InstallState::FINISHED)
        {
            vProblems.push_back("the repair of the interrupted installation failed");
            return refuseCorrupted(record, vProblems, nResult);
        }
        logMessage(WARNING, "the interrupted installation was repaired");
    }
    else if (state == InstallState::FINISHED)
    {
        if (bInterrupted)
            logMessage(WARNING,
                       "the previous run was interrupted after its installation had completed");
        else
            logMessage(WARNING, "the previous run ended before the reboot its installation needs");
    }
    if (state == InstallState::FINISHED)
    {
        nResult = finishInstalledRun(config, record, true);
        return StartOutcome::FINISHED;
    }

    // Untouched: the database is as it was before the recorded installation.
    if (bInterrupted)
    {
        logMessage(WARNING,
                   "the previous run was interrupted before its installation changed anything");
        if (record.m_stage == TransactionRecord::Stage::RPM_EXITED)
        {
            char countText[32];
            snprintf(countText, sizeof countText, "%u",
                     static_cast<unsigned>(record.m_vNew.size()));
            (void)runHook("postupdate", std::string(countText));
        }
    }
    if (record.m_bEarlierInstall && !record.m_bNoReboot)
    {
        if (!bInterrupted)
            logMessage(WARNING, "the previous run ended before the reboot its installation needs");
        nResult = finishInstalledRun(config, record, false);
        return StartOutcome::FINISHED;
    }
    (void)removeTransactionRecord();
    saveStatusOrWarn(READY, true);
    return StartOutcome::PROCEED;
}

void finishTransactionRecord(int nResult)
{
    if (nResult == RESULT_FATAL || nResult == RESULT_REBOOT)
        return;
    TransactionRecord record;
    bool bFound = false;
    const bool bLoaded = loadTransactionRecord(record, bFound);
    if (bFound && (!bLoaded || !record.rebootOwed()))
        (void)removeTransactionRecord();
}
