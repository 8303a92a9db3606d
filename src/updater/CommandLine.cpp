#include "updater/CommandLine.h"

#include <cstdlib>
#include <optional>

namespace
{

std::optional<std::string> optionalText(const char* pValue)
{
    if (!pValue)
        return std::nullopt;
    return std::string(pValue);
}

} // namespace

CommandLine::CommandLine()
{
    // Table order is also the order of the help output.
    m_vTable = {
        {"quiet", 'q', POPT_ARG_NONE, &m_nQuiet, 0, "Do not output messages if nothing to be done.",
         nullptr},
        {"log-level", 'l', POPT_ARG_STRING, &m_pLogLevel, 0,
         "Set the log level to one of trace, debug, info, warn, error or fatal.", nullptr},
        {"repo", 'r', POPT_ARG_STRING, &m_pRepo, 0,
         "Use the specified repo from the configuration file instead of the default.", "repo-id"},
        {"repo-url", '\0', POPT_ARG_STRING, &m_pRepoUrl, 0,
         "Override the URL for a specific repository ID.", "repo-id:url"},
        {"log-to-stderr", '\0', POPT_ARG_NONE, &m_nLogStderr, 0,
         "Output logs to stderr in addition to the outputs in the config file.", nullptr},
        {"log-to", '\0', POPT_ARG_STRING, &m_pLogTo, 0,
         "Output logs also to the given file (not truncated)", "file"},
        {"check-only", 'n', POPT_ARG_NONE, &m_nCheckOnly, 0,
         "Checks and reports if any updates are required, does not update any packages.", nullptr},
        {"test", 'N', POPT_ARG_NONE, &m_nTest, 0, "Tests the updates but does not install them.",
         nullptr},
        {"no-sig-check", '\0', POPT_ARG_NONE, &m_nNoSigCheck, 0,
         "disables checking of package signatures.", nullptr},
        {"no-reboot", '\0', POPT_ARG_NONE, &m_nNoReboot, 0,
         "Prevent reboot after updates, even if program determines that a reboot is necessary.",
         nullptr},
        {"background", 'b', POPT_ARG_NONE, &m_nBackground, 0,
         "Background and detach process after initialization.", nullptr},
        {"cache-only", 'C', POPT_ARG_NONE, &m_nCacheOnly, 0,
         "runs from the cache, but required packages are still downloaded.", nullptr},
        {"no-cache-clean", '\0', POPT_ARG_NONE, &m_nNoCacheClean, 0,
         "prevents the cleaning of cached packages at startup / exit, mostly intended for "
         "debugging.",
         nullptr},
        {"check-db-headers", '\0', POPT_ARG_NONE, &m_nCheckDbHeaders, 0,
         "Force checking of package headers in rpm database; these are not checked by default "
         "since it is "
         "fairly slow.",
         nullptr},
        {"max-wait-time", '\0', POPT_ARG_INT, &m_nMaxWaitTime, 0,
         "Specifies a maximum wait time before processing starts; the actual wait is a random "
         "duration between 0 "
         "and the specified value. Should be greater than zero or negative to disable.",
         "seconds"},
        {"lock-timeout", '\0', POPT_ARG_INT, &m_nLockTimeout, 0,
         "Specifies the timeout when waiting to obtain the cache lock. Should be greater than zero "
         "or negative to "
         "disable.",
         "seconds"},
        {"cache-dir", '\0', POPT_ARG_STRING, &m_pCacheDir, 0,
         "Specify a cache directory other than the default.", "<dir>"},
        {"conf-file", '\0', POPT_ARG_STRING, &m_pConfFile, 0,
         "Specify a configuration file other than the default '/etc/updater.conf'.", "<file>"},
        {nullptr, '\0', POPT_ARG_INCLUDE_TABLE, poptHelpOptions, 0, "Help options:", nullptr},
        POPT_TABLEEND,
    };
}

CommandLine::~CommandLine()
{
    // popt hands string arguments over as malloc'ed copies.
    for (char* p : {m_pLogLevel, m_pRepo, m_pRepoUrl, m_pLogTo, m_pCacheDir, m_pConfFile})
        std::free(p);
}

void CommandLine::collectPackageNames(poptContext context)
{
    while (const char* pName = poptGetArg(context))
        m_setPackageNames.insert(pName);
}

UpdaterOptions CommandLine::options() const
{
    UpdaterOptions options;
    options.m_bQuiet = m_nQuiet != 0;
    options.m_sLogLevel = optionalText(m_pLogLevel);
    options.m_sRepo = optionalText(m_pRepo);
    options.m_sRepoUrl = optionalText(m_pRepoUrl);
    options.m_bLogStderr = m_nLogStderr != 0;
    options.m_sLogTo = optionalText(m_pLogTo);
    options.m_bCheckOnly = m_nCheckOnly != 0;
    options.m_bTest = m_nTest != 0;
    options.m_bNoSigCheck = m_nNoSigCheck != 0;
    options.m_bNoReboot = m_nNoReboot != 0;
    options.m_bBackground = m_nBackground != 0;
    options.m_bCacheOnly = m_nCacheOnly != 0;
    options.m_bNoCacheClean = m_nNoCacheClean != 0;
    options.m_bCheckDbHeaders = m_nCheckDbHeaders != 0;
    options.m_nMaxWaitTime = m_nMaxWaitTime;
    options.m_nLockTimeout = m_nLockTimeout;
    options.m_sCacheDir = optionalText(m_pCacheDir);
    options.m_sConfFile = optionalText(m_pConfFile);
    return options;
}
