#include "repository/MetadataXml.h"

#include <gtest/gtest.h>

TEST(LocationTest, OnlyFilesBelowTheRepositoryAreAccepted)
{
    const struct
    {
        const char* pLocation;
        bool bAccepted;
    } rows[] = {
        {"packages/alpha-1.0-1.noarch.rpm", true},
        {"alpha.rpm", true},
        {"a/b/c/alpha..rpm", true},
        {"..alpha.rpm", true},
        {"packages/alpha$(touch x);.rpm", true},
        {"../alpha.rpm", false},
        {"packages/../../alpha.rpm", false},
        {"packages/..", false},
        {"..", false},
        {"/etc/passwd", false},
        {"", false},
        {"packages/", true}, // the last component names the file
        {"packages/.", false},
        {"packages/a\nb.rpm", false},
        {"packages/a\x7f.rpm", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(checkLocation(row.pLocation), row.bAccepted) << row.pLocation;
}
