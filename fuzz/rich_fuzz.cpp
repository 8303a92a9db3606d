// Rich (boolean) requirements as the package list and the rpm database hand them over: the
// input is parsed by librpm, then, when it parses, evaluated and pulled for by the resolver
// in a small fixed system and repository.

#include "FuzzSupport.h"

#include "base/RichDependency.h"
#include "resolver/Resolver.h"

#include <memory>
#include <string_view>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::quietLogger();
    return 0;
}

namespace
{

Package package(const char* pName, std::initializer_list<Dependency> provides)
{
    Package record(pName);
    record.m_Evr = Evr(0, "1", "1");
    for (const Dependency& provide : provides)
        record.m_setProvides.insert(provide);
    record.m_setProvides.insert(Dependency(record.m_sName, record.m_Evr, RPMSENSE_EQUAL));
    return record;
}

void checkRequirement(std::string_view sText)
{
    RichDependency rich;
    if (!rich.parse(sText))
        return;
    const Dependency require(sText);
    if (!require.isRich())
        std::abort();

    auto pInstalled = std::make_unique<InstalledPackages>();
    pInstalled->insert(package("a", {Dependency("x", Evr(0, "1", ""), RPMSENSE_EQUAL)}));
    pInstalled->insert(
        package("b", {Dependency("y"), Dependency("x", Evr(0, "2", ""), RPMSENSE_EQUAL)}));
    Package app = package("app", {});
    app.m_setRequires.insert(require);
    pInstalled->insert(app);

    RepoPackageList repo;
    for (const char* pName : {"a", "c", "d", "x", "y"})
    {
        RepoPackage record(pName);
        static_cast<Package&>(record) = package(pName, {Dependency("y"), Dependency("z")});
        record.m_Evr = Evr(0, "2", "1");
        repo.insert(record);
    }

    Resolver resolver;
    if (!resolver.init(std::move(pInstalled)))
        std::abort();
    PackageSet newPackages;
    DependencySet unsatisfied;
    const ClosureResult result = resolver.closeDependencies(repo, newPackages, unsatisfied, {});
    // A closure that failed names the requirement; one that completed satisfies it.
    if (result == ClosureResult::FAILED && !unsatisfied.contains(require))
        std::abort();
    if (result == ClosureResult::COMPLETE && !resolver.checkDependencies(newPackages, unsatisfied))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize)
{
    checkRequirement(std::string_view(reinterpret_cast<const char*>(pData), uSize));
    InternedString::resetPoolForFuzzing();
    return 0;
}
