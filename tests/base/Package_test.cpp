// The package containers keep insertion order among equal names; sets hold one record per name.

#include "base/Package.h"

#include <gtest/gtest.h>

#include <iterator>
#include <memory_resource>
#include <string>
#include <utility>
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

namespace
{

RepoPackage record(const char* pName, const char* pProvides)
{
    RepoPackage package(pName);
    package.m_setProvides.insert(Dependency(pProvides));
    package.m_setRequires.insert(Dependency("libc"));
    return package;
}

std::vector<std::string> provides(const RepoPackageList& list)
{
    std::vector<std::string> vProvides;
    for (const RepoPackage& package : list)
        for (const Dependency& entry : package.m_setProvides)
            vProvides.push_back(package.m_sName.str() + ":" + entry.m_sName.str());
    return vProvides;
}

} // namespace

// The records and their entries live in the list's arena and go with it whole; copies out of
// the list do not depend on it.
TEST(PackageContainers, ListRecordsLiveInTheListsArenaAndCopiesOutlastIt)
{
    PackageSet chosen;
    RepoPackageList kept;
    {
        RepoPackageList list;
        list.insert(record("b", "cap-b"));
        const RepoPackage a = record("a", "cap-a");
        list.insert(a);
        EXPECT_NE(list.get_allocator().resource(), std::pmr::get_default_resource());
        for (const RepoPackage& package : list)
        {
            EXPECT_EQ(package.m_setProvides.get_allocator(), list.get_allocator());
            EXPECT_EQ(package.m_setRequires.get_allocator(), list.get_allocator());
        }
        EXPECT_EQ(a.m_setProvides.get_allocator().resource(), std::pmr::get_default_resource());

        chosen.insert(*list.find(std::string_view("a")));
        EXPECT_EQ(chosen.begin()->m_setProvides.get_allocator().resource(),
                  std::pmr::get_default_resource());

        RepoPackageList copy = list;
        EXPECT_NE(copy.get_allocator(), list.get_allocator());
        EXPECT_EQ(copy.begin()->m_setProvides.get_allocator(), copy.get_allocator());
        EXPECT_EQ(provides(copy), (std::vector<std::string>{"a:cap-a", "b:cap-b"}));

        // Moving and swapping take the arena along with the records.
        RepoPackageList moved = std::move(list);
        EXPECT_TRUE(list.empty());
        list.insert(record("c", "cap-c"));
        moved.swap(list);
        EXPECT_EQ(provides(moved), (std::vector<std::string>{"c:cap-c"}));
        EXPECT_EQ(moved.begin()->m_setProvides.get_allocator(), moved.get_allocator());
        kept = std::move(list);
        copy.clear();
        EXPECT_TRUE(copy.empty());
        copy.insert(record("d", "cap-d"));
        EXPECT_EQ(provides(copy), (std::vector<std::string>{"d:cap-d"}));
    }
    EXPECT_EQ(provides(kept), (std::vector<std::string>{"a:cap-a", "b:cap-b"}));
    EXPECT_EQ(kept.begin()->m_setProvides.get_allocator(), kept.get_allocator());
    ASSERT_EQ(chosen.size(), 1u);
    EXPECT_EQ(chosen.begin()->m_setProvides, (DependencySet{Dependency("cap-a")}));
}
