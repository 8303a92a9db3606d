// The package containers keep insertion order among equal names; sets hold one record per name.

#include "base/Package.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

TEST(PackageContainers, KeepInsertionOrderAmongEqualNamesAndOneRecordPerNameInSets)
{
    RepoPackageList list;
    for (const char* pVersion : {"2", "1", "3"})
    {
        RepoPackage package("foo");
        package.m_Evr = Evr(0, pVersion, "");
        list.insert(package);
    }
    list.insert(RepoPackage("bar"));
    auto range = list.equal_range(std::string_view("foo"));
    std::vector<std::string> vVersions;
    for (auto it = range.first; it != range.second; ++it)
        vVersions.push_back(it->m_Evr.m_sVersion.str());
    EXPECT_EQ(vVersions, (std::vector<std::string>{"2", "1", "3"}));

    PackageSet set;
    EXPECT_TRUE(set.insert(*range.first).second);
    auto second = set.insert(*std::next(range.first));
    EXPECT_FALSE(second.second);
    EXPECT_EQ(second.first->m_Evr.m_sVersion, "2");
}
