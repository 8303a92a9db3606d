#include "resolver/Resolver.h"

#include "config/UpdaterConfig.h"

#include "ResolverTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <rpm/rpmlib.h>
#include <rpm/rpmmacro.h>

#include <string>

namespace
{

using namespace resolver_test;
using testing_support::LogCapture;
using testing_support::runShell;
using testing_support::TempDir;

// Points librpm at a database of the test's own for the lifetime of the object.
class ScopedDbPath
{
public:
    explicit ScopedDbPath(const std::string& sPath)
    {
        static const int s_nConfig = rpmReadConfigFiles(nullptr, nullptr);
        EXPECT_EQ(s_nConfig, 0);
        rpmPushMacro(nullptr, "_dbpath", nullptr, sPath.c_str(), RMIL_CMDLINE);
    }
    ~ScopedDbPath() { rpmPopMacro(nullptr, "_dbpath"); }
    ScopedDbPath(const ScopedDbPath&) = delete;
    ScopedDbPath& operator=(const ScopedDbPath&) = delete;
};

TEST(ResolverInit, ReadsTheInstalledPackagesFromTheDatabase)
{
    TempDir dir;
    const std::string sDb = dir.file("db");
    const std::string sScript = testing_support::sourceDir() + "/tests/support/rpm/mkrpm.py";
    std::string sPackage;
    ASSERT_EQ(runShell("/usr/bin/python3 '" + sScript +
                           "' --name foo --version 1.0 --epoch 1 --provides 'libfoo = 1' "
                           "--requires 'libbar >= 2' --no-auto --outdir '" +
                           dir.file("rpms") + "'",
                       &sPackage),
              0);
    sPackage.pop_back();
    ASSERT_EQ(
        runShell("rpm --dbpath '" + sDb + "' -i --nodeps --justdb '" + sPackage + "' 2>/dev/null"),
        0);

    ScopedDbPath dbPath(sDb);
    for (bool bCheckHeaders : {false, true})
    {
        SCOPED_TRACE(bCheckHeaders);
        LogCapture log;
        UpdaterConfig config;
        config.m_bCheckDbHeaders = bCheckHeaders;
        Resolver resolver;
        ASSERT_TRUE(resolver.init(config));
        EXPECT_TRUE(log.contains(bCheckHeaders
                                     ? "DEBUG: opened rpm transaction (checking headers)"
                                     : "DEBUG: opened rpm transaction (NOT checking headers)"));
        ASSERT_EQ(resolver.installed()->size(), 1u);
        const Package& foo = *resolver.installed()->begin();
        EXPECT_EQ(foo.label(), "foo-1:1.0-1");
        EXPECT_EQ(texts(foo.m_setRequires), std::vector<std::string>{"libbar >= 0:2"});
        EXPECT_EQ(texts(foo.m_setProvides),
                  (std::vector<std::string>{"foo = 1:1.0-1", "libfoo = 0:1"}));

        // The installed record is what the selection compares against.
        auto result = resolver.selectUpdates(repoList({pkg("foo", "1:1.1"), pkg("foo", "2.0")}), {},
                                             {}, {}, {});
        EXPECT_EQ(labels(result), std::vector<std::string>{"foo-1:1.1"});
        EXPECT_FALSE(resolver.init(config));
    }
}

TEST(ResolverInit, FailsWhenTheDatabaseCannotBeRead)
{
    TempDir dir;
    // A file where the database directory should be.
    const std::string sDb = dir.file("db");
    testing_support::writeFile(sDb, "not a database\n");
    ScopedDbPath dbPath(sDb);
    LogCapture log;
    UpdaterConfig config;
    Resolver resolver;
    EXPECT_FALSE(resolver.init(config));
    EXPECT_FALSE(resolver.isInitialized());
    EXPECT_TRUE(log.contains("ERROR: failed initializing rpm DB iterator\n"
                             "ERROR: failed getting list of installed packages\n"))
        << log.text();
}

} // namespace
