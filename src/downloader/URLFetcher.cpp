#include "downloader/URLFetcher.h"

#include "downloader/TlsIdentity.h"

#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ne_auth.h>
#include <ne_redirect.h>
#include <ne_request.h>
#include <ne_ssl.h>
#include <ne_utils.h>

#include "base/FileUtil.h"
#include "base/Logger.h"
#include "base/UniqueFd.h"
#include "base/Version.h"
#include "downloader/DeviceIdentity.h"
#include "downloader/Downloader.h"
#include "downloader/NeonHandles.h"
#include "downloader/NetworkPaths.h"
#include "downloader/TransferWatch.h"

namespace
{

constexpr int MAX_RETRIES = 2;
constexpr std::size_t COPY_BUFFER_SIZE = 4096;
// The body of an error answer is read only to keep the connection; an endless one must
// not hold the run.
constexpr uint64_t MAX_ERROR_BODY_SIZE = 1ull << 20;

// Written once by URLFetcher::initialize, read by every fetcher.
struct FetcherSettings
{
    std::string m_sProxyServer;
    unsigned int m_uProxyPort = 0;
    bool m_bProxyBypassLocal = false;
    std::string m_sProxyUser;
    std::string m_sProxyPassword;
    std::string m_sUserAgentBase;
    std::string m_sUserAgentProduct;
    bool m_bInitialized = false;
    std::string m_sUserAgent;
};

FetcherSettings& settings()
{
    static FetcherSettings value;
    return value;
}

const in_addr& getIPv4Addr(const sockaddr* pAddr)
{
    assert(pAddr->sa_family == AF_INET);
    return reinterpret_cast<const sockaddr_in*>(pAddr)->sin_addr;
}

const in6_addr& getIPv6Addr(const sockaddr* pAddr)
{
    assert(pAddr->sa_family == AF_INET6);
    return reinterpret_cast<const sockaddr_in6*>(pAddr)->sin6_addr;
}

// The address lies in the network of the interface address masked with its netmask.
bool inNetwork(const sockaddr* pAddr, const sockaddr* pIfAddr, const sockaddr* pMask)
{
    if (pAddr->sa_family == AF_INET)
    {
        const uint32_t uMask = getIPv4Addr(pMask).s_addr;
        return (getIPv4Addr(pAddr).s_addr & uMask) == (getIPv4Addr(pIfAddr).s_addr & uMask);
    }
    uint32_t aAddr[4], aIf[4], aMask[4];
    std::memcpy(aAddr, &getIPv6Addr(pAddr), sizeof(aAddr));
    std::memcpy(aIf, &getIPv6Addr(pIfAddr), sizeof(aIf));
    std::memcpy(aMask, &getIPv6Addr(pMask), sizeof(aMask));
    for (int i = 0; i < 4; ++i)
    {
        if ((aAddr[i] & aMask[i]) != (aIf[i] & aMask[i]))
            return false;
    }
    return true;
}

struct AddrInfoFree
{
    void operator()(addrinfo* p) const { freeaddrinfo(p); }
};
struct IfAddrsFree
{
    void operator()(ifaddrs* p) const { freeifaddrs(p); }
};

struct BodyTarget
{
    ne_session* m_pSession;
    int m_nFd;
    uint64_t m_uMaxSize;  // 0: no limit
    bool m_bExpectedSize; // m_uMaxSize is the size the resource should have
    uint64_t m_uWritten = 0;
    int64_t m_nPeriodStart = -1; // monotonic seconds
    uint64_t m_uPeriodBytes = 0;
    URLFetcher::Failure m_failure = URLFetcher::Failure::NONE;
    uint64_t m_uErrorBody = 0;
    TransferWatch* m_pWatch = nullptr; // told the body bytes, while the request runs
};

int64_t monotonicSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec);
}

