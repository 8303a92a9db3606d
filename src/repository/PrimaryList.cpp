// Reading the package list ("primary") of a repository.
//
// The list is the largest file the updater reads (tens of thousands of packages, over a
// hundred megabytes uncompressed), so it is read from the events of libxml2's push parser
// with the same parser options as every other XML file: no node tree is built, attribute
// values and texts are taken where the parser holds them, and each package element becomes
// one record as its end tag is read. The rules are those of a tree walk over each package:
// children are matched in document order by namespace URI and local name, texts are the
// character data directly inside an element, and a malformed package fails the whole list
// once its end tag has been read, so that a well-formedness error inside it is still
// reported by the parser first.

#include "repository/MetadataXml.h"
#include "repository/Repository.h"

#include "base/FileUtil.h"
#include "base/Logger.h"
#include "base/RichDependency.h"
#include "base/SignalFreeThread.h"
#include "config/XmlReader.h"
#include "downloader/Downloader.h"

#include <libxml/parserInternals.h>
#include <rpm/rpmlib.h>
#include <zlib.h>


#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>
#include <type_traits>
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
// Uncompressed bytes handed to the parser at a time.
constexpr unsigned FEED_SIZE = 256U << 10;

struct GzFileClose
{
    void operator()(gzFile pFile) const noexcept { gzclose(pFile); }
};
using GzFileHandle = std::unique_ptr<gzFile_s, GzFileClose>;

struct PushParserFree
{
    void operator()(xmlParserCtxtPtr pCtxt) const noexcept
    {
        if (pCtxt->myDoc != nullptr)
            xmlFreeDoc(pCtxt->myDoc);
        pCtxt->myDoc = nullptr;
        xmlFreeParserCtxt(pCtxt);
    }
};
using PushParserHandle = std::unique_ptr<xmlParserCtxt, PushParserFree>;

// The uncompressed content of a list, read ahead by a thread of its own while the parser
// works on the previous chunk, so that on two cores decompression costs no waiting. When
// no thread can be started the content is read in the caller's thread.
class ReadAhead
{
public:
    ReadAhead(gzFile pFile, const std::string& sPath) : m_pFile(pFile), m_sPath(sPath)
    {
        for (Chunk& chunk : m_chunks)
            chunk.m_vData.resize(FEED_SIZE);
        if (!startSignalFreeThread(m_thread, [this] { produce(); }))
            logMessage(DEBUG, "reading '%s' without a read-ahead thread", m_sPath.c_str());
    }

