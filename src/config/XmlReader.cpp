#include "config/XmlReader.h"

#include "base/Logger.h"

#include <libxml/parserInternals.h>

#include <climits>

namespace
{

const char* text(const xmlChar* pText)
{
    return pText != nullptr ? reinterpret_cast<const char*>(pText) : "";
}

void logReaderError(void* pArg, xmlErrorPtr pError) noexcept
{
    logXmlError(*static_cast<const std::string*>(pArg), pError);
}

} // namespace

void logXmlError(const std::string& sPath, const xmlError* pError)
{
    const std::string sText = xmlErrorText(sPath, pError);
    if (!sText.empty())
        logMessage(ERROR, "%s", sText.c_str());
}

std::string xmlErrorText(const std::string& sPath, const xmlError* pError)
{
    if (pError == nullptr || pError->level < XML_ERR_ERROR)
        return std::string();
    std::string sMessage = pError->message != nullptr ? pError->message : "unknown error";
    while (!sMessage.empty() && (sMessage.back() == '\n' || sMessage.back() == ' '))
        sMessage.pop_back();
    return "XML error in '" + std::string(pError->file != nullptr ? pError->file : sPath.c_str()) +
           "' line " + std::to_string(pError->line) + ": " + sMessage;
}

bool XmlReader::open(const std::string& sPath)
{
    m_pReader.reset();
    m_sPath = sPath;
    m_pReader.reset(xmlReaderForFile(sPath.c_str(), nullptr, XML_READER_OPTIONS));
    if (!m_pReader)
        return false;
    setUp();
    return true;
}

bool XmlReader::openMemory(const std::string& sBuffer, const std::string& sName)
{
    m_pReader.reset();
    m_sPath = sName;
    // libxml2 takes the length as an int: a larger buffer would be read cut short.
    if (sBuffer.size() > static_cast<std::size_t>(INT_MAX))
    {
        logMessage(ERROR, "XML document '%s' too large (%zu bytes)", sName.c_str(), sBuffer.size());
        return false;
    }
    m_pReader.reset(xmlReaderForMemory(sBuffer.data(), static_cast<int>(sBuffer.size()),
                                       sName.c_str(), nullptr, XML_READER_OPTIONS));
    if (!m_pReader)
        return false;
    setUp();
    return true;
}

void XmlReader::setUp()
{
    xmlTextReaderSetStructuredErrorHandler(m_pReader.get(), logReaderError, &m_sPath);
}

int XmlReader::read()
{
    return m_pReader ? xmlTextReaderRead(m_pReader.get()) : -1;
}

int XmlReader::next()
{
    return m_pReader ? xmlTextReaderNext(m_pReader.get()) : -1;
}

int XmlReader::nodeType() const
{
    return xmlTextReaderNodeType(m_pReader.get());
}

int XmlReader::depth() const
{
    return xmlTextReaderDepth(m_pReader.get());
}

std::string XmlReader::name() const
{
    return text(xmlTextReaderConstName(m_pReader.get()));
}

std::string XmlReader::localName() const
{
    return text(xmlTextReaderConstLocalName(m_pReader.get()));
}

std::string XmlReader::namespaceUri() const
{
    return text(xmlTextReaderConstNamespaceUri(m_pReader.get()));
}

int XmlReader::lineNumber() const
{
    xmlNodePtr pNode = xmlTextReaderCurrentNode(m_pReader.get());
    if (pNode != nullptr)
        return static_cast<int>(xmlGetLineNo(pNode));
    return xmlTextReaderGetParserLineNumber(m_pReader.get());
}

xmlNodePtr XmlReader::expand()
{
    return m_pReader ? xmlTextReaderExpand(m_pReader.get()) : nullptr;
}

const xmlChar* plainAttributeValue(xmlNodePtr pElement, const char* pName)
{
    // The attribute without namespace that xmlGetNoNsProp would find first; its value is
    // read in place when it is one text node, as it nearly always is.
    for (xmlAttrPtr pAttr = pElement->properties; pAttr != nullptr; pAttr = pAttr->next)
    {
        if (pAttr->ns != nullptr ||
            !xmlStrEqual(pAttr->name, reinterpret_cast<const xmlChar*>(pName)))
            continue;
        const xmlNode* pValue = pAttr->children;
        if (pValue != nullptr && pValue->next == nullptr && pValue->type == XML_TEXT_NODE &&
            pValue->content != nullptr)
            return pValue->content;
        return nullptr;
    }
    return nullptr;
}

