#include "DriverTestSupport.h"
#include "config/UpdaterConfig.h"
#include "updater/Result.h"
#include "updater/UpdateRun.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using driver_test::PrivatePaths;
using testing_support::LogCapture;
using testing_support::writeFile;

namespace
{

// Points the random device somewhere else for the lifetime of the object.
class RandomDevice
{
public:
    RandomDevice(PrivatePaths& paths, const std::string& sPath) : m_paths(paths)
    {
        UpdaterPaths changed = paths.paths();
        changed.m_sRandomDevice = sPath;
        m_paths.apply(changed);
    }

private:
    PrivatePaths& m_paths;
};

TEST(GatherRandomBytes, FillsTheBufferFromTheRandomDevice)
{
    PrivatePaths paths;
    const std::string sFile = paths.file("random");
    writeFile(sFile, "0123456789");
    RandomDevice device(paths, sFile);
    LogCapture log;
    unsigned char buffer[8] = {};
    ASSERT_TRUE(gatherRandomBytes(buffer, 4));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "0123");
    EXPECT_TRUE(log.contains("DEBUG: requesting 4 random bytes"));
    EXPECT_FALSE(log.contains("ERROR"));
}

TEST(GatherRandomBytes, RealDeviceGivesTheCountAsked)
{
    PrivatePaths paths;
    unsigned char buffer[64] = {};
    ASSERT_TRUE(gatherRandomBytes(buffer, sizeof buffer));
}

TEST(GatherRandomBytes, EndOfFileFailsTheGathering)
{
    PrivatePaths paths;
    const std::string sFile = paths.file("short");
    writeFile(sFile, "ab");
    RandomDevice device(paths, sFile);
    LogCapture log;
    unsigned char buffer[4] = {};
    EXPECT_FALSE(gatherRandomBytes(buffer, 4));
    EXPECT_TRUE(log.contains(
        "ERROR: received end-of-file from from '/dev/urandom', failed gathering random data."));
}

TEST(GatherRandomBytes, MissingDeviceIsReported)
{
    PrivatePaths paths;
    RandomDevice device(paths, paths.file("missing"));
    LogCapture log;
    unsigned char buffer[4] = {};
    EXPECT_FALSE(gatherRandomBytes(buffer, 4));
    EXPECT_TRUE(log.contains(
        "ERROR: could not open '/dev/urandom' to gather random data (No such file or directory)."));
}

TEST(GatherRandomBytes, ReadErrorEndsTheGatheringInsteadOfLooping)
{
    // A directory opens read-only but every read fails with EISDIR.
    PrivatePaths paths;
    const std::string sDir = paths.file("folder");
    ASSERT_EQ(mkdir(sDir.c_str(), 0755), 0);
    RandomDevice device(paths, sDir);
    LogCapture log;
    unsigned char buffer[4] = {};
    EXPECT_FALSE(gatherRandomBytes(buffer, 4));
    EXPECT_TRUE(log.contains(
        "ERROR: failed reading from '/dev/urandom', failed gathering random data (Is a "
        "directory)."));
    EXPECT_FALSE(log.contains("end-of-file"));
}

TEST(GatherRandomBytes, ShortReadsAreJoinedInOrder)
{
    // A FIFO hands out what its writer wrote so far: one byte per read here.
    PrivatePaths paths;
    const std::string sFifo = paths.file("fifo");
    ASSERT_EQ(mkfifo(sFifo.c_str(), 0600), 0);
    RandomDevice device(paths, sFifo);
    std::thread writer(
        [&]
        {
            const int nFd = open(sFifo.c_str(), O_WRONLY);
            if (nFd < 0)
                return;
            for (char c : std::string("wxyz"))
            {
                if (write(nFd, &c, 1) != 1)
                    break;
                usleep(20000);
            }
            close(nFd);
        });
    unsigned char buffer[4] = {};
    const bool bGathered = gatherRandomBytes(buffer, 4);
    writer.join();
    ASSERT_TRUE(bGathered);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "wxyz");
}

TEST(RandomDelay, StaysWithinZeroAndTheMaximum)
{
    struct Row
    {
        int nMax;
    };
    for (const Row row : {Row{1}, Row{2}, Row{600}, Row{INT_MAX}})
    {
        std::set<int64_t> seen;
        for (unsigned uSeed = 0; uSeed < 2000; ++uSeed)
        {
            const int64_t nDelay = randomDelay(row.nMax, uSeed * 2654435761u);
            ASSERT_GE(nDelay, 0) << row.nMax;
            ASSERT_LE(nDelay, row.nMax) << row.nMax;
            seen.insert(nDelay);
        }
        if (row.nMax <= 2)
            EXPECT_EQ(seen.size(), static_cast<size_t>(row.nMax))
                << "not every value below the maximum occurs";
        else
            EXPECT_GT(seen.size(), 100u) << row.nMax;
    }
}

