#include "updater/UpdatePass.h"

#include "base/FileUtil.h"
#include "base/Logger.h"
#include "downloader/Downloader.h"
#include "repository/Repository.h"
#include "resolver/Resolver.h"
#include "rpmdb/RpmDB.h"
#include "updater/ChildProcess.h"
#include "updater/Hooks.h"
#include "updater/Result.h"
#include "updater/Signals.h"
#include "updater/Status.h"
#include "updater/TransactionRecord.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <unistd.h>

namespace
{

// Opens the database that the pass uses with downloaded package files (signatures, the
// transaction record). The flag goes in as it stands, deliberately the reverse of the
// resolver, which reads the installed packages with header checks only under
// --check-db-headers: here headers are checked unless that option is given. Devices in
// the field behave so; do not "fix" one side to match the other.
[[nodiscard]] bool openForPackageFiles(RpmDB& db, const PassOptions& options)
{
    return db.open(options.m_bCheckDbHeaders);
}

// Fetches fresh metadata, or loads what the cache holds. While metadata is fetched a
// termination signal may end the process at once: nothing on the device changes then.
int refreshRepository(const PassOptions& options, Repository& repository)
{
    if (options.m_bCacheOnly)
    {
        if (!repository.loadFromCache())
        {
            logMessage(ERROR, "could not load repository data");
            return RESULT_ERROR;
        }
        return RESULT_OK;
    }
    TerminationSignalWindow window;
    if (!window.isOpen() || terminationSignalCaught())
        return RESULT_ERROR;
    if (!repository.update(std::string()))
    {
        logMessage(ERROR, "could not update repository data");
        return RESULT_ERROR;
    }
    return window.close() ? RESULT_OK : RESULT_ERROR;
}

void reportUnsatisfied(const DependencySet& unsatisfied)
{
    logMessage(ERROR, "unsatisfied non-file dependencies:");
    for (const Dependency& dependency : unsatisfied)
        if (!dependency.m_sName.empty() && dependency.m_sName.c_str()[0] != '/')
            logMessage(ERROR, "\t%s", dependency.toString().c_str());
    logMessage(ERROR, "cannot update");
}

void reportSelection(const PassOptions& options, const PackageSet& setNew)
{
    const unsigned nCount = static_cast<unsigned>(setNew.size());
    if (!options.m_bQuiet)
    {
        logMessage(INFO, "--- %u UPDATE(S) ---", nCount);
        auto it = setNew.find(std::string_view(options.m_sReleasePackage));
        if (it != setNew.end())
            logMessage(INFO, "--- FIRMWARE %s-%s ---", it->m_Evr.m_sVersion.c_str(),
                       it->m_Evr.m_sRelease.c_str());
        else if ((it = setNew.find(std::string_view(PROGRAM_NAME))) != setNew.end())
            logMessage(INFO, "--- UPDATER %s-%s ---", it->m_Evr.m_sVersion.c_str(),
                       it->m_Evr.m_sRelease.c_str());
    }
    const char* pVerb = options.m_bCheckOnly ? "need to" : options.m_bTest ? "testing" : "starting";
    logMessage(INFO, "%s update (%u packages):", pVerb, nCount);
    for (const RepoPackage& package : setNew)
        logMessage(INFO, "\t%s", baseName(package.m_sLocation).c_str());
}

// Signatures are checked only when the device holds a public key; without one, a device
// configured to require signatures installs nothing.
int checkSignatures(const PassOptions& options, const PackageSet& setNew)
{
    RpmDB db;
    if (!openForPackageFiles(db, options))
    {
        logMessage(ERROR, "failed opening rpm DB");
        db.close();
        return RESULT_ERROR;
    }
    const bool bHasKeys = db.hasPublicKeys();
    if (!bHasKeys && options.m_bRequireSignatures)
    {
        logMessage(
            ERROR,
            "signatures required but no public key in rpm database; refusing to install unverified "
            "packages");
        db.close();
        return RESULT_FAILED;
    }
    if (bHasKeys)
    {
        logMessage(INFO, "verifying package signatures");
        for (const RepoPackage& package : setNew)
        {
            if (!db.verifyPackage(package.m_sLocalPath.str()))
            {
                db.close();
                return RESULT_FAILED;
            }
        }
    }
    db.close();
    return RESULT_OK;
}

// The record of the installation about to start: the package files' headers and the
// installed packages they replace.
bool prepareRecord(const PassOptions& options, const PackageSet& setNew,
                   const RecordContext& context, TransactionRecord& record)
{
    record.m_nPass = context.m_nPass;
    record.m_nAvailable =
        context.m_nAvailable ? context.m_nAvailable : static_cast<unsigned>(setNew.size());
    record.m_nHandled = context.m_nHandled + static_cast<unsigned>(setNew.size());
    record.m_bUpdaterOnly = context.m_bUpdaterOnly;
    record.m_bNamesGiven = context.m_bNamesGiven;
    record.m_bNoReboot = options.m_bNoReboot;
    record.m_bEarlierInstall = context.m_bEarlierInstall;
    RpmDB db;
    if (!openForPackageFiles(db, options))
        return false;
    for (const RepoPackage& package : setNew)
    {
        TransactionRecord::NewPackage entry;
        std::vector<PackageIdentity> vReplaced;
        if (!db.readPackageFile(package.m_sLocalPath.str(), entry.m_identity, vReplaced))
            return false;
        entry.m_sChecksumType = package.m_Checksum.m_sType.str();
        entry.m_sChecksum = package.m_Checksum.m_sValue.str();
        entry.m_sPath = package.m_sLocalPath.str();
        record.m_vNew.push_back(std::move(entry));
        for (PackageIdentity& replaced : vReplaced)
            if (std::find(record.m_vReplaced.begin(), record.m_vReplaced.end(), replaced) ==
                record.m_vReplaced.end())
                record.m_vReplaced.push_back(std::move(replaced));
    }
    return true;
}

void saveRecordOrWarn(const TransactionRecord* pRecord)
{
    if (pRecord && !saveTransactionRecord(*pRecord))
        logMessage(WARNING, "failed updating the transaction record");
}

// Runs rpm over the set, with the status on disk saying that an installation is running.
int runRpm(const PassOptions& options, const PackageSet& setNew, const std::string& sCount,
           const RecordContext* pContext)
{
    const bool bTest = options.m_bTest;
    ChildProcess rpm("rpm");
    rpm.addArgument(bTest ? "--test" : "-v");
    rpm.addArgument("-U");
    for (const RepoPackage& package : setNew)
        rpm.addArgument(package.m_sLocalPath.str());

    // Only an installation gets a record: a test changes nothing.
    std::optional<TransactionRecord> record;
    if (pContext && !bTest)
    {
        record.emplace();
        if (!prepareRecord(options, setNew, *pContext, *record))
        {
            logMessage(ERROR, "failed preparing the transaction record, cannot continue");
            return RESULT_ERROR;
        }
    }
    TransactionRecord* pRecord = record ? &*record : nullptr;

    logMessage(INFO, bTest ? "testing package(s) update" : "updating package(s)");
    if (terminationSignalCaught())
        return RESULT_ERROR;
    // The record goes first: a start that finds UPDATING then always finds the record of
    // the installation that may have begun.
    if (pRecord && !saveTransactionRecord(*pRecord))
    {
        // An older record must not describe this installation to the next start.
        (void)removeTransactionRecord();
        logMessage(ERROR, "failed writing the transaction record, cannot continue");
        return RESULT_ERROR;
    }
    if (!saveStatus(bTest ? TESTING : UPDATING) || !syncStatus())
    {
        logMessage(ERROR, "failed setting status file for launching rpm, cannot continue");
        return RESULT_ERROR;
    }
    if (!rpm.run())
    {
        logMessage(ERROR, "failed starting rpm to install packages, no packages upgraded");
        if (pRecord)
        {
            pRecord->m_stage = TransactionRecord::Stage::RPM_EXITED;
            pRecord->m_nRpmCode = -1;
            saveRecordOrWarn(pRecord);
        }
        saveStatusOrWarn(READY, true);
        return RESULT_FAILED;
    }
    if (pRecord)
    {
        pRecord->m_stage = rpm.exited() ? TransactionRecord::Stage::RPM_EXITED
                                        : TransactionRecord::Stage::RPM_KILLED;
        pRecord->m_nRpmCode = rpm.exitCode();
        saveRecordOrWarn(pRecord);
    }
    if (!bTest)
        sync();

    if (rpm.exited())
    {
        (void)runHook(bTest ? "posttest" : "postupdate", sCount);
        if (pRecord)
        {
            pRecord->m_stage = TransactionRecord::Stage::HOOK_DONE;
            saveRecordOrWarn(pRecord);
        }
        saveStatusOrWarn(PKGSDONE, true);
        if (rpm.exitCode() != 0)
        {
            logMessage(ERROR, "package installation FAILED (exit code %i)", rpm.exitCode());
            return RESULT_FAILED;
        }
        logMessage(INFO, "packages %s OK", bTest ? "tested" : "installed");
        if (bTest || options.m_bNoReboot)
            return RESULT_OK;
        return RESULT_REBOOT;
    }

    if (bTest)
    {
        logMessage(WARNING, "rpm was interrupted while testing package(s) installation");
        return RESULT_ERROR;
    }
    logMessage(FATAL,
               "rpm was interrupted, installation may be incomplete; SYSTEM MAY BE CORRUPTED");
    // Synced like the UPDATING before it: a power cut must not take the mark back.
    saveStatusOrWarn(CORRUPTED, true);
    return RESULT_FATAL;
}

} // namespace

