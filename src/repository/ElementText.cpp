// The text directly inside one element, and the rule for its blank runs.

#include "repository/ElementText.h"

#include <algorithm>

namespace
{

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isBlank(std::string_view sText)
{
    return std::all_of(sText.begin(), sText.end(), [](char c) { return isBlank(c); });
}

} // namespace

void RecentInput::add(std::string_view piece)
{
    m_nPreviousOffset = m_nCurrentOffset;
    m_previous = m_current;
    m_nCurrentOffset += static_cast<long>(m_current.size());
    m_current = piece;
}

bool RecentInput::endsWith(long nEnd, std::string_view sText) const
{
    const long nStart = nEnd - static_cast<long>(sText.size());
    if (nStart < m_nPreviousOffset || nEnd > end())
        return true;
    for (std::size_t i = 0; i < sText.size(); ++i)
    {
        if (byteAt(nStart + static_cast<long>(i)) != sText[i])
            return false;
    }
    return true;
}

char RecentInput::byteAt(long nOffset) const
{
    return nOffset >= m_nCurrentOffset
               ? m_current[static_cast<std::size_t>(nOffset - m_nCurrentOffset)]
               : m_previous[static_cast<std::size_t>(nOffset - m_nPreviousOffset)];
}

// Blank text. The texts read are the character data directly inside their elements, and
// a run of blanks (space, tab, line end) in them is taken for indentation and dropped as a
// tree built with the same parser options drops it:
// - a run is what the document holds between two pieces of markup or references; blanks
//   from a character reference or a CDATA section, or from an entity's text followed by
//   the end of that text, are text;
// - under xml:space="preserve", or once the element has kept text that begins with a
//   blank, blanks are text; a DTD declaring the element with mixed content (or text only,
//   ANY, EMPTY) keeps them, one declaring element content drops them;
// - otherwise a run followed by markup is dropped when the element has no child yet
//   (unless the markup is its end tag), or when neither its first child nor the child
//   before the run is text; a run followed by a reference or other text is kept.
// Children are kept text, CDATA, elements, comments and processing instructions. The
// decision about a run waits for what follows it, so it does not depend on where the
// parser's input was cut into pieces.
void ElementText::begin(int nSpace, int nDeclared)
{
    m_sText.clear();
    m_sPending.clear();
    m_pPendingContext = nullptr;
    m_bHasChild = m_bFirstChildText = m_bLastChildText = false;
    m_nSpace = nSpace;
    m_nDeclared = nDeclared;
}

void ElementText::add(const void* pContext, std::string_view sText, bool bCdata)
{
    if (m_pPendingContext != nullptr && pContext != m_pPendingContext)
        decidePending(Next::TEXT);
    if (bCdata)
    {
        decidePending(Next::MARKUP);
        append(sText);
        return;
    }
    // Only a run written as it stands in the document can be indentation: a character
    // reference or a line end the parser normalised reads differently in the input. The
    // text of an entity is taken as written.
    const bool bCandidate =
        m_nSpace != SPACE_PRESERVE && m_nSpace != SPACE_KEPT && isBlank(sText) &&
        (pContext != m_pDocument || m_input.endsWith(xmlByteConsumed(m_pDocument), sText));
    if (!bCandidate || m_nDeclared == XML_ELEMENT_TYPE_MIXED ||
        m_nDeclared == XML_ELEMENT_TYPE_ANY || m_nDeclared == XML_ELEMENT_TYPE_EMPTY)
    {
        decidePending(Next::TEXT);
        append(sText);
        return;
    }
    if (m_nDeclared == XML_ELEMENT_TYPE_ELEMENT)
        return;
    m_sPending.append(sText);
    m_pPendingContext = pContext;
}

void ElementText::markup(const void* pContext, Next next)
{
    if (m_pPendingContext != nullptr && pContext != m_pPendingContext)
        decidePending(Next::TEXT);
    decidePending(next);
    if (next == Next::MARKUP)
    {
        m_bHasChild = true;
        m_bLastChildText = false;
    }
}

void ElementText::append(std::string_view sText)
{
    if (sText.empty())
        return;
    m_sText.append(sText);
    if (m_nSpace == SPACE_NONE && isBlank(sText[0]))
        m_nSpace = SPACE_KEPT;
    if (!m_bHasChild)
        m_bFirstChildText = true;
    m_bHasChild = true;
    m_bLastChildText = true;
}

void ElementText::decidePending(Next next)
{
    if (m_sPending.empty())
        return;
    bool bDrop = false;
    if (next == Next::TEXT)
        bDrop = false;
    else if (!m_bHasChild)
        bDrop = next != Next::END_TAG;
    else
        bDrop = !m_bLastChildText && !m_bFirstChildText;
    m_pPendingContext = nullptr;
    if (!bDrop)
        append(m_sPending);
    m_sPending.clear();
}
