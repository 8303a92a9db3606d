#include "config/XmlReader.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <zlib.h>

using namespace testing_support;

namespace
{

// Reads the document and returns the first element named sName, expanded, or nullptr.
xmlNodePtr findElement(XmlReader& reader, const std::string& sName)
{
    while (reader.read() == 1)
    {
        if (reader.isElement() && reader.name() == sName)
            return reader.expand();
    }
    return nullptr;
}

} // namespace

TEST(XmlReaderTest, MissingFileFailsToOpenSilently)
{
    TempDir dir;
    LogCapture log;
    XmlReader reader;
    EXPECT_FALSE(reader.open(dir.file("missing.xml")));
    EXPECT_FALSE(reader.isOpen());
    EXPECT_EQ(reader.read(), -1);
}

TEST(XmlReaderTest, ReadsElementsWithDepthAndNames)
{
    TempDir dir;
    writeFile(dir.file("a.xml"),
              "<?xml version=\"1.0\"?>\n<top xmlns:p=\"urn:x\">\n  <p:child a=\"1\"/>\n</top>\n");
    XmlReader reader;
    ASSERT_TRUE(reader.open(dir.file("a.xml")));
    ASSERT_EQ(reader.read(), 1);
    EXPECT_EQ(reader.name(), "top");
    EXPECT_EQ(reader.depth(), 0);
    ASSERT_EQ(reader.read(), 1);
    EXPECT_EQ(reader.name(), "p:child");
    EXPECT_EQ(reader.localName(), "child");
    EXPECT_EQ(reader.namespaceUri(), "urn:x");
    EXPECT_EQ(reader.depth(), 1);
    EXPECT_EQ(reader.lineNumber(), 3);
    xmlNodePtr pNode = reader.expand();
    ASSERT_NE(pNode, nullptr);
    EXPECT_EQ(qualifiedName(pNode), "p:child");
    EXPECT_TRUE(hasQualifiedName(pNode, "p:child"));
    EXPECT_FALSE(hasQualifiedName(pNode, "child"));
    // Blank text between elements is dropped (XML_PARSE_NOBLANKS): the end tag comes next.
    ASSERT_EQ(reader.read(), 1);
    EXPECT_EQ(reader.nodeType(), XML_READER_TYPE_END_ELEMENT);
    EXPECT_EQ(reader.read(), 0);
}

TEST(XmlReaderTest, MalformedDocumentGivesReadErrorAndLogsIt)
{
    TempDir dir;
    writeFile(dir.file("bad.xml"), "<top>\n<a></b>\n</top>\n");
    LogCapture log;
    XmlReader reader;
    ASSERT_TRUE(reader.open(dir.file("bad.xml")));
    int nResult = 1;
    while (nResult == 1)
        nResult = reader.read();
    EXPECT_EQ(nResult, -1);
    EXPECT_TRUE(log.contains("ERROR: XML error in '" + dir.file("bad.xml") + "' line 2"))
        << log.text();
}

TEST(XmlReaderTest, ReadsGzipCompressedFile)
{
    TempDir dir;
    const std::string sXml = "<top><name>gz</name></top>";
    gzFile pFile = gzopen(dir.file("a.xml.gz").c_str(), "wb");
    ASSERT_NE(pFile, nullptr);
    ASSERT_EQ(gzwrite(pFile, sXml.data(), static_cast<unsigned>(sXml.size())),
              static_cast<int>(sXml.size()));
    gzclose(pFile);
    XmlReader reader;
    ASSERT_TRUE(reader.open(dir.file("a.xml.gz")));
    xmlNodePtr pName = findElement(reader, "name");
    ASSERT_NE(pName, nullptr);
    std::string sText;
    EXPECT_TRUE(getText(pName, sText));
    EXPECT_EQ(sText, "gz");
}

TEST(XmlReaderTest, GetAttributeIgnoresNamespacedAttributes)
{
    std::string sXml = "<top xmlns:p=\"urn:x\"><e a=\"plain\" p:b=\"ns\" empty=\"\"/></top>";
    LogCapture log;
    XmlReader reader;
    ASSERT_TRUE(reader.openMemory(sXml, "mem.xml"));
    xmlNodePtr pNode = findElement(reader, "e");
    ASSERT_NE(pNode, nullptr);
    std::string sValue = "untouched";
    EXPECT_TRUE(getAttribute(pNode, "a", sValue));
    EXPECT_EQ(sValue, "plain");
    EXPECT_TRUE(getAttribute(pNode, "empty", sValue));
    EXPECT_EQ(sValue, "");
    sValue = "untouched";
    EXPECT_FALSE(getAttribute(pNode, "b", sValue));
    EXPECT_EQ(sValue, "untouched");
    EXPECT_TRUE(log.contains("DEBUG: no attribute 'b' for node 'e'")) << log.text();
}

