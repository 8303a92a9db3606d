// Reading the package list ("primary") of a repository.
//
// The list is the largest file the updater reads (tens of thousands of packages, over a
// hundred megabytes uncompressed), so it is read from the events of libxml2's push parser
// with the same parser options as every other XML file: no node tree is built, and each
// package element becomes one record as its end tag is read.
//
// The reader is a table of states. Each open element has a state; a row of TRANSITIONS says
// that in state P an element E of namespace N opens state S, and whether the text directly
// inside it is collected. An element no row names opens OUTSIDE (outside a package, where
// packages may still follow) or SKIP (everything below it is left alone). A few states do
// something as they open (take attributes, check for a repeated element) or close (take
// the collected text, finish the record); that is all the per-element code there is.
// A malformed package fails the whole list once its end tag has been read, so that a
// well-formedness error inside it is still reported by the parser first.

#include "repository/PackageListReader.h"

#include "repository/ElementText.h"
#include "repository/MetadataXml.h"
#include "repository/ReadAhead.h"
#include "repository/Repository.h"

#include "base/Checksum.h"
#include "base/FileUtil.h"
#include "base/Logger.h"
#include "base/RichDependency.h"
#include "config/XmlReader.h"

#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <rpm/rpmlib.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace
{

constexpr std::string_view RPMLIB_PREFIX = "rpmlib(";
// Uncompressed bytes of a package list beyond which it is refused: a small compressed
// file must not be able to make the list outgrow the device's memory.
constexpr long MAX_PRIMARY_CONTENT = static_cast<long>(MAX_UNCOMPRESSED_SIZE);
// Element nesting beyond which the list is refused, as libxml2 refuses it in the index:
// the parser keeps a few words per open element, and a small compressed file can open
// millions of them.
constexpr int MAX_PRIMARY_DEPTH = 256;
// A parse that logs more than this (tracing) is not kept for reuse.
constexpr std::size_t MAX_RECORDED_MESSAGES = 10000;

enum class State : unsigned char
{
    START,
    METADATA,
    // An element outside any package that the reader does not know; packages below it count.
    OUTSIDE,
    PACKAGE,
    // A package of another type, or a failed one: nothing in it is looked at.
    IGNORED,
    // Anything below an element the reader does not know, inside a package.
    SKIP,
    NAME,
    ARCH,
    VERSION,
    CHECKSUM,
    LOCATION,
    SIZE,
    FORMAT,
    // A format element without the rpm namespace in scope: its children are not read.
    FOREIGN_FORMAT,
    GROUP,
    PROVIDES,
    REQUIRES,
    OBSOLETES,
    ENTRY,
};

struct Transition
{
    State m_parent;
    const char* m_pNamespace;
    const char* m_pElement;
    State m_state;
    bool m_bText;
};

const Transition TRANSITIONS[] = {
    {State::START, COMMON_METADATA_NS, "metadata", State::METADATA, false},
    {State::METADATA, COMMON_METADATA_NS, "package", State::PACKAGE, false},
    {State::OUTSIDE, COMMON_METADATA_NS, "package", State::PACKAGE, false},
    {State::PACKAGE, COMMON_METADATA_NS, "name", State::NAME, true},
    {State::PACKAGE, COMMON_METADATA_NS, "arch", State::ARCH, true},
    {State::PACKAGE, COMMON_METADATA_NS, "version", State::VERSION, false},
    {State::PACKAGE, COMMON_METADATA_NS, "checksum", State::CHECKSUM, true},
    {State::PACKAGE, COMMON_METADATA_NS, "location", State::LOCATION, false},
    {State::PACKAGE, COMMON_METADATA_NS, "size", State::SIZE, false},
    {State::PACKAGE, COMMON_METADATA_NS, "format", State::FORMAT, false},
    {State::FORMAT, RPM_METADATA_NS, "group", State::GROUP, true},
    {State::FORMAT, RPM_METADATA_NS, "provides", State::PROVIDES, false},
    {State::FORMAT, RPM_METADATA_NS, "requires", State::REQUIRES, false},
    {State::FORMAT, RPM_METADATA_NS, "obsoletes", State::OBSOLETES, false},
    {State::PROVIDES, RPM_METADATA_NS, "entry", State::ENTRY, false},
    {State::REQUIRES, RPM_METADATA_NS, "entry", State::ENTRY, false},
    {State::OBSOLETES, RPM_METADATA_NS, "entry", State::ENTRY, false},
};

const char* text(const xmlChar* pText)
{
    return pText != nullptr ? reinterpret_cast<const char*>(pText) : "";
}

bool equals(const xmlChar* pText, const char* pOther)
{
    return pText != nullptr && std::strcmp(reinterpret_cast<const char*>(pText), pOther) == 0;
}

// Epochs are decimal, whole-text, not negative and below INT_MAX (which is what an
// overflowing conversion yields).
bool convertEpoch(std::string_view sText, int& nEpoch)
{
    if (sText.empty())
        return false;
    const std::string sCopy(sText);
    errno = 0;
    char* pEnd = nullptr;
    const long nValue = std::strtol(sCopy.c_str(), &pEnd, 10);
    if (pEnd == sCopy.c_str() || *pEnd != '\0' || errno == ERANGE || nValue < 0 ||
        nValue >= INT_MAX)
        return false;
    nEpoch = static_cast<int>(nValue);
    return true;
}

bool convertSize(std::string_view sText, uint64_t& uSize)
{
    if (sText.empty() || sText[0] < '0' || sText[0] > '9')
        return false;
    const std::string sCopy(sText);
    errno = 0;
    char* pEnd = nullptr;
    const unsigned long long uValue = std::strtoull(sCopy.c_str(), &pEnd, 10);
    if (*pEnd != '\0' || errno == ERANGE || uValue == 0)
        return false;
    uSize = uValue;
    return true;
}

bool mapFlags(std::string_view sWord, int& nFlags)
{
    static const struct
    {
        std::string_view m_sWord;
        int m_nFlags;
    } FLAG_WORDS[] = {
        {"EQ", RPMSENSE_EQUAL},
        {"LT", RPMSENSE_LESS},
        {"GT", RPMSENSE_GREATER},
        {"LE", RPMSENSE_LESS | RPMSENSE_EQUAL},
        {"GE", RPMSENSE_GREATER | RPMSENSE_EQUAL},
    };
    for (const auto& flagWord : FLAG_WORDS)
    {
        if (sWord == flagWord.m_sWord)
        {
            nFlags = flagWord.m_nFlags;
            return true;
        }
    }
    return false;
}

// The attributes of an element as the parser reports its start: five pointers each (local
// name, prefix, namespace URI, start and end of the value, entities substituted and DTD
// defaults last).
class ElementAttributes
{
public:
    ElementAttributes(const xmlChar* pElementName, const xmlChar** ppAttributes, int nCount,
                      RecordedLog& log)
        : m_pElementName(pElementName), m_ppAttributes(ppAttributes), m_nCount(nCount), m_log(log)
    {
    }

    // The value of the attribute without namespace, silently false when there is none.
    bool read(const char* pName, std::string_view& sValue) const
    {
        for (int i = 0; i < m_nCount; ++i)
        {
            const xmlChar** ppAttribute = m_ppAttributes + 5 * i;
            if (ppAttribute[2] == nullptr && equals(ppAttribute[0], pName))
            {
                sValue = value(ppAttribute);
                return true;
            }
        }
        return false;
    }

    bool has(const char* pName) const
    {
        std::string_view sIgnored;
        return read(pName, sIgnored);
    }

    // As read(), with DEBUG "no attribute '%s' for node '%s'" when it is missing.
    bool get(const char* pName, std::string_view& sValue) const
    {
        if (read(pName, sValue))
            return true;
        m_log.log(DEBUG, "no attribute '%s' for node '%s'", pName, text(m_pElementName));
        return false;
    }

    // The value of an xml:space attribute written on the element (not a DTD default): 1
    // "preserve", 0 "default"; false when there is none or its value is neither.
    bool space(int nDefaulted, int& nSpace) const
    {
        for (int i = 0; i < m_nCount - nDefaulted; ++i)
        {
            const xmlChar** ppAttribute = m_ppAttributes + 5 * i;
            if (ppAttribute[1] == nullptr || !equals(ppAttribute[1], "xml") ||
                !equals(ppAttribute[0], "space"))
                continue;
            const std::string_view sValue = value(ppAttribute);
            if (sValue == "preserve" || sValue == "default")
            {
                nSpace = sValue == "preserve" ? 1 : 0;
                return true;
            }
        }
        return false;
    }

    RecordedLog& log() const { return m_log; }

private:
    static std::string_view value(const xmlChar** ppAttribute)
    {
        return std::string_view(reinterpret_cast<const char*>(ppAttribute[3]),
                                static_cast<std::size_t>(ppAttribute[4] - ppAttribute[3]));
    }

    const xmlChar* m_pElementName;
    const xmlChar** m_ppAttributes;
    int m_nCount;
    RecordedLog& m_log;
};

// Reads epoch, ver and rel of a version element or a versioned entry.
bool parseEvr(const ElementAttributes& attributes, Evr& evr)
{
    std::string_view sEpoch;
    std::string_view sVersion;
    if (!attributes.read("epoch", sEpoch) || !attributes.read("ver", sVersion))
    {
        attributes.log().log(DEBUG, "failed parsing 'version' element");
        return false;
    }
    int nEpoch = 0;
    if (!convertEpoch(sEpoch, nEpoch))
        return false;
    std::string_view sRelease;
    if (!attributes.read("rel", sRelease))
        sRelease = std::string_view();
    evr.m_nEpoch = nEpoch;
    evr.m_sVersion = sVersion;
    evr.m_sRelease = sRelease;
    return true;
}

// Orders nothing: a multiset with it keeps its records in the order they were added, each
// one added at the end without a search.
struct AdditionOrder
{
    bool operator()(const RepoPackage& /*a*/, const RepoPackage& /*b*/) const { return false; }
};
using PendingRecords = std::pmr::multiset<RepoPackage, AdditionOrder>;
// The records move into the list as nodes, without a copy or a new allocation: they are
// made with the list's allocator, in its arena.
static_assert(std::is_same_v<PendingRecords::node_type, RepoPackageList::node_type>,
              "the records' nodes must fit the package list");

struct GzFileClose
{
    void operator()(gzFile pFile) const noexcept { gzclose(pFile); }
};
using GzFileHandle = std::unique_ptr<gzFile_s, GzFileClose>;

struct PushParserFree
{
    void operator()(xmlParserCtxtPtr pCtxt) const noexcept
    {
        xmlFreeDoc(pCtxt->myDoc);
        pCtxt->myDoc = nullptr;
        xmlFreeParserCtxt(pCtxt);
    }
};
using PushParserHandle = std::unique_ptr<xmlParserCtxt, PushParserFree>;

// Builds the records of one list from the parser's events.
class ListParser
{
public:
    // The records are made with `allocator`, that of the list they go into.
    ListParser(const std::string& sPath, const std::string& sPackageDir, RecordedLog& log,
               const RepoPackageList::allocator_type& allocator)
        : m_sPath(sPath), m_sPackageDir(sPackageDir), m_log(log), m_records(allocator)
    {
        for (const Transition& transition : TRANSITIONS)
            m_vTransitions[static_cast<std::size_t>(transition.m_parent)].push_back(&transition);
    }

    // Feeds the whole file to a push parser and adds the records to the list; false when
    // the list is refused (the records made before that are added all the same).
    bool run(gzFile pFile, RepoPackageList& packages);

private:
    struct Frame
    {
        State m_state;
        bool m_bText;
    };
    struct NamespaceDeclaration
    {
        const xmlChar* m_pPrefix;
        const xmlChar* m_pUri;
        int m_nDepth;
    };
    static ListParser& of(void* pContext)
    {
        return *static_cast<ListParser*>(static_cast<xmlParserCtxtPtr>(pContext)->_private);
    }
    static void onStartElement(void* pContext, const xmlChar* pLocalName, const xmlChar* pPrefix,
                               const xmlChar* pUri, int nNamespaces, const xmlChar** ppNamespaces,
                               int nAttributes, int nDefaulted,
                               const xmlChar** ppAttributes) noexcept;
    static void onEndElement(void* pContext, const xmlChar* pLocalName, const xmlChar* pPrefix,
                             const xmlChar* pUri) noexcept;
    static void onCharacters(void* pContext, const xmlChar* pText, int nLength) noexcept
    {
        addText(pContext, pText, nLength, false);
    }
    static void onCdata(void* pContext, const xmlChar* pText, int nLength) noexcept
    {
        addText(pContext, pText, nLength, true);
    }
    static void addText(void* pContext, const xmlChar* pText, int nLength, bool bCdata) noexcept;
    // A callback of its own, so that libxml2 tells blanks apart as usual (and has passed
    // them when it reports them); they are judged like any other text.
    static void onBlanks(void* pContext, const xmlChar* pText, int nLength) noexcept
    {
        onCharacters(pContext, pText, nLength);
    }
    static void onMarkup(void* pContext) noexcept;
    static void onComment(void* pContext, const xmlChar* /*pValue*/) noexcept
    {
        onMarkup(pContext);
    }
    static void onProcessingInstruction(void* pContext, const xmlChar* /*pTarget*/,
                                        const xmlChar* /*pData*/) noexcept
    {
        onMarkup(pContext);
    }
    static void onElementDeclaration(void* pContext, const xmlChar* pName, int nType,
                                     xmlElementContentPtr pContent) noexcept;
    static void onStructuredError(void* pContext, xmlErrorPtr pError) noexcept;

    bool feed(gzFile pFile);
    void startElement(const xmlChar* pLocalName, const xmlChar* pUri, int nNamespaces,
                      const xmlChar** ppNamespaces, const ElementAttributes& attributes,
                      int nDefaulted);
    void endElement(const xmlChar* pLocalName);
    // What a state does as its element opens: false when the package is malformed. May
    // replace the state.
    bool enter(State& state, const ElementAttributes& attributes);
    // What a state does as its element closes.
    void leave(State state, const xmlChar* pLocalName);
    const Transition* transition(State parent, const xmlChar* pLocalName,
                                 const xmlChar* pUri) const;

    void startPackage(const ElementAttributes& attributes, State& state);
    // 1 accepted, 0 skipped (other architecture), -1 malformed.
    int finishPackage();
    bool parseEntry(const ElementAttributes& attributes);
    bool rpmNamespaceInScope() const;
    // The package is malformed: the rest of it is read without looking, and the list is
    // refused at its end tag.
    void failPackage();
    // Ends the parse with the result false.
    void stop();
    // Moves the records made so far into the list, where records of one name keep the
    // order of the file.
    void storeRecords(RepoPackageList& packages);

    // Starts the text of an element whose text is collected.
    void beginText(const xmlChar* pLocalName);
    bool inText() const { return !m_vStack.empty() && m_vStack.back().m_bText; }

    const std::string& m_sPath;
    const std::string& m_sPackageDir;
    RecordedLog& m_log;
    std::vector<const Transition*> m_vTransitions[static_cast<std::size_t>(State::ENTRY) + 1];
    xmlParserCtxtPtr m_pContext = nullptr;
    MetadataEntityGuard* m_pEntityGuard = nullptr;
    bool m_bStopped = false;
    RecentInput m_recent;

    // One frame per open element.
    std::vector<Frame> m_vStack;
    std::vector<NamespaceDeclaration> m_vNamespaces;
    // Elements with an xml:space attribute: depth and value.
    std::vector<std::pair<int, int>> m_vSpaces;
    // The content the DTD declares for elements: XML_ELEMENT_TYPE_*; the first declaration counts.
    std::map<std::string, int, std::less<>> m_mapDeclared;

    // The package being read. Its dependency sets keep their room from one package to the
    // next; an accepted record gets a copy of exactly the entries.
    RepoPackage m_package;
    bool m_bPackageFailed = false;
    std::string m_sName;
    std::string m_sArch;
    std::string m_sGroup;
    std::string m_sLocation;
    bool m_bName = false;
    bool m_bVersion = false;
    bool m_bLocation = false;
    bool m_bChecksum = false;
    DependencySet* m_pDependencies = nullptr;
    // The accepted records in file order, until their nodes go into the list at the end.
    PendingRecords m_records;

    // The text being collected.
    ElementText m_text{m_recent};
};

const Transition* ListParser::transition(State parent, const xmlChar* pLocalName,
                                         const xmlChar* pUri) const
{
    for (const Transition* pTransition : m_vTransitions[static_cast<std::size_t>(parent)])
    {
        if (equals(pLocalName, pTransition->m_pElement) && equals(pUri, pTransition->m_pNamespace))
            return pTransition;
    }
    return nullptr;
}

void ListParser::onStartElement(void* pContext, const xmlChar* pLocalName,
                                const xmlChar* /*pPrefix*/, const xmlChar* pUri, int nNamespaces,
                                const xmlChar** ppNamespaces, int nAttributes, int nDefaulted,
                                const xmlChar** ppAttributes) noexcept
{
    ListParser& parser = of(pContext);
    if (parser.m_bStopped)
        return;
    if (parser.inText())
        parser.m_text.markup(pContext, ElementText::Next::MARKUP);
    parser.startElement(pLocalName, pUri, nNamespaces, ppNamespaces,
                        ElementAttributes(pLocalName, ppAttributes, nAttributes, parser.m_log),
                        nDefaulted);
}

void ListParser::onEndElement(void* pContext, const xmlChar* pLocalName, const xmlChar* /*pPrefix*/,
                              const xmlChar* /*pUri*/) noexcept
{
    ListParser& parser = of(pContext);
    if (parser.m_bStopped)
        return;
    if (parser.inText())
        parser.m_text.markup(pContext, ElementText::Next::END_TAG);
    parser.endElement(pLocalName);
}

void ListParser::addText(void* pContext, const xmlChar* pText, int nLength, bool bCdata) noexcept
{
    ListParser& parser = of(pContext);
    if (!parser.m_bStopped && parser.inText())
        parser.m_text.add(pContext,
                          std::string_view(reinterpret_cast<const char*>(pText),
                                           static_cast<std::size_t>(nLength)),
                          bCdata);
}

void ListParser::onMarkup(void* pContext) noexcept
{
    ListParser& parser = of(pContext);
    if (!parser.m_bStopped && parser.inText())
        parser.m_text.markup(pContext, ElementText::Next::MARKUP);
}

void ListParser::onElementDeclaration(void* pContext, const xmlChar* pName, int nType,
                                      xmlElementContentPtr pContent) noexcept
{
    xmlSAX2ElementDecl(pContext, pName, nType, pContent);
    if (pName != nullptr)
        of(pContext).m_mapDeclared.emplace(text(pName), nType);
}

void ListParser::onStructuredError(void* pContext, xmlErrorPtr pError) noexcept
{
    ListParser& parser = of(pContext);
    const std::string sText = xmlErrorText(parser.m_sPath, pError);
    if (!sText.empty())
        parser.m_log.log(ERROR, "%s", sText.c_str());
}

bool ListParser::run(gzFile pFile, RepoPackageList& packages)
{
    const bool bResult = feed(pFile);
    storeRecords(packages);
    return bResult;
}

void ListParser::storeRecords(RepoPackageList& packages)
{
    // Searching the name-ordered list for the place of each record waits for memory at
    // every level, as the list is larger than the caches. Instead the records are sorted
    // once, on the first eight bytes of their names (the full names only where those are
    // equal, then the file order), and each one is appended at the end. A record that does
    // not belong at the end (the list held records before) is put in its place by the
    // insertion, after the records of its name that are already there.
    struct SortKey
    {
        uint64_t m_uPrefix;
        uint32_t m_uIndex;
        PendingRecords::iterator m_it;
    };
    std::vector<SortKey> vKeys;
    vKeys.reserve(m_records.size());
    uint32_t uIndex = 0;
    for (auto it = m_records.begin(); it != m_records.end(); ++it)
    {
        const std::string_view sName = it->m_sName.view();
        uint64_t uPrefix = 0;
        for (std::size_t uByte = 0; uByte < 8; ++uByte)
            uPrefix = (uPrefix << 8) |
                      (uByte < sName.size() ? static_cast<unsigned char>(sName[uByte]) : 0U);
        vKeys.push_back(SortKey{uPrefix, uIndex++, it});
    }
    std::sort(vKeys.begin(), vKeys.end(),
              [](const SortKey& a, const SortKey& b)
              {
                  if (a.m_uPrefix != b.m_uPrefix)
                      return a.m_uPrefix < b.m_uPrefix;
                  const int nOrder = a.m_it->m_sName.compare(b.m_it->m_sName);
                  return nOrder != 0 ? nOrder < 0 : a.m_uIndex < b.m_uIndex;
              });
    for (const SortKey& key : vKeys)
        packages.insert(packages.end(), m_records.extract(key.m_it));
}

bool ListParser::feed(gzFile pFile)
{
    MetadataEntityGuard entityGuard;
    m_pEntityGuard = &entityGuard;
    xmlSAXHandler handler;
    xmlSAXVersion(&handler, 2);
    PushParserHandle pContext(
        xmlCreatePushParserCtxt(&handler, nullptr, nullptr, 0, m_sPath.c_str()));
    if (!pContext)
    {
        m_log.log(ERROR, "could not open primary file '%s' for parsing", m_sPath.c_str());
        return false;
    }
    m_pContext = pContext.get();
    m_text.setDocument(m_pContext);
    xmlCtxtUseOptions(m_pContext, XML_READER_OPTIONS);
    // The options set handlers of their own; the events that make records are taken here,
    // and nothing else builds nodes. CDATA sections come apart from other text.
    xmlSAXHandler& sax = *m_pContext->sax;
    sax.startElementNs = onStartElement;
    sax.endElementNs = onEndElement;
    sax.characters = onCharacters;
    sax.ignorableWhitespace = onBlanks;
    sax.cdataBlock = onCdata;
    sax.comment = onComment;
    sax.processingInstruction = onProcessingInstruction;
    sax.elementDecl = onElementDeclaration;
    sax.serror = onStructuredError;
    m_pContext->_private = this;

    ReadAhead content(pFile, m_sPath);
    if (!content.threaded())
        m_log.log(DEBUG, "reading '%s' without a read-ahead thread", m_sPath.c_str());
    for (;;)
    {
        std::string_view piece;
        if (!content.next(piece))
            return false;
        m_recent.add(piece);
        if (m_recent.end() > MAX_PRIMARY_CONTENT)
        {
            m_log.log(ERROR, "package list '%s' is larger than %ld bytes", m_sPath.c_str(),
                      MAX_PRIMARY_CONTENT);
            return false;
        }
        const int nTerminate = piece.empty() ? 1 : 0;
        const int nResult =
            xmlParseChunk(m_pContext, piece.data(), static_cast<int>(piece.size()), nTerminate);
        if (m_bStopped || entityGuard.refused())
            return false;
        if (nResult != 0 || m_pContext->wellFormed == 0)
            return false;
        if (nTerminate)
            return true;
    }
}

void ListParser::stop()
{
    m_bStopped = true;
    xmlStopParser(m_pContext);
}

void ListParser::startElement(const xmlChar* pLocalName, const xmlChar* pUri, int nNamespaces,
                              const xmlChar** ppNamespaces, const ElementAttributes& attributes,
                              int nDefaulted)
{
    if (m_pEntityGuard->refused())
    {
        stop();
        return;
    }
    const int nDepth = static_cast<int>(m_vStack.size());
    if (nDepth >= MAX_PRIMARY_DEPTH)
    {
        m_log.log(ERROR, "package list '%s' is nested deeper than %d elements", m_sPath.c_str(),
                  MAX_PRIMARY_DEPTH);
        stop();
        return;
    }
    for (int i = 0; i < nNamespaces; ++i)
        m_vNamespaces.push_back({ppNamespaces[2 * i], ppNamespaces[2 * i + 1], nDepth});
    int nSpace = 0;
    if (attributes.space(nDefaulted, nSpace))
        m_vSpaces.emplace_back(nDepth, nSpace);

    const State parent = m_vStack.empty() ? State::START : m_vStack.back().m_state;
    Frame frame{State::SKIP, false};
    if (m_bPackageFailed || parent == State::IGNORED)
        frame.m_state = State::SKIP;
    else if (const Transition* pTransition = transition(parent, pLocalName, pUri))
    {
        frame = Frame{pTransition->m_state, pTransition->m_bText};
        if (!enter(frame.m_state, attributes))
        {
            failPackage();
            frame = Frame{State::SKIP, false};
        }
    }
    else if (parent == State::START)
    {
        m_log.log(ERROR, "bad top-level element, '%s' instead of 'metadata'", text(pLocalName));
        stop();
        return;
    }
    else if (parent == State::METADATA || parent == State::OUTSIDE)
        frame.m_state = State::OUTSIDE;
    m_vStack.push_back(frame);
    if (frame.m_bText)
        beginText(pLocalName);
}

void ListParser::endElement(const xmlChar* pLocalName)
{
    const Frame frame = m_vStack.back();
    if (!m_bPackageFailed || frame.m_state == State::PACKAGE)
        leave(frame.m_state, pLocalName);
    if (m_bStopped)
        return;
    m_vStack.pop_back();
    const int nDepth = static_cast<int>(m_vStack.size());
    while (!m_vNamespaces.empty() && m_vNamespaces.back().m_nDepth == nDepth)
        m_vNamespaces.pop_back();
    if (!m_vSpaces.empty() && m_vSpaces.back().first == nDepth)
        m_vSpaces.pop_back();
}

bool ListParser::enter(State& state, const ElementAttributes& attributes)
{
    switch (state)
    {
    case State::PACKAGE:
        startPackage(attributes, state);
        return true;
    case State::NAME:
        return !m_bName;
    case State::ARCH:
        return m_sArch.empty();
    case State::GROUP:
        return m_sGroup.empty();
    case State::VERSION:
        if (m_bVersion || !parseEvr(attributes, m_package.m_Evr))
            return false;
        m_bVersion = true;
        return true;
    case State::LOCATION:
    {
        std::string_view sHref;
        if (m_bLocation || !attributes.get("href", sHref))
            return false;
        m_sLocation = sHref;
        m_bLocation = true;
        return true;
    }
    case State::CHECKSUM:
    {
        if (m_bChecksum)
            return false;
        std::string_view sType;
        if (!attributes.get("type", sType))
        {
            m_log.log(DEBUG, "failed parsing 'checksum' element");
            return false;
        }
        m_package.m_Checksum.m_sType = sType;
        return true;
    }
    case State::SIZE:
    {
        // Optional; only bounds the download.
        std::string_view sSize;
        if (attributes.read("package", sSize) && !convertSize(sSize, m_package.m_uSize))
        {
            m_log.log(DEBUG, "ignoring package size '%.*s'", static_cast<int>(sSize.size()),
                      sSize.data());
            m_package.m_uSize = 0;
        }
        return true;
    }
    case State::FORMAT:
        if (!rpmNamespaceInScope())
        {
            m_log.log(DEBUG, "no rpm specific data in XML doc");
            state = State::FOREIGN_FORMAT;
        }
        return true;
    case State::PROVIDES:
    case State::REQUIRES:
    case State::OBSOLETES:
    {
        const bool bProvides = state == State::PROVIDES;
        const bool bRequires = state == State::REQUIRES;
        m_pDependencies = bProvides   ? &m_package.m_setProvides
                          : bRequires ? &m_package.m_setRequires
                                      : &m_package.m_setObsoletes;
        m_log.log(TRACE, "parsing rpm %s for '%s'",
                  bProvides   ? "provides"
                  : bRequires ? "requires"
                              : "obsoletes",
                  m_sName.c_str());
        return true;
    }
    case State::ENTRY:
        return parseEntry(attributes);
    default:
        return true;
    }
}

void ListParser::leave(State state, const xmlChar* pLocalName)
{
    switch (state)
    {
    case State::NAME:
    case State::ARCH:
    case State::CHECKSUM:
    case State::GROUP:
    {
        const std::string& sText = m_text.text();
        if (sText.empty())
        {
            m_log.log(DEBUG, "no string list for node '%s'", text(pLocalName));
            if (state == State::CHECKSUM)
                m_log.log(DEBUG, "failed parsing 'checksum' element");
            failPackage();
            return;
        }
        if (state == State::NAME)
        {
            m_sName = sText;
            m_bName = true;
        }
        else if (state == State::ARCH)
            m_sArch = sText;
        else if (state == State::CHECKSUM)
        {
            m_package.m_Checksum.m_sValue = sText;
            m_bChecksum = true;
        }
        else
            m_sGroup = sText;
        return;
    }
    case State::PROVIDES:
    case State::REQUIRES:
    case State::OBSOLETES:
        m_pDependencies = nullptr;
        return;
    case State::PACKAGE:
    {
        if (m_bPackageFailed)
        {
            stop();
            return;
        }
        const int nAccepted = finishPackage();
        if (nAccepted < 0)
            stop();
        else if (nAccepted > 0)
            m_records.emplace_hint(m_records.end(), std::as_const(m_package));
        return;
    }
    default:
        return;
    }
}

void ListParser::startPackage(const ElementAttributes& attributes, State& state)
{
    m_bPackageFailed = false;
    std::string_view sType;
    if (!attributes.read("type", sType) || sType != "rpm")
    {
        state = State::IGNORED;
        return;
    }
    // A fresh record, but with the room of the last one's dependency sets.
    RepoPackage next;
    for (DependencySet RepoPackage::*pSet :
         {&RepoPackage::m_setRequires, &RepoPackage::m_setProvides, &RepoPackage::m_setObsoletes})
    {
        next.*pSet = std::move(m_package.*pSet);
        (next.*pSet).clear();
    }
    m_package = std::move(next);
    m_sName.clear();
    m_sArch.clear();
    m_sGroup.clear();
    m_sLocation.clear();
    m_bName = m_bVersion = m_bLocation = m_bChecksum = false;
    m_pDependencies = nullptr;
}

bool ListParser::parseEntry(const ElementAttributes& attributes)
{
    std::string_view sName;
    if (!attributes.get("name", sName))
    {
        m_log.log(DEBUG, "failed getting 'name' from 'entry'");
        return false;
    }
    // Capabilities of rpm itself never enter the dependency sets.
    if (sName.substr(0, RPMLIB_PREFIX.size()) == RPMLIB_PREFIX)
        return true;

    Dependency dependency;
    dependency.m_sName = sName;
    // A rich entry is a requirement without a version of its own that librpm can parse.
    if (dependency.isRich() && (m_pDependencies != &m_package.m_setRequires ||
                                attributes.has("ver") || !RichDependency().parse(sName)))
    {
        m_log.log(DEBUG, "invalid rich dependency '%.*s' in 'entry'",
                  static_cast<int>(sName.size()), sName.data());
        return false;
    }
    if (attributes.has("ver"))
    {
        if (!parseEvr(attributes, dependency.m_Evr))
        {
            m_log.log(DEBUG, "failed parsing EVR in entry");
            return false;
        }
        std::string_view sFlags;
        if (!attributes.read("flags", sFlags))
        {
            m_log.log(DEBUG, "failed parsing 'flags' in 'entry'");
            return false;
        }
        if (!mapFlags(sFlags, dependency.m_nFlags))
        {
            m_log.log(DEBUG, "invalid flags '%.*s' in 'entry'", static_cast<int>(sFlags.size()),
                      sFlags.data());
            return false;
        }
    }

    if (logEnabled(TRACE))
        m_log.log(TRACE, "%s", dependency.toString().c_str());
    m_pDependencies->insert(std::move(dependency));
    return true;
}

bool ListParser::rpmNamespaceInScope() const
{
    // A declaration of the rpm namespace whose prefix no inner declaration takes over.
    for (auto it = m_vNamespaces.rbegin(); it != m_vNamespaces.rend(); ++it)
    {
        if (!equals(it->m_pUri, RPM_METADATA_NS))
            continue;
        bool bShadowed = false;
        for (auto inner = m_vNamespaces.rbegin(); inner != it; ++inner)
        {
            if (xmlStrEqual(inner->m_pPrefix, it->m_pPrefix))
            {
                bShadowed = true;
                break;
            }
        }
        if (!bShadowed)
            return true;
    }
    return false;
}

void ListParser::failPackage()
{
    m_bPackageFailed = true;
    m_pDependencies = nullptr;
}

int ListParser::finishPackage()
{
    if (!m_bName || !m_bVersion || !m_bLocation || !m_bChecksum)
        return -1;
    if (hasControlCharacter(m_sName))
    {
        m_log.log(ERROR, "refusing package name with control characters");
        return -1;
    }
    if (!checkLocation(m_sLocation))
        return -1;

    const std::string sFileName = baseName(m_sLocation);
    m_package.m_sName = m_sName;
    m_package.m_sGroup = m_sGroup;
    m_package.m_sArch = m_sArch;
    m_package.m_sLocation = m_sLocation;
    m_package.m_sLocalPath = m_sPackageDir + sFileName;

    if (rpmMachineScore(RPM_MACHTABLE_INSTARCH, m_sArch.c_str()) == 0)
    {
        m_log.log(WARNING, "skipping package '%s' of non-compatible arch '%s'", sFileName.c_str(),
                  m_sArch.c_str());
        return 0;
    }
    return 1;
}

void ListParser::beginText(const xmlChar* pLocalName)
{
    int nDeclared = -1;
    if (!m_mapDeclared.empty())
    {
        auto it = m_mapDeclared.find(text(pLocalName));
        if (it != m_mapDeclared.end())
            nDeclared = it->second;
    }
    m_text.begin(m_vSpaces.empty() ? -1 : m_vSpaces.back().second, nDeclared);
}

} // namespace

PackageListReader::PackageListReader(const std::string& sPath, const std::string& sPackageDir)
    : m_sPath(sPath), m_sPackageDir(sPackageDir), m_log(MAX_RECORDED_MESSAGES)
{
}

bool PackageListReader::read(RepoPackageList& packages)
{
    GzFileHandle pFile(gzopen(m_sPath.c_str(), "rb"));
    if (!pFile)
    {
        m_log.log(ERROR, "could not open primary file '%s' for parsing", m_sPath.c_str());
        return false;
    }
    gzbuffer(pFile.get(), ReadAhead::PIECE_SIZE);
    ListParser parser(m_sPath, m_sPackageDir, m_log, packages.get_allocator());
    return parser.run(pFile.get(), packages);
}