    ~ReadAhead()
    {
        if (!m_thread.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bCancelled = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }

    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The next piece of the content: a size of 0 at its end. False, with the error logged,
    // when the file cannot be read or decompressed. The data stays valid until the next call.
    bool next(const char*& pData, int& nSize)
    {
        if (!m_thread.joinable())
        {
            Chunk& chunk = m_chunks[0];
            readChunk(chunk);
            return take(chunk, pData, nSize);
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_bHolding)
        {
            // The chunk handed out last time is free again.
            m_bHolding = false;
            m_uFirst = (m_uFirst + 1) % CHUNKS;
            --m_uFilled;
            m_changed.notify_all();
        }
        m_changed.wait(lock, [this] { return m_uFilled > 0; });
        m_bHolding = true;
        return take(m_chunks[m_uFirst], pData, nSize);
    }

private:
    static constexpr std::size_t CHUNKS = 4;

    struct Chunk
    {
        std::vector<char> m_vData;
        int m_nSize = 0;
        // gzip error code and zlib's text when m_nSize is -1.
        int m_nError = Z_OK;
        std::string m_sReason;
    };

    void readChunk(Chunk& chunk)
    {
        chunk.m_nSize = gzread(m_pFile, chunk.m_vData.data(), FEED_SIZE);
        int nError = Z_OK;
        const char* pMessage = gzerror(m_pFile, &nError);
        // A truncated compressed file ends like a complete one but leaves Z_BUF_ERROR.
        if (chunk.m_nSize < 0 || (chunk.m_nSize == 0 && nError != Z_OK))
        {
            chunk.m_nSize = -1;
            chunk.m_nError = nError;
            chunk.m_sReason = nError == Z_ERRNO ? errnoText() : std::string(pMessage != nullptr ? pMessage : "");
        }
    }

    bool take(const Chunk& chunk, const char*& pData, int& nSize) const
    {
        if (chunk.m_nSize < 0)
        {
            std::string sReason = chunk.m_sReason;
            // zlib puts the path in front of its message.
            if (sReason.compare(0, m_sPath.size() + 2, m_sPath + ": ") == 0)
                sReason.erase(0, m_sPath.size() + 2);
            logMessage(ERROR, "failed reading primary file '%s' (%s)", m_sPath.c_str(), sReason.c_str());
            return false;
        }
        pData = chunk.m_vData.data();
        nSize = chunk.m_nSize;
        return true;
    }

    void produce()
    {
        std::size_t uNext = 0;
        for (;;)
        {
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_changed.wait(lock, [this] { return m_bCancelled || m_uFilled < CHUNKS; });
                if (m_bCancelled)
                    return;
            }
            // The slot after the filled ones is neither being read nor handed out.
            Chunk& chunk = m_chunks[uNext];
            readChunk(chunk);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                ++m_uFilled;
            }
            m_changed.notify_all();
            if (chunk.m_nSize <= 0)
                return;
            uNext = (uNext + 1) % CHUNKS;
        }
    }

    gzFile m_pFile;
    const std::string& m_sPath;
    Chunk m_chunks[CHUNKS];
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    // Ring of chunks: m_uFilled filled ones from m_uFirst on, the first one possibly handed out.
    std::size_t m_uFirst = 0;
    std::size_t m_uFilled = 0;
    bool m_bHolding = false;
    bool m_bCancelled = false;
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
    long nValue = std::strtol(sCopy.c_str(), &pEnd, 10);
    if (pEnd == sCopy.c_str() || *pEnd != '\0' || errno == ERANGE || nValue < 0 || nValue >= INT_MAX)
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
    unsigned long long uValue = std::strtoull(sCopy.c_str(), &pEnd, 10);
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
// defaults included).
class ElementAttributes
{
public:
    ElementAttributes(const xmlChar* pElementName, const xmlChar** ppAttributes, int nCount)
        : m_pElementName(pElementName), m_ppAttributes(ppAttributes), m_nCount(nCount)
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
                sValue = std::string_view(reinterpret_cast<const char*>(ppAttribute[3]),
                                          static_cast<std::size_t>(ppAttribute[4] - ppAttribute[3]));
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
        logMessage(DEBUG, "no attribute '%s' for node '%s'", pName, text(m_pElementName));
        return false;
    }

private:
    const xmlChar* m_pElementName;
    const xmlChar** m_ppAttributes;
    int m_nCount;
};

