// Package records and the repository's package list.

#include "base/Package.h"

RepoPackageList::RepoPackageList(const RepoPackageList& other) : RepoPackageList()
{
    for (const RepoPackage& package : other)
        records().emplace_hint(records().end(), package);
}

RepoPackageList::~RepoPackageList() = default;