int bodyWriter(void* pUserData, const char* pBlock, std::size_t uLength) noexcept
{
    auto* pTarget = static_cast<BodyTarget*>(pUserData);
    if (uLength == 0)
        return 0;
    if (pTarget->m_pWatch)
        pTarget->m_pWatch->countBytes(uLength);
    if (pTarget->m_uMaxSize != 0 && uLength > pTarget->m_uMaxSize - pTarget->m_uWritten)
    {
        ne_set_error(pTarget->m_pSession, "resource larger than %llu bytes",
                     static_cast<unsigned long long>(pTarget->m_uMaxSize));
        pTarget->m_failure = pTarget->m_bExpectedSize ? URLFetcher::Failure::LARGER_THAN_EXPECTED
                                                      : URLFetcher::Failure::REFUSED;
        return -1;
    }
    pTarget->m_uWritten += uLength;
    const int64_t nNow = monotonicSeconds();
    if (pTarget->m_nPeriodStart < 0)
        pTarget->m_nPeriodStart = nNow;
    pTarget->m_uPeriodBytes += uLength;
    if (nNow - pTarget->m_nPeriodStart >= networkTimeouts().m_nReadSeconds)
    {
        if (pTarget->m_uPeriodBytes < MIN_BYTES_PER_PERIOD)
        {
            ne_set_error(pTarget->m_pSession, "transfer too slow (%llu bytes in %lld seconds)",
                         static_cast<unsigned long long>(pTarget->m_uPeriodBytes),
                         static_cast<long long>(nNow - pTarget->m_nPeriodStart));
            pTarget->m_failure = URLFetcher::Failure::REFUSED;
            return -1;
        }
        pTarget->m_nPeriodStart = nNow;
        pTarget->m_uPeriodBytes = 0;
    }
    if (!writeAll(pTarget->m_nFd, pBlock, uLength))
    {
        ne_set_error(pTarget->m_pSession, "failed writing downloaded data to file (%s)",
                     errnoText().c_str());
        return -1;
    }
    return 0;
}

int acceptNon2xx(void*, ne_request*, const ne_status* pStatus) noexcept
{
    return pStatus->klass != 2;
}

// The body of an error answer is discarded, up to a bound.
int errorBodyReader(void* pUserData, const char*, std::size_t uLength) noexcept
{
    auto* pTarget = static_cast<BodyTarget*>(pUserData);
    if (pTarget->m_pWatch)
        pTarget->m_pWatch->countBytes(uLength);
    pTarget->m_uErrorBody += uLength;
    if (pTarget->m_uErrorBody > MAX_ERROR_BODY_SIZE)
    {
        ne_set_error(pTarget->m_pSession, "error answer larger than %llu bytes",
                     static_cast<unsigned long long>(MAX_ERROR_BODY_SIZE));
        pTarget->m_failure = URLFetcher::Failure::REFUSED;
        return -1;
    }
    return 0;
}

// Copies name and password into neon's buffers when they fit; 0 to send them, -1 not to.
int checkCredentials(const char* pLabel, const std::string& sUser, const std::string& sPassword,
                     char* pUser, char* pPassword)
{
    if (sUser.empty())
    {
        logMessage(ERROR, "%s authentication requested but no credentials set", pLabel);
        return -1;
    }
    if (sUser.size() >= NE_ABUFSIZ)
    {
        logMessage(ERROR, "%s username length (%i) exceeds maximum supported (%i)", pLabel,
                   static_cast<int>(sUser.size()), NE_ABUFSIZ);
        return -1;
    }
    if (sPassword.size() >= NE_ABUFSIZ)
    {
        logMessage(ERROR, "%s password length (%i) exceeds maximum supported (%i)", pLabel,
                   static_cast<int>(sPassword.size()), NE_ABUFSIZ);
        return -1;
    }
    logMessage(TRACE, "attempting %s authentication as user '%s'", pLabel, sUser.c_str());
    std::memcpy(pUser, sUser.c_str(), sUser.size() + 1);
    std::memcpy(pPassword, sPassword.c_str(), sPassword.size() + 1);
    return 0;
}

// One credential list's turn in a server challenge.
int offerFromList(NetworkCredentials& list, const char* pLabel, const char* pRealm,
                  const char* pPath, int nAttempt, char* pUser, char* pPassword)
{
    const NetworkCredential* pEntry = list.findNext(pRealm ? pRealm : "", pPath ? pPath : "/");
    if (!pEntry)
        return -1;
    logMessage(DEBUG, "trying %s authentication for '%s' in attempt %i", pLabel,
               pEntry->m_sUserName.c_str(), nAttempt);
    return checkCredentials("http", pEntry->m_sUserName, pEntry->m_sPassword, pUser, pPassword);
}

} // namespace