// Reads epoch, ver and rel of a version element or a versioned entry.
bool parseEvr(const ElementAttributes& attributes, Evr& evr)
{
    std::string_view sEpoch;
    std::string_view sVersion;
    if (!attributes.read("epoch", sEpoch) || !attributes.read("ver", sVersion))
    {
        logMessage(DEBUG, "failed parsing 'version' element");
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
using PendingRecords = std::multiset<RepoPackage, AdditionOrder>;
// The records move into the list as nodes, without a copy or a new allocation.
static_assert(std::is_same_v<PendingRecords::node_type, RepoPackageList::node_type>,
              "the records' nodes must fit the package list");

// Builds the records of one list from the parser's events.
class PrimaryParser
{
public:
    PrimaryParser(const std::string& sPath, const std::string& sPackageDir, RepoPackageList& packages)
        : m_sPath(sPath), m_sPackageDir(sPackageDir), m_packages(packages)
    {
    }

    // Feeds the whole file to a push parser and adds the records to the list; false when
    // the list is refused (the records made before that are added all the same).
    bool run(gzFile pFile, const MetadataEntityGuard& entityGuard);

private:
    // What the element directly around the current text is, for its end.
    enum class TextField
    {
        NONE,
        NAME,
        ARCH,
        CHECKSUM,
        GROUP,
    };
    struct NamespaceDeclaration
    {
        const xmlChar* m_pPrefix;
        const xmlChar* m_pUri;
        int m_nDepth;
    };

    static PrimaryParser& of(void* pContext)
    {
        return *static_cast<PrimaryParser*>(static_cast<xmlParserCtxtPtr>(pContext)->_private);
    }
    static void onStartElement(void* pContext, const xmlChar* pLocalName, const xmlChar* pPrefix,
                               const xmlChar* pUri, int nNamespaces, const xmlChar** ppNamespaces, int nAttributes,
                               int nDefaulted, const xmlChar** ppAttributes) noexcept;
    static void onEndElement(void* pContext, const xmlChar* pLocalName, const xmlChar* pPrefix,
                             const xmlChar* pUri) noexcept;
    static void onCharacters(void* pContext, const xmlChar* pText, int nLength) noexcept;
    static void onStructuredError(void* pContext, xmlErrorPtr pError) noexcept;
    static void ignoreText(void* /*pContext*/, const xmlChar* /*pText*/, int /*nLength*/) noexcept {}
    static void onProcessingInstruction(void* pContext, const xmlChar* /*pTarget*/, const xmlChar* /*pData*/) noexcept;
    static void onComment(void* pContext, const xmlChar* /*pValue*/) noexcept;

    void startElement(const xmlChar* pLocalName, const xmlChar* pUri, int nNamespaces, const xmlChar** ppNamespaces,
                      const ElementAttributes& attributes);
    void endElement(const xmlChar* pLocalName);
    void startPackage(const ElementAttributes& attributes);
    void startPackageChild(const xmlChar* pLocalName, const ElementAttributes& attributes);
    void startFormatChild(const xmlChar* pLocalName);
    void endText(const xmlChar* pLocalName);
    // 1 accepted, 0 skipped (other architecture), -1 malformed.
    int finishPackage();
    bool parseEntry(const ElementAttributes& attributes);
    bool rpmNamespaceInScope() const;
    void beginText(TextField field);
    // A child other than text of the element whose text is read.
    void noteTextChild();
    // Whether a run of blanks in the text is one that the parser's blank removal drops.
    bool isDroppedBlankRun(xmlParserCtxtPtr pContext, const xmlChar* pText, int nLength) const;
    // The package is malformed: the rest of it is read without looking, and the list is
    // refused at its end tag.
    void failPackage();
    // Ends the parse with the result false.
    void stop();
    // The parse itself: every accepted record goes to m_records.
    bool feed(gzFile pFile, const MetadataEntityGuard& entityGuard);
    // Moves the records made so far into the list, where records of one name keep the
    // order of the file.
    void storeRecords();

    const std::string& m_sPath;
    const std::string& m_sPackageDir;
    RepoPackageList& m_packages;
    xmlParserCtxtPtr m_pContext = nullptr;
    const MetadataEntityGuard* m_pEntityGuard = nullptr;
    bool m_bStopped = false;

    int m_nDepth = -1;
    std::vector<NamespaceDeclaration> m_vNamespaces;

    // The package being read.
    bool m_bInPackage = false;
    int m_nPackageDepth = 0;
    bool m_bIgnorePackage = false;
    bool m_bPackageFailed = false;
    RepoPackage m_package;
    // The accepted records in file order, until their nodes go into the list at the end.
    PendingRecords m_records;
    std::string m_sName;
    std::string m_sArch;
    std::string m_sGroup;
    std::string m_sLocation;
    bool m_bName = false;
    bool m_bVersion = false;
    bool m_bLocation = false;
    bool m_bChecksum = false;
    // The open child of the package: a format element whose rpm data is read.
    bool m_bInRpmFormat = false;
    DependencySet* m_pDependencies = nullptr;
    TextField m_textField = TextField::NONE;
    int m_nTextDepth = 0;
    std::string m_sText;
    // The children of that element so far, and its xml:space state, for the blank removal.
    bool m_bTextHasChild = false;
    bool m_bFirstChildText = false;
    bool m_bLastChildText = false;
    int m_nTextSpace = -1; // libxml2's xml:space state: 1 preserve, -2 blanks kept
};

void PrimaryParser::onStartElement(void* pContext, const xmlChar* pLocalName, const xmlChar* /*pPrefix*/,
                                   const xmlChar* pUri, int nNamespaces, const xmlChar** ppNamespaces,
                                   int nAttributes, int /*nDefaulted*/, const xmlChar** ppAttributes) noexcept
{
    PrimaryParser& parser = of(pContext);
    if (parser.m_bStopped)
        return;
    parser.startElement(pLocalName, pUri, nNamespaces, ppNamespaces,
                        ElementAttributes(pLocalName, ppAttributes, nAttributes));
}

void PrimaryParser::onEndElement(void* pContext, const xmlChar* pLocalName, const xmlChar* /*pPrefix*/,
                                 const xmlChar* /*pUri*/) noexcept
{
    PrimaryParser& parser = of(pContext);
    if (parser.m_bStopped)
        return;
    parser.endElement(pLocalName);
}

void PrimaryParser::onCharacters(void* pContext, const xmlChar* pText, int nLength) noexcept
{
    PrimaryParser& parser = of(pContext);
    if (parser.m_bStopped || parser.m_textField == TextField::NONE || parser.m_nDepth != parser.m_nTextDepth)
        return;
    if (parser.isDroppedBlankRun(static_cast<xmlParserCtxtPtr>(pContext), pText, nLength))
        return;
    parser.m_sText.append(reinterpret_cast<const char*>(pText), static_cast<std::size_t>(nLength));
    // Blanks kept once in an element are kept for the rest of it.
    if (parser.m_nTextSpace == -1 && nLength > 0 && IS_BLANK_CH(pText[0]))
        parser.m_nTextSpace = -2;
    if (!parser.m_bTextHasChild)
        parser.m_bFirstChildText = true;
    parser.m_bTextHasChild = true;
    parser.m_bLastChildText = true;
}

void PrimaryParser::onProcessingInstruction(void* pContext, const xmlChar* /*pTarget*/, const xmlChar* /*pData*/) noexcept
{
    PrimaryParser& parser = of(pContext);
    if (!parser.m_bStopped && parser.m_textField != TextField::NONE && parser.m_nDepth == parser.m_nTextDepth)
        parser.noteTextChild();
}

void PrimaryParser::onComment(void* pContext, const xmlChar* /*pValue*/) noexcept
{
    onProcessingInstruction(pContext, nullptr, nullptr);
}

void PrimaryParser::noteTextChild()
{
    m_bTextHasChild = true;
    m_bLastChildText = false;
}

bool PrimaryParser::isDroppedBlankRun(xmlParserCtxtPtr pContext, const xmlChar* pText, int nLength) const
{
    // With blank removal on, libxml2 drops a run of character data made only of blanks
    // when it looks like indentation: the element has no xml:space="preserve", and the run
    // is followed by markup other than an end tag that closes an element without children,
    // in an element whose first and last child so far are not text. Only runs read from
    // the document's own text are judged so; CDATA sections and character references are
    // always text.
    const xmlParserInputPtr pInput = pContext->input;
    if (pContext->instate != XML_PARSER_CONTENT || pInput == nullptr || pText < pInput->base ||
        pText >= pInput->end || m_nTextSpace == 1 || m_nTextSpace == -2)
        return false;
    for (int i = 0; i < nLength; ++i)
    {
        if (!IS_BLANK_CH(pText[i]))
            return false;
    }
    if (pContext->myDoc != nullptr)
    {
        const int nMixed = xmlIsMixedElement(pContext->myDoc, pContext->name);
        if (nMixed == 0)
            return true;
        if (nMixed == 1)
            return false;
    }
    const xmlChar* pNext = pInput->cur;
    if (pNext >= pInput->end || (pNext[0] != '<' && pNext[0] != 0xD))
        return false;
    if (!m_bTextHasChild)
        return !(pNext[0] == '<' && pNext + 1 < pInput->end && pNext[1] == '/');
    return !m_bLastChildText && !m_bFirstChildText;
}

void PrimaryParser::onStructuredError(void* pContext, xmlErrorPtr pError) noexcept
{
    logXmlError(of(pContext).m_sPath, pError);
}

bool PrimaryParser::run(gzFile pFile, const MetadataEntityGuard& entityGuard)
{
    const bool bResult = feed(pFile, entityGuard);
    storeRecords();
    return bResult;
}

void PrimaryParser::storeRecords()
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
            uPrefix = (uPrefix << 8) | (uByte < sName.size() ? static_cast<unsigned char>(sName[uByte]) : 0u);
        vKeys.push_back(SortKey{uPrefix, uIndex++, it});
    }
    std::sort(vKeys.begin(), vKeys.end(), [](const SortKey& a, const SortKey& b) {
        if (a.m_uPrefix != b.m_uPrefix)
            return a.m_uPrefix < b.m_uPrefix;
        const int nOrder = a.m_it->m_sName.compare(b.m_it->m_sName);
        return nOrder != 0 ? nOrder < 0 : a.m_uIndex < b.m_uIndex;
    });
    for (const SortKey& key : vKeys)
        m_packages.insert(m_packages.end(), m_records.extract(key.m_it));
}

