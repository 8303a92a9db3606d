#pragma once

// Whether the package list parsed before can be taken over for a load of the same verified
// file, instead of parsing the file once more.

#include "repository/RecordedLog.h"

#include "base/Checksum.h"

#include <ctime>
#include <optional>
#include <string>
#include <sys/types.h>

class ParsedListCache
{
public:
    // What identifies a parse: the file (path, device, inode, size, modification time),
    // the checksum that has just accepted it and whether that one is of the uncompressed
    // content, and the log threshold (the messages kept are those that passed it).
    struct Key
    {
        std::string m_sPath;
        dev_t m_device = 0;
        ino_t m_inode = 0;
        off_t m_nSize = 0;
        timespec m_modified{};
        Checksum m_Checksum;
        bool m_bUncompressed = false;
        int m_nLogThreshold = 0;

        bool operator==(const Key& other) const;
    };

    // The key of a file that `checksum` has just accepted; none when the file cannot be
    // examined.
    static std::optional<Key> keyOf(const std::string& sPath, const Checksum& checksum,
                                    bool bUncompressed);

    // The list now held was parsed under `key`, which logged `log`. An incomplete log is
    // not enough to repeat the parse's messages: such a parse is not remembered.
    void remember(Key key, RecordedLog log);
    // The list held is no longer the one remembered.
    void forget() { m_parse.reset(); }

    // Whether the list held was parsed under `key`; if so, its messages are written again.
    [[nodiscard]] bool takeOver(const Key& key) const;

private:
    struct Parse
    {
        Key m_key;
        RecordedLog m_log;
    };
    std::optional<Parse> m_parse;
};