URLFetcher::Notifier::~Notifier() = default;

void URLFetcher::Notifier::notify(int) {}

void URLFetcher::initialize(const NetworkConfig& config)
{
    FetcherSettings& s = settings();
    if (s.m_bInitialized)
        return;
    s.m_sProxyServer = config.m_sProxyServer;
    s.m_uProxyPort = config.m_nProxyPort;
    s.m_bProxyBypassLocal = config.m_bProxyBypassLocal;
    s.m_sProxyUser = config.m_sProxyUser;
    s.m_sProxyPassword = config.m_sProxyPassword;
    s.m_sUserAgentBase = config.m_sUserAgentBase;
    s.m_sUserAgentProduct = config.m_sUserAgentProduct;
    s.m_bInitialized = true;

    readDeviceIdentity();
    s.m_sUserAgent = s.m_sUserAgentBase + "/" + PROGRAM_VERSION;
    const std::string& sSerial = deviceIdentity().m_sSerial;
    if (!sSerial.empty())
        s.m_sUserAgent += " (" + s.m_sUserAgentProduct + "-" + sSerial + ")";

    if (!loadDefaultCredentials(s.m_sUserAgentProduct))
        logMessage(WARNING, "cannot recover default authentication credentials");
}

bool URLFetcher::isInitialized()
{
    return settings().m_bInitialized;
}

const std::string& URLFetcher::userAgent()
{
    return settings().m_sUserAgent;
}

const std::string& URLFetcher::userAgentProduct()
{
    return settings().m_sUserAgentProduct;
}

void URLFetcher::resetForTests()
{
    settings() = FetcherSettings{};
    clearDeviceIdentity();
    defaultCredentials().clear();
}

URLFetcher::URLFetcher(const ne_uri& uri, const TlsIdentity* pTls) : m_Credentials(uri)
{
    if (!settings().m_bInitialized)
    {
        logMessage(ERROR, "URLFetcher class not initialized before calling constructor");
        return;
    }
    if (!uri.host || !uri.scheme)
    {
        logMessage(ERROR, "URI missing host or scheme, cannot build fetcher");
        return;
    }
    m_sScheme = uri.scheme;
    m_sHost = uri.host;
    m_uPort = uri.port;

    if (m_sScheme == "file")
    {
        if (!m_sHost.empty() && m_sHost != "localhost")
        {
            logMessage(ERROR, "only local file: URIs supported");
            return;
        }
    }
    else
    {
        if (m_uPort == 0)
            m_uPort = ne_uri_defaultport(uri.scheme);
        if (m_uPort == 0)
        {
            logMessage(ERROR, "scheme '%s' not supported", m_sScheme.c_str());
            return;
        }
        m_pSession.reset(ne_session_create(m_sScheme.c_str(), m_sHost.c_str(), m_uPort));
        if (!m_pSession)
        {
            logMessage(ERROR, "could not open session for scheme '%s', host '%s', port %u",
                       m_sScheme.c_str(), m_sHost.c_str(), m_uPort);
            return;
        }
        if (m_sScheme == "https" && pTls)
            pTls->apply(m_pSession.get());
        if (m_sScheme == "https" && (!pTls || pTls->trustsSystemCa()))
        {
            ne_ssl_trust_default_ca(m_pSession.get());
            const std::string& sExtraCa = networkPaths().m_sExtraCaFile;
            if (!sExtraCa.empty())
            {
                if (ne_ssl_certificate* pCert = ne_ssl_cert_read(sExtraCa.c_str()))
                {
                    ne_ssl_trust_cert(m_pSession.get(), pCert);
                    ne_ssl_cert_free(pCert);
                }
                else
                {
                    logMessage(WARNING, "cannot read certificate authority '%s'", sExtraCa.c_str());
                }
            }
        }
        const std::string& sCredentialsFile = networkPaths().m_sCredentialsFile;
        if (isReadable(sCredentialsFile))
            (void)m_Credentials.load(sCredentialsFile);

        // Digest first: only Digest challenges may receive the device's default credentials.
        ne_add_server_auth(m_pSession.get(), NE_AUTH_DIGEST | NE_AUTH_LEGACY_DIGEST,
                           &URLFetcher::authWithDefault, this);
        ne_add_server_auth(m_pSession.get(), NE_AUTH_DEFAULT, &URLFetcher::authWithoutDefault,
                           this);
        selectProxy();
        ne_set_useragent(m_pSession.get(), settings().m_sUserAgent.c_str());
        ne_redirect_register(m_pSession.get());
        ne_set_read_timeout(m_pSession.get(), networkTimeouts().m_nReadSeconds);
        ne_set_connect_timeout(m_pSession.get(), networkTimeouts().m_nConnectSeconds);
        ne_set_notifier(m_pSession.get(), &URLFetcher::statusCallback, this);
    }
    m_bValid = true;
    logMessage(DEBUG, "URI fetcher %p for scheme '%s', host '%s', port %u created",
               static_cast<void*>(this), m_sScheme.c_str(), m_sHost.c_str(), m_uPort);
}

