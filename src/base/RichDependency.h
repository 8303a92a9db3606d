#pragma once

#include "base/Dependency.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// A boolean ("rich") dependency of rpm 4.13 and later, such as "(liba or libb >= 2)" or
// "(a if b else c)". The dependency entry keeps the whole text as its name (Dependency::isRich);
// this is that text parsed by librpm into operations over plain entries.
class RichDependency
{
public:
    enum class Op : uint8_t
    {
        LEAF,    // a plain entry
        AND,     // every operand
        OR,      // at least one operand
        IF,      // consequence if condition [else alternative]
        UNLESS,  // consequence unless condition [else alternative]
        WITH,    // one package that provides every operand
        WITHOUT, // one package that provides the first operand and not the second
    };

    struct Node
    {
        Op m_op = Op::LEAF;
        Dependency m_leaf; // LEAF only
        // Indices of the operand nodes in the text's order; for IF and UNLESS the
        // consequence, the condition and, when the text has "else", the alternative.
        std::vector<uint32_t> m_vOperands;
    };

    // Deepest nesting of parentheses accepted.
    static constexpr int MAX_RICH_DEPTH = 100;

    // Parses the text of a requirement with librpm; false, with librpm's reason logged at
    // DEBUG, when it is no complete, valid rich dependency or nests deeper than MAX_RICH_DEPTH.
    [[nodiscard]] bool parse(std::string_view sText);

    uint32_t rootIndex() const { return m_uRoot; }
    const Node& root() const { return m_vNodes[m_uRoot]; }
    const Node& node(uint32_t uIndex) const { return m_vNodes[uIndex]; }

private:
    // Longest part of a refused text that a message shows.
    static constexpr size_t MAX_SHOWN_LENGTH = 200;

    std::vector<Node> m_vNodes;
    uint32_t m_uRoot = 0;
};
