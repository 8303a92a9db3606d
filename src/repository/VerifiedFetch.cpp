#include "repository/VerifiedFetch.h"

#include "base/Logger.h"
#include "downloader/Downloader.h"

bool fetchVerified(Downloader* pDownloader, const VerifiedFetch& fetch,
                   const FetchedFileCheck& check)
{
    std::string sProblem;
    for (int nAttempt = 0; nAttempt < 2; ++nAttempt)
    {
        const bool bBypassCaches = nAttempt > 0;
        sProblem.clear();
        if (pDownloader == nullptr ||
            !pDownloader->get(fetch.m_sLocation, fetch.m_sLocalPath, bBypassCaches,
                              fetch.m_uMaxSize, fetch.m_bExpectedSize))
        {
            if (pDownloader == nullptr ||
                pDownloader->lastFailure() != URLFetcher::Failure::LARGER_THAN_EXPECTED)
            {
                logMessage(ERROR, "%s", fetch.m_sFetchError.c_str());
                return false;
            }
            sProblem = fetch.m_sOversized;
        }
        else if (check(sProblem))
            return true;
        if (!bBypassCaches)
            logMessage(WARNING, "%s; retrying with bypass of http caches", sProblem.c_str());
    }
    logMessage(ERROR, "%s", sProblem.c_str());
    return false;
}