URLFetcher::~URLFetcher()
{
    clearLocalAddrs();
    logMessage(DEBUG, "destroying session for %s://%s:%u", m_sScheme.c_str(), m_sHost.c_str(),
               m_uPort);
}

void URLFetcher::clearLocalAddrs()
{
    if (m_pSession)
        ne_set_addrlist(m_pSession.get(), nullptr, 0);
    for (const ne_inet_addr* pAddr : m_vLocalAddrs)
        ne_iaddr_free(const_cast<ne_inet_addr*>(pAddr));
    m_vLocalAddrs.clear();
}

void URLFetcher::selectProxy()
{
    const FetcherSettings& s = settings();
    if (s.m_sProxyServer.empty())
    {
        logMessage(DEBUG, "no proxy configured");
        return;
    }
    if (s.m_bProxyBypassLocal && !checkLocalNetwork())
        logMessage(WARNING,
                   "could not check if addresses for host '%s' are in local net, using proxy",
                   m_sHost.c_str());
    if (m_vLocalAddrs.empty())
    {
        ne_session_proxy(m_pSession.get(), s.m_sProxyServer.c_str(), s.m_uProxyPort);
        ne_set_proxy_auth(m_pSession.get(), &URLFetcher::authProxy, this);
        logMessage(DEBUG, "using proxy for %s", m_sHost.c_str());
    }
    else
    {
        logMessage(DEBUG, "bypassing proxy since %s is local", m_sHost.c_str());
    }
}

bool URLFetcher::checkLocalNetwork()
{
    clearLocalAddrs();

    std::string sName = m_sHost;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    if (sName.size() >= 2 && sName.front() == '[' && sName.back() == ']')
    {
        sName = sName.substr(1, sName.size() - 2);
        hints.ai_flags |= AI_NUMERICHOST;
    }
    addrinfo* pResolved = nullptr;
    const int nGai = getaddrinfo(sName.c_str(), nullptr, &hints, &pResolved);
    if (nGai != 0)
    {
        logMessage(ERROR, "failed resolving address '%s' (%s)", m_sHost.c_str(),
                   gai_strerror(nGai));
        return false;
    }
    std::unique_ptr<addrinfo, AddrInfoFree> resolved(pResolved);

    ifaddrs* pInterfaces = nullptr;
    if (getifaddrs(&pInterfaces) != 0)
    {
        logMessage(ERROR, "failed getting local network addresses (%s)", errnoText().c_str());
        return false;
    }
    std::unique_ptr<ifaddrs, IfAddrsFree> interfaces(pInterfaces);

    for (const addrinfo* pAi = resolved.get(); pAi; pAi = pAi->ai_next)
    {
        const sockaddr* pAddr = pAi->ai_addr;
        if (!pAddr || (pAddr->sa_family != AF_INET && pAddr->sa_family != AF_INET6))
            continue;
        for (const ifaddrs* pIf = interfaces.get(); pIf; pIf = pIf->ifa_next)
        {
            if (!pIf->ifa_addr || !pIf->ifa_netmask || pIf->ifa_addr->sa_family != pAddr->sa_family)
                continue;
            if (!inNetwork(pAddr, pIf->ifa_addr, pIf->ifa_netmask))
                continue;
            ne_inet_addr* pLocal = nullptr;
            if (pAddr->sa_family == AF_INET)
                pLocal = ne_iaddr_make(ne_iaddr_ipv4, reinterpret_cast<const unsigned char*>(
                                                          &getIPv4Addr(pAddr).s_addr));
            else
                pLocal = ne_iaddr_make(ne_iaddr_ipv6, reinterpret_cast<const unsigned char*>(
                                                          getIPv6Addr(pAddr).s6_addr));
            if (pLocal)
                m_vLocalAddrs.push_back(pLocal);
            break;
        }
    }
    // neon keeps the array: it must not change until the next clearLocalAddrs.
    if (m_pSession.get() && !m_vLocalAddrs.empty())
        ne_set_addrlist(m_pSession.get(), m_vLocalAddrs.data(), m_vLocalAddrs.size());
    return true;
}

