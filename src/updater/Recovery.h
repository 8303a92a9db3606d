#pragma once

#include "config/UpdaterConfig.h"
#include "updater/Status.h"
#include "updater/TransactionRecord.h"

#include <string>
#include <vector>

// What the rpm database says about a recorded installation.
enum class InstallState
{
    FINISHED,  // every new package installed exactly, everything replaced gone, files intact
    UNTOUCHED, // nothing of it installed, everything it would replace still there
    CUT_OFF,   // anything else
};

// Compares the rpm database with the record; vProblems lists what is wrong (one line per
// problem, e.g. "a2: both 1.0-1 and 2.0-1 installed"). False when the database could not
// be read.
[[nodiscard]] bool checkInstallation(const TransactionRecord& record, bool bNoHeaderCheck,
                                     InstallState& state, std::vector<std::string>& vProblems);

// Whether a start on top of `status` has a transaction record to verify once it holds the
// cache lock (recovery on, status UPDATING, or CORRUPTED left by a cut-off installation that
// no start has judged yet). Such a start is not refused before the lock is taken.
bool recoveryPending(const UpdaterConfig& config, Status status);

enum class StartOutcome
{
    PROCEED,  // no record, or nothing left to do: the normal status check and run follow
    REFUSED,  // the start ends with nResult and leaves the status as it is
    FINISHED, // the earlier run was finished here: nResult is its result (as runUpdate's)
};

// Called with the cache lock held and recovery on: finishes what an interrupted run left
// (verify, repair, the "postupdate" hook, the owed reboot) before any new pass.
[[nodiscard]] StartOutcome recoverOnStart(const UpdaterConfig& config, Status status, int& nResult);

// The end of a run: the record goes unless a reboot is still owed or an installation was
// cut off (nResult RESULT_FATAL) or the device is about to reboot (RESULT_REBOOT).
void finishTransactionRecord(int nResult);
