#pragma once

#include <string>
#include <vector>

class DependencySet;

namespace testing_support
{

// A private temporary directory, removed with everything in it.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_sPath; }
    // path() + "/" + name
    std::string file(const std::string& sName) const;

private:
    std::string m_sPath;
};

// Captures what the logger writes while it lives: a log file at TRACE in a temp
// directory, with the threshold lowered to TRACE; both are restored afterwards.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything written so far, one "LEVEL: message" per line.
    std::string text() const;
    std::vector<std::string> lines() const;
    bool contains(const std::string& sNeedle) const;
    // Forgets what was captured so far.
    void clear();

private:
    TempDir m_dir;
    std::string m_sFile;
    int m_nOldThreshold;
    bool m_bOldStderr;
};

void writeFile(const std::string& sPath, const std::string& sContent);
std::string readFile(const std::string& sPath);
bool fileExists(const std::string& sPath);

// The entries of a dependency set as text, in the set's order ("foo >= 0:1.0-1").
std::vector<std::string> dependencyTexts(const DependencySet& set);

// Runs a shell command; returns its exit status (or -1), its standard output in pOutput.
int runShell(const std::string& sCommand, std::string* pOutput = nullptr);

// Source and build folders of the project, for test data and helper scripts.
std::string sourceDir();
std::string binaryDir();

} // namespace testing_support