int URLFetcher::authWithDefault(void* pUserData, const char* pRealm, int nAttempt, char* pUser,
                                char* pPassword) noexcept
{
    if (!pUserData)
        return -1;
    return static_cast<URLFetcher*>(pUserData)->serverAuth(pRealm, nAttempt, pUser, pPassword,
                                                           true);
}

int URLFetcher::authWithoutDefault(void* pUserData, const char* pRealm, int nAttempt, char* pUser,
                                   char* pPassword) noexcept
{
    if (!pUserData)
        return -1;
    return static_cast<URLFetcher*>(pUserData)->serverAuth(pRealm, nAttempt, pUser, pPassword,
                                                           false);
}

int URLFetcher::authProxy(void* pUserData, const char*, int nAttempt, char* pUser,
                          char* pPassword) noexcept
{
    if (!pUserData)
        return -1;
    return static_cast<URLFetcher*>(pUserData)->proxyAuth(nAttempt, pUser, pPassword);
}

int URLFetcher::serverAuth(const char* pRealm, int nAttempt, char* pUser, char* pPassword,
                           bool bWithDefault)
{
    // A new challenge sequence starts both lists over.
    if (nAttempt == 0)
    {
        m_Credentials.rewind();
        defaultCredentials().rewind();
    }
    const char* pPath = m_pszRequestPath ? m_pszRequestPath : "/";
    int nResult = offerFromList(m_Credentials, "user", pRealm, pPath, nAttempt, pUser, pPassword);
    if (nResult != 0 && bWithDefault)
        nResult = offerFromList(defaultCredentials(), "default user", pRealm, pPath, nAttempt,
                                pUser, pPassword);
    return nResult;
}

int URLFetcher::proxyAuth(int nAttempt, char* pUser, char* pPassword)
{
    const FetcherSettings& s = settings();
    if (nAttempt == 0)
        return checkCredentials("proxy", s.m_sProxyUser, s.m_sProxyPassword, pUser, pPassword);
    logMessage(ERROR, "proxy authentication as user '%s' failed", s.m_sProxyUser.c_str());
    return -1;
}

void URLFetcher::statusCallback(void* pUserData, ne_session_status status,
                                const ne_session_status_info*) noexcept
{
    if (pUserData)
        static_cast<URLFetcher*>(pUserData)->onStatus(status);
}

void URLFetcher::onStatus(ne_session_status status)
{
    // The connection's socket, for the watch of the requests on it.
    if (status == ne_status_connecting)
    {
        m_SocketFinder.snapshot();
    }
    else if (status == ne_status_connected)
    {
        m_nSocket = m_SocketFinder.find();
        if (m_nSocket < 0)
            logMessage(DEBUG, "connection to %s not watched: socket not found", m_sHost.c_str());
        if (m_pWatch)
            m_pWatch->setSocket(m_nSocket);
    }
    else if (status == ne_status_disconnected)
    {
        m_nSocket = -1;
        if (m_pWatch)
            m_pWatch->setSocket(-1);
    }
    if (m_pNotifier)
        m_pNotifier->notify(static_cast<int>(status));
}

