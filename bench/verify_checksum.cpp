// Times Checksum::verify and Checksum::verifyUncompressed of one file for each checksum
// type, best of RUNS runs, side by side.
//   bench_verify_checksum FILE RUNS TYPE=DIGEST_AS_STORED=DIGEST_UNCOMPRESSED...

#include "base/Checksum.h"
#include "base/Logger.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace
{

template <typename Verify> double bestOf(int nRuns, Verify verify)
{
    double dBest = 1e9;
    for (int i = 0; i < nRuns; ++i)
    {
        const auto start = std::chrono::steady_clock::now();
        if (!verify())
        {
            std::fprintf(stderr, "verification failed\n");
            std::exit(1);
        }
        const double dSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (dSeconds < dBest)
            dBest = dSeconds;
    }
    return dBest;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4)
    {
        std::fprintf(stderr, "usage: %s FILE RUNS TYPE=STORED_DIGEST=UNCOMPRESSED_DIGEST...\n",
                     argv[0]);
        return 2;
    }
    logger().setLevel(WARNING);
    const std::string sPath = argv[1];
    const int nRuns = std::atoi(argv[2]);
    std::vector<std::string> vTypes;
    for (int i = 3; i < argc; ++i)
    {
        const std::string sArgument = argv[i];
        vTypes.push_back(sArgument.substr(0, sArgument.find('=')));
    }
    Checksum::setAcceptedTypes(vTypes);
    std::printf("| type | as stored s | uncompressed s |\n|---|---:|---:|\n");
    for (int i = 3; i < argc; ++i)
    {
        const std::string sArgument = argv[i];
        const auto nFirst = sArgument.find('='), nSecond = sArgument.find('=', nFirst + 1);
        const std::string sType = sArgument.substr(0, nFirst);
        const Checksum stored{sArgument.substr(nFirst + 1, nSecond - nFirst - 1), sType};
        const Checksum open{sArgument.substr(nSecond + 1), sType};
        const double dStored = bestOf(nRuns, [&] { return stored.verify(sPath); });
        const double dOpen = bestOf(nRuns, [&] { return open.verifyUncompressed(sPath); });
        std::printf("| %s | %.3f | %.3f |\n", sType.c_str(), dStored, dOpen);
    }
    return 0;
}
