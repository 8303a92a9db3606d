#include "rpmdb/RpmHandles.h"
#include "rpmdb/RpmHeader.h"

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <rpm/header.h>

#include <string>
#include <vector>

using testing_support::dependencyTexts;
using testing_support::LogCapture;

namespace
{

// Headers built in memory reach the type rules that rpmbuild never produces.
class HeaderTest : public testing::Test
{
protected:
    HeaderTest() : m_pHeader(headerNew()) {}

    template <typename T> void put(rpmTagVal nTag, rpmTagType nType, std::vector<T> vValues)
    {
        struct rpmtd_s td = {};
        td.tag = nTag;
        td.type = nType;
        td.count = static_cast<rpm_count_t>(vValues.size());
        td.data = vValues.data();
        ASSERT_EQ(headerPut(m_pHeader.get(), &td, HEADERPUT_DEFAULT), 1);
    }
    void putStrings(rpmTagVal nTag, rpmTagType nType, const std::vector<const char*>& vValues)
    {
        if (nType != RPM_STRING_TYPE)
        {
            put(nTag, nType, std::vector<const char*>(vValues));
            return;
        }
        struct rpmtd_s td = {};
        td.tag = nTag;
        td.type = nType;
        td.count = 1;
        td.data = const_cast<char*>(vValues.at(0));
        ASSERT_EQ(headerPut(m_pHeader.get(), &td, HEADERPUT_DEFAULT), 1);
    }

    HeaderPtr m_pHeader;
};

TEST_F(HeaderTest, StringTagMustBeOneString)
{
    putStrings(RPMTAG_NAME, RPM_STRING_TYPE, {"foo"});
    putStrings(RPMTAG_VERSION, RPM_STRING_ARRAY_TYPE, {"1.0"});
    put<uint32_t>(RPMTAG_RELEASE, RPM_INT32_TYPE, {1});

    LogCapture log;
    std::string sValue;
    EXPECT_TRUE(rpmheader::readString(m_pHeader.get(), RPMTAG_NAME, sValue));
    EXPECT_EQ(sValue, "foo");
    EXPECT_FALSE(rpmheader::readString(m_pHeader.get(), RPMTAG_VERSION, sValue));
    EXPECT_FALSE(rpmheader::readString(m_pHeader.get(), RPMTAG_RELEASE, sValue));
    EXPECT_FALSE(rpmheader::readString(m_pHeader.get(), RPMTAG_ARCH, sValue));
    EXPECT_EQ(log.text(), "ERROR: failed retrieving rpm tag 1001 as string\n"
                          "ERROR: failed retrieving rpm tag 1002 as string\n"
                          "ERROR: failed retrieving rpm tag 1022 as string\n");
}

TEST_F(HeaderTest, IntegerTagWidensOneValue)
{
    struct Row
    {
        rpmTagType m_nType;
        uint32_t m_uRaw;
        int m_nExpected;
    };
    const Row rows[] = {
        {RPM_INT8_TYPE, 200, 200},    // 8-bit values are unsigned
        {RPM_INT16_TYPE, 0xffff, -1}, // 16-bit values are signed
        {RPM_INT16_TYPE, 300, 300},   {RPM_INT32_TYPE, 7, 7}, {RPM_INT32_TYPE, 0xfffffffe, -2},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.m_uRaw);
        m_pHeader.reset(headerNew());
        if (row.m_nType == RPM_INT8_TYPE)
            put<uint8_t>(RPMTAG_EPOCH, row.m_nType, {static_cast<uint8_t>(row.m_uRaw)});
        else if (row.m_nType == RPM_INT16_TYPE)
            put<uint16_t>(RPMTAG_EPOCH, row.m_nType, {static_cast<uint16_t>(row.m_uRaw)});
        else
            put<uint32_t>(RPMTAG_EPOCH, row.m_nType, {row.m_uRaw});
        int nValue = 12345;
        EXPECT_TRUE(rpmheader::readInt(m_pHeader.get(), RPMTAG_EPOCH, nValue));
        EXPECT_EQ(nValue, row.m_nExpected);
    }

