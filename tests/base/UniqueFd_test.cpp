#include "base/UniqueFd.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <utility>

TEST(FileHelpers, UniqueFdClosesOnceAndHandsOver)
{
    auto isOpen = [](int nFd) { return ::fcntl(nFd, F_GETFD) != -1; };
    int nFirst = -1;
    {
        UniqueFd fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        nFirst = fd.get();
        ASSERT_TRUE(fd);
        UniqueFd moved(std::move(fd));
        EXPECT_FALSE(fd);
        EXPECT_EQ(moved.get(), nFirst);
        EXPECT_TRUE(isOpen(nFirst));
    }
    EXPECT_FALSE(isOpen(nFirst)) << "closed by the owner it was moved to";

    UniqueFd kept(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const int nKept = kept.release();
    EXPECT_FALSE(kept);
    EXPECT_TRUE(kept.reset()) << "nothing to close";
    EXPECT_TRUE(isOpen(nKept)) << "released descriptors stay open";
    ::close(nKept);
}