namespace
{

// Text of libxml2 goes straight into either kind of string.
template <typename String>
bool readAttributeInto(xmlNodePtr pElement, const char* pName, String& sOut, bool bLogMissing)
{
    if (const xmlChar* pPlain = plainAttributeValue(pElement, pName))
    {
        sOut = text(pPlain);
        return true;
    }
    XmlStringHandle pValue(xmlGetNoNsProp(pElement, reinterpret_cast<const xmlChar*>(pName)));
    if (!pValue)
    {
        if (bLogMissing)
            logMessage(DEBUG, "no attribute '%s' for node '%s'", pName, text(pElement->name));
        return false;
    }
    sOut = text(pValue.get());
    return true;
}

template <typename String> bool readTextInto(xmlNodePtr pElement, String& sOut)
{
    // One non-empty text node is read in place; anything else takes the general way.
    const xmlNode* pChild = pElement->children;
    if (pChild != nullptr && pChild->next == nullptr && pChild->type == XML_TEXT_NODE &&
        pChild->content != nullptr && *pChild->content != '\0')
    {
        sOut = text(pChild->content);
        return true;
    }
    XmlStringHandle pValue(xmlNodeListGetString(pElement->doc, pElement->children, 1));
    if (!pValue || *pValue == '\0')
    {
        logMessage(DEBUG, "no string list for node '%s'", text(pElement->name));
        return false;
    }
    sOut = text(pValue.get());
    return true;
}

} // namespace

bool getAttribute(xmlNodePtr pElement, const char* pName, std::string& sOut)
{
    return readAttributeInto(pElement, pName, sOut, true);
}

bool getAttribute(xmlNodePtr pElement, const char* pName, InternedString& sOut)
{
    return readAttributeInto(pElement, pName, sOut, true);
}

bool readAttribute(xmlNodePtr pElement, const char* pName, std::string& sOut)
{
    return readAttributeInto(pElement, pName, sOut, false);
}

bool getText(xmlNodePtr pElement, std::string& sOut)
{
    return readTextInto(pElement, sOut);
}

bool getText(xmlNodePtr pElement, InternedString& sOut)
{
    return readTextInto(pElement, sOut);
}

std::string qualifiedName(xmlNodePtr pNode)
{
    std::string sName;
    if (pNode->ns != nullptr && pNode->ns->prefix != nullptr)
    {
        sName = text(pNode->ns->prefix);
        sName += ':';
    }
    sName += text(pNode->name);
    return sName;
}

bool hasQualifiedName(xmlNodePtr pNode, const char* pName)
{
    return pNode != nullptr && pNode->type == XML_ELEMENT_NODE && qualifiedName(pNode) == pName;
}

bool hasName(xmlNodePtr pNode, const char* pNamespaceUri, const char* pLocalName)
{
    if (pNode == nullptr || pNode->type != XML_ELEMENT_NODE ||
        !xmlStrEqual(pNode->name, reinterpret_cast<const xmlChar*>(pLocalName)))
        return false;
    const xmlChar* pHref = pNode->ns != nullptr ? pNode->ns->href : nullptr;
    if (pNamespaceUri == nullptr || pHref == nullptr)
        return pNamespaceUri == nullptr && pHref == nullptr;
    return xmlStrEqual(pHref, reinterpret_cast<const xmlChar*>(pNamespaceUri)) != 0;
}

bool sameNamespace(xmlNodePtr pNode, xmlNodePtr pOther)
{
    const xmlChar* pHref = pNode->ns != nullptr ? pNode->ns->href : nullptr;
    const xmlChar* pOtherHref = pOther->ns != nullptr ? pOther->ns->href : nullptr;
    if (pHref == nullptr || pOtherHref == nullptr)
        return pHref == pOtherHref;
    return xmlStrEqual(pHref, pOtherHref) != 0;
}
