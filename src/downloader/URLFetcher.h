#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <ne_session.h>
#include <ne_socket.h>
#include <ne_uri.h>

#include "config/UpdaterConfig.h"
#include "downloader/NeonHandles.h"
#include "downloader/NetworkCredentials.h"
#include "downloader/TransferWatch.h"

// Fetches resources from one server (scheme, host, port) into open files: over one
// persistent neon session for "http" and "https", by copying for local "file" URIs.
// Redirects are reported to the caller, not followed.
class TlsIdentity;

class URLFetcher
{
public:
    // Progress interface: notify receives neon's session status (ne_session_status).
    class Notifier
    {
    public:
        Notifier() = default;
        virtual ~Notifier();
        Notifier(const Notifier&) = delete;
        Notifier& operator=(const Notifier&) = delete;

        virtual void notify(int nStatus);
    };

    // One-time set-up of the process-wide settings, the device identity and the default
    // credentials; called by main after ne_sock_init. Later calls return at once.
    static void initialize(const NetworkConfig& config);
    static bool isInitialized();
    // The user agent built by initialize (neon appends its own token when sending).
    static const std::string& userAgent();
    // The user-agent product of the configuration (first half of the default user name).
    static const std::string& userAgentProduct();
    // Forgets the process-wide settings so that initialize runs again. Tests only.
    static void resetForTests();

    // Why the last get failed.
    enum class Failure
    {
        NONE,
        NETWORK,              // the server or the network; retried as far as sensible
        REDIRECTED,           // a redirect to follow (wasRedirected)
        REFUSED,              // refused by the updater itself (size bound, minimum rate): final
        LARGER_THAN_EXPECTED, // longer than the size the caller expected: a wrong copy
    };

    // Builds a fetcher for the scheme, host and port of the URI; check isValid(). An https
    // session uses pTls (not owned, may be null) for its authorities and client certificate.
    explicit URLFetcher(const ne_uri& uri, const TlsIdentity* pTls = nullptr);
    ~URLFetcher();
    URLFetcher(const URLFetcher&) = delete;
    URLFetcher& operator=(const URLFetcher&) = delete;

    bool isValid() const { return m_bValid; }
    // The last get ended because the server answered with a redirect.
    bool wasRedirected() const { return m_bRedirected; }

    // Fetches the resource at the absolute path into nFd (open for writing, at its start,
    // a regular file). sDisplayName names it in messages.
    // uMaxSize (0: no limit) ends a body that grows beyond it with an error: a refusal, or,
    // with bExpectedSize, a wrong copy (LARGER_THAN_EXPECTED) that is not retried here.
    [[nodiscard]] bool get(const std::string& sPath, int nFd, bool bBypassCaches,
                           const std::string& sDisplayName, uint64_t uMaxSize = 0,
                           bool bExpectedSize = false);
    Failure failure() const { return m_failure; }
    // Target of the redirect that ended the last get; null when there was none. Valid until
    // the next request on this fetcher.
    const ne_uri* redirectLocation() const;
    // The URI names this fetcher's scheme, host and port (a missing port is the scheme's default).
    bool matches(const ne_uri& uri) const;
    void closeConnection();
    // Reports neon's connection events to pNotifier (may be null).
    void setNotifier(Notifier* pNotifier);

    const std::string& scheme() const { return m_sScheme; }
    const std::string& host() const { return m_sHost; }
    unsigned int port() const { return m_uPort; }
    // Proxy bypassed: the addresses of the host that lie in a local network.
    std::size_t localAddressCount() const { return m_vLocalAddrs.size(); }

private:
    void selectProxy();
    [[nodiscard]] bool checkLocalNetwork();
    void clearLocalAddrs();
    int runRequest(const std::string& sPath, int nFd, bool bBypassCaches, uint64_t uMaxSize,
                   bool bExpectedSize, int& nStatusClass);
    [[nodiscard]] bool copyLocalFile(const std::string& sPath, int nFd, uint64_t uMaxSize,
                                     bool bExpectedSize);
    void onStatus(ne_session_status status);
    const char* errorText(int nCode) const;
    int serverAuth(const char* pRealm, int nAttempt, char* pUser, char* pPassword,
                   bool bWithDefault);
    int proxyAuth(int nAttempt, char* pUser, char* pPassword);

    static int authWithDefault(void* pUserData, const char* pRealm, int nAttempt, char* pUser,
                               char* pPassword) noexcept;
    static int authWithoutDefault(void* pUserData, const char* pRealm, int nAttempt, char* pUser,
                                  char* pPassword) noexcept;
    static int authProxy(void* pUserData, const char* pRealm, int nAttempt, char* pUser,
                         char* pPassword) noexcept;
    static void statusCallback(void* pUserData, ne_session_status status,
                               const ne_session_status_info* pInfo) noexcept;

    bool m_bValid = false;
    std::string m_sScheme;
    std::string m_sHost;
    unsigned int m_uPort = 0;
    SessionHandle m_pSession;
    bool m_bRedirected = false;
    std::vector<const ne_inet_addr*> m_vLocalAddrs;
    NetworkCredentials m_Credentials;
    const char* m_pszRequestPath = nullptr;
    Notifier* m_pNotifier = nullptr;
    Failure m_failure = Failure::NONE;
    // The session's open connection (-1: none or unknown) and the watch of the request
    // in progress.
    int m_nSocket = -1;
    NewSocketFinder m_SocketFinder;
    TransferWatch* m_pWatch = nullptr;
};