void URLFetcher::setNotifier(Notifier* pNotifier)
{
    m_pNotifier = pNotifier;
}

bool URLFetcher::matches(const ne_uri& uri) const
{
    if (!uri.scheme || m_sScheme != uri.scheme)
        return false;
    if (m_sHost != (uri.host ? uri.host : ""))
        return false;
    const unsigned int uPort = uri.port != 0 ? uri.port : ne_uri_defaultport(uri.scheme);
    return uPort == m_uPort;
}

void URLFetcher::closeConnection()
{
    if (m_pSession)
        ne_close_connection(m_pSession.get());
}

const ne_uri* URLFetcher::redirectLocation() const
{
    if (!m_pSession || !m_bRedirected)
        return nullptr;
    return ne_redirect_location(m_pSession.get());
}

const char* URLFetcher::errorText(int nCode) const
{
    switch (nCode)
    {
    case NE_OK:
        return m_pSession.get() ? ne_get_error(m_pSession.get()) : "no error";
    case NE_ERROR:
        return m_pSession.get() ? ne_get_error(m_pSession.get()) : "generic error";
    case NE_LOOKUP:
        return "server or proxy hostname lookup failed";
    case NE_AUTH:
        return "authentication failed on server";
    case NE_PROXYAUTH:
        return "authentication failed on proxy";
    case NE_CONNECT:
        return "could not connect to server";
    case NE_TIMEOUT:
        return "connection timed out";
    case NE_FAILED:
        return "the precondition failed";
    case NE_RETRY:
        return "retry the request";
    case NE_REDIRECT:
        return "received server redirect";
    default:
        return "<unknown error code>";
    }
}

int URLFetcher::runRequest(const std::string& sPath, int nFd, bool bBypassCaches, uint64_t uMaxSize,
                           bool bExpectedSize, int& nStatusClass)
{
    m_pszRequestPath = sPath.c_str();
    nStatusClass = 0;
    RequestHandle pRequest(ne_request_create(m_pSession.get(), "GET", sPath.c_str()));
    BodyTarget target{m_pSession.get(), nFd, uMaxSize, bExpectedSize};
    ne_add_response_body_reader(pRequest.get(), ne_accept_2xx, bodyWriter, &target);
    ne_add_response_body_reader(pRequest.get(), acceptNon2xx, errorBodyReader, &target);
    if (bBypassCaches)
    {
        ne_add_request_header(pRequest.get(), "Cache-Control", "no-cache");
        ne_add_request_header(pRequest.get(), "Pragma", "no-cache");
    }
    int nCode = NE_OK;
    TransferWatch::Verdict verdict = TransferWatch::Verdict::NONE;
    {
        TransferWatch watch(m_nSocket);
        m_pWatch = &watch;
        target.m_pWatch = &watch;
        nCode = ne_request_dispatch(pRequest.get());
        target.m_pWatch = nullptr;
        m_pWatch = nullptr;
        verdict = watch.verdict();
        if (verdict == TransferWatch::Verdict::TOO_SLOW && nCode != NE_OK)
            ne_set_error(m_pSession.get(), "transfer too slow (%llu bytes in %lld seconds)",
                         static_cast<unsigned long long>(watch.periodBytes()),
                         static_cast<long long>(watch.periodSeconds()));
    }
    m_failure = target.m_failure;
    if (verdict != TransferWatch::Verdict::NONE)
    {
        // The watch shut the socket down under neon: the connection is finished. A response
        // that was complete all the same stands.
        ne_close_connection(m_pSession.get());
        m_nSocket = -1;
        if (nCode != NE_OK)
        {
            nCode = verdict == TransferWatch::Verdict::TIMED_OUT ? NE_TIMEOUT : NE_ERROR;
            if (verdict == TransferWatch::Verdict::TOO_SLOW)
                m_failure = Failure::REFUSED;
        }
    }
    if (nCode == NE_OK)
        nStatusClass = ne_get_status(pRequest.get())->klass;
    pRequest.reset();
    m_pszRequestPath = nullptr;
    return nCode;
}

