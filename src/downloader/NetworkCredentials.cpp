#include "downloader/NetworkCredentials.h"

#include <cstring>
#include <memory>

#include "base/Logger.h"
#include "config/XmlReader.h"
#include "downloader/NeonHandles.h"

namespace
{

const char* orNull(const char* p)
{
    return p ? p : "<null>";
}

} // namespace

NetworkCredentials::NetworkCredentials(const ne_uri& uri)
    : m_sScheme(uri.scheme ? uri.scheme : ""), m_sHost(uri.host ? uri.host : ""),
      m_uPort(uri.port != 0 ? uri.port : (uri.scheme ? ne_uri_defaultport(uri.scheme) : 0))
{
}

bool NetworkCredentials::load(const std::string& sPath)
{
    XmlReader reader;
    if (!reader.open(sPath))
    {
        logMessage(ERROR, "could not open network credentials file");
        return false;
    }
    logMessage(TRACE, "loading network credentials for scheme '%s', host '%s', port '%u'",
               m_sScheme.c_str(), m_sHost.c_str(), m_uPort);

    int nRet = reader.read();
    while (nRet == 1)
    {
        if (!reader.isElement())
        {
            nRet = reader.read();
            continue;
        }
        const std::string sName = reader.name();
        const int nDepth = reader.depth();
        if (nDepth == 0 && sName != "credits")
        {
            logMessage(ERROR, "bad top-level element, '%s' instead of 'credits'", sName.c_str());
            return false;
        }
        if (nDepth == 1 && sName == "creditentials")
        {
            xmlNodePtr pNode = reader.expand();
            if (!pNode)
            {
                logMessage(ERROR, "failed to expand node in network credentials file");
                return false;
            }
            XmlStringHandle href(xmlGetNsProp(pNode, reinterpret_cast<const xmlChar*>("href"),
                                              reinterpret_cast<const xmlChar*>(XLINK_NAMESPACE)));
            std::string sRealm, sUser, sPassword;
            const bool bRealm = getAttribute(pNode, "realm", sRealm);
            const bool bUser = getAttribute(pNode, "username", sUser);
            const bool bPassword = getAttribute(pNode, "password", sPassword);
            evaluateEntry(reinterpret_cast<const char*>(href.get()),
                          bRealm ? sRealm.c_str() : nullptr, bUser ? sUser.c_str() : nullptr,
                          bPassword ? sPassword.c_str() : nullptr);
            nRet = reader.next();
            continue;
        }
        nRet = reader.read();
    }
    return nRet == 0;
}

void NetworkCredentials::evaluateEntry(const char* pHref, const char* pRealm, const char* pUser,
                                       const char* pPassword)
{
    if (!pHref)
    {
        logMessage(WARNING, "ignoring network credential with no URI");
        return;
    }
    // The password itself never goes into the log, not even at TRACE.
    logMessage(TRACE,
               "evaluating credentials URI = '%s', Realm = '%s', User = '%s', Password = '%s'",
               pHref, orNull(pRealm), orNull(pUser), pPassword ? "<hidden>" : "<null>");

    ParsedUri parsed;
    if (!parsed.parse(pHref))
    {
        logMessage(WARNING, "invalid syntax for URI '%s' in network credentials\n", pHref);
        return;
    }
    const ne_uri& uri = parsed.get();
    unsigned int uPort = uri.port;
    if (uPort == 0)
    {
        if (!uri.scheme)
        {
            logMessage(TRACE, "server does not match, discarded");
            return;
        }
        uPort = ne_uri_defaultport(uri.scheme);
    }
    if (uri.scheme && m_sScheme == uri.scheme && uri.host && m_sHost == uri.host &&
        uPort == m_uPort)
    {
        logMessage(TRACE, "server matches, loaded");
        addEntry(uri.path && *uri.path ? uri.path : "/", pRealm ? pRealm : "", pUser ? pUser : "",
                 pPassword ? pPassword : "");
    }
    else
    {
        logMessage(TRACE, "server does not match, discarded");
    }
}

void NetworkCredentials::addEntry(const std::string& sPath, const std::string& sRealm,
                                  const std::string& sUserName, const std::string& sPassword)
{
    // A cursor at the end stays at the end.
    const bool bAtEnd = m_uCursor >= m_vEntries.size();
    m_vEntries.push_back(NetworkCredential{sPath, sRealm, sUserName, sPassword});
    if (bAtEnd)
        m_uCursor = m_vEntries.size();
}

void NetworkCredentials::clear()
{
    m_vEntries.clear();
    m_uCursor = 0;
}

void NetworkCredentials::rewind()
{
    m_uCursor = 0;
}

const NetworkCredential* NetworkCredentials::findNext(const std::string& sRealm,
                                                      const std::string& sRequestPath)
{
    logMessage(TRACE, "%p searching credentials for '%s' @ '%s'", static_cast<const void*>(this),
               sRealm.c_str(), sRequestPath.c_str());
    while (m_uCursor < m_vEntries.size())
    {
        const NetworkCredential& entry = m_vEntries[m_uCursor++];
        if ((entry.m_sRealm.empty() || entry.m_sRealm == sRealm) &&
            ne_path_childof(entry.m_sPath.c_str(), sRequestPath.c_str()))
            return &entry;
    }
    return nullptr;
}
