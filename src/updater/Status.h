#pragma once

// The status file (where the updater is in its work, for the next start) and the
// update-state file (whether updates are available, for other programs).

enum Status : int
{
    READY = 0,
    DELAYING = 1,
    ANALYZING = 2,
    DOWNLOADING = 3,
    TESTING = 4,
    UPDATING = 5,
    PKGSDONE = 6,
    CORRUPTED = 7,
    REBOOTING = 8,
};

inline constexpr int STATUS_COUNT = 9;

// The name written to the status file ("READY"), or nullptr outside 0..8.
const char* statusName(int nStatus);

enum UpdateState : int
{
    NONE = -1, // in memory only, never written
    AVAILABLE = 0,
    PENDING = 1,
    COMPLETE = 2,
};

// "AVAILABLE", "PENDING", "COMPLETE", or nullptr for NONE and anything else.
const char* updateStateName(int nState);

// Reads the status file; a missing file is READY. False (logged) when the file
// exists but cannot be read or holds no known name.
[[nodiscard]] bool loadStatus(Status& status);

// Replaces the status file atomically (temporary file, synced, then renamed). Failures
// are logged at DEBUG only; callers add their own warning.
[[nodiscard]] bool saveStatus(int nStatus);

// Forces the status file and the directory holding it to the storage medium.
[[nodiscard]] bool syncStatus();

// saveStatus, with syncStatus when bSync; a failure only warns ("failed updating status
// file"): the run goes on with its work either way.
void saveStatusOrWarn(Status status, bool bSync);

// True when a run may start on top of `status`; otherwise false with the exit
// status to use. An interrupted installation (UPDATING) becomes CORRUPTED.
[[nodiscard]] bool checkStatusForStart(Status status, int& nExitStatus);

// Reads the update-state file into the cached state and returns it (NONE when the
// file is missing, empty or unknown).
UpdateState loadUpdateState();

// Writes the update-state file unless it already holds `state` as far as this
// process knows; failures are logged, not returned.
void saveUpdateState(UpdateState state);

// The state the update run records at its end: nAvailable updates found by the
// first pass, nHandled updates handled by the passes that were not check-only,
// bSuccess when the last pass ended RESULT_OK or RESULT_REBOOT, bUpdaterOnly when
// the run fell back to the updater alone, previous as read by loadUpdateState.
// NONE means: write nothing.
UpdateState decideUpdateState(unsigned nAvailable, unsigned nHandled, bool bSuccess,
                              bool bUpdaterOnly, UpdateState previous);

// loadUpdateState, decideUpdateState and saveUpdateState in one call.
void recordUpdateState(unsigned nAvailable, unsigned nHandled, bool bSuccess, bool bUpdaterOnly);

// For tests only: the call that forces a descriptor to disk (fsync by default);
// nullptr restores fsync.
using SyncFunction = int (*)(int nFd);
void setStatusSyncFunction(SyncFunction pFunction);
