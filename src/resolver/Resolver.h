#pragma once

#include "base/Dependency.h"
#include "base/Package.h"

#include <functional>
#include <memory>
#include <vector>

class ProvideIndex;
class UpdaterConfig;

// Outcome of the dependency closure.
enum class ClosureResult
{
    COMPLETE,    // every requirement is satisfied, or only file paths are left
    FAILED,      // requirements nobody can satisfy are left in the unsatisfied set
    INTERRUPTED, // a stop was requested between two rounds
};

// Decides what to install: the packages newer than the installed ones, then the packages
// their dependencies need.
class Resolver
{
public:
    Resolver() = default;
    ~Resolver() = default;
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;

    // Reads the installed packages from the rpm database; refused when already done.
    [[nodiscard]] bool init(const UpdaterConfig& config);
    // Takes installed packages read elsewhere; refused when already initialised.
    [[nodiscard]] bool init(std::unique_ptr<InstalledPackages> pInstalled);
    bool isInitialized() const { return m_pInstalled != nullptr; }
    // The installed packages (none before init).
    const InstalledPackages* installed() const { return m_pInstalled.get(); }

    // The repository packages newer than the installed ones, under the include, exclude,
    // excluded-group and pull name sets, after obsoletes among them are settled.
    PackageSet selectUpdates(const RepoPackageList& repoPackages, const NameSet& includeNames,
                             const NameSet& excludeNames, const NameSet& excludeGroups,
                             const NameSet& pullNames) const;
    // Whether the package obsoletes some installed package.
    bool obsoletesInstalled(const Package& package) const;

    // True when every requirement of the installed packages that stay (neither replaced by a
    // new package of their name nor obsoleted by one) plus the new ones is provided, rich
    // requirements evaluated as rpm does; fills unsatisfied (cleared first) otherwise.
    [[nodiscard]] bool checkDependencies(const PackageSet& newPackages,
                                         DependencySet& unsatisfied) const;
    // Adds repository packages that provide unsatisfied entries, or meet unsatisfied rich
    // ones, and removes those entries; true when at least one package was pulled.
    bool pullDependencies(const RepoPackageList& repoPackages, DependencySet& unsatisfied,
                          PackageSet& newPackages) const;
    // Checks and pulls until nothing is missing or nothing more can be pulled. stopRequested
    // is asked between rounds (it may be empty). On FAILED, unsatisfied holds what is missing
    // (file-path entries included).
    ClosureResult closeDependencies(const RepoPackageList& repoPackages, PackageSet& newPackages,
                                    DependencySet& unsatisfied,
                                    const std::function<bool()>& stopRequested) const;

private:
    // pullDependencies; with an index of the list, only the groups that provide a missing
    // name are visited (unless trace lines are on, which follow the walk of the whole list).
    // Appends the packages it added to newPackages to vPulled.
    bool pull(const RepoPackageList& repoPackages, const ProvideIndex* pIndex,
              DependencySet& unsatisfied, PackageSet& newPackages,
              std::vector<const Package*>& vPulled) const;

    std::unique_ptr<InstalledPackages> m_pInstalled;
};

// True when every entry requires a file path (also when there is none).
bool allFileRequires(const DependencySet& unsatisfied);

// Collects into unsatisfied the requirements of the packages on the name of the providing
// entry that it does not satisfy; true when there are none.
[[nodiscard]] bool findUnsatisfied(const Dependency& providing, const PackageSet& packages,
                                   DependencySet& unsatisfied);
