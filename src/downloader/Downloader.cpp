#include "downloader/Downloader.h"

#include <cassert>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ne_alloc.h>

#include "base/AtomicFile.h"
#include "base/FileUtil.h"
#include "base/Logger.h"
#include "base/UniqueFd.h"
#include "downloader/NeonHandles.h"

// Packages may be larger than 2 GiB: a 32-bit target must be built with a 64-bit off_t
// (-D_FILE_OFFSET_BITS=64), or writing such a download fails half-way.
static_assert(sizeof(off_t) == 8, "build with -D_FILE_OFFSET_BITS=64");

namespace
{

// Redirects from the network are followed only to the network: a server must not be able
// to make the updater read local files.
bool isNetworkScheme(const char* pScheme)
{
    return pScheme && (std::strcmp(pScheme, "http") == 0 || std::strcmp(pScheme, "https") == 0);
}

std::string unparse(const ne_uri& uri)
{
    char* pText = ne_uri_unparse(&uri);
    std::string sText = pText ? pText : "";
    ne_free(pText);
    return sText;
}

// The temporary file of a download, removed when the scope ends unless it was kept (it
// became the local file, or was never created).
class PartialFile
{
public:
    explicit PartialFile(const std::string& sPath) : m_sPath(sPath) {}
    ~PartialFile()
    {
        if (!m_bKept)
            ::unlink(m_sPath.c_str());
    }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    void keep() { m_bKept = true; }

private:
    const std::string& m_sPath;
    bool m_bKept = false;
};

} // namespace

Downloader::Downloader() = default;

Downloader::~Downloader()
{
    close();
}

bool Downloader::open(const std::string& sBaseUri, const TlsConfig& tls)
{
    if (!m_vFetchers.empty())
        return false;
    const char* pText = sBaseUri.c_str();
    // Read and checked once for every server of this repository, redirect targets included.
    m_pTls.reset();
    if (!tls.empty())
    {
        auto pTls = std::make_unique<TlsIdentity>();
        if (!pTls->load(tls))
            return false;
        m_pTls = std::move(pTls);
    }
    ParsedUri baseUri;
    if (!baseUri.parse(pText))
    {
        logMessage(ERROR, "failed parsing repository URI '%s'", pText);
        return false;
    }
    if (!baseUri->host || !baseUri->path || !baseUri->scheme)
    {
        logMessage(ERROR, "repository URI '%s' missing host, path or scheme", pText);
        return false;
    }
    logMessage(DEBUG,
               "opening repo downloader with URI scheme, host, port, path = '%s' '%s' %u '%s'",
               baseUri->scheme, baseUri->host, baseUri->port, baseUri->path);

    assert(m_vFetchers.empty());
    m_vFetchers.push_back(std::make_unique<URLFetcher>(baseUri.get(), m_pTls.get()));
    if (!m_vFetchers.front()->isValid())
    {
        logMessage(ERROR, "cannot create fetcher for '%s'", pText);
        m_vFetchers.clear();
        return false;
    }
    if (m_pNotifier)
        m_vFetchers.front()->setNotifier(m_pNotifier);
    m_sBasePath = baseUri->path;
    if (m_sBasePath.empty() || m_sBasePath.back() != '/')
        m_sBasePath += '/';
    logMessage(DEBUG, "opened repo downloader with base URI '%s'", pText);
    return true;
}

void Downloader::setNotifier(URLFetcher::Notifier* pNotifier)
{
    m_pNotifier = pNotifier;
    for (const auto& pFetcher : m_vFetchers)
        pFetcher->setNotifier(pNotifier);
}

void Downloader::close()
{
    m_sBasePath.clear();
    m_vFetchers.clear();
    m_pNotifier = nullptr;
}

