#pragma once

#include "base/Package.h"
#include "base/Version.h"
#include "config/UpdaterConfig.h"

class Repository;

// A pass works on its own copy of the configuration, in which the run may have set
// m_bQuiet, m_bCacheOnly and m_bCheckOnly.
using PassOptions = UpdaterConfig;

// What the run tells an installing pass for its transaction record; the run hands none
// when recovery is off.
struct RecordContext
{
    int m_nPass = 0;
    unsigned m_nAvailable = 0; // the run's count of available updates so far (0: none yet)
    unsigned m_nHandled = 0;   // the updates earlier passes handled
    bool m_bUpdaterOnly = false;
    bool m_bNamesGiven = false;
    bool m_bEarlierInstall = false;
};

// The name sets a pass hands to the resolver's selection.
struct PassSelection
{
    NameSet m_setInclude;       // empty: every package with an update
    NameSet m_setExclude;       // package names left out
    NameSet m_setExcludeGroups; // groups whose packages are left out
    NameSet m_setPull;          // the add-on packages
};

// One update pass: repository data, selection, dependency closure, report, and in test or
// update mode the download, signature check, hooks and rpm. Returns a RESULT_ code; nCount
// is the number of packages selected (0 unless the pass got as far as reporting them).
[[nodiscard]] int runPass(const PassOptions& options, const PassSelection& selection,
                          Repository& repository, unsigned& nCount,
                          const RecordContext* pRecord = nullptr);
