#pragma once

// The text directly inside one element of a document read from libxml2's push parser, and
// the rule for its blank runs (see ElementText.cpp).

#include <libxml/parser.h>

#include <string>
#include <string_view>

// The last two pieces of a document handed to the parser, to look at the bytes a run of
// text was read from.
class RecentInput
{
public:
    // The next piece; the one before stays valid (the caller keeps both alive).
    void add(std::string_view piece);
    // Bytes handed over so far.
    long end() const { return m_nCurrentOffset + static_cast<long>(m_current.size()); }
    // Whether the bytes before offset nEnd are sText; true when they are no longer here.
    bool endsWith(long nEnd, std::string_view sText) const;

private:
    char byteAt(long nOffset) const;

    std::string_view m_previous;
    std::string_view m_current;
    long m_nPreviousOffset = 0;
    long m_nCurrentOffset = 0;
};

class ElementText
{
public:
    // What follows a piece of the element's content.
    enum class Next
    {
        MARKUP,
        END_TAG,
        TEXT,
    };

    // `input` holds what was handed to the document's parser.
    explicit ElementText(const RecentInput& input) : m_input(input) {}
    // The parser of the document (not of an entity's text).
    void setDocument(xmlParserCtxtPtr pDocument) { m_pDocument = pDocument; }

    // A new element: nSpace its xml:space (1 "preserve", 0 "default", -1 none), nDeclared
    // the content the DTD declares for it (XML_ELEMENT_TYPE_*, -1 none).
    void begin(int nSpace, int nDeclared);
    // Character data reported by the parser pContext (the document's, or one of an
    // entity's text); bCdata for a CDATA section.
    void add(const void* pContext, std::string_view sText, bool bCdata);
    // An element, comment or processing instruction starts directly inside the element
    // (MARKUP), or its end tag is read (END_TAG).
    void markup(const void* pContext, Next next);
    const std::string& text() const { return m_sText; }

private:
    static constexpr int SPACE_PRESERVE = 1;
    static constexpr int SPACE_NONE = -1;
    // libxml2's mark for "blank text kept once": blanks are text from then on.
    static constexpr int SPACE_KEPT = -2;

    void append(std::string_view sText);
    void decidePending(Next next);

    const RecentInput& m_input;
    xmlParserCtxtPtr m_pDocument = nullptr;
    std::string m_sText;
    // A run of blanks waiting for what follows it, and the parser that reported it.
    std::string m_sPending;
    const void* m_pPendingContext = nullptr;
    int m_nDeclared = -1;
    int m_nSpace = SPACE_NONE;
    bool m_bHasChild = false;
    bool m_bFirstChildText = false;
    bool m_bLastChildText = false;
};
