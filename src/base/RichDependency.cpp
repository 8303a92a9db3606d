#include "base/RichDependency.h"

#include "base/Logger.h"

#include <rpm/rpmds.h>
#include <rpm/rpmtag.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

namespace
{

struct DsFree
{
    void operator()(rpmds ds) const { rpmdsFree(ds); }
};
using UniqueDs = std::unique_ptr<std::remove_pointer_t<rpmds>, DsFree>;

struct MessageFree
{
    void operator()(char* p) const { std::free(p); }
};

// Turns librpm's parse events into nodes. Each "(" opens a frame that collects its operands
// and its operator; its ")" makes the frame one node of the enclosing frame.
class TreeBuilder
{
public:
    explicit TreeBuilder(std::vector<RichDependency::Node>& vNodes) : m_vNodes(vNodes) {}

    static rpmRC callback(void* pData, rpmrichParseType type, const char* pName, int nNameLength,
                          const char* pEvr, int nEvrLength, rpmsenseFlags flags, rpmrichOp op,
                          char** /*ppMessage*/) noexcept
    {
        auto* pBuilder = static_cast<TreeBuilder*>(pData);
        return pBuilder->event(
                   type,
                   std::string_view(pName ? pName : "",
                                    static_cast<size_t>(std::max(nNameLength, 0))),
                   std::string_view(pEvr ? pEvr : "", static_cast<size_t>(std::max(nEvrLength, 0))),
                   flags, op)
                   ? RPMRC_OK
                   : RPMRC_FAIL;
    }

    std::optional<uint32_t> root() const { return m_uRoot; }

private:
    struct Frame
    {
        std::optional<RichDependency::Op> m_op;
        bool m_bElse = false;
        std::vector<uint32_t> m_vOperands;
    };

    bool event(rpmrichParseType type, std::string_view sName, std::string_view sEvr,
               rpmsenseFlags flags, rpmrichOp op)
    {
        switch (type)
        {
        case RPMRICH_PARSE_ENTER:
            m_vFrames.emplace_back();
            return true;
        case RPMRICH_PARSE_SIMPLE:
        {
            if (m_vFrames.empty() || sName.empty())
                return false;
            RichDependency::Node node;
            node.m_leaf.m_sName = sName;
            if (!sEvr.empty())
            {
                node.m_leaf.m_Evr = Evr(sEvr);
                node.m_leaf.m_nFlags = static_cast<int>(flags & RPMSENSE_SENSEMASK);
            }
            return add(std::move(node));
        }
        case RPMRICH_PARSE_OP:
            return m_vFrames.empty() ? false : setOperator(m_vFrames.back(), op);
        case RPMRICH_PARSE_LEAVE:
            return leave();
        }
        return false;
    }

    static bool setOperator(Frame& frame, rpmrichOp op)
    {
        using Op = RichDependency::Op;
        std::optional<Op> next;
        switch (op)
        {
        case RPMRICHOP_AND:
            next = Op::AND;
            break;
        case RPMRICHOP_OR:
            next = Op::OR;
            break;
        case RPMRICHOP_IF:
            next = Op::IF;
            break;
        case RPMRICHOP_UNLESS:
            next = Op::UNLESS;
            break;
        case RPMRICHOP_WITH:
            next = Op::WITH;
            break;
        case RPMRICHOP_WITHOUT:
            next = Op::WITHOUT;
            break;
        case RPMRICHOP_ELSE:
            // Only a condition takes an alternative, and only one.
            if (frame.m_bElse || (frame.m_op != Op::IF && frame.m_op != Op::UNLESS) ||
                frame.m_vOperands.size() != 2)
                return false;
            frame.m_bElse = true;
            return true;
        case RPMRICHOP_SINGLE:
            return false;
        }
        if (!next || (frame.m_op && *frame.m_op != *next))
            return false;
        // Conditions have exactly two sides before an "else"; librpm refuses a chain of them.
        if ((*next == Op::IF || *next == Op::UNLESS) && frame.m_op)
            return false;
        frame.m_op = next;
        return true;
    }

