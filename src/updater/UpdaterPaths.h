#pragma once

#include <string>

// The fixed files and commands the update driver works with. Production code never
// changes them; unit tests point them into a private temporary directory.
struct UpdaterPaths
{
    std::string m_sStatusFile = "/var/lib/updater/status";
    std::string m_sUpdateStateFile = "/var/lib/updater/update-state";
    std::string m_sTransactionFile = "/var/lib/updater/transaction";
    std::string m_sHookProgram = "/usr/lib/updater/hook";
    std::string m_sTelinit = "telinit";
    std::string m_sShutdown = "shutdown";
    std::string m_sRandomDevice = "/dev/urandom";
};

const UpdaterPaths& updaterPaths();

// For tests only.
void setUpdaterPaths(const UpdaterPaths& paths);
