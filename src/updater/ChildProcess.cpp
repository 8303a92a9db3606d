#include "updater/ChildProcess.h"

#include "base/Logger.h"
#include "base/UniqueFd.h"
#include "base/UniqueFile.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

constexpr size_t LINE_BUFFER_SIZE = 1024;

// The argument vector, built before fork so the child only redirects and execs.
class ArgumentVector
{
public:
    explicit ArgumentVector(const std::vector<std::string>& vArgs)
    {
        m_vPointers.reserve(vArgs.size() + 1);
        for (const std::string& sArg : vArgs)
            m_vPointers.push_back(const_cast<char*>(sArg.c_str()));
        m_vPointers.push_back(nullptr);
    }

    char* const* data() const { return m_vPointers.data(); }

private:
    std::vector<char*> m_vPointers;
};

// Child side, between fork and exec. Only async-signal-safe calls; _exit so that the
// parent's stdio buffers and exit handlers are not run a second time in the child.
[[noreturn]] void childFail(const char* pText)
{
    perror(pText);
    _exit(1);
}

// The updater ignores SIGPIPE, and ignored signals stay ignored across exec.
void childResetSigpipe()
{
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    if (sigaction(SIGPIPE, &action, nullptr) != 0)
        perror("failed resetting SIGPIPE");
}

// Moves a descriptor above the standard streams, so that closing 0..2 before dup2
// never closes it; the result is close-on-exec. -1 on failure.
int childAboveStandardStreams(int nFd)
{
    if (nFd > STDERR_FILENO)
        return nFd;
    const int nNewFd = fcntl(nFd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(nFd);
    return nNewFd;
}

// close + dup2 of nFd onto nTarget, leaving nTarget without close-on-exec.
bool childRedirect(int nFd, int nTarget)
{
    close(nTarget);
    return dup2(nFd, nTarget) == nTarget;
}

[[noreturn]] void childExec(const std::string& sProgram, const ArgumentVector& args)
{
    execvp(sProgram.c_str(), args.data());
    childFail(sProgram.c_str());
}

} // namespace

ChildProcess::ChildProcess(const std::string& sProgram) : m_sProgram(sProgram)
{
    const std::string::size_type nSlash = sProgram.rfind('/');
    m_vArgs.push_back(nSlash == std::string::npos ? sProgram : sProgram.substr(nSlash + 1));
}

void ChildProcess::addArgument(const std::string& sText)
{
    m_vArgs.push_back(sText);
}

void ChildProcess::startCommon()
{
    if (m_nPid != 0)
        logMessage(WARNING, "Did not wait on previously spawned helper");
    m_nExitCode = -1;
    m_nPid = 0;
    m_bExited = false;
    m_bSignaled = false;
}

