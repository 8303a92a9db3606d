#include "base/Logger.h"

#include <cerrno>
#include <cstring>
#include <syslog.h>
#include <utility>

namespace
{

struct NamedValue
{
    const char* m_pName;
    int m_nValue;
};

constexpr NamedValue LEVEL_NAMES[] = {
    {"trace", TRACE},  {"debug", DEBUG}, {"info", INFO},
    {"warn", WARNING}, {"error", ERROR}, {"fatal", FATAL},
};

constexpr NamedValue FACILITY_NAMES[] = {
    {"daemon", LOG_DAEMON}, {"user", LOG_USER},     {"local0", LOG_LOCAL0}, {"local1", LOG_LOCAL1},
    {"local2", LOG_LOCAL2}, {"local3", LOG_LOCAL3}, {"local4", LOG_LOCAL4}, {"local5", LOG_LOCAL5},
    {"local6", LOG_LOCAL6}, {"local7", LOG_LOCAL7},
};

} // namespace

Logger::~Logger() = default;

void Logger::setSyslog(bool bEnabled, int nOptions, int nFacility)
{
    m_bToSyslog = bEnabled;
    if (bEnabled)
        openlog(m_sIdent.c_str(), nOptions, nFacility);
}

bool Logger::addFile(const std::string& sPath, int nMinLevel, bool bAppend)
{
    for (FileEntry& entry : m_vFiles)
    {
        if (entry.m_sPath == sPath)
        {
            entry.m_nMinLevel = nMinLevel;
            return true;
        }
    }
    UniqueFile pStream(fopen(sPath.c_str(), bAppend ? "ae" : "we"));
    if (!pStream)
    {
        logMessage(ERROR, "cannot open log file %s: %s", sPath.c_str(), errnoText().c_str());
        return false;
    }
    m_vFiles.push_back(FileEntry{sPath, std::move(pStream), nMinLevel});
    return true;
}

bool Logger::removeFile(const std::string& sPath)
{
    for (auto it = m_vFiles.begin(); it != m_vFiles.end(); ++it)
    {
        if (it->m_sPath == sPath)
        {
            m_vFiles.erase(it);
            return true;
        }
    }
    return false;
}

void Logger::write(int nLevel, const char* pFormat, va_list args)
{
    if (nLevel < m_nThreshold)
        return;
    // Every output formats from its own copy of the argument list.
    if (m_bToSyslog)
    {
        va_list copy;
        va_copy(copy, args);
        vsyslog(logLevelPriority(nLevel), pFormat, copy);
        va_end(copy);
    }
    const char* pName = logLevelName(nLevel);
    if (m_bToStderr)
    {
        va_list copy;
        va_copy(copy, args);
        fprintf(stderr, "%s: ", pName);
        vfprintf(stderr, pFormat, copy);
        fputc('\n', stderr);
        va_end(copy);
    }
    for (FileEntry& entry : m_vFiles)
    {
        if (entry.m_nMinLevel > nLevel)
            continue;
        va_list copy;
        va_copy(copy, args);
        fprintf(entry.m_pStream.get(), "%s: ", pName);
        vfprintf(entry.m_pStream.get(), pFormat, copy);
        fputc('\n', entry.m_pStream.get());
        fflush(entry.m_pStream.get());
        va_end(copy);
    }
}

Logger& logger()
{
    static Logger s_logger;
    return s_logger;
}

// Constructs the logger during static initialisation, before main runs.
[[maybe_unused]] static Logger& s_rLoggerAtStart = logger();

void logMessage(int nLevel, const char* pFormat, ...)
{
    Logger& log = logger();
    if (!log.passes(nLevel))
        return;
    va_list args;
    va_start(args, pFormat);
    log.write(nLevel, pFormat, args);
    va_end(args);
}

const char* logLevelName(int nLevel)
{
    switch (nLevel)
    {
    case TRACE:
        return "TRACE";
    case DEBUG:
        return "DEBUG";
    case INFO:
        return "INFO";
    case WARNING:
        return "WARNING";
    case ERROR:
        return "ERROR";
    case FATAL:
        return "FATAL";
    default:
        return "UNKNOWN";
    }
}

int logLevelPriority(int nLevel)
{
    switch (nLevel)
    {
    case INFO:
        return LOG_INFO;
    case WARNING:
        return LOG_WARNING;
    case ERROR:
        return LOG_ERR;
    case FATAL:
        return LOG_CRIT;
    default:
        return LOG_DEBUG;
    }
}

int parseLogLevel(const std::string& sName)
{
    for (const NamedValue& entry : LEVEL_NAMES)
        if (sName == entry.m_pName)
            return entry.m_nValue;
    logMessage(ERROR, "unrecognized logger level '%s' using 'info'", sName.c_str());
    return INFO;
}

int parseSyslogFacility(const std::string& sName)
{
    for (const NamedValue& entry : FACILITY_NAMES)
        if (sName == entry.m_pName)
            return entry.m_nValue;
    logMessage(ERROR, "unrecognized syslog facility '%s' using 'daemon'", sName.c_str());
    return LOG_DAEMON;
}

std::string errnoText()
{
    char buffer[256];
    // GNU strerror_r: returns a pointer to the text, which may or may not be the buffer.
    return strerror_r(errno, buffer, sizeof buffer);
}
