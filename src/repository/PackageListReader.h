#pragma once

// The reader of a repository's package list ("primary", plain or gzip-compressed).

#include "repository/RecordedLog.h"

#include "base/Package.h"

#include <string>
#include <utility>

class PackageListReader
{
public:
    // Both strings must outlive the reader. sPackageDir is where the packages' files go.
    PackageListReader(const std::string& sPath, const std::string& sPackageDir);

    // Adds every accepted package of the list to `packages` (records of one name after
    // those already there, in file order). False, with the reason logged, when the list is
    // refused; the records read up to then are added all the same.
    [[nodiscard]] bool read(RepoPackageList& packages);

    // What the reading logged, for writing it again when the list is taken over.
    RecordedLog takeLog() { return std::move(m_log); }

private:
    const std::string& m_sPath;
    const std::string& m_sPackageDir;
    RecordedLog m_log;
};