    bool leave()
    {
        if (m_vFrames.empty())
            return false;
        Frame frame = std::move(m_vFrames.back());
        m_vFrames.pop_back();
        uint32_t uNode;
        if (!frame.m_op)
        {
            // "(a)": the parentheses only group.
            if (frame.m_vOperands.size() != 1)
                return false;
            uNode = frame.m_vOperands.front();
        }
        else
        {
            const size_t uWanted = frame.m_bElse ? 3 : 2;
            const bool bCondition =
                *frame.m_op == RichDependency::Op::IF || *frame.m_op == RichDependency::Op::UNLESS;
            if (bCondition ? frame.m_vOperands.size() != uWanted : frame.m_vOperands.size() < 2)
                return false;
            RichDependency::Node node;
            node.m_op = *frame.m_op;
            node.m_vOperands = std::move(frame.m_vOperands);
            uNode = static_cast<uint32_t>(m_vNodes.size());
            m_vNodes.push_back(std::move(node));
        }
        if (m_vFrames.empty())
        {
            m_uRoot = uNode;
            return true;
        }
        m_vFrames.back().m_vOperands.push_back(uNode);
        return true;
    }

    bool add(RichDependency::Node&& node)
    {
        m_vFrames.back().m_vOperands.push_back(static_cast<uint32_t>(m_vNodes.size()));
        m_vNodes.push_back(std::move(node));
        return true;
    }

    std::vector<RichDependency::Node>& m_vNodes;
    std::vector<Frame> m_vFrames;
    std::optional<uint32_t> m_uRoot;
};

} // namespace

bool RichDependency::parse(std::string_view sText)
{
    m_vNodes.clear();
    m_uRoot = 0;
    const int nShown = static_cast<int>(std::min<size_t>(sText.size(), MAX_SHOWN_LENGTH));
    // librpm's parser and the evaluation recurse once per level: a deep text from a
    // repository must not exhaust the stack. Real requirements nest a few levels.
    int nDepth = 0;
    int nDeepest = 0;
    for (char c : sText)
    {
        if (c == '(')
            nDeepest = std::max(nDeepest, ++nDepth);
        else if (c == ')')
            --nDepth;
    }
    if (nDeepest > MAX_RICH_DEPTH || sText.find('\0') != std::string_view::npos)
    {
        logMessage(DEBUG,
                   "refusing rich dependency '%.*s': nested deeper than %d levels or with a NUL",
                   nShown, sText.data(), MAX_RICH_DEPTH);
        return false;
    }

    const std::string sCopy(sText);
    // librpm decides what counts as rich; its parser then reads the expression.
    const UniqueDs ds(rpmdsSingle(RPMTAG_REQUIRENAME, sCopy.c_str(), "", RPMSENSE_ANY));
    if (ds)
        (void)rpmdsSetIx(ds.get(), 0);
    if (!ds || rpmdsIsRich(ds.get()) == 0)
    {
        logMessage(DEBUG, "not a rich dependency: %.*s", nShown, sCopy.c_str());
        return false;
    }

    TreeBuilder builder(m_vNodes);
    const char* pRest = sCopy.c_str();
    char* pMessage = nullptr;
    const rpmRC rc = rpmrichParse(&pRest, &pMessage, &TreeBuilder::callback, &builder);
    const std::unique_ptr<char, MessageFree> message(pMessage);
    if (rc != RPMRC_OK || *pRest != '\0' || !builder.root())
    {
        logMessage(DEBUG, "invalid rich dependency '%.*s': %s", nShown, sCopy.c_str(),
                   message
                       ? message.get()
                       : (*pRest != '\0' && rc == RPMRC_OK ? "text after the end" : "malformed"));
        m_vNodes.clear();
        return false;
    }
    m_uRoot = *builder.root();
    return true;
}
