// Update selection and dependency closure over generated package lists.
//
// Each package provides itself and 7 capabilities and requires 10 capabilities (one in 20
// also a file path). 70% of the names are installed, two in seven of those in an older
// version, so a fifth of the list is selected. Installed packages only need installed
// capabilities; the repository's packages need capabilities of any name, so the closure pulls
// uninstalled names, whose own requirements pull more.
// The many-rounds lists (BM_ManyRounds) are a device's update instead: 900 installed names
// spread over the list, one in three with a newer version, and six levels of 2 to 5 library
// packages that nothing installed provides; the updates need the first level, each level
// the next, so the closure pulls one level per round.
// Counters: peak_heap_MiB is the most heap in use above the level at the start of the
// benchmark (operator new is counted); rss_MiB is the process's peak resident size, which
// includes the generated lists; rss_growth_MiB is that peak above the resident size at the
// start of the benchmark.

#include "base/Logger.h"
#include "resolver/Resolver.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <malloc.h>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace
{

std::atomic<size_t> g_nHeapInUse{0};
std::atomic<size_t> g_nHeapPeak{0};

void noteAllocation(void* p)
{
    if (!p)
        return;
    const size_t nNow = g_nHeapInUse.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
    size_t nPeak = g_nHeapPeak.load();
    while (nNow > nPeak && !g_nHeapPeak.compare_exchange_weak(nPeak, nNow))
    {
    }
}

void noteRelease(void* p)
{
    if (p)
        g_nHeapInUse.fetch_sub(malloc_usable_size(p));
}

} // namespace

void* operator new(size_t nSize)
{
    void* p = std::malloc(nSize ? nSize : 1);
    if (!p)
        throw std::bad_alloc();
    noteAllocation(p);
    return p;
}

void operator delete(void* p) noexcept
{
    noteRelease(p);
    std::free(p);
}

void operator delete(void* p, size_t) noexcept
{
    noteRelease(p);
    std::free(p);
}