TEST(RandomDelay, FollowsTheSeededGenerator)
{
    srand(12345u);
    const int64_t nRandom = rand();
    EXPECT_EQ(randomDelay(600, 12345u), 600 * nRandom / 2147483647);
    EXPECT_EQ(randomDelay(600, 12345u), randomDelay(600, 12345u));
}

// -- the start of the run ----------------------------------------------------------

UpdaterConfig configWith(const std::string& sUri, bool bEnabled = true)
{
    UpdaterConfig config;
    RepoConfig repo;
    repo.m_sId = "base";
    repo.m_sName = "Base";
    repo.m_sUri = sUri;
    repo.m_bEnabled = bEnabled;
    config.m_lRepositories.push_back(repo);
    config.m_nMaxWaitTime = 600;
    return config;
}

TEST(RunUpdate, FailingOrInterruptedInitHookEndsWithErrorBeforeTheRepository)
{
    struct Row
    {
        const char* pHookBody;
        const char* pMessage;
    };
    for (const Row row : {Row{"exit 3\n", "ERROR: hook failed (exit code 3)"},
                          Row{"kill -KILL $$\n", "ERROR: hook was interrupted"}})
    {
        PrivatePaths paths;
        (void)paths.script("hook", row.pHookBody);
        // An http repository with a long maximum wait: reaching it would wait or connect.
        UpdaterConfig config = configWith("http://203.0.113.1/repo");
        LogCapture log;
        EXPECT_EQ(runUpdate(config, {}), RESULT_ERROR) << row.pHookBody;
        EXPECT_TRUE(log.contains(row.pMessage)) << log.text();
        EXPECT_FALSE(log.contains("updating packages from repository")) << log.text();
        EXPECT_FALSE(log.contains("waiting")) << log.text();
        EXPECT_FALSE(testing_support::fileExists(paths.paths().m_sStatusFile));
    }
}

TEST(RunUpdate, MissingOrDisabledRepositoriesEndWithError)
{
    PrivatePaths paths;
    (void)paths.script("hook", "exit 0\n");
    LogCapture log;
    UpdaterConfig none;
    none.m_lRepositories.clear();
    EXPECT_EQ(runUpdate(none, {}), RESULT_ERROR);
    EXPECT_TRUE(log.contains("ERROR: no repositories configured, nothing to do"));

    EXPECT_EQ(runUpdate(configWith("http://203.0.113.1/repo", false), {}), RESULT_ERROR);
    EXPECT_TRUE(log.contains("ERROR: no active repository, nothing to do"));
    EXPECT_FALSE(log.contains("updating packages from repository"));
}

TEST(RunUpdate, NoRandomDataNoWaitAndNoRepositoryContact)
{
    PrivatePaths paths;
    (void)paths.script("hook", "exit 0\n");
    RandomDevice device(paths, paths.file("missing"));
    LogCapture log;
    EXPECT_EQ(runUpdate(configWith("http://203.0.113.1/repo"), {}), RESULT_ERROR);
    EXPECT_TRUE(log.contains("ERROR: could not gather random data"));
    EXPECT_TRUE(log.contains(
        "INFO: updating packages from repository 'Base' (URI 'http://203.0.113.1/repo')"));
    EXPECT_FALSE(log.contains("waiting"));
    EXPECT_FALSE(testing_support::fileExists(paths.paths().m_sStatusFile));
}

TEST(RunUpdate, WaitsTheDrawnDelayAndRecordsDelaying)
{
    // A maximum of 1 second with a seed of zero bytes: the delay the generator gives for 0.
    PrivatePaths paths;
    (void)paths.script("hook", "exit 0\n");
    const std::string sFile = paths.file("zeros");
    writeFile(sFile, std::string(4, '\0'));
    RandomDevice device(paths, sFile);
    UpdaterConfig config = configWith("http://203.0.113.1/repo");
    config.m_nMaxWaitTime = 1;
    // The repository cache cannot be created: the first pass fails without a connection.
    config.m_sCacheDir = paths.file("no/such/cache/");
    LogCapture log;
    EXPECT_EQ(runUpdate(config, {}), RESULT_ERROR);
    char expected[64];
    snprintf(expected, sizeof expected, "INFO: waiting %u secs before connection",
             static_cast<unsigned>(randomDelay(1, 0u)));
    EXPECT_TRUE(log.contains(expected)) << log.text();
    EXPECT_TRUE(log.contains("ERROR: could not update repository data")) << log.text();
    // DELAYING while waiting, then ANALYZING for the pass; READY is main's to write.
    EXPECT_EQ(testing_support::readFile(paths.paths().m_sStatusFile), "ANALYZING\n");
}

} // namespace
