#include "updater/Status.h"

#include "base/AtomicFile.h"
#include "base/Logger.h"
#include "base/UniqueFd.h"
#include "base/UniqueFile.h"
#include "updater/Result.h"
#include "updater/UpdaterPaths.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

const char* const STATUS_NAMES[STATUS_COUNT] = {
    "READY",    "DELAYING", "ANALYZING", "DOWNLOADING", "TESTING",
    "UPDATING", "PKGSDONE", "CORRUPTED", "REBOOTING",
};

const char* const UPDATE_STATE_NAMES[] = {"AVAILABLE", "PENDING", "COMPLETE"};

// The value last read from or successfully written to the update-state file.
UpdateState g_cachedUpdateState = NONE;

SyncFunction g_pSync = nullptr;

int syncDescriptor(int nFd)
{
    return g_pSync ? g_pSync(nFd) : fsync(nFd);
}

// The first whitespace-separated word of the stream, at most 31 characters.
bool readFirstWord(FILE* pStream, char (&word)[32])
{
    return fscanf(pStream, "%31s", word) == 1;
}

// fsync of an opened path; the descriptor is closed in every case.
bool syncPath(const std::string& sPath, int nFlags)
{
    UniqueFd fd(open(sPath.c_str(), nFlags | O_CLOEXEC));
    if (!fd)
        return false;
    const int nResult = syncDescriptor(fd.get());
    const int nSavedErrno = errno;
    (void)fd.reset();
    errno = nSavedErrno;
    return nResult == 0;
}

} // namespace

const char* statusName(int nStatus)
{
    if (nStatus < 0 || nStatus >= STATUS_COUNT)
        return nullptr;
    return STATUS_NAMES[nStatus];
}

const char* updateStateName(int nState)
{
    if (nState < AVAILABLE || nState > COMPLETE)
        return nullptr;
    return UPDATE_STATE_NAMES[nState];
}

bool loadStatus(Status& status)
{
    const std::string& sPath = updaterPaths().m_sStatusFile;
    const UniqueFile stream(fopen(sPath.c_str(), "re"));
    FILE* pStream = stream.get();
    if (!pStream)
    {
        if (errno == ENOENT)
        {
            status = READY;
            return true;
        }
        logMessage(DEBUG, "cannot read from status file: %s", errnoText().c_str());
        return false;
    }

    char word[32];
    if (!readFirstWord(pStream, word))
    {
        logMessage(DEBUG, "failed reading from status file");
        return false;
    }
    for (int nStatus = 0; nStatus < STATUS_COUNT; ++nStatus)
    {
        if (strcmp(word, STATUS_NAMES[nStatus]) == 0)
        {
            status = static_cast<Status>(nStatus);
            return true;
        }
    }
    logMessage(ERROR, "unknown status '%s'", word);
    return false;
}

bool saveStatus(int nStatus)
{
    const char* pName = statusName(nStatus);
    if (!pName)
    {
        logMessage(ERROR, "invalid status value %i", nStatus);
        return false;
    }

    const std::string& sPath = updaterPaths().m_sStatusFile;
    char tempPath[4096];
    const int nLength = snprintf(tempPath, sizeof(tempPath), "%s.XXXXXX", sPath.c_str());
    if (nLength < 0 || static_cast<size_t>(nLength) >= sizeof(tempPath))
    {
        errno = ENAMETOOLONG;
        logMessage(DEBUG, "failed creating status temporary file: %s", errnoText().c_str());
        return false;
    }
    UniqueFd fd(mkostemp(tempPath, O_CLOEXEC));
    if (!fd)
    {
        logMessage(DEBUG, "failed creating status temporary file: %s", errnoText().c_str());
        return false;
    }

    std::string sContent = pName;
    sContent += '\n';
    const ssize_t nWritten = write(fd.get(), sContent.data(), sContent.size());
    if (nWritten != static_cast<ssize_t>(sContent.size()))
    {
        if (nWritten >= 0)
            logMessage(DEBUG, "incomplete write to status temp file");
        else
            logMessage(DEBUG, "failed writing status to temp file: %s", errnoText().c_str());
        (void)fd.reset();
        unlink(tempPath);
        return false;
    }
    // mkstemp creates the file 0600; readers of the status file are other programs.
    if (fchmod(fd.get(), 0644) != 0)
    {
        logMessage(DEBUG, "failed setting perms on status temporary file: %s", errnoText().c_str());
        (void)fd.reset();
        unlink(tempPath);
        return false;
    }
    switch (replaceFile(fd.release(), tempPath, sPath))
    {
    case ReplaceStep::DONE:
        break;
    case ReplaceStep::SYNC:
        logMessage(DEBUG, "failed syncing status temporary file: %s", errnoText().c_str());
        return false;
    case ReplaceStep::CLOSE:
        logMessage(DEBUG, "failed on closing status temporary file: %s", errnoText().c_str());
        return false;
    case ReplaceStep::RENAME:
    case ReplaceStep::SYNC_DIRECTORY:
        logMessage(DEBUG, "failed saving status: %s", errnoText().c_str());
        return false;
    }
    return true;
}

