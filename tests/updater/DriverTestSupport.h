#pragma once

#include "TestSupport.h"
#include "updater/UpdaterPaths.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace driver_test
{

// Points the status files and the external commands of the update driver into a
// private directory for the lifetime of the object.
class PrivatePaths
{
public:
    PrivatePaths()
    {
        m_paths.m_sStatusFile = m_dir.file("status");
        m_paths.m_sUpdateStateFile = m_dir.file("update-state");
        m_paths.m_sTransactionFile = m_dir.file("transaction");
        m_paths.m_sHookProgram = m_dir.file("hook");
        m_paths.m_sTelinit = m_dir.file("telinit");
        m_paths.m_sShutdown = m_dir.file("shutdown");
        setUpdaterPaths(m_paths);
    }
    ~PrivatePaths() { setUpdaterPaths(UpdaterPaths()); }
    PrivatePaths(const PrivatePaths&) = delete;
    PrivatePaths& operator=(const PrivatePaths&) = delete;

    const UpdaterPaths& paths() const { return m_paths; }
    std::string file(const std::string& sName) const { return m_dir.file(sName); }
    const std::string& dir() const { return m_dir.path(); }

    void apply(const UpdaterPaths& paths)
    {
        m_paths = paths;
        setUpdaterPaths(m_paths);
    }

    // Writes an executable shell script.
    std::string script(const std::string& sName, const std::string& sBody) const
    {
        const std::string sPath = m_dir.file(sName);
        testing_support::writeFile(sPath, "#!/bin/sh\n" + sBody);
        chmod(sPath.c_str(), 0755);
        return sPath;
    }

private:
    testing_support::TempDir m_dir;
    UpdaterPaths m_paths;
};

// Waits up to a few seconds for a file that a background process writes.
inline bool waitForFile(const std::string& sPath)
{
    for (int n = 0; n < 500; ++n)
    {
        if (access(sPath.c_str(), F_OK) == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

} // namespace driver_test

// A check inside a forked child (death-test statement): prints what failed and ends
// the child with exit code 1, which the parent reports together with that text.
#define CHILD_CHECK(condition)                                                                     \
    do                                                                                             \
    {                                                                                              \
        if (!(condition))                                                                          \
        {                                                                                          \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);          \
            fflush(stderr);                                                                        \
            _exit(1);                                                                              \
        }                                                                                          \
    } while (0)
