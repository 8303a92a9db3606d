#pragma once

#include "base/UniqueFile.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

// Log levels; a message passes when its level is at least the threshold.
enum LogLevel : int
{
    TRACE = 0,
    DEBUG = 1,
    INFO = 2,
    WARNING = 3,
    ERROR = 4,
    FATAL = 5,
};

// The one process-wide logger: standard error, any number of files with their own
// minimum level, and the system log.
class Logger
{
public:
    Logger() = default;
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void setLevel(int nLevel) { m_nThreshold = nLevel; }
    int threshold() const { return m_nThreshold; }
    bool passes(int nLevel) const { return nLevel >= m_nThreshold; }
    void setStderr(bool bEnabled) { m_bToStderr = bEnabled; }
    bool toStderr() const { return m_bToStderr; }
    void setIdent(const std::string& sName) { m_sIdent = sName; }
    const std::string& ident() const { return m_sIdent; }
    void setSyslog(bool bEnabled, int nOptions, int nFacility);
    bool toSyslog() const { return m_bToSyslog; }

    [[nodiscard]] bool addFile(const std::string& sPath, int nMinLevel, bool bAppend);
    bool removeFile(const std::string& sPath);

    void write(int nLevel, const char* pFormat, va_list args) __attribute__((format(printf, 3, 0)));

private:
    struct FileEntry
    {
        std::string m_sPath;
        UniqueFile m_pStream;
        int m_nMinLevel;
    };

    std::vector<FileEntry> m_vFiles;
    std::string m_sIdent;
    int m_nThreshold = INFO;
    bool m_bToStderr = true;
    bool m_bToSyslog = false;
};

// The process-wide instance; it exists before main runs.
Logger& logger();

inline bool logEnabled(int nLevel)
{
    return logger().passes(nLevel);
}

void logMessage(int nLevel, const char* pFormat, ...) __attribute__((format(printf, 2, 3)));

// Printed name of a level ("WARNING"), "UNKNOWN" outside 0..5.
const char* logLevelName(int nLevel);
// Syslog priority of a level.
int logLevelPriority(int nLevel);

int parseLogLevel(const std::string& sName);
int parseSyslogFacility(const std::string& sName);

// Text of the current errno.
std::string errnoText();
