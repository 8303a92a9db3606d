#include "repository/MetadataXml.h"

#include "base/FileUtil.h"
#include "base/Logger.h"
#include "config/XmlReader.h"
#include "downloader/Downloader.h"

#include <libxml/parserInternals.h>

namespace
{

unsigned long g_uRefusals = 0;

xmlParserInputPtr refuseMetadataEntity(const char* pUrl, const char* pId,
                                       xmlParserCtxtPtr /*pCtxt*/) noexcept
{
    ++g_uRefusals;
    logMessage(DEBUG, "not loading external XML entity '%s'",
               pUrl != nullptr ? pUrl : (pId != nullptr ? pId : ""));
    return nullptr;
}

} // namespace

MetadataEntityGuard::MetadataEntityGuard()
    : m_pSavedLoader(xmlGetExternalEntityLoader()), m_uRefusalsBefore(g_uRefusals)
{
    xmlSetExternalEntityLoader(refuseMetadataEntity);
}

MetadataEntityGuard::~MetadataEntityGuard()
{
    xmlSetExternalEntityLoader(m_pSavedLoader);
}

bool MetadataEntityGuard::refused() const
{
    return g_uRefusals != m_uRefusalsBefore;
}

bool checkLocation(std::string_view sLocation)
{
    const char* pProblem = nullptr;
    if (!sLocation.empty() && sLocation[0] == '/')
        pProblem = "absolute path";
    std::size_t uStart = 0;
    while (pProblem == nullptr && uStart <= sLocation.size())
    {
        std::size_t uEnd = sLocation.find('/', uStart);
        if (uEnd == std::string_view::npos)
            uEnd = sLocation.size();
        if (sLocation.compare(uStart, uEnd - uStart, "..") == 0)
            pProblem = "'..' component";
        uStart = uEnd + 1;
    }
    if (pProblem == nullptr)
    {
        const std::string sName = baseName(sLocation);
        if (sName.empty() || sName == ".")
            pProblem = "no file name";
        // rpm splits and globs its file arguments: the package file in the cache must not
        // be read as several files, or as a pattern matching other ones.
        else if (sName.find_first_of(" \t'\"\\*?[]{}") != std::string::npos)
            pProblem = "file name with blanks, quotes or pattern characters";
    }
    if (pProblem == nullptr && hasControlCharacter(sLocation))
    {
        // Not printed: it could forge lines of the log.
        logMessage(ERROR, "refusing location with control characters");
        return false;
    }
    if (pProblem == nullptr)
        return true;
    logMessage(ERROR, "refusing location '%.*s' (%s)", static_cast<int>(sLocation.size()),
               sLocation.data(), pProblem);
    return false;
}

bool hasControlCharacter(std::string_view sText)
{
    for (const char ch : sText)
    {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7f)
            return true;
    }
    return false;
}
