// Symbol table: one node per distinct symbol text, kept in a balanced search
// tree in byte order, each with the list of its occurrences, newest first; and
// the two column widths the listing needs, grown while symbols are recorded.
// Nodes, names and entries come from pooled blocks released per source; the
// entries of one symbol are taken in runs of adjacent slots that double in
// length, so that walking its list reads memory in order.  A hash index in
// front of the tree finds names already seen.
#pragma once

#include <cstddef>
#include <cstdint>

namespace symbols {

inline constexpr std::int32_t MIN_NAME_WIDTH = 8;     // name column with no longer name
inline constexpr std::int32_t MAX_NAME_WIDTH = 32;    // names are cut to this in the listing
inline constexpr std::int32_t MIN_NUMBER_WIDTH = 4;   // line-number field below 10000
inline constexpr int MAX_REF_BLOCK_SHIFT = 7;         // a symbol's entries come in runs of up to 128

struct RefEntry {
    char mark;            // "#" defined, "&" called, " " used
    std::int32_t line;    // line_number when recorded
    RefEntry* next;       // the next older entry, or nullptr
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
    RefEntry* refs;       // newest occurrence first; never empty
};

inline SymbolNode* symbol_root = nullptr;          // the table of the current source
inline const char* current_symbol = nullptr;       // text being recorded or listed
inline std::uint32_t current_length = 0;           // bytes of current_symbol while recording
inline std::int32_t name_width = MIN_NAME_WIDTH;   // 8..32: longest name plus one blank
inline std::int32_t number_width = MIN_NUMBER_WIDTH;  // digits of the largest recorded line, at least 4
inline char recording_mark = ' ';                  // current_mark when the occurrence was met
inline char recording_kind = ' ';                  // current_kind when the occurrence was met
inline std::int32_t recording_line = 1;            // line_number when the occurrence was met

// Records one occurrence of text on line_number with current_mark.
void record_reference(const char* text);
// The same for a text of known length.
void record_reference_n(const char* text, std::uint32_t length);
// Records like record_reference_n, with the mark, kind and line of now, but
// a few occurrences later: the table's memory is fetched ahead while the
// next lines are read.  Nothing may read the table before flush_references.
void queue_reference(const char* text, std::uint32_t length);
// Records every queued occurrence, in the order queued.
void flush_references();
// Inserts current_symbol below node, rebalancing; returns the subtree's new root.
SymbolNode* insert_symbol(SymbolNode* node);
// A pooled copy of current_symbol; widens name_width.
char* copy_symbol_name();
// A new entry for node with current_mark (or " " by the macro rule), before next.
RefEntry* new_ref_entry(SymbolNode* node, RefEntry* next);
// Returns every node and name to the heap (node is symbol_root), then the entries.
void release_tree(SymbolNode* node);
// Returns every reference entry to the heap.
void release_references();
// Per-source reset: empty table, widths 8 and 4.
void reset_symbols();

}  // namespace symbols