bool PrimaryParser::feed(gzFile pFile, const MetadataEntityGuard& entityGuard)
{
    m_pEntityGuard = &entityGuard;
    xmlSAXHandler handler;
    xmlSAXVersion(&handler, 2);
    PushParserHandle pContext(xmlCreatePushParserCtxt(&handler, nullptr, nullptr, 0, m_sPath.c_str()));
    if (!pContext)
    {
        logMessage(ERROR, "could not open primary file '%s' for parsing", m_sPath.c_str());
        return false;
    }
    m_pContext = pContext.get();
    xmlCtxtUseOptions(m_pContext, XML_READER_OPTIONS);
    // The options set handlers of their own; the events that make records are taken here,
    // and nothing else builds nodes.
    xmlSAXHandler& sax = *m_pContext->sax;
    sax.startElementNs = onStartElement;
    sax.endElementNs = onEndElement;
    sax.characters = onCharacters;
    sax.ignorableWhitespace = ignoreText;
    sax.comment = onComment;
    sax.processingInstruction = onProcessingInstruction;
    sax.serror = onStructuredError;
    m_pContext->_private = this;

    ReadAhead content(pFile, m_sPath);
    long nTotal = 0;
    for (;;)
    {
        const char* pData = nullptr;
        int nRead = 0;
        if (!content.next(pData, nRead))
            return false;
        nTotal += nRead;
        if (nTotal > MAX_PRIMARY_CONTENT)
        {
            logMessage(ERROR, "package list '%s' is larger than %ld bytes", m_sPath.c_str(), MAX_PRIMARY_CONTENT);
            return false;
        }
        const int nTerminate = nRead == 0 ? 1 : 0;
        const int nResult = xmlParseChunk(m_pContext, pData, nRead, nTerminate);
        if (m_bStopped || entityGuard.refused())
            return false;
        if (nResult != 0 || m_pContext->wellFormed == 0)
            return false;
        if (nTerminate)
            return true;
    }
}