bool syncStatus()
{
    // The rename that replaced the file is only durable once the directory is synced;
    // without it a power loss could bring back the status from before an installation.
    const std::string& sPath = updaterPaths().m_sStatusFile;
    if (!syncPath(sPath, O_RDONLY) || !syncPath(parentDirectory(sPath), O_RDONLY | O_DIRECTORY))
    {
        logMessage(ERROR, "failed to sync status file: %s", errnoText().c_str());
        return false;
    }
    logMessage(TRACE, "synced status file");
    return true;
}

void saveStatusOrWarn(Status status, bool bSync)
{
    if (!saveStatus(status) || (bSync && !syncStatus()))
        logMessage(WARNING, "failed updating status file");
}

bool checkStatusForStart(Status status, int& nExitStatus)
{
    switch (status)
    {
    case CORRUPTED:
        logMessage(FATAL, "system is corrupted cannot update");
        nExitStatus = RESULT_FATAL;
        return false;
    case UPDATING:
        logMessage(FATAL, "a previous update was interrupted; SYSTEM MAY BE CORRUPTED! Aborting");
        if (!saveStatus(CORRUPTED))
            logMessage(WARNING, "failed updating status file");
        nExitStatus = RESULT_FATAL;
        return false;
    case REBOOTING:
        logMessage(INFO, "machine is rebooting after update, cannot start");
        nExitStatus = RESULT_ERROR;
        return false;
    default:
        return true;
    }
}

UpdateState loadUpdateState()
{
    g_cachedUpdateState = NONE;
    const std::string& sPath = updaterPaths().m_sUpdateStateFile;
    const UniqueFile stream(fopen(sPath.c_str(), "re"));
    FILE* pStream = stream.get();
    if (!pStream)
    {
        if (errno != ENOENT)
            logMessage(DEBUG, "cannot read from update state file: %s", errnoText().c_str());
        return NONE;
    }

    char word[32];
    if (!readFirstWord(pStream, word))
    {
        logMessage(DEBUG, "failed reading from update state file");
        return g_cachedUpdateState;
    }
    for (int nState = AVAILABLE; nState <= COMPLETE; ++nState)
    {
        if (strcmp(word, UPDATE_STATE_NAMES[nState]) == 0)
        {
            g_cachedUpdateState = static_cast<UpdateState>(nState);
            return g_cachedUpdateState;
        }
    }
    logMessage(WARNING, "unknown update state '%s'", word);
    return g_cachedUpdateState;
}

void saveUpdateState(UpdateState state)
{
    const char* pName = updateStateName(state);
    if (!pName)
    {
        logMessage(WARNING, "ignoring request to save NONE as update state");
        return;
    }
    if (state == g_cachedUpdateState)
        return;

    const std::string& sPath = updaterPaths().m_sUpdateStateFile;
    FILE* pStream = fopen(sPath.c_str(), "we");
    if (!pStream)
    {
        logMessage(WARNING, "failed to open update state file for save: %s", errnoText().c_str());
        return;
    }
    bool bOk = fprintf(pStream, "%s\n", pName) >= 0;
    bOk = fflush(pStream) == 0 && bOk;
    int nSavedErrno = errno;
    if (fclose(pStream) != 0)
    {
        bOk = false;
        nSavedErrno = errno;
    }
    if (!bOk)
    {
        errno = nSavedErrno;
        logMessage(WARNING, "failed writing to update state file: %s", errnoText().c_str());
        return;
    }
    g_cachedUpdateState = state;
}

UpdateState decideUpdateState(unsigned nAvailable, unsigned nHandled, bool bSuccess,
                              bool bUpdaterOnly, UpdateState previous)
{
    if (nHandled > 0 && (nHandled < nAvailable || bUpdaterOnly))
        return PENDING;
    if (nHandled >= nAvailable && bSuccess)
        return COMPLETE;
    if (previous != PENDING && nAvailable > 0)
        return AVAILABLE;
    return previous;
}

void recordUpdateState(unsigned nAvailable, unsigned nHandled, bool bSuccess, bool bUpdaterOnly)
{
    const UpdateState previous = loadUpdateState();
    const UpdateState state =
        decideUpdateState(nAvailable, nHandled, bSuccess, bUpdaterOnly, previous);
    if (state != NONE)
        saveUpdateState(state);
}

void setStatusSyncFunction(SyncFunction pFunction)
{
    g_pSync = pFunction;
}