    m_pHeader.reset(headerNew());
    put<uint32_t>(RPMTAG_EPOCH, RPM_INT32_TYPE, {1, 2});
    putStrings(RPMTAG_SIZE, RPM_STRING_TYPE, {"3"});
    LogCapture log;
    int nValue = 0;
    EXPECT_FALSE(rpmheader::readInt(m_pHeader.get(), RPMTAG_EPOCH, nValue));
    EXPECT_FALSE(rpmheader::readInt(m_pHeader.get(), RPMTAG_SIZE, nValue));
    EXPECT_EQ(log.text(), "ERROR: failed retrieving rpm tag 1003 as int\n"
                          "ERROR: failed retrieving rpm tag 1009 as int\n");
}

TEST_F(HeaderTest, DependencyArraysMustAgree)
{
    LogCapture log;
    DependencySet setDependencies;
    // No dependency tags at all: no entries.
    EXPECT_TRUE(rpmheader::readDependencies(m_pHeader.get(), RPMTAG_REQUIRENAME, setDependencies));
    EXPECT_TRUE(setDependencies.empty());
    EXPECT_FALSE(
        rpmheader::readDependencies(m_pHeader.get(), RPMTAG_OBSOLETENAME, setDependencies));
    EXPECT_EQ(log.text(), "ERROR: unrecognized dependency tag 1090\n");

    // Flags decide what is kept: pre-requisite, scriptlet and rpmlib bits drop an entry.
    putStrings(
        RPMTAG_REQUIRENAME, RPM_STRING_ARRAY_TYPE,
        {"eq", "preeq", "pre", "post", "preun", "postun", "lib", "libname", "any", "verify"});
    put<uint32_t>(RPMTAG_REQUIREFLAGS, RPM_INT32_TYPE,
                  {0x8, 0x48, 0x200, 0x400, 0x800, 0x1000, 0x100000a, 0xa, 0x0, 0x2004});
    putStrings(RPMTAG_REQUIREVERSION, RPM_STRING_ARRAY_TYPE,
               {"1.0", "1", "", "", "", "", "4.0-1", "3", "", "2"});
    log.clear();
    EXPECT_TRUE(rpmheader::readDependencies(m_pHeader.get(), RPMTAG_REQUIRENAME, setDependencies));
    EXPECT_EQ(dependencyTexts(setDependencies),
              (std::vector<std::string>{"any", "eq = 0:1.0", "libname <= 0:3", "verify > 0:2"}));
    EXPECT_EQ(log.text(), "TRACE: eq 1.0 0x8 => eq = 0:1.0\n"
                          "TRACE: libname 3 0xa => libname <= 0:3\n"
                          "TRACE: any  0x0 => any\n"
                          "TRACE: verify 2 0x2004 => verify > 0:2\n");

    struct Broken
    {
        const char* m_pWhat;
        std::vector<const char*> m_vNames;
        rpmTagType m_nNamesType;
        std::vector<uint32_t> m_vFlags;
        rpmTagType m_nFlagsType;
        std::vector<const char*> m_vVersions;
    };
    const std::vector<Broken> broken = {
        {"short flags", {"a", "b"}, RPM_STRING_ARRAY_TYPE, {0}, RPM_INT32_TYPE, {"", ""}},
        {"short versions", {"a", "b"}, RPM_STRING_ARRAY_TYPE, {0, 0}, RPM_INT32_TYPE, {""}},
        {"no versions", {"a"}, RPM_STRING_ARRAY_TYPE, {0}, RPM_INT32_TYPE, {}},
        {"no names", {}, RPM_STRING_ARRAY_TYPE, {0}, RPM_INT32_TYPE, {""}},
        {"names as one string", {"a"}, RPM_STRING_TYPE, {0}, RPM_INT32_TYPE, {""}},
        {"flags as 16 bits", {"a"}, RPM_STRING_ARRAY_TYPE, {0}, RPM_INT16_TYPE, {""}},
    };
    for (const Broken& row : broken)
    {
        SCOPED_TRACE(row.m_pWhat);
        m_pHeader.reset(headerNew());
        if (!row.m_vNames.empty())
            putStrings(RPMTAG_PROVIDENAME, row.m_nNamesType, row.m_vNames);
        if (row.m_nFlagsType == RPM_INT16_TYPE)
            put<uint16_t>(RPMTAG_PROVIDEFLAGS, RPM_INT16_TYPE, {0});
        else
            put<uint32_t>(RPMTAG_PROVIDEFLAGS, RPM_INT32_TYPE, row.m_vFlags);
        if (!row.m_vVersions.empty())
            putStrings(RPMTAG_PROVIDEVERSION, RPM_STRING_ARRAY_TYPE, row.m_vVersions);
        log.clear();
        DependencySet setProvides;
        EXPECT_FALSE(rpmheader::readDependencies(m_pHeader.get(), RPMTAG_PROVIDENAME, setProvides));
        EXPECT_EQ(log.text(), "ERROR: failed retrieving rpm dependencies\n");
    }

    // Rich entries: kept whole among the requires; refused among the provides, with a version,
    // or when librpm cannot parse them.
    m_pHeader.reset(headerNew());
    putStrings(RPMTAG_REQUIRENAME, RPM_STRING_ARRAY_TYPE, {"(a or (b >= 2 with c))", "d"});
    put<uint32_t>(RPMTAG_REQUIREFLAGS, RPM_INT32_TYPE, {0, 0});
    putStrings(RPMTAG_REQUIREVERSION, RPM_STRING_ARRAY_TYPE, {"", ""});
    DependencySet setRequires;
    EXPECT_TRUE(rpmheader::readDependencies(m_pHeader.get(), RPMTAG_REQUIRENAME, setRequires));
    EXPECT_EQ(dependencyTexts(setRequires),
              (std::vector<std::string>{"(a or (b >= 2 with c))", "d"}));
    const struct
    {
        rpmTagVal m_nNameTag, m_nFlagsTag, m_nVersionTag;
        const char* m_pName;
        const char* m_pVersion;
    } refused[] = {
        {RPMTAG_PROVIDENAME, RPMTAG_PROVIDEFLAGS, RPMTAG_PROVIDEVERSION, "(a or b)", ""},
        {RPMTAG_REQUIRENAME, RPMTAG_REQUIREFLAGS, RPMTAG_REQUIREVERSION, "(a or b)", "1.0"},
        {RPMTAG_REQUIRENAME, RPMTAG_REQUIREFLAGS, RPMTAG_REQUIREVERSION, "(a or b and c)", ""},
        {RPMTAG_REQUIRENAME, RPMTAG_REQUIREFLAGS, RPMTAG_REQUIREVERSION, "(a or b", ""},
        {RPMTAG_REQUIRENAME, RPMTAG_REQUIREFLAGS, RPMTAG_REQUIREVERSION, "(a) b", ""},
    };
    for (const auto& row : refused)
    {
        SCOPED_TRACE(row.m_pName);
        m_pHeader.reset(headerNew());
        putStrings(row.m_nNameTag, RPM_STRING_ARRAY_TYPE, {row.m_pName});
        put<uint32_t>(row.m_nFlagsTag, RPM_INT32_TYPE, {0});
        putStrings(row.m_nVersionTag, RPM_STRING_ARRAY_TYPE, {row.m_pVersion});
        log.clear();
        DependencySet setRead;
        EXPECT_FALSE(rpmheader::readDependencies(m_pHeader.get(), row.m_nNameTag, setRead));
        EXPECT_TRUE(log.contains("ERROR: failed retrieving rpm dependencies")) << log.text();
    }
}

} // namespace