bool Downloader::get(const std::string& sRelPath, const std::string& sLocalPath, bool bBypassCaches,
                     uint64_t uMaxSize, bool bExpectedSize)
{
    m_lastFailure = URLFetcher::Failure::NETWORK;
    const std::string sTempPath = sLocalPath + ".tmp";
    logMessage(DEBUG, "downloading path '%s' to '%s'", sRelPath.c_str(), sLocalPath.c_str());
    std::string sRequestPath = m_sBasePath + sRelPath;
    logMessage(DEBUG, "resolved URI path '%s' on '%s' to '%s'", sRelPath.c_str(),
               m_sBasePath.c_str(), sRequestPath.c_str());
    if (m_vFetchers.empty())
        return false;

    // Declared before the descriptor: the file is closed before it is removed.
    PartialFile partial(sTempPath);
    UniqueFd fd(::open(sTempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd)
    {
        logMessage(ERROR, "failed creating file '%s' (%s)", sTempPath.c_str(), errnoText().c_str());
        partial.keep();
        return false;
    }

    URLFetcher* pCurrent = m_vFetchers.front().get();
    int nRedirects = 0;
    for (;;)
    {
        if (pCurrent->get(sRequestPath, fd.get(), bBypassCaches, sRelPath, uMaxSize, bExpectedSize))
        {
            if (pCurrent != m_vFetchers.front().get())
                pCurrent->closeConnection();
            switch (replaceFile(fd.release(), sTempPath, sLocalPath))
            {
            case ReplaceStep::DONE:
                break;
            case ReplaceStep::SYNC:
                logMessage(ERROR, "failed syncing file '%s' (%s)", sTempPath.c_str(),
                           errnoText().c_str());
                return false;
            case ReplaceStep::CLOSE:
                logMessage(ERROR, "failed closing file '%s' (%s)", sTempPath.c_str(),
                           errnoText().c_str());
                return false;
            case ReplaceStep::RENAME:
                logMessage(ERROR, "failed renaming '%s' to '%s' (%s)", sTempPath.c_str(),
                           sLocalPath.c_str(), errnoText().c_str());
                return false;
            case ReplaceStep::SYNC_DIRECTORY:
                // The complete file is in place; only its durability is in doubt.
                logMessage(WARNING, "failed syncing the directory of '%s' (%s)", sLocalPath.c_str(),
                           errnoText().c_str());
                break;
            }
            partial.keep();
            logMessage(DEBUG, "successfully downloaded path '%s' to '%s'", sRelPath.c_str(),
                       sLocalPath.c_str());
            m_lastFailure = URLFetcher::Failure::NONE;
            return true;
        }
        if (!pCurrent->wasRedirected())
        {
            m_lastFailure = pCurrent->failure();
            return false;
        }

        if (++nRedirects > MAX_REDIRECTS)
        {
            logMessage(ERROR, "maximum number of redirects (%i) exceeded", MAX_REDIRECTS);
            return false;
        }
        const ne_uri* pTarget = pCurrent->redirectLocation();
        if (!pTarget)
        {
            logMessage(ERROR, "got redirect with unparseable location");
            return false;
        }
        if (isNetworkScheme(pCurrent->scheme().c_str()) && !isNetworkScheme(pTarget->scheme))
        {
            logMessage(ERROR,
                       "refusing redirection of '%s' to '%s': only http and https are followed",
                       sRelPath.c_str(), unparse(*pTarget).c_str());
            m_lastFailure = URLFetcher::Failure::REFUSED;
            return false;
        }
        logMessage(DEBUG, "'%s' redirected to '%s://%s:%u%s", sRelPath.c_str(),
                   pTarget->scheme ? pTarget->scheme : "", pTarget->host ? pTarget->host : "",
                   pTarget->port, pTarget->path ? pTarget->path : "");

        URLFetcher* pFound = nullptr;
        for (const auto& pFetcher : m_vFetchers)
        {
            if (pFetcher->matches(*pTarget))
            {
                pFound = pFetcher.get();
                break;
            }
        }
        if (pFound != pCurrent)
            pCurrent->closeConnection();
        // The next request on the current fetcher invalidates the target; take what we need now.
        std::string sNextPath = pTarget->path && *pTarget->path ? pTarget->path : "/";
        if (pTarget->query)
            sNextPath += std::string("?") + pTarget->query;
        if (!pFound)
        {
            auto pFetcher = std::make_unique<URLFetcher>(*pTarget, m_pTls.get());
            if (!pFetcher->isValid())
            {
                logMessage(ERROR, "cannot create fetcher for redirection to '%s'",
                           unparse(*pTarget).c_str());
                return false;
            }
            if (m_pNotifier)
                pFetcher->setNotifier(m_pNotifier);
            pFound = pFetcher.get();
            m_vFetchers.push_back(std::move(pFetcher));
        }
        pCurrent = pFound;
        sRequestPath = sNextPath;
    }
}

bool createDir(const std::string& sPath)
{
    if (::mkdir(sPath.c_str(), 0777) == 0)
    {
        logMessage(DEBUG, "successfully created dir '%s'", sPath.c_str());
        return true;
    }
    const int nError = errno;
    struct stat info
    {
    };
    if (nError == EEXIST && ::stat(sPath.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
    {
        logMessage(DEBUG, "successfully created dir '%s'", sPath.c_str());
        return true;
    }
    errno = nError;
    logMessage(ERROR, "cannot create dir '%s' (%s)", sPath.c_str(), errnoText().c_str());
    return false;
}

bool isReadable(const std::string& sPath)
{
    const UniqueFd fd(::open(sPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
    {
        logMessage(DEBUG, "file '%s' not readable (%s)", sPath.c_str(), errnoText().c_str());
        return false;
    }
    return true;
}