void PrimaryParser::stop()
{
    m_bStopped = true;
    xmlStopParser(m_pContext);
}

void PrimaryParser::startElement(const xmlChar* pLocalName, const xmlChar* pUri, int nNamespaces,
                                 const xmlChar** ppNamespaces, const ElementAttributes& attributes)
{
    if (m_pEntityGuard->refused())
    {
        stop();
        return;
    }
    ++m_nDepth;
    if (m_nDepth >= MAX_PRIMARY_DEPTH)
    {
        logMessage(ERROR, "package list '%s' is nested deeper than %d elements", m_sPath.c_str(), MAX_PRIMARY_DEPTH);
        stop();
        return;
    }
    for (int i = 0; i < nNamespaces; ++i)
        m_vNamespaces.push_back({ppNamespaces[2 * i], ppNamespaces[2 * i + 1], m_nDepth});

    if (!m_bInPackage)
    {
        const bool bCommon = equals(pUri, COMMON_METADATA_NS);
        if (m_nDepth == 0 && (!equals(pLocalName, "metadata") || !bCommon))
        {
            logMessage(ERROR, "bad top-level element, '%s' instead of 'metadata'", text(pLocalName));
            stop();
            return;
        }
        if (bCommon && equals(pLocalName, "package"))
            startPackage(attributes);
        return;
    }
    if (m_bIgnorePackage)
        return;

    // Children of the package in its namespace; in a format element whose rpm data is read,
    // its children of that namespace; in a dependency list, its entries.
    const int nLevel = m_nDepth - m_nPackageDepth;
    if (nLevel == 1)
    {
        if (equals(pUri, COMMON_METADATA_NS))
            startPackageChild(pLocalName, attributes);
    }
    if (m_textField != TextField::NONE && m_nDepth == m_nTextDepth + 1)
        noteTextChild();
    if (nLevel == 2)
    {
        if (m_bInRpmFormat && equals(pUri, RPM_METADATA_NS))
            startFormatChild(pLocalName);
    }
    else if (nLevel == 3)
    {
        if (m_pDependencies != nullptr && equals(pUri, RPM_METADATA_NS) && equals(pLocalName, "entry") &&
            !parseEntry(attributes))
            failPackage();
    }
}

