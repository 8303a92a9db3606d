#pragma once

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlreader.h>

#include "base/InternedString.h"

#include <memory>
#include <string>

// The parser options every XML file of the updater is read with: entities substituted,
// default attributes from the DTD, no warnings, no blank text nodes, no network access,
// CDATA sections as plain text.
inline constexpr int XML_READER_OPTIONS = XML_PARSE_NOENT | XML_PARSE_DTDATTR |
                                          XML_PARSE_NOWARNING | XML_PARSE_NOBLANKS |
                                          XML_PARSE_NONET | XML_PARSE_NOCDATA;

struct XmlTextReaderFree
{
    void operator()(xmlTextReaderPtr pReader) const noexcept { xmlFreeTextReader(pReader); }
};
using XmlTextReaderHandle = std::unique_ptr<xmlTextReader, XmlTextReaderFree>;

struct XmlDocFree
{
    void operator()(xmlDocPtr pDoc) const noexcept { xmlFreeDoc(pDoc); }
};
using XmlDocHandle = std::unique_ptr<xmlDoc, XmlDocFree>;

// Strings that libxml2 allocates (xmlGetNoNsProp, xmlNodeListGetString, ...).
struct XmlStringFree
{
    void operator()(xmlChar* pString) const noexcept { xmlFree(pString); }
};
using XmlStringHandle = std::unique_ptr<xmlChar, XmlStringFree>;

// A streaming reader over one XML document, opened with XML_READER_OPTIONS. It loads
// external entities like any libxml2 reader: the device's own files are trusted, and
// readers of data from outside refuse them in a scope of their own. Parser errors
// are logged (ERROR "XML error in '%s' line %d: %s") instead of going to standard error.
class XmlReader
{
public:
    XmlReader() = default;
    XmlReader(const XmlReader&) = delete;
    XmlReader& operator=(const XmlReader&) = delete;

    // Opens a file; gzip-compressed files are decompressed transparently. False when the
    // file cannot be opened; nothing is logged, the caller names the file in its message.
    [[nodiscard]] bool open(const std::string& sPath);
    // Reads a document held in memory; the buffer must outlive the reader. sName names it
    // in error messages and is its base URI.
    [[nodiscard]] bool openMemory(const std::string& sBuffer, const std::string& sName);

    bool isOpen() const { return m_pReader != nullptr; }

    // xmlTextReaderRead: 1 a node was read, 0 end of document, -1 error.
    [[nodiscard]] int read();
    // xmlTextReaderNext: skips the current node's subtree; same results as read().
    [[nodiscard]] int next();

    // Of the current node.
    int nodeType() const; // xmlReaderTypes (XML_READER_TYPE_ELEMENT, ...)
    int depth() const;    // 0 for the top element
    bool isElement() const { return nodeType() == XML_READER_TYPE_ELEMENT; }
    std::string name() const; // qualified name, "prefix:local" or "local"
    std::string localName() const;
    std::string namespaceUri() const; // empty without namespace
    int lineNumber() const;           // line of the current node in the document

    // Expands the current node into a tree (xmlTextReaderExpand). The tree belongs to the
    // reader and is valid until the reader moves past the node. nullptr on failure.
    xmlNodePtr expand();

    xmlTextReaderPtr get() const { return m_pReader.get(); }
    const std::string& path() const { return m_sPath; }

private:
    void setUp();

    XmlTextReaderHandle m_pReader;
    std::string m_sPath;
};

// Logs a parser error of the document sPath (ERROR "XML error in '%s' line %d: %s");
// warnings are left out.
void logXmlError(const std::string& sPath, const xmlError* pError);
// The text logXmlError logs at level ERROR; empty for a warning.
std::string xmlErrorText(const std::string& sPath, const xmlError* pError);

// Copies the attribute sName (without namespace) of an element into sOut. False, with
// DEBUG "no attribute '%s' for node '%s'", when the element has no such attribute.
[[nodiscard]] bool getAttribute(xmlNodePtr pElement, const char* pName, std::string& sOut);
[[nodiscard]] bool getAttribute(xmlNodePtr pElement, const char* pName, InternedString& sOut);
// As getAttribute, but a missing attribute is not logged: for attributes whose absence the
// caller reports in its own words.
[[nodiscard]] bool readAttribute(xmlNodePtr pElement, const char* pName, std::string& sOut);

// The value of the attribute sName (without namespace) when it is held as one text node,
// read in place (valid while the element lives); nullptr otherwise, also when there is no
// such attribute: getAttribute then takes the general way.
const xmlChar* plainAttributeValue(xmlNodePtr pElement, const char* pName);

// Copies the text of an element (its text content, entities substituted) into sOut.
// False, with DEBUG "no string list for node '%s'", when the element has no text.
[[nodiscard]] bool getText(xmlNodePtr pElement, std::string& sOut);
[[nodiscard]] bool getText(xmlNodePtr pElement, InternedString& sOut);

// Qualified name of a node, "prefix:local" or "local".
std::string qualifiedName(xmlNodePtr pNode);

// True when pNode is an element with the qualified name pName.
bool hasQualifiedName(xmlNodePtr pNode, const char* pName);

// True when pNode is an element with the local name pLocalName in the namespace
// pNamespaceUri (nullptr: in no namespace).
bool hasName(xmlNodePtr pNode, const char* pNamespaceUri, const char* pLocalName);

// True when both nodes are in the same namespace (or both in none).
bool sameNamespace(xmlNodePtr pNode, xmlNodePtr pOther);
