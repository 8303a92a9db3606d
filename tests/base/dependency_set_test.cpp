// The dependency set keeps the order, the uniqueness and the first-one-counts rule of an
// ordered set of entries.

#include "base/Dependency.h"
#include "base/RichDependency.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

Dependency dep(const char* pName, int nFlags = 0, const char* pVersion = "")
{
    return Dependency(pName, Evr(0, pVersion, ""), nFlags);
}

std::vector<std::string> texts(const DependencySet& set)
{
    std::vector<std::string> vTexts;
    for (const Dependency& entry : set)
        vTexts.push_back(entry.toString());
    return vTexts;
}

} // namespace

TEST(DependencySetTest, InsertionsInAnyOrderGiveTheSortedUniqueEntries)
{
    DependencySet set;
    EXPECT_TRUE(set.insert(dep("libz", RPMSENSE_EQUAL, "1.2")).second);
    EXPECT_TRUE(set.insert(dep("/bin/sh")).second);
    EXPECT_TRUE(set.insert(dep("libz", RPMSENSE_GREATER | RPMSENSE_EQUAL, "1.2")).second);
    EXPECT_TRUE(set.insert(dep("libz", RPMSENSE_EQUAL, "1.10")).second);
    EXPECT_TRUE(set.insert(dep("acl")).second);
    auto [it, bInserted] = set.insert(dep("libz", RPMSENSE_EQUAL, "1.2"));
    EXPECT_FALSE(bInserted);
    EXPECT_EQ(it->toString(), "libz = 0:1.2");
    EXPECT_EQ(texts(set), (std::vector<std::string>{"/bin/sh", "acl", "libz = 0:1.2", "libz >= 0:1.2", "libz = 0:1.10"}));

    // A name alone finds the first entry of that name.
    EXPECT_EQ(set.lower_bound(Dependency("libz"))->toString(), "libz = 0:1.2");
    EXPECT_TRUE(set.contains(dep("acl")));
    EXPECT_EQ(set.count(dep("libz", RPMSENSE_EQUAL, "9")), 0u);
}

TEST(DependencySetTest, OfEquivalentEntriesTheFirstCounts)
{
    // 1.0 and 1.00 compare equal: one entry, the first one inserted.
    DependencySet set;
    set.insert(dep("foo", RPMSENSE_EQUAL, "1.00"));
    set.insert(dep("foo", RPMSENSE_EQUAL, "1.0"));
    EXPECT_EQ(texts(set), (std::vector<std::string>{"foo = 0:1.00"}));

    const std::vector<Dependency> vEntries{dep("foo", RPMSENSE_EQUAL, "1.0"), dep("bar"),
                                           dep("foo", RPMSENSE_EQUAL, "1.00"), dep("bar")};
    const DependencySet assigned(vEntries.begin(), vEntries.end());
    EXPECT_EQ(texts(assigned), (std::vector<std::string>{"bar", "foo = 0:1.0"}));
    EXPECT_EQ(assigned, (DependencySet{dep("bar"), dep("foo", RPMSENSE_EQUAL, "1.0")}));
    EXPECT_FALSE(assigned == set);
}

TEST(DependencySetTest, ErasureGivesTheNextEntry)
{
    DependencySet set{dep("a"), dep("b"), dep("c")};
    auto it = set.erase(set.find(dep("b")));
    ASSERT_NE(it, set.end());
    EXPECT_EQ(it->m_sName, "c");
    EXPECT_EQ(set.erase(dep("a")), 1u);
    EXPECT_EQ(set.erase(dep("a")), 0u);
    EXPECT_EQ(texts(set), (std::vector<std::string>{"c"}));
    set.clear();
    EXPECT_TRUE(set.empty());
}

namespace
{

// The tree in prefix form: "or(a,and(b >= 0:2,c))".
std::string shape(const RichDependency& rich, uint32_t uNode)
{
    static const char* const apOps[] = {"", "and", "or", "if", "unless", "with", "without"};
    const RichDependency::Node& node = rich.node(uNode);
    if (node.m_op == RichDependency::Op::LEAF)
        return node.m_leaf.toString();
    std::string sText = apOps[static_cast<int>(node.m_op)];
    const char* pSeparator = "(";
    for (uint32_t uOperand : node.m_vOperands)
    {
        sText += pSeparator + shape(rich, uOperand);
        pSeparator = ",";
    }
    return sText + ")";
}

} // namespace

TEST(RichDependencyTest, LibrpmParsesTheTextIntoATree)
{
    const struct
    {
        std::string m_sText;
        const char* m_pShape; // null: refused
    } rows[] = {
        {"(a or b)", "or(a,b)"},
        {"(a or b or c)", "or(a,b,c)"},
        {"(a and (b >= 2 or c < 1:3-4))", "and(a,or(b >= 0:2,c < 1:3-4))"},
        {"(a if b)", "if(a,b)"},
        {"(a if b else c)", "if(a,b,c)"},
        {"(a unless b else (c with d))", "unless(a,b,with(c,d))"},
        {"(a without b)", "without(a,b)"},
        {"(x with (y or z))", "with(x,or(y,z))"},
        {"((a))", "a"},
        {"(perl(Foo::Bar) >= 1.2 or python3dist(foo))", "or(perl(Foo::Bar) >= 0:1.2,python3dist(foo))"},
        {"a", nullptr},
        {"(a or b and c)", nullptr},
        {"(a if b if c)", nullptr},
        {"(a with (b and c))", nullptr},
        {"(a or", nullptr},
        {"()", nullptr},
        {"(a) b", nullptr},
        {"(a or b)(c)", nullptr},
        {std::string("(a or b)\0(c)", 12), nullptr},
        // Nesting is bounded: librpm's parser and the evaluation recurse per level.
        {std::string(100, '(') + "a" + std::string(100, ')'), "a"},
        {std::string(101, '(') + "a" + std::string(101, ')'), nullptr},
        {std::string(100000, '(') + "a" + std::string(100000, ')'), nullptr},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.m_sText.substr(0, 60));
        RichDependency rich;
        ASSERT_EQ(rich.parse(row.m_sText), row.m_pShape != nullptr);
        if (row.m_pShape != nullptr)
        {
            EXPECT_EQ(shape(rich, rich.rootIndex()), row.m_pShape);
        }
    }
    EXPECT_TRUE(Dependency("(a or b)").isRich());
    EXPECT_FALSE(Dependency("a(b)").isRich());
    EXPECT_FALSE(Dependency("").isRich());
}
