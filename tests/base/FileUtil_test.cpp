// The file helpers: the base name of a path and a write that finishes or fails.

#include "base/FileUtil.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <utility>

using testing_support::readFile;
using testing_support::TempDir;

TEST(FileHelpers, BaseName)
{
    const std::pair<const char*, const char*> cases[] = {
        {"a/b/c", "c"},
        {"a/b/c/", "c"},
        {"a/b/c//", "c"},
        {"c", "c"},
        {"/c", "c"},
        {"/", ""},
        {"///", ""},
        {"", ""},
        {"/var/cache/updater/base/packages/x-1.0-1.noarch.rpm", "x-1.0-1.noarch.rpm"},
    };
    for (const auto& [pPath, pExpected] : cases)
        EXPECT_EQ(baseName(pPath), pExpected) << pPath;
}

TEST(FileHelpers, WriteAllWritesTheWholeBlockOrFails)
{
    TempDir dir;
    const std::string sContent(1 << 20, 'x');
    const int nFd = ::open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(nFd, 0);
    EXPECT_TRUE(writeAll(nFd, sContent.data(), sContent.size()));
    ::close(nFd);
    EXPECT_EQ(readFile(dir.file("out")), sContent);
    errno = 0;
    EXPECT_FALSE(writeAll(-1, sContent.data(), 1));
    EXPECT_EQ(errno, EBADF);
}
