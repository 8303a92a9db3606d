#pragma once

#include "config/UpdaterConfig.h"

#include <popt.h>
#include <set>
#include <string>
#include <vector>

// The popt option table of the command line and the variables it stores into. The
// table points into this object, which therefore cannot be copied or moved.
class CommandLine
{
public:
    CommandLine();
    ~CommandLine();
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    poptOption* table() { return m_vTable.data(); }

    // Collects the positional arguments (package names) of a processed context.
    void collectPackageNames(poptContext context);

    // The option values as the configuration loader takes them.
    UpdaterOptions options() const;
    const std::set<std::string>& packageNames() const { return m_setPackageNames; }

private:
    int m_nQuiet = 0;
    char* m_pLogLevel = nullptr;
    char* m_pRepo = nullptr;
    char* m_pRepoUrl = nullptr;
    int m_nLogStderr = 0;
    char* m_pLogTo = nullptr;
    int m_nCheckOnly = 0;
    int m_nTest = 0;
    int m_nNoSigCheck = 0;
    int m_nNoReboot = 0;
    int m_nBackground = 0;
    int m_nCacheOnly = 0;
    int m_nNoCacheClean = 0;
    int m_nCheckDbHeaders = 0;
    int m_nMaxWaitTime = 0;
    int m_nLockTimeout = 0;
    char* m_pCacheDir = nullptr;
    char* m_pConfFile = nullptr;

    std::vector<poptOption> m_vTable;
    std::set<std::string> m_setPackageNames;
};