bool URLFetcher::get(const std::string& sPath, int nFd, bool bBypassCaches,
                     const std::string& sDisplayName, uint64_t uMaxSize, bool bExpectedSize)
{
    if (!m_bValid)
        return false;
    m_bRedirected = false;
    m_failure = Failure::NONE;
    logMessage(TRACE, "URLFetcher::get() this = %p", static_cast<void*>(this));
    if (!m_pSession)
        return copyLocalFile(sPath, nFd, uMaxSize, bExpectedSize);

    const char* pName = sDisplayName.c_str();
    for (int nRetry = 0;; ++nRetry)
    {
        int nStatusClass = 0;
        const int nCode =
            runRequest(sPath, nFd, bBypassCaches, uMaxSize, bExpectedSize, nStatusClass);
        if (nCode == NE_REDIRECT)
        {
            m_bRedirected = true;
            m_failure = Failure::REDIRECTED;
            return false;
        }
        if (m_failure == Failure::LARGER_THAN_EXPECTED)
        {
            // Not the copy the list describes (an outdated one in a cache on the way, say):
            // the caller fetches once more, bypassing caches.
            logMessage(WARNING, "failed fetching '%s' (%s)", pName, errorText(nCode));
            return false;
        }
        // A refusal of the updater's own (size bound, minimum rate) would only be repeated.
        if (m_failure != Failure::REFUSED && nRetry < MAX_RETRIES &&
            (nCode == NE_ERROR || nCode == NE_CONNECT || nCode == NE_TIMEOUT))
        {
            logMessage(WARNING, "failed fetching '%s' (%s); retrying", pName, errorText(nCode));
            if (::lseek(nFd, 0, SEEK_SET) == 0 && ::ftruncate(nFd, 0) == 0)
                continue;
            logMessage(ERROR, "failed rewinding, cannot retry");
        }
        else if (nCode == NE_OK && nStatusClass == 2)
        {
            if (nRetry > 0)
                logMessage(INFO, "fetched '%s' in retry %i", pName, nRetry);
            m_failure = Failure::NONE;
            return true;
        }
        if (m_failure == Failure::NONE)
            m_failure = Failure::NETWORK;
        logMessage(ERROR, "failed fetching '%s' (%s)", pName, errorText(nCode));
        if (nCode == NE_LOOKUP)
            logMessage(ERROR, "make sure that a network gateway and DNS servers are configured\n"
                              "and that the unit is connected to the network");
        else if (nCode == NE_PROXYAUTH)
            logMessage(
                ERROR,
                "make sure the proper username and password are configured in the proxy settings");
        return false;
    }
}

bool URLFetcher::copyLocalFile(const std::string& sPath, int nFd, uint64_t uMaxSize,
                               bool bExpectedSize)
{
    m_failure = Failure::NETWORK;
    const UniqueFd source(::open(sPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!source)
    {
        logMessage(ERROR, "failed copying file (%s)", errnoText().c_str());
        return false;
    }
    std::unique_ptr<char[]> pBuffer(new char[COPY_BUFFER_SIZE]);
    bool bComplete = false;
    uint64_t uCopied = 0;
    for (;;)
    {
        const ssize_t nRead = ::read(source.get(), pBuffer.get(), COPY_BUFFER_SIZE);
        if (nRead < 0)
        {
            if (errno == EINTR)
                continue;
            logMessage(ERROR, "failed copying file (%s)", errnoText().c_str());
            break;
        }
        if (nRead == 0)
        {
            bComplete = true;
            break;
        }
        uCopied += static_cast<uint64_t>(nRead);
        if (uMaxSize != 0 && uCopied > uMaxSize)
        {
            logMessage(bExpectedSize ? WARNING : ERROR,
                       "failed copying file (larger than %llu bytes)",
                       static_cast<unsigned long long>(uMaxSize));
            m_failure = bExpectedSize ? Failure::LARGER_THAN_EXPECTED : Failure::REFUSED;
            break;
        }
        if (!writeAll(nFd, pBuffer.get(), static_cast<std::size_t>(nRead)))
        {
            logMessage(ERROR, "failed copying file (%s)", errnoText().c_str());
            break;
        }
    }
    if (bComplete)
        m_failure = Failure::NONE;
    return bComplete;
}
