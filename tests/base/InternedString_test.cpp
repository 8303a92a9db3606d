// Interned strings: one handle per text, bytewise order whatever the order of interning,
// texts that survive the pool's growth, and the reset used between fuzz inputs.

#include "base/Dependency.h"
#include "base/InternedString.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <string_view>
#include <vector>

TEST(InternedString, EqualTextsShareOneHandleWhateverTheSource)
{
    const std::string sBuffer = "libfoo.so.1()(64bit) and more";
    const InternedString fromView(std::string_view(sBuffer).substr(0, 20));
    const InternedString fromString(std::string("libfoo.so.1()(64bit)"));
    const InternedString fromPointer("libfoo.so.1()(64bit)");
    EXPECT_EQ(fromView.handle(), fromString.handle());
    EXPECT_EQ(fromView.handle(), fromPointer.handle());
    // A text taken from the middle of a buffer is stored with its own terminator.
    EXPECT_STREQ(fromView.c_str(), "libfoo.so.1()(64bit)");
    EXPECT_EQ(fromView.size(), 20u);

    EXPECT_NE(InternedString("libfoo.so.1").handle(), fromView.handle());
    const InternedString withNul(std::string_view("a\0b", 3));
    EXPECT_EQ(withNul.size(), 3u);
    EXPECT_NE(withNul, InternedString("a"));
    EXPECT_EQ(withNul, std::string_view("a\0b", 3));

    InternedString assigned;
    assigned = std::string("libfoo.so.1()(64bit)");
    EXPECT_EQ(assigned, fromPointer);
    EXPECT_TRUE(assigned == "libfoo.so.1()(64bit)");
    EXPECT_TRUE("libfoo.so.1()(64bit)" == assigned);
    EXPECT_FALSE(assigned != std::string("libfoo.so.1()(64bit)"));
}

TEST(InternedString, EmptyIsHandleZero)
{
    const InternedString none;
    for (const InternedString& empty : {none, InternedString(""), InternedString(std::string()),
                                        InternedString(std::string_view())})
    {
        EXPECT_EQ(empty.handle(), 0u);
        EXPECT_TRUE(empty.empty());
        EXPECT_EQ(empty.size(), 0u);
        EXPECT_STREQ(empty.c_str(), "");
        EXPECT_EQ(empty, "");
        EXPECT_LT(empty, InternedString("\x01"));
    }
    EXPECT_FALSE(InternedString(" ").empty());
}

TEST(InternedString, OrderIsBytewiseOnTheTextsNotTheHandles)
{
    // Interned from the highest to the lowest, so that handle order is the reverse of the
    // text order.
    std::vector<std::string> vTexts = {"\xff", "\x80x", "b", "ab", "a\x01", "a", "Z", "A", "1", ""};
    std::vector<InternedString> vInterned(vTexts.begin(), vTexts.end());
    std::sort(vTexts.begin(), vTexts.end());
    std::sort(vInterned.begin(), vInterned.end());
    std::vector<std::string> vSorted;
    for (const InternedString& sText : vInterned)
        vSorted.push_back(sText.str());
    EXPECT_EQ(vSorted, vTexts);

    const InternedString a("a");
    EXPECT_LT(a, InternedString("a\x01"));
    EXPECT_LT(InternedString("a\x01"), InternedString("ab"));
    EXPECT_GT(InternedString("\x80"), InternedString("z"));
    EXPECT_LT(a, "b");
    EXPECT_LT(a, std::string("b"));
    EXPECT_GT("b", a);
    EXPECT_GT(std::string_view("ab"), a);
    EXPECT_EQ(a.compare("a"), 0);
    EXPECT_LT(a.compare(InternedString("\xc3\xa9")), 0);

    // Dependency sets order names the same way.
    DependencySet set{Dependency("\xc3\xa9t\xc3\xa9"), Dependency("zlib"), Dependency("Zlib"),
                      Dependency("z")};
    std::vector<std::string> vNames;
    for (const Dependency& entry : set)
        vNames.push_back(entry.toString());
    EXPECT_EQ(vNames, (std::vector<std::string>{"Zlib", "z", "zlib", "\xc3\xa9t\xc3\xa9"}));
}

TEST(InternedString, TextsSurviveGrowthLongStringsAndManyChunks)
{
    // Longer than a chunk, and one big enough to get a chunk of its own.
    std::string sHuge(2 * 1024 * 1024 + 3, 'h');
    sHuge[1234567] = 'X';
    std::string sBig(300 * 1024, 'b');
    const InternedString huge(sHuge);
    const InternedString big(sBig);

    // Enough short texts for several chunks and many doublings of the table.
    const size_t uCount = 300000;
    std::vector<InternedString> vInterned;
    vInterned.reserve(uCount);
    for (size_t i = 0; i < uCount; ++i)
        vInterned.emplace_back("name-" + std::to_string(i * 7919));
    for (size_t i = 0; i < uCount; ++i)
    {
        const std::string sExpected = "name-" + std::to_string(i * 7919);
        ASSERT_EQ(vInterned[i], sExpected) << i;
        ASSERT_EQ(vInterned[i].size(), sExpected.size());
        ASSERT_EQ(InternedString(sExpected).handle(), vInterned[i].handle()) << i;
    }
    EXPECT_EQ(huge, sHuge);
    EXPECT_EQ(huge.size(), sHuge.size());
    EXPECT_EQ(huge.c_str()[sHuge.size()], '\0');
    EXPECT_EQ(big, sBig);
    EXPECT_EQ(InternedString(sHuge).handle(), huge.handle());
    EXPECT_EQ(InternedString(sBig).handle(), big.handle());
}

TEST(InternedString, ResetForFuzzingStartsThePoolAfresh)
{
    InternedString::resetPoolForFuzzing();
    uint32_t uFirst;
    {
        const InternedString first("first input");
        uFirst = first.handle();
        std::vector<InternedString> vMore;
        for (int i = 0; i < 50000; ++i)
            vMore.emplace_back("entry " + std::to_string(i));
    }
    InternedString::resetPoolForFuzzing();
    // The room of the previous input is used again, and no stale entry answers for a text.
    const InternedString next("next input");
    EXPECT_EQ(next.handle(), uFirst);
    EXPECT_EQ(next, "next input");
    const InternedString again("first input");
    EXPECT_NE(again.handle(), next.handle());
    EXPECT_EQ(again, "first input");
    EXPECT_EQ(InternedString("entry 17"), "entry 17");
    EXPECT_TRUE(InternedString().empty());
}
