// Package records and the repository's package list.

#include "base/Package.h"

#include <type_traits>

// What a record holds besides its dependency sets must need no destruction: the list
// releases its records with its arena, without destroying them.
static_assert(std::is_trivially_destructible_v<InternedString> &&
              std::is_trivially_destructible_v<Evr> && std::is_trivially_destructible_v<Checksum> &&
              std::is_trivially_destructible_v<Dependency>);

RepoPackageList::RepoPackageList(const RepoPackageList& other) : RepoPackageList()
{
    for (const RepoPackage& package : other)
        records().emplace_hint(records().end(), package);
}

RepoPackageList::~RepoPackageList() = default;
