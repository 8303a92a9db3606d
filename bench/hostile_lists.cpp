// Time and peak memory of the two refusals of a hostile package list:
//   bench_hostile_lists parse PRIMARY.xml[.gz]   Repository::parsePrimary (a deep list)
//   bench_hostile_lists verify FILE.gz           Checksum::verifyUncompressed against a
//                                                wrong value (a gzip bomb)
// Prints "<result> <seconds> s <peak RSS> MiB"; the result is "accepted" or "refused".

#include "BenchRepository.h"

#include "base/Checksum.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 3 || (std::strcmp(argv[1], "parse") != 0 && std::strcmp(argv[1], "verify") != 0))
    {
        std::fprintf(stderr, "usage: %s parse|verify FILE\n", argv[0]);
        return 2;
    }
    std::unique_ptr<Repository> pRepo = benchRepository(FATAL);
    if (!pRepo)
        return 2;
    Repository& repo = *pRepo;

    const auto start = std::chrono::steady_clock::now();
    bool bAccepted = false;
    if (std::strcmp(argv[1], "parse") == 0)
        bAccepted = repo.parsePrimary(argv[2]);
    else
        bAccepted = (Checksum{std::string(40, '0'), "sha"}).verifyUncompressed(argv[2]);
    const double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%s %.2f s %.1f MiB\n", bAccepted ? "accepted" : "refused", dSeconds,
                static_cast<double>(usage.ru_maxrss) / 1024.0);
    return 0;
}
