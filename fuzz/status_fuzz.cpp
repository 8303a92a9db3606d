// The status file and the update-state file.

#include "FuzzSupport.h"

#include "updater/Status.h"
#include "updater/UpdaterPaths.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quietLogger();
    UpdaterPaths paths;
    paths.m_sStatusFile = fuzz::workDir() + "/status";
    paths.m_sUpdateStateFile = fuzz::workDir() + "/update-state";
    paths.m_sHookProgram = fuzz::workDir() + "/missing-hook";
    paths.m_sTelinit = fuzz::workDir() + "/missing-telinit";
    paths.m_sShutdown = fuzz::workDir() + "/missing-shutdown";
    setUpdaterPaths(paths);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize)
{
    fuzz::writeInput(updaterPaths().m_sStatusFile, pData, uSize);
    fuzz::writeInput(updaterPaths().m_sUpdateStateFile, pData, uSize);

    Status status = READY;
    if (loadStatus(status) && statusName(status) == nullptr)
        std::abort();
    UpdateState state = loadUpdateState();
    if (state != NONE && updateStateName(state) == nullptr)
        std::abort();
    return 0;
}
