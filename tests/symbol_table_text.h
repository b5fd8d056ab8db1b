// The symbol table as the unit tests read it.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "symbols/symbols.h"

namespace test_util {

// The nodes of the table at root (the one being filled when none is named)
// in name order, walked without recursion, once every occurrence is recorded.
inline std::vector<const symbols::SymbolNode*> nodes_in_order(const symbols::SymbolNode* root = nullptr) {
    symbols::finish_recording();
    std::vector<const symbols::SymbolNode*> out, stack;
    const symbols::SymbolNode* n = root != nullptr ? root : symbols::symbol_root;
    while (n != nullptr || !stack.empty()) {
        for (; n != nullptr; n = n->less) stack.push_back(n);
        n = stack.back();
        stack.pop_back();
        out.push_back(n);
        n = n->greater;
    }
    return out;
}

// The table as text: "NAME: 5# 9  9 |PUTC(M): 1#", references oldest first
// (whether or not the table has ordered its lists yet), each its line and its mark.
inline std::string table_text() {
    std::string out;
    for (const symbols::SymbolNode* n : nodes_in_order()) {
        if (!out.empty()) out += '|';
        out += n->name;
        if (n->kind == 'M') out += "(M)";
        out += ':';
        symbols::RefWalk w;
        for (const symbols::RefEntry* e = symbols::first_ref(n, &w); e != nullptr; e = symbols::next_ref(&w))
            out += ' ' + std::to_string(e->line) + e->mark;
    }
    return out;
}

}  // namespace test_util