namespace
{

// Resets the kernel's peak resident size of this process; returns false where unsupported.
bool resetPeakRss()
{
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    return static_cast<bool>(out);
}

// A size line of /proc/self/status ("VmRSS:", "VmHWM:") in MiB.
double statusMiB(const char* pKey)
{
    std::ifstream in("/proc/self/status");
    std::string sLine;
    const size_t nKey = std::string(pKey).size();
    while (std::getline(in, sLine))
        if (sLine.rfind(pKey, 0) == 0)
            return std::strtod(sLine.c_str() + nKey, nullptr) / 1024.0;
    return 0;
}

class Random
{
public:
    explicit Random(uint64_t uSeed) : m_uState(uSeed) {}
    unsigned below(unsigned uLimit)
    {
        m_uState = m_uState * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<unsigned>((m_uState >> 33) % uLimit);
    }

private:
    uint64_t m_uState;
};

struct Lists
{
    RepoPackageList m_repo;
    InstalledPackages m_installed;
};

std::string capability(unsigned uName, unsigned uIndex)
{
    return "libcap" + std::to_string(uName) + "-" + std::to_string(uIndex) + ".so";
}

// Requirements point at capabilities of names picked by pickName.
template <typename PickName>
void fill(Package& package, unsigned uName, PickName pickName, Random& random)
{
    package.m_setProvides.insert(Dependency(package.m_sName, package.m_Evr, RPMSENSE_EQUAL));
    for (unsigned k = 0; k < 7; ++k)
        package.m_setProvides.insert(
            Dependency(capability(uName, k), Evr(0, "1." + std::to_string(k), ""), RPMSENSE_EQUAL));
    for (unsigned r = 0; r < 10; ++r)
    {
        const unsigned uOther = pickName();
        const unsigned k = random.below(7);
        if (random.below(2) == 0)
            package.m_setRequires.insert(Dependency(capability(uOther, k)));
        else
            package.m_setRequires.insert(Dependency(capability(uOther, k), Evr(0, "1.0", ""),
                                                    RPMSENSE_GREATER | RPMSENSE_EQUAL));
    }
    if (random.below(20) == 0)
        package.m_setRequires.insert(Dependency("/bin/sh"));
}

const Lists& listsFor(unsigned uNames)
{
    static std::map<unsigned, std::unique_ptr<Lists>> s_mapCache;
    auto& pLists = s_mapCache[uNames];
    if (pLists)
        return *pLists;
    pLists = std::make_unique<Lists>();
    Random random(uNames);
    // Which names are installed, and how: 0-1 older, 2-6 current, 7-9 not installed.
    std::vector<unsigned> vKind(uNames);
    std::vector<unsigned> vInstalledNames;
    for (unsigned u = 0; u < uNames; ++u)
    {
        vKind[u] = random.below(10);
        if (vKind[u] < 7)
            vInstalledNames.push_back(u);
    }
    const auto anyName = [&] { return random.below(uNames); };
    const auto installedName = [&]
    { return vInstalledNames[random.below(static_cast<unsigned>(vInstalledNames.size()))]; };
    for (unsigned u = 0; u < uNames; ++u)
    {
        RepoPackage package("package" + std::to_string(u));
        package.m_sGroup = "System";
        package.m_Evr = Evr(0, "2." + std::to_string(random.below(10)), "1");
        package.m_sLocation = "packages/" + package.label() + ".noarch.rpm";
        // The repository's packages need any name; the installed system is consistent.
        fill(package, u, anyName, random);
        if (vKind[u] < 7)
        {
            Package installed(package.m_sName);
            installed.m_Evr = vKind[u] < 2 ? Evr(0, "1.9", "1") : package.m_Evr;
            fill(installed, u, installedName, random);
            pLists->m_installed.insert(std::move(installed));
        }
        pLists->m_repo.insert(std::move(package));
    }
    return *pLists;
}

// Packages per level of the chains of BM_ManyRounds.
constexpr unsigned CHAIN_WIDTHS[] = {3, 2, 4, 5, 2, 3};
constexpr unsigned CHAIN_LEVELS = std::size(CHAIN_WIDTHS);
constexpr unsigned CHAIN_PACKAGES = 19;
constexpr unsigned MANY_ROUNDS_INSTALLED = 900;

const Lists& manyRoundsListsFor(unsigned uNames)
{
    static std::map<unsigned, std::unique_ptr<Lists>> s_mapCache;
    auto& pLists = s_mapCache[uNames];
    if (pLists)
        return *pLists;
    pLists = std::make_unique<Lists>();
    Random random(uNames + 7);
    // The chain packages take the last names, level by level.
    const unsigned uFirstChain = uNames - CHAIN_PACKAGES;
    std::vector<unsigned> vLevelStart;
    for (unsigned uLevel = 0, uStart = uFirstChain; uLevel < CHAIN_LEVELS; uStart += CHAIN_WIDTHS[uLevel++])
        vLevelStart.push_back(uStart);
    const unsigned uStride = uFirstChain / MANY_ROUNDS_INSTALLED;
    std::vector<unsigned> vInstalledNames;
    for (unsigned u = 0; u < uFirstChain && vInstalledNames.size() < MANY_ROUNDS_INSTALLED; u += uStride)
        vInstalledNames.push_back(u);
    const auto anyName = [&] { return random.below(uFirstChain); };
    const auto installedName = [&]
    { return vInstalledNames[random.below(static_cast<unsigned>(vInstalledNames.size()))]; };
    const auto isInstalled = [&](unsigned u) { return u < uFirstChain && u % uStride == 0 && u / uStride < MANY_ROUNDS_INSTALLED; };
    for (unsigned u = 0; u < uNames; ++u)
    {
        RepoPackage package("package" + std::to_string(u));
        package.m_sGroup = "System";
        package.m_Evr = Evr(0, "2." + std::to_string(random.below(10)), "1");
        package.m_sLocation = "packages/" + package.label() + ".noarch.rpm";
        const bool bUpdate = isInstalled(u) && random.below(3) == 0;
        if (u >= uFirstChain)
        {
            // Level uLevel, package k: installed capabilities, and its share of the next level.
            unsigned uLevel = CHAIN_LEVELS - 1;
            while (u < vLevelStart[uLevel])
                --uLevel;
            fill(package, u, installedName, random);
            const unsigned k = u - vLevelStart[uLevel];
            if (uLevel + 1 < CHAIN_LEVELS)
                for (unsigned n = 0; n < CHAIN_WIDTHS[uLevel + 1]; ++n)
                    if (n % CHAIN_WIDTHS[uLevel] == k)
                        package.m_setRequires.insert(Dependency(capability(vLevelStart[uLevel + 1] + n, 0)));
        }
        else if (isInstalled(u))
        {
            fill(package, u, installedName, random);
            if (bUpdate)
                package.m_setRequires.insert(Dependency(capability(vLevelStart[0] + u % CHAIN_WIDTHS[0], 0)));
            Package installed(package.m_sName);
            installed.m_Evr = bUpdate ? Evr(0, "1.9", "1") : package.m_Evr;
            fill(installed, u, installedName, random);
            pLists->m_installed.insert(std::move(installed));
        }
        else
            fill(package, u, anyName, random);
        pLists->m_repo.insert(std::move(package));
    }
    return *pLists;
}

struct MemoryProbe
{
    MemoryProbe()
        : m_nBase(g_nHeapInUse.load()), m_bRss(resetPeakRss()), m_dRssBase(statusMiB("VmRSS:"))
    {
        g_nHeapPeak.store(m_nBase);
    }
    void report(benchmark::State& state) const
    {
        state.counters["peak_heap_MiB"] =
            static_cast<double>(g_nHeapPeak.load() - m_nBase) / (1024.0 * 1024.0);
        if (m_bRss)
            state.counters["rss_growth_MiB"] = statusMiB("VmHWM:") - m_dRssBase;
        state.counters["rss_MiB"] = statusMiB("VmHWM:");
    }
    size_t m_nBase;
    bool m_bRss;
    double m_dRssBase;
};

void BM_SelectUpdates(benchmark::State& state)
{
    const Lists& lists = listsFor(static_cast<unsigned>(state.range(0)));
    Resolver resolver;
    if (!resolver.init(std::make_unique<InstalledPackages>(lists.m_installed)))
        state.SkipWithError("init failed");
    MemoryProbe probe;
    size_t nSelected = 0;
    for (auto _ : state)
    {
        PackageSet result = resolver.selectUpdates(lists.m_repo, {}, {"package7"}, {"Addons"}, {});
        nSelected = result.size();
        benchmark::DoNotOptimize(result);
    }
    probe.report(state);
    state.counters["selected"] = static_cast<double>(nSelected);
}

// The closure of the selection of the lists (the copy of the selection is not timed).
void benchClosure(benchmark::State& state, const Lists& lists)
{
    Resolver resolver;
    if (!resolver.init(std::make_unique<InstalledPackages>(lists.m_installed)))
        state.SkipWithError("init failed");
    const PackageSet selected = resolver.selectUpdates(lists.m_repo, {}, {}, {}, {});
    MemoryProbe probe;
    size_t nFinal = 0;
    unsigned uRounds = 0;
    for (auto _ : state)
    {
        state.PauseTiming();
        PackageSet newPackages = selected;
        DependencySet unsatisfied;
        uRounds = 1;
        state.ResumeTiming();
        const ClosureResult result =
            resolver.closeDependencies(lists.m_repo, newPackages, unsatisfied,
                                       [&]
                                       {
                                           ++uRounds;
                                           return false;
                                       });
        if (result != ClosureResult::COMPLETE)
            state.SkipWithError("closure failed");
        nFinal = newPackages.size();
    }
    probe.report(state);
    state.counters["selected"] = static_cast<double>(selected.size());
    state.counters["after_closure"] = static_cast<double>(nFinal);
    state.counters["rounds"] = uRounds;
}

void BM_Closure(benchmark::State& state)
{
    benchClosure(state, listsFor(static_cast<unsigned>(state.range(0))));
}

// The closure of a device's update whose new sonames need six rounds that pull.
void BM_ManyRounds(benchmark::State& state)
{
    benchClosure(state, manyRoundsListsFor(static_cast<unsigned>(state.range(0))));
    // CPU time per round (a round: one check, and one pull when something is missing).
    state.counters["per_round"] =
        benchmark::Counter(state.counters["rounds"].value, benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

// What one pass does with the lists: take the installed list, select, close.
void BM_SelectAndClose(benchmark::State& state)
{
    const Lists& lists = listsFor(static_cast<unsigned>(state.range(0)));
    MemoryProbe probe;
    for (auto _ : state)
    {
        Resolver resolver;
        if (!resolver.init(std::make_unique<InstalledPackages>(lists.m_installed)))
            state.SkipWithError("init failed");
        PackageSet newPackages = resolver.selectUpdates(lists.m_repo, {}, {}, {}, {});
        DependencySet unsatisfied;
        benchmark::DoNotOptimize(
            resolver.closeDependencies(lists.m_repo, newPackages, unsatisfied, {}));
    }
    probe.report(state);
}

struct QuietLogger
{
    QuietLogger() { logger().setLevel(ERROR); }
} g_quietLogger;

} // namespace

BENCHMARK(BM_SelectUpdates)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Closure)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SelectAndClose)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ManyRounds)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