bool ChildProcess::run()
{
    startCommon();

    int pipeFds[2];
    // Close-on-exec, so no other child ever holds the write end and delays our EOF.
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
    {
        logMessage(ERROR, "failed creating pipe to run '%s' (%s)", m_sProgram.c_str(),
                   errnoText().c_str());
        return false;
    }
    // The parent's ends; the child closes or moves its copies itself and never returns here.
    UniqueFd readEnd(pipeFds[0]);
    UniqueFd writeEnd(pipeFds[1]);
    const ArgumentVector args(m_vArgs);

    const pid_t nPid = fork();
    if (nPid < 0)
    {
        logMessage(ERROR, "failed forking to run '%s' (%s)", m_sProgram.c_str(),
                   errnoText().c_str());
        m_nPid = 0;
        return false;
    }

    if (nPid == 0)
    {
        close(pipeFds[0]);
        childResetSigpipe();
        const int nWriteFd = childAboveStandardStreams(pipeFds[1]);
        if (nWriteFd < 0)
            childFail("failed redirecting stdout/stderr to pipe");
        int nNullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (nNullFd < 0 || (nNullFd = childAboveStandardStreams(nNullFd)) < 0)
            childFail("failed opening /dev/null");
        if (!childRedirect(nNullFd, STDIN_FILENO))
            childFail("failed redirecting stdin to /dev/null");
        close(nNullFd);
        if (!childRedirect(nWriteFd, STDOUT_FILENO) || !childRedirect(nWriteFd, STDERR_FILENO))
            childFail("failed redirecting stdout/stderr to pipe");
        close(nWriteFd);
        childExec(m_sProgram, args);
    }

    m_nPid = nPid;
    logMessage(DEBUG, "started child '%s' with PID %i", m_sProgram.c_str(), m_nPid);
    (void)writeEnd.reset();

    std::vector<char> vBuffer(LINE_BUFFER_SIZE);
    UniqueFile stream(fdopen(readEnd.get(), "r"));
    FILE* pStream = stream.get();
    if (pStream)
    {
        (void)readEnd.release(); // closed with the stream
        bool bHeaderLogged = false;
        for (;;)
        {
            if (!fgets(vBuffer.data(), static_cast<int>(vBuffer.size()), pStream))
            {
                // A handler without SA_RESTART must not make us close the pipe on a
                // child that is still writing: it would die of SIGPIPE.
                if (ferror(pStream) && errno == EINTR)
                {
                    clearerr(pStream);
                    continue;
                }
                break;
            }
            char* pPiece = vBuffer.data();
            size_t nLength = strlen(pPiece);
            // A one-character line keeps its newline; shorter pieces are not logged.
            if (nLength > 2 && pPiece[nLength - 1] == '\n')
                pPiece[--nLength] = '\0';
            if (nLength <= 1)
                continue;
            if (!bHeaderLogged)
            {
                logMessage(INFO, "%s output:", m_sProgram.c_str());
                bHeaderLogged = true;
            }
            logMessage(INFO, "  %s", pPiece);
        }
        if (ferror(pStream))
            logMessage(ERROR, "failed reading output from child, closing pipe");
    }
    else
    {
        logMessage(ERROR, "cannot read output from child: %s", errnoText().c_str());
        for (;;)
        {
            const ssize_t nRead = read(readEnd.get(), vBuffer.data(), vBuffer.size());
            if (nRead == 0)
                break;
            if (nRead < 0)
            {
                if (errno == EINTR)
                    continue;
                logMessage(ERROR, "error reading child output (%s), closing pipe",
                           errnoText().c_str());
                break;
            }
        }
    }

    // The pipe is closed before the wait: a child still writing must not block on it.
    (void)readEnd.reset();
    stream.reset();
    // The child was started; a failure to collect its status is logged by wait.
    (void)wait();
    return true;
}

bool ChildProcess::runInBackground()
{
    startCommon();
    const ArgumentVector args(m_vArgs);

    const pid_t nPid = fork();
    if (nPid < 0)
    {
        logMessage(ERROR, "failed forking to run '%s' (%s)", m_sProgram.c_str(),
                   errnoText().c_str());
        m_nPid = 0;
        return false;
    }

    if (nPid == 0)
    {
        if (setsid() < 0)
            perror("setting a new session");
        childResetSigpipe();
        int nNullFd = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (nNullFd < 0 || (nNullFd = childAboveStandardStreams(nNullFd)) < 0)
            childFail("failed opening /dev/null");
        if (!childRedirect(nNullFd, STDIN_FILENO) || !childRedirect(nNullFd, STDOUT_FILENO) ||
            !childRedirect(nNullFd, STDERR_FILENO))
            childFail("failed redirecting stdout/stderr to pipe");
        close(nNullFd);
        childExec(m_sProgram, args);
    }

    m_nPid = nPid;
    logMessage(DEBUG, "started background child '%s' with PID %i", m_sProgram.c_str(), m_nPid);
    return true;
}

bool ChildProcess::wait()
{
    if (m_nPid == 0)
        return false;

    int nStatus = 0;
    pid_t nResult;
    do
        nResult = waitpid(m_nPid, &nStatus, 0);
    while (nResult < 0 && errno == EINTR);
    m_nPid = 0;

    if (nResult < 0)
    {
        logMessage(ERROR, "failed recovering child exit status (%s)", errnoText().c_str());
        return false;
    }
    if (WIFEXITED(nStatus))
    {
        m_bExited = true;
        m_nExitCode = WEXITSTATUS(nStatus);
        logMessage(DEBUG, "child '%s' exited with code %i", m_sProgram.c_str(), m_nExitCode);
        return true;
    }
    if (WIFSIGNALED(nStatus))
    {
        m_bSignaled = true;
        m_nExitCode = WTERMSIG(nStatus);
        logMessage(ERROR, "child '%s' terminated by signal %i", m_sProgram.c_str(), m_nExitCode);
        return true;
    }
    logMessage(ERROR, "child '%s' terminated by unknown reason", m_sProgram.c_str());
    return true;
}
