#pragma once

// The download of one repository file that must pass a check, shared by the metadata files
// and the packages; not part of the repository's public interface.

#include <cstdint>
#include <functional>
#include <string>

class Downloader;

struct VerifiedFetch
{
    std::string m_sLocation;  // relative to the base URI
    std::string m_sLocalPath; // where the checked file ends up
    uint64_t m_uMaxSize = 0;
    bool m_bExpectedSize = false; // m_uMaxSize is the size the file should have
    std::string m_sFetchError;    // logged (ERROR) when a fetch fails
    std::string m_sOversized;     // the problem when the answer is longer than expected
};

// Checks the fetched file at the local path; false with the problem, in the words of the
// messages, in sProblem.
using FetchedFileCheck = std::function<bool(std::string& sProblem)>;

// Fetches the file and checks it. A cache on the way may hold a stale, damaged or wrong copy:
// a rejected answer (too long, or failing the check) is fetched once more bypassing caches,
// after WARNING "<problem>; retrying with bypass of http caches"; the second rejection ends
// with ERROR "<problem>". A fetch that fails otherwise, or no downloader, logs
// m_sFetchError. True when the file passed the check.
[[nodiscard]] bool fetchVerified(Downloader* pDownloader, const VerifiedFetch& fetch,
                                 const FetchedFileCheck& check);
