#include "updater/CommandLine.h"

#include <gtest/gtest.h>
#include <popt.h>
#include <string>
#include <vector>

namespace
{

// Parses args with the option table; returns popt's final code (-1 when all went well).
int parse(CommandLine& commandLine, std::vector<const char*> args)
{
    args.insert(args.begin(), "updater");
    poptContext context = poptGetContext("updater", static_cast<int>(args.size()), args.data(),
                                         commandLine.table(), 0);
    int nCode;
    while ((nCode = poptGetNextOpt(context)) > 0)
    {
    }
    if (nCode == -1)
        commandLine.collectPackageNames(context);
    poptFreeContext(context);
    return nCode;
}

} // namespace

TEST(CommandLine, NothingGivenLeavesEveryOptionAbsent)
{
    CommandLine commandLine;
    ASSERT_EQ(parse(commandLine, {}), -1);
    UpdaterOptions options = commandLine.options();
    EXPECT_FALSE(options.m_bQuiet || options.m_bLogStderr || options.m_bCheckOnly ||
                 options.m_bTest || options.m_bNoSigCheck || options.m_bNoReboot ||
                 options.m_bBackground || options.m_bCacheOnly || options.m_bNoCacheClean ||
                 options.m_bCheckDbHeaders);
    EXPECT_FALSE(options.m_sLogLevel || options.m_sRepo || options.m_sRepoUrl || options.m_sLogTo ||
                 options.m_sCacheDir || options.m_sConfFile);
    EXPECT_EQ(options.m_nMaxWaitTime, 0);
    EXPECT_EQ(options.m_nLockTimeout, 0);
    EXPECT_TRUE(commandLine.packageNames().empty());
}

TEST(CommandLine, EveryOptionStoresItsValue)
{
    CommandLine commandLine;
    ASSERT_EQ(parse(commandLine, {"-q",
                                  "-l",
                                  "debug",
                                  "-r",
                                  "other",
                                  "--repo-url",
                                  "base:file:///x",
                                  "--log-to-stderr",
                                  "--log-to",
                                  "/tmp/x.log",
                                  "-n",
                                  "-N",
                                  "--no-sig-check",
                                  "--no-reboot",
                                  "-b",
                                  "-C",
                                  "--no-cache-clean",
                                  "--check-db-headers",
                                  "--max-wait-time",
                                  "-5",
                                  "--lock-timeout=25",
                                  "--cache-dir",
                                  "cache",
                                  "--conf-file",
                                  "/etc/other.conf"}),
              -1);
    UpdaterOptions options = commandLine.options();
    EXPECT_TRUE(options.m_bQuiet && options.m_bLogStderr && options.m_bCheckOnly &&
                options.m_bTest && options.m_bNoSigCheck && options.m_bNoReboot &&
                options.m_bBackground && options.m_bCacheOnly && options.m_bNoCacheClean &&
                options.m_bCheckDbHeaders);
    EXPECT_EQ(options.m_sLogLevel, "debug");
    EXPECT_EQ(options.m_sRepo, "other");
    EXPECT_EQ(options.m_sRepoUrl, "base:file:///x");
    EXPECT_EQ(options.m_sLogTo, "/tmp/x.log");
    EXPECT_EQ(options.m_nMaxWaitTime, -5);
    EXPECT_EQ(options.m_nLockTimeout, 25);
    EXPECT_EQ(options.m_sCacheDir, "cache");
    EXPECT_EQ(options.m_sConfFile, "/etc/other.conf");
}

TEST(CommandLine, PackageNamesBecomeASortedSetWithoutDuplicates)
{
    CommandLine commandLine;
    ASSERT_EQ(parse(commandLine, {"zeta", "-q", "alpha", "zeta", "--", "-odd-name"}), -1);
    EXPECT_EQ(commandLine.packageNames(), (std::set<std::string>{"-odd-name", "alpha", "zeta"}));
    EXPECT_TRUE(commandLine.options().m_bQuiet);
}

TEST(CommandLine, BadValuesAreRejected)
{
    for (std::vector<const char*> args : std::vector<std::vector<const char*>>{
             {"--lock-timeout", "soon"}, {"--max-wait-time", "1.5"}, {"--bogus"}, {"--log-level"}})
    {
        CommandLine commandLine;
        EXPECT_LT(parse(commandLine, args), -1) << args[0];
    }
}
