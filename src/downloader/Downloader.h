#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <ne_uri.h>

#include "config/UpdaterConfig.h"
#include "downloader/TlsIdentity.h"
#include "downloader/URLFetcher.h"

// Downloads resources relative to a repository's base URI into local files, completely or
// not at all, following redirects across servers.
class Downloader
{
public:
    static constexpr int MAX_REDIRECTS = 5;

    Downloader();
    ~Downloader();
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // Parses the base URI and builds the fetcher for its server; false when already open.
    // The TLS settings (when not empty) are read here and used by every https fetcher; a
    // file they name that cannot be used fails the open.
    [[nodiscard]] bool open(const std::string& sBaseUri, const TlsConfig& tls = TlsConfig());
    // Not owned; handed to every fetcher, present and future. May be null.
    void setNotifier(URLFetcher::Notifier* pNotifier);
    // Fetches sRelPath (relative to the base path, no leading "/") into sLocalPath through
    // "<sLocalPath>.tmp"; the local path is only replaced by a complete download. A resource
    // larger than uMaxSize bytes (0: no limit) fails: at once as a refusal, or, when
    // bExpectedSize says that it is the size the resource should have, as a wrong copy
    // (lastFailure LARGER_THAN_EXPECTED) that the caller may fetch again bypassing caches.
    [[nodiscard]] bool get(const std::string& sRelPath, const std::string& sLocalPath,
                           bool bBypassCaches = false, uint64_t uMaxSize = 0,
                           bool bExpectedSize = false);
    // Why the last get failed.
    URLFetcher::Failure lastFailure() const { return m_lastFailure; }
    void close();

    bool isOpen() const { return !m_vFetchers.empty(); }
    const std::string& basePath() const { return m_sBasePath; }
    std::size_t fetcherCount() const { return m_vFetchers.size(); }

private:
    std::vector<std::unique_ptr<URLFetcher>> m_vFetchers;
    std::string m_sBasePath;
    URLFetcher::Notifier* m_pNotifier = nullptr;
    std::unique_ptr<TlsIdentity> m_pTls;
    URLFetcher::Failure m_lastFailure = URLFetcher::Failure::NONE;
};

// One mkdir (mode 0777 before the umask); an existing directory counts as success.
[[nodiscard]] bool createDir(const std::string& sPath);
// The file can be opened read-only.
[[nodiscard]] bool isReadable(const std::string& sPath);
