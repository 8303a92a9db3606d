#include "updater/Main.h"

#include "base/Checksum.h"
#include "base/FileUtil.h"
#include "base/Logger.h"
#include "base/Version.h"
#include "config/UpdaterConfig.h"
#include "downloader/URLFetcher.h"
#include "updater/CacheLock.h"
#include "updater/CommandLine.h"
#include "updater/Hooks.h"
#include "updater/Recovery.h"
#include "updater/Result.h"
#include "updater/RpmLog.h"
#include "updater/Signals.h"
#include "updater/Status.h"
#include "updater/UpdateRun.h"
#include "updater/UpdaterPaths.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libxml/xmlversion.h>
#include <ne_alloc.h>
#include <ne_socket.h>
#include <ne_utils.h>
#include <new>
#include <pwd.h>
#include <rpm/rpmcli.h>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace
{

constexpr const char* NO_RUN_FILE = "/var/run/updater.norun";
constexpr const char* LAST_LOG_FILE = "/var/log/updater/lastlog";

[[noreturn]] void outOfMemory() noexcept
{
    logMessage(FATAL, "out of memory, aborting execution");
    std::exit(RESULT_FATAL);
}

// Owns the popt context made by rpmcliInit until the exit sequence releases it.
class RpmCliContext
{
public:
    explicit RpmCliContext(poptContext context) : m_context(context) {}
    ~RpmCliContext() { release(); }
    RpmCliContext(const RpmCliContext&) = delete;
    RpmCliContext& operator=(const RpmCliContext&) = delete;

    poptContext get() const { return m_context; }
    void release()
    {
        if (m_context)
            rpmcliFini(m_context);
        m_context = nullptr;
    }

private:
    poptContext m_context;
};

void ensureHome()
{
    if (std::getenv("HOME"))
        return;
    const passwd* pEntry = ::getpwuid(::getuid());
    if (!pEntry)
    {
        logMessage(WARNING,
                   "HOME not set in environment but no entry in user database for current user");
        return;
    }
    if (::setenv("HOME", pEntry->pw_dir, 0) != 0)
    {
        logMessage(WARNING, "failed to set HOME in environment");
        return;
    }
    logMessage(DEBUG, "HOME set to '%s' in environment", pEntry->pw_dir);
}

// True when the "no run" file forbids running (a dangling symbolic link counts too).
bool runningDisabled()
{
    struct stat info;
    if (::lstat(NO_RUN_FILE, &info) != 0)
    {
        if (errno != EACCES)
            return false;
        logMessage(ERROR, "failed checking existence of '%s' (%s)", NO_RUN_FILE,
                   errnoText().c_str());
    }
    logMessage(ERROR, "running is disabled by \"no run\" file '%s'", NO_RUN_FILE);
    return true;
}

const char* modeName(const UpdaterConfig& config)
{
    if (config.m_bCheckOnly)
        return "check";
    if (config.m_bTest)
        return "test";
    return "update";
}

// The status left by earlier runs must allow a start. False with the exit status set
// when it does not; bReportRefusal adds the summary line to a refusal too.
bool statusAllowsStart(const UpdaterConfig& config, int& nStatus, bool bReportRefusal)
{
    Status status = READY;
    if (!loadStatus(status))
    {
        logMessage(ERROR, "cannot recover status, aborting");
        // It might have said UPDATING: only someone who has checked the device may clear it.
        logMessage(
            ERROR,
            "status file '%s' is empty, unreadable or unknown; if no installation was cut off, "
            "remove it to let updates run again",
            updaterPaths().m_sStatusFile.c_str());
        nStatus = RESULT_ERROR;
        return false;
    }
    // Judged once the cache lock is held (recoverOnStart).
    if (recoveryPending(config, status))
        return true;
    int nExitStatus = RESULT_ERROR;
    if (!checkStatusForStart(status, nExitStatus))
    {
        if (bReportRefusal)
            logMessage(ERROR, "cannot recover status, aborting");
        nStatus = nExitStatus;
        return false;
    }
    return true;
}

void redirectStandardStreams()
{
    int nNull = ::open("/dev/null", O_RDWR);
    if (nNull < 0)
    {
        logMessage(WARNING, "cannot open /dev/null to redirect stdin/out/err (%s)",
                   errnoText().c_str());
        return;
    }
    ::close(STDIN_FILENO);
    ::close(STDOUT_FILENO);
    ::close(STDERR_FILENO);
    int nError = 0;
    for (int nTarget : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
    {
        if (nNull != nTarget && ::dup2(nNull, nTarget) < 0)
            nError = errno;
    }
    if (nError != 0)
    {
        errno = nError;
        logMessage(WARNING, "failed redirecting stdin/out/err to /dev/null (%s)",
                   errnoText().c_str());
    }
    if (nNull > STDERR_FILENO)
        ::close(nNull);
}

enum class Detach
{
    PARENT,   // the parent is done: go to the exit sequence
    CONTINUE, // the child (or the process itself when the fork failed) goes on
    REFUSED,  // the status forbids a start: go to the exit sequence
};

Detach detachToBackground(const UpdaterConfig& config, const UpdaterOptions& options,
                          const char* pMode, int& nStatus)
{
    logMessage(DEBUG, "going to background");
    // The status is checked before the fork so that a refusal reaches the caller.
    if (!statusAllowsStart(config, nStatus, true))
        return Detach::REFUSED;

    std::fflush(nullptr);
    pid_t nPid = ::fork();
    if (nPid < 0)
    {
        logMessage(ERROR, "failed forking to background (%s)", errnoText().c_str());
        return Detach::CONTINUE;
    }
    if (nPid > 0)
    {
        if (!config.m_bQuiet)
        {
            logMessage(INFO, "--- MODE %s ---", pMode);
            logMessage(INFO, "%s switched to background", PROGRAM_NAME);
            logMessage(INFO, "--- BACKGROUND PID %i ---", static_cast<int>(nPid));
        }
        // Only the child goes on writing the --log-to file.
        if (options.m_sLogTo)
            logger().removeFile(*options.m_sLogTo);
        nStatus = RESULT_OK;
        return Detach::PARENT;
    }

    if (::setsid() < 0)
        logMessage(ERROR, "cannot create new session (%s)", errnoText().c_str());
    redirectStandardStreams();
    return Detach::CONTINUE;
}

// Steps from the "no run" check to the final READY status; returns the pending exit
// status or run result.
int runLocked(const UpdaterConfig& config, const UpdaterOptions& options,
              const std::set<std::string>& setInclude, CacheLock& lock)
{
    if (runningDisabled())
        return RESULT_ERROR;

    const char* pMode = modeName(config);
    int nStatus = RESULT_ERROR;
    if (config.m_bBackground)
    {
        Detach detach = detachToBackground(config, options, pMode, nStatus);
        if (detach != Detach::CONTINUE)
            return nStatus;
        nStatus = RESULT_ERROR;
    }

    if (!lock.acquire(config.m_nLockTimeout))
        return RESULT_ERROR;

    (void)logger().addFile(LAST_LOG_FILE, INFO, false);

    if (!config.m_bQuiet)
    {
        logMessage(INFO, "%s version %s, product %s", PROGRAM_NAME, PROGRAM_VERSION,
                   config.m_sProductName.c_str());
        logMessage(INFO, "--- MODE %s ---", pMode);
        if (!config.m_network.m_sProxyServer.empty())
            logMessage(INFO, "using HTTP proxy '%s' port %u",
                       config.m_network.m_sProxyServer.c_str(), config.m_network.m_nProxyPort);
    }

    URLFetcher::initialize(config.m_network);

    if (config.m_bRecoveryVerify)
    {
        Status status = READY;
        // An unreadable status file is reported by the check below.
        if (loadStatus(status))
        {
            switch (recoverOnStart(config, status, nStatus))
            {
            case StartOutcome::REFUSED:
                return nStatus;
            case StartOutcome::FINISHED:
                if (nStatus != RESULT_FATAL && !saveStatus(READY))
                    logMessage(WARNING, "failed updating status file");
                return nStatus;
            case StartOutcome::PROCEED:
                break;
            }
        }
    }
    if (!statusAllowsStart(config, nStatus, false))
        return nStatus;

    nStatus = runUpdate(config, setInclude);
    if (config.m_bRecoveryVerify)
        finishTransactionRecord(nStatus);

    if (nStatus != RESULT_FATAL && !saveStatus(READY))
        logMessage(WARNING, "failed updating status file");
    return nStatus;
}

} // namespace

int updaterMain(int argc, char** argv)
{
    UpdaterConfig config;
    logger().setIdent(argc > 0 && argv[0] != nullptr ? baseName(argv[0])
                                                     : std::string(PROGRAM_NAME));

    if (!installSignalHandlers())
        return RESULT_ERROR;

    std::set_new_handler(outOfMemory);
    ne_oom_callback(outOfMemory);

    xmlCheckVersion(20900);
    if (ne_sock_init() != 0)
    {
        logMessage(ERROR, "failed initializing (neon)");
        return RESULT_ERROR;
    }

    RpmLogRoute rpmLog;

    // rpmcliInit prints help or an option error and exits by itself when popt asks.
    CommandLine commandLine;
    RpmCliContext context(rpmcliInit(argc, argv, commandLine.table()));
    if (!context.get())
    {
        logMessage(ERROR, "failed initializing (rpm)");
        return RESULT_ERROR;
    }
    commandLine.collectPackageNames(context.get());
    const UpdaterOptions options = commandLine.options();

    if (options.m_sLogTo)
        (void)logger().addFile(*options.m_sLogTo, TRACE, true);

    // Lowered early so that loading the configuration can be traced.
    if (options.m_sLogLevel == "trace")
        logger().setLevel(TRACE);
    else if (options.m_sLogLevel == "debug")
        logger().setLevel(DEBUG);

    if (!config.load(options))
        return RESULT_ERROR;
    Checksum::setAcceptedTypes(config.m_vChecksumTypes);

    logger().setLevel(config.m_nLogLevel);
    logger().setStderr(config.m_bLogStderr);
    logger().setSyslog(config.m_bLogSyslog, LOG_PID, config.m_nSyslogFacility);
    logMessage(DEBUG, "initialized OK");

    if (::chdir("/") != 0)
    {
        logMessage(ERROR, "failed to change to the root directory (%s)", errnoText().c_str());
        return RESULT_ERROR;
    }
    ensureHome();

    CacheLock lock;
    int nStatus = runLocked(config, options, commandLine.packageNames(), lock);

    // Exit sequence.
    context.release();
    rpmLog.reset();
    ne_sock_exit();

    if (nStatus == RESULT_REBOOT)
        nStatus = rebootSystem() ? RESULT_OK : RESULT_FATAL;
    // Only a failing "init" hook can hand back RESULT_FAILED: the system is unchanged.
    if (nStatus != RESULT_OK && nStatus != RESULT_FATAL)
        nStatus = RESULT_ERROR;

    if (!config.m_bQuiet)
        logMessage(INFO, "--- EXIT %s ---", resultName(nStatus));

    (void)enableTerminationSignals();

    if (terminationSignalCaught() && nStatus != RESULT_OK)
    {
        int nSignal = terminationSignalNumber();
        logMessage(ERROR, "terminated by signal #%i: %s", nSignal, strsignal(nSignal));
        std::raise(nSignal);
    }
    return nStatus;
}
