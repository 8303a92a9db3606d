#pragma once

// Helpers shared by the readers of the repository index and the package list; not part of
// the repository's public interface.

#include <libxml/tree.h>

#include <string>
#include <string_view>

// Repository metadata comes from the network: while a guard lives, libxml2 loads no
// external entity and no external DTD, and the guard remembers that a document asked for
// one so that the reader can reject the whole document. Otherwise a hostile server could
// pull local files (keys, passwords) into names and locations that the updater sends back
// as request paths. Construct it after the XmlReader (which installs a silent refusal of
// its own) and before opening the document, so that this one is the loader in charge.
class MetadataEntityGuard
{
public:
    MetadataEntityGuard();
    ~MetadataEntityGuard();
    MetadataEntityGuard(const MetadataEntityGuard&) = delete;
    MetadataEntityGuard& operator=(const MetadataEntityGuard&) = delete;

    // An external entity or DTD was requested (and refused) while the guard lived.
    bool refused() const;

private:
    xmlExternalEntityLoader m_pSavedLoader;
    unsigned long m_uRefusalsBefore;
};

// A location from the metadata names a file below the repository's base URI: it is not
// absolute, has no ".." component (which would reach outside the repository, on the server
// or on a local medium), and ends in a usable file name, which becomes the name in the
// cache and an argument of rpm (no blanks, quotes or pattern characters, which rpm would
// split or expand). Logs the refusal (ERROR "refusing location '%s' ...") and returns false
// otherwise.
bool checkLocation(std::string_view sLocation);

// Any byte below 0x20 or 0x7f (DEL).
bool hasControlCharacter(std::string_view sText);
