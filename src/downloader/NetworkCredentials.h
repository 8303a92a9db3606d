#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <ne_uri.h>

// One entry of the network credentials file.
struct NetworkCredential
{
    std::string m_sPath;
    std::string m_sRealm;
    std::string m_sUserName;
    std::string m_sPassword;
};

// The credentials for one server (scheme, host, port), in file order, with a search
// cursor that walks through the entries fitting a challenge.
class NetworkCredentials
{
public:
    // A list that belongs to no server (the default credential list).
    NetworkCredentials() = default;
    // A list for the server of the URI; a missing port is the scheme's default port.
    explicit NetworkCredentials(const ne_uri& uri);

    // Appends the entries of the file that name this list's server; true when the whole
    // file was read.
    [[nodiscard]] bool load(const std::string& sPath);
    void addEntry(const std::string& sPath, const std::string& sRealm, const std::string& sUserName,
                  const std::string& sPassword);
    void clear();
    void rewind();
    // The next entry from the cursor on whose realm is empty or equal to sRealm and whose
    // path contains sRequestPath; null when none is left.
    const NetworkCredential* findNext(const std::string& sRealm, const std::string& sRequestPath);

    const std::string& scheme() const { return m_sScheme; }
    const std::string& host() const { return m_sHost; }
    unsigned int port() const { return m_uPort; }
    const std::vector<NetworkCredential>& entries() const { return m_vEntries; }

private:
    void evaluateEntry(const char* pHref, const char* pRealm, const char* pUser,
                       const char* pPassword);

    std::string m_sScheme;
    std::string m_sHost;
    unsigned int m_uPort = 0;
    std::vector<NetworkCredential> m_vEntries;
    std::size_t m_uCursor = 0;
};

// XLink namespace of the href attribute in the credentials file.
inline constexpr const char* XLINK_NAMESPACE = "http://www.w3.org/1999/xlink";