TEST(XmlReaderTest, GetTextTable)
{
    struct Row
    {
        const char* pBody;
        bool bOk;
        const char* pText;
    };
    const Row rows[] = {
        {"<e>abc</e>", true, "abc"},
        {"<e>a&amp;b&lt;</e>", true, "a&b<"},
        {"<e>&ent;!</e>", true, "internal!"},
        {"<e><![CDATA[x<y]]></e>", true, "x<y"},
        {"<e>ab<!-- c -->cd</e>", true, "abcd"},
        {"<e>  </e>", true, "  "},
        {"<e/>", false, ""},
        {"<e></e>", false, ""},
        {"<e><!-- only --></e>", false, ""},
        {"<e>&none;</e>", false, ""},
    };
    for (const Row& row : rows)
    {
        std::string sXml =
            std::string("<!DOCTYPE top [<!ENTITY ent \"internal\"><!ENTITY none \"\">]><top>") +
            row.pBody + "</top>";
        LogCapture log;
        XmlReader reader;
        ASSERT_TRUE(reader.openMemory(sXml, "mem.xml"));
        xmlNodePtr pNode = findElement(reader, "e");
        ASSERT_NE(pNode, nullptr) << row.pBody;
        std::string sText;
        EXPECT_EQ(getText(pNode, sText), row.bOk) << row.pBody;
        EXPECT_EQ(sText, row.pText) << row.pBody;
        EXPECT_EQ(log.contains("DEBUG: no string list for node 'e'"), !row.bOk)
            << row.pBody << log.text();
    }
}

// The device's own files are trusted: their external entities and DTDs are read.
TEST(XmlReaderTest, TrustedFilesLoadExternalEntities)
{
    TempDir dir;
    writeFile(dir.file("part"), "PART");
    writeFile(dir.file("ext.dtd"), "<!ATTLIST e d CDATA \"dflt\">");
    writeFile(dir.file("a.xml"), "<!DOCTYPE top SYSTEM \"" + dir.file("ext.dtd") +
                                     "\" [<!ENTITY part SYSTEM \"file://" + dir.file("part") +
                                     "\">]>\n<top><e>x&part;y</e></top>\n");
    LogCapture log;
    XmlReader reader;
    ASSERT_TRUE(reader.open(dir.file("a.xml")));
    std::string sText, sDefault;
    while (reader.read() == 1)
    {
        if (reader.isElement() && reader.name() == "e")
        {
            xmlNodePtr pNode = reader.expand();
            ASSERT_NE(pNode, nullptr);
            EXPECT_TRUE(getText(pNode, sText));
            EXPECT_TRUE(getAttribute(pNode, "d", sDefault));
        }
    }
    EXPECT_EQ(sText, "xPARTy");
    EXPECT_EQ(sDefault, "dflt");
}

TEST(XmlReaderTest, SameNamespace)
{
    std::string sXml = "<top xmlns:a=\"urn:a\" xmlns:b=\"urn:a\" "
                       "xmlns:c=\"urn:c\"><x/><a:y/><b:z/><c:w/><v/></top>";
    XmlReader reader;
    ASSERT_TRUE(reader.openMemory(sXml, "mem.xml"));
    xmlNodePtr pTop = findElement(reader, "top");
    ASSERT_NE(pTop, nullptr);
    xmlNodePtr pX = xmlFirstElementChild(pTop);
    xmlNodePtr pY = xmlNextElementSibling(pX);
    xmlNodePtr pZ = xmlNextElementSibling(pY);
    xmlNodePtr pW = xmlNextElementSibling(pZ);
    xmlNodePtr pV = xmlNextElementSibling(pW);
    EXPECT_TRUE(sameNamespace(pX, pV));
    EXPECT_TRUE(sameNamespace(pY, pZ));
    EXPECT_FALSE(sameNamespace(pX, pY));
    EXPECT_FALSE(sameNamespace(pY, pW));

    EXPECT_TRUE(hasName(pX, nullptr, "x"));
    EXPECT_FALSE(hasName(pX, "urn:a", "x"));
    EXPECT_TRUE(hasName(pY, "urn:a", "y"));
    EXPECT_TRUE(hasName(pZ, "urn:a", "z"));
    EXPECT_FALSE(hasName(pZ, nullptr, "z"));
    EXPECT_FALSE(hasName(pZ, "urn:a", "b:z"));
    EXPECT_FALSE(hasName(pW, "urn:a", "w"));
}
