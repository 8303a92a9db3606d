// librpm parses a rich (boolean) dependency text; the tree keeps its shape and its leaves.

#include "base/RichDependency.h"

#include <gtest/gtest.h>

#include <string>

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
        {"(perl(Foo::Bar) >= 1.2 or python3dist(foo))",
         "or(perl(Foo::Bar) >= 0:1.2,python3dist(foo))"},
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