void PrimaryParser::endElement(const xmlChar* pLocalName)
{
    if (m_bInPackage && !m_bIgnorePackage)
    {
        const int nLevel = m_nDepth - m_nPackageDepth;
        if (m_textField != TextField::NONE && m_nDepth == m_nTextDepth)
            endText(pLocalName);
        else if (nLevel == 2 && m_pDependencies != nullptr)
        {
            // The list keeps every set for the whole run: no room held in reserve.
            m_pDependencies->shrink_to_fit();
            m_pDependencies = nullptr;
        }
        else if (nLevel == 1)
            m_bInRpmFormat = false;
    }
    if (m_bInPackage && m_nDepth == m_nPackageDepth)
    {
        m_bInPackage = false;
        if (m_bPackageFailed)
        {
            stop();
            return;
        }
        if (!m_bIgnorePackage)
        {
            const int nAccepted = finishPackage();
            if (nAccepted < 0)
            {
                stop();
                return;
            }
            if (nAccepted > 0)
                m_records.emplace_hint(m_records.end(), std::move(m_package));
        }
    }
    while (!m_vNamespaces.empty() && m_vNamespaces.back().m_nDepth == m_nDepth)
        m_vNamespaces.pop_back();
    --m_nDepth;
}

void PrimaryParser::startPackage(const ElementAttributes& attributes)
{
    m_bInPackage = true;
    m_nPackageDepth = m_nDepth;
    m_bPackageFailed = false;
    std::string_view sType;
    m_bIgnorePackage = !attributes.read("type", sType) || sType != "rpm";
    if (m_bIgnorePackage)
        return;
    m_package = RepoPackage();
    m_sName.clear();
    m_sArch.clear();
    m_sGroup.clear();
    m_sLocation.clear();
    m_bName = m_bVersion = m_bLocation = m_bChecksum = false;
    m_bInRpmFormat = false;
    m_pDependencies = nullptr;
    m_textField = TextField::NONE;
}

void PrimaryParser::startPackageChild(const xmlChar* pLocalName, const ElementAttributes& attributes)
{
    if (equals(pLocalName, "name"))
    {
        if (m_bName)
            return failPackage();
        beginText(TextField::NAME);
    }
    else if (equals(pLocalName, "arch"))
    {
        if (!m_sArch.empty())
            return failPackage();
        beginText(TextField::ARCH);
    }
    else if (equals(pLocalName, "version"))
    {
        if (m_bVersion || !parseEvr(attributes, m_package.m_Evr))
            return failPackage();
        m_bVersion = true;
    }
    else if (equals(pLocalName, "location"))
    {
        std::string_view sHref;
        if (m_bLocation || !attributes.get("href", sHref))
            return failPackage();
        m_sLocation = sHref;
        m_bLocation = true;
    }
    else if (equals(pLocalName, "checksum"))
    {
        if (m_bChecksum)
            return failPackage();
        std::string_view sType;
        if (!attributes.get("type", sType))
        {
            logMessage(DEBUG, "failed parsing 'checksum' element");
            return failPackage();
        }
        m_package.m_Checksum.m_sType = sType;
        beginText(TextField::CHECKSUM);
    }
    else if (equals(pLocalName, "size"))
    {
        // Optional; only bounds the download.
        std::string_view sSize;
        if (attributes.read("package", sSize) && !convertSize(sSize, m_package.m_uSize))
        {
            logMessage(DEBUG, "ignoring package size '%.*s'", static_cast<int>(sSize.size()), sSize.data());
            m_package.m_uSize = 0;
        }
    }
    else if (equals(pLocalName, "format"))
    {
        m_bInRpmFormat = rpmNamespaceInScope();
        if (!m_bInRpmFormat)
            logMessage(DEBUG, "no rpm specific data in XML doc");
    }
}

void PrimaryParser::startFormatChild(const xmlChar* pLocalName)
{
    const char* pRelation = nullptr;
    if (equals(pLocalName, "group"))
    {
        if (!m_sGroup.empty())
            return failPackage();
        beginText(TextField::GROUP);
    }
    else if (equals(pLocalName, "provides"))
    {
        pRelation = "provides";
        m_pDependencies = &m_package.m_setProvides;
    }
    else if (equals(pLocalName, "requires"))
    {
        pRelation = "requires";
        m_pDependencies = &m_package.m_setRequires;
    }
    else if (equals(pLocalName, "obsoletes"))
    {
        pRelation = "obsoletes";
        m_pDependencies = &m_package.m_setObsoletes;
    }
    if (pRelation != nullptr)
        logMessage(TRACE, "parsing rpm %s for '%s'", pRelation, m_sName.c_str());
}

