// Taking over a package list parsed before.

#include "repository/ParsedListCache.h"

#include "base/Logger.h"

#include <sys/stat.h>

bool ParsedListCache::Key::operator==(const Key& other) const
{
    return m_sPath == other.m_sPath && m_device == other.m_device && m_inode == other.m_inode &&
           m_nSize == other.m_nSize && m_modified.tv_sec == other.m_modified.tv_sec &&
           m_modified.tv_nsec == other.m_modified.tv_nsec &&
           m_Checksum.m_sType == other.m_Checksum.m_sType &&
           m_Checksum.m_sValue == other.m_Checksum.m_sValue &&
           m_bUncompressed == other.m_bUncompressed && m_nLogThreshold == other.m_nLogThreshold;
}

std::optional<ParsedListCache::Key>
ParsedListCache::keyOf(const std::string& sPath, const Checksum& checksum, bool bUncompressed)
{
    struct stat status = {};
    if (::stat(sPath.c_str(), &status) != 0)
        return std::nullopt;
    Key key;
    key.m_sPath = sPath;
    key.m_device = status.st_dev;
    key.m_inode = status.st_ino;
    key.m_nSize = status.st_size;
    key.m_modified = status.st_mtim;
    key.m_Checksum = checksum;
    key.m_bUncompressed = bUncompressed;
    key.m_nLogThreshold = logger().threshold();
    return key;
}

void ParsedListCache::remember(Key key, RecordedLog log)
{
    if (log.complete())
        m_parse = Parse{std::move(key), std::move(log)};
    else
        m_parse.reset();
}

bool ParsedListCache::takeOver(const Key& key) const
{
    if (!m_parse || !(m_parse->m_key == key))
        return false;
    m_parse->m_log.replay();
    return true;
}
