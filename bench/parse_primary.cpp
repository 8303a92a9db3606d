// Parses one package list with Repository::parsePrimary and prints how long that took, and
// how long freeing the list took.
//   bench_parse_primary PRIMARY.xml[.gz]

#include "BenchRepository.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: %s PRIMARY.xml[.gz]\n", argv[0]);
        return 2;
    }
    std::unique_ptr<Repository> pRepo = benchRepository(WARNING);
    if (!pRepo)
        return 2;
    Repository& repo = *pRepo;

    auto start = std::chrono::steady_clock::now();
    bool bParsed = repo.parsePrimary(argv[1]);
    double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!bParsed)
    {
        std::fprintf(stderr, "parsing '%s' failed\n", argv[1]);
        return 1;
    }
    std::printf("%zu packages parsed in %.3f s\n", repo.packages().size(), dSeconds);
    start = std::chrono::steady_clock::now();
    pRepo.reset();
    dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("list freed in %.3f s\n", dSeconds);
    return 0;
}