int runPass(const PassOptions& options, const PassSelection& selection, Repository& repository,
            unsigned& nCount, const RecordContext* pRecord)
{
    nCount = 0;
    int nResult = refreshRepository(options, repository);
    if (nResult != RESULT_OK)
        return nResult;

    Resolver resolver;
    if (!resolver.init(options))
    {
        logMessage(ERROR, "could not initialize resolver");
        return RESULT_ERROR;
    }
    const RepoPackageList& repoPackages = repository.packages();
    PackageSet setNew =
        resolver.selectUpdates(repoPackages, selection.m_setInclude, selection.m_setExclude,
                               selection.m_setExcludeGroups, selection.m_setPull);
    if (setNew.empty())
    {
        if (!options.m_bQuiet)
        {
            logMessage(INFO, "--- 0 UPDATE(S) ---");
            logMessage(INFO, "no updates");
        }
        return RESULT_OK;
    }

    DependencySet unsatisfied;
    const ClosureResult closure = resolver.closeDependencies(
        repoPackages, setNew, unsatisfied, [] { return terminationSignalCaught(); });
    if (terminationSignalCaught())
        return RESULT_ERROR;
    if (closure == ClosureResult::FAILED)
    {
        reportUnsatisfied(unsatisfied);
        return RESULT_FAILED;
    }

    // A package that needs a newer updater than this one: install the updater first.
    const Dependency running("updater-running", Evr(std::string_view(PROGRAM_VERSION)),
                             RPMSENSE_EQUAL);
    if (!findUnsatisfied(running, setNew, unsatisfied))
    {
        for (const Dependency& dependency : unsatisfied)
            logMessage(ERROR, "newer updater required to install: %s",
                       dependency.toString().c_str());
        return RESULT_FAILED;
    }

    reportSelection(options, setNew);
    nCount = static_cast<unsigned>(setNew.size());
    if (options.m_bCheckOnly)
        return RESULT_OK;
    if (terminationSignalCaught())
        return RESULT_ERROR;

    if (!ignoreSighup())
        return RESULT_ERROR;
    nResult = runHook("download");
    if (nResult != RESULT_OK)
        return nResult;

    TerminationSignalWindow window;
    if (!window.isOpen() || terminationSignalCaught())
        return RESULT_ERROR;
    logMessage(INFO, "downloading %d packages", static_cast<int>(nCount));
    saveStatusOrWarn(DOWNLOADING, false);
    const bool bDownloaded = repository.getPackages(setNew);
    if (!window.close())
        return RESULT_ERROR;
    if (!bDownloaded)
    {
        logMessage(ERROR, "failed downloading packages");
        return RESULT_FAILED;
    }

    if (options.m_bNoSigCheck && options.m_bRequireSignatures)
        logMessage(WARNING,
                   "signatures are required by the configuration; ignoring --no-sig-check");
    if (!options.m_bNoSigCheck || options.m_bRequireSignatures)
    {
        nResult = checkSignatures(options, setNew);
        if (nResult != RESULT_OK)
            return nResult;
    }

    char countText[32];
    snprintf(countText, sizeof countText, "%u", nCount);
    const std::string sCount(countText);
    nResult = runHook(options.m_bTest ? "test" : "update", sCount);
    if (nResult != RESULT_OK)
        return nResult;

    return runRpm(options, setNew, sCount, pRecord);
}
