#pragma once

#include <string>
#include <vector>

// Runs one external command: in the foreground with its output copied into the log
// line by line, or detached in the background with its streams on /dev/null.
class ChildProcess
{
public:
    // Argument 0 is the base name of sProgram; a name without "/" is looked up in PATH.
    explicit ChildProcess(const std::string& sProgram);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void addArgument(const std::string& sText);

    // True when the child was started, whatever its outcome.
    [[nodiscard]] bool run();
    // True when the fork succeeded; nobody waits for this child.
    [[nodiscard]] bool runInBackground();
    // Waits for the started child and records its end; false when there is none or
    // the wait failed.
    [[nodiscard]] bool wait();

    const std::string& program() const { return m_sProgram; }
    const std::vector<std::string>& arguments() const { return m_vArgs; }
    int pid() const { return m_nPid; }
    // The exit code when the child exited, the signal number when it was killed,
    // -1 until known.
    int exitCode() const { return m_nExitCode; }
    bool exited() const { return m_bExited; }
    bool signaled() const { return m_bSignaled; }

private:
    void startCommon();

    std::string m_sProgram;
    std::vector<std::string> m_vArgs;
    int m_nPid = 0;
    int m_nExitCode = -1;
    bool m_bExited = false;
    bool m_bSignaled = false;
};