void PrimaryParser::beginText(TextField field)
{
    m_textField = field;
    m_nTextDepth = m_nDepth;
    m_sText.clear();
    m_bTextHasChild = m_bFirstChildText = m_bLastChildText = false;
    m_nTextSpace = m_pContext->space != nullptr ? *m_pContext->space : -1;
}

void PrimaryParser::endText(const xmlChar* pLocalName)
{
    const TextField field = m_textField;
    m_textField = TextField::NONE;
    if (m_sText.empty())
    {
        logMessage(DEBUG, "no string list for node '%s'", text(pLocalName));
        if (field == TextField::CHECKSUM)
            logMessage(DEBUG, "failed parsing 'checksum' element");
        return failPackage();
    }
    switch (field)
    {
    case TextField::NAME:
        m_sName = m_sText;
        m_bName = true;
        break;
    case TextField::ARCH:
        m_sArch = m_sText;
        break;
    case TextField::CHECKSUM:
        m_package.m_Checksum.m_sValue = m_sText;
        m_bChecksum = true;
        break;
    case TextField::GROUP:
        m_sGroup = m_sText;
        break;
    case TextField::NONE:
        break;
    }
}

bool PrimaryParser::parseEntry(const ElementAttributes& attributes)
{
    std::string_view sName;
    if (!attributes.get("name", sName))
    {
        logMessage(DEBUG, "failed getting 'name' from 'entry'");
        return false;
    }
    // Capabilities of rpm itself never enter the dependency sets.
    if (sName.substr(0, RPMLIB_PREFIX.size()) == RPMLIB_PREFIX)
        return true;

    Dependency dependency;
    dependency.m_sName = sName;
    // A rich entry is a requirement without a version of its own that librpm can parse.
    if (dependency.isRich() &&
        (m_pDependencies != &m_package.m_setRequires || attributes.has("ver") || !RichDependency().parse(sName)))
    {
        logMessage(DEBUG, "invalid rich dependency '%.*s' in 'entry'", static_cast<int>(sName.size()), sName.data());
        return false;
    }
    if (attributes.has("ver"))
    {
        if (!parseEvr(attributes, dependency.m_Evr))
        {
            logMessage(DEBUG, "failed parsing EVR in entry");
            return false;
        }
        std::string_view sFlags;
        if (!attributes.read("flags", sFlags))
        {
            logMessage(DEBUG, "failed parsing 'flags' in 'entry'");
            return false;
        }
        if (!mapFlags(sFlags, dependency.m_nFlags))
        {
            logMessage(DEBUG, "invalid flags '%.*s' in 'entry'", static_cast<int>(sFlags.size()), sFlags.data());
            return false;
        }
    }

    if (logEnabled(TRACE))
        logMessage(TRACE, "%s", dependency.toString().c_str());
    m_pDependencies->insert(std::move(dependency));
    return true;
}

bool PrimaryParser::rpmNamespaceInScope() const
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

void PrimaryParser::failPackage()
{
    m_bPackageFailed = true;
    m_bIgnorePackage = true;
    m_textField = TextField::NONE;
    m_pDependencies = nullptr;
}

int PrimaryParser::finishPackage()
{
    if (!m_bName || !m_bVersion || !m_bLocation || !m_bChecksum)
        return -1;
    if (hasControlCharacter(m_sName))
    {
        logMessage(ERROR, "refusing package name with control characters");
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
        logMessage(WARNING, "skipping package '%s' of non-compatible arch '%s'", sFileName.c_str(), m_sArch.c_str());
        return 0;
    }
    return 1;
}

} // namespace

bool Repository::parsePrimary(const std::string& sPath)
{
    // The list changes: whatever it was parsed from before no longer describes it.
    m_pParsedSource.reset();
    MetadataEntityGuard entityGuard;
    GzFileHandle pFile(gzopen(sPath.c_str(), "rb"));
    if (!pFile)
    {
        logMessage(ERROR, "could not open primary file '%s' for parsing", sPath.c_str());
        return false;
    }
    gzbuffer(pFile.get(), FEED_SIZE);
    PrimaryParser parser(sPath, m_sPackageDir, m_setPackages);
    return parser.run(pFile.get(), entityGuard);
}
