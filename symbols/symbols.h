// Symbol table: one node per distinct symbol text, kept in a balanced search
// tree in byte order, each with the list of its occurrences, newest first; and
// the two column widths the listing needs, grown while symbols are recorded.
// Nodes, names and entries come from pooled blocks released per source; the
// entries of one symbol are taken in runs of adjacent slots that double in
// length, so that walking its list reads memory in order.  A hash index in
// front of the tree finds names already seen.
#pragma once

#include <cstdint>

namespace symbols {

inline constexpr std::int32_t MIN_NAME_WIDTH = 8;     // name column with no longer name
inline constexpr std::int32_t MAX_NAME_WIDTH = 32;    // names are cut to this in the listing
inline constexpr std::int32_t MIN_NUMBER_WIDTH = 4;   // line-number field below 10000

inline constexpr int USAGE_DEFINED_AND_USED = 0;   // some occurrence is a definition, some is not
inline constexpr int USAGE_NEVER_USED = 1;         // every occurrence is a definition ("#")
inline constexpr int USAGE_NEVER_DEFINED = 2;      // no occurrence is a definition

struct RefEntry {
    char mark;            // "#" defined, "&" called, " " used
    std::uint8_t column;  // where the occurrence's text starts in its line, 0..253
    std::int32_t line;    // line of the occurrence
    RefEntry* next;       // the next entry: older while recording, newer once ordered
};
static_assert(sizeof(RefEntry) <= 16, "a reference costs at most 16 bytes");

struct SymbolNode {
    const char* name;     // the symbol's text, case kept, zero-terminated
    char kind;            // "M" macro name, " " otherwise; fixed at creation
    std::int8_t height;   // height of this subtree, 1 for a leaf (balancing)
    std::uint8_t room;    // free entries behind refs in its block, 0..127
    std::uint8_t block_shift;  // log2 of the entries in the block refs lies in
    std::uint32_t length; // bytes of name, terminator not counted
    SymbolNode* less;     // names that compare lower
    SymbolNode* greater;  // names that compare higher
    RefEntry* refs;       // newest occurrence first, oldest first once ordered; empty only
                          // when record_name made the table
};

inline SymbolNode* symbol_root = nullptr;          // the table of the current source, complete once
                                                   // read through finish_recording or order_references
inline std::int32_t name_width = MIN_NAME_WIDTH;   // 8..32: longest name plus one blank
inline std::int32_t number_width = MIN_NUMBER_WIDTH;  // digits of the largest recorded line, at least 4

inline bool references_ordered = false;             // every list is oldest first; nothing more is recorded

// Records one occurrence of the length bytes at text, met on line at column
// with mark; a symbol not seen before is created with kind ("M" or " ").  A
// symbol created with kind "M" gets the mark " " whenever kind is " " (the
// macro rule).  The text is copied when needed and need not outlive the call.
// Once the table is large the occurrence may wait in a queue inside the
// table; every operation that reads the table records it first.
void record_reference(const char* text, std::uint32_t length, char mark, char kind, std::int32_t line,
                      int column);
// Records every occurrence still queued and places new names in the tree;
// record_name and order_references do it themselves, before they read the
// table.
void finish_recording();
// Records the name of an occurrence as record_reference does, but not the
// occurrence itself (for a reader that keeps the occurrences on its own):
// a symbol not seen before is created with kind and no entry.  Returns the
// mark record_reference would store.
char record_name(const char* text, std::uint32_t length, char mark, char kind);
// Once the source is read: turns every reference list round, oldest first,
// for the readers of the table (the listing, the page).  Nothing is recorded
// after it until the next reset.
void order_references();
// Whether the symbol is defined and used, defined but never used or used but
// never defined: USAGE_DEFINED_AND_USED..USAGE_NEVER_DEFINED.
int usage_of(const SymbolNode* node);
// The same rule for any set of a symbol's occurrences: whether some is a
// definition ("#"), and whether some is not.
constexpr int usage_from(bool defined, bool used) {
    return !used ? USAGE_NEVER_USED : !defined ? USAGE_NEVER_DEFINED : USAGE_DEFINED_AND_USED;
}
// Returns every node, name and entry of the table to the heap.
void release_tree();
// Per-source reset: empty table (what one left is released), widths 8 and 4.
void reset_symbols();

}  // namespace symbols
