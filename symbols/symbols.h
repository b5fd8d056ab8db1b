// Symbol table: one node per distinct symbol text, each with its occurrences
// in the order met, found by a hash index while the source is read and put in
// a balanced search tree in byte order once every name is recorded (and in
// an array in that order, which the listing walks); and the two column
// widths the listing needs, grown while symbols are recorded.
// Nodes, names and entries come from pooled blocks released per source; the
// entries of one symbol are appended forward in chunks that double in length,
// so that walking them reads memory in order and nothing is turned round once
// the source is read.
#pragma once

#include <cstdint>

namespace symbols {

inline constexpr std::int32_t MIN_NAME_WIDTH = 8;     // name column with no longer name
inline constexpr std::int32_t MAX_NAME_WIDTH = 32;    // names are cut to this in the listing
inline constexpr std::int32_t MIN_NUMBER_WIDTH = 4;   // line-number field below 10000

inline constexpr int USAGE_DEFINED_AND_USED = 0;   // some occurrence is a definition, some is not
inline constexpr int USAGE_NEVER_USED = 1;         // every occurrence is a definition ("#")
inline constexpr int USAGE_NEVER_DEFINED = 2;      // no occurrence is a definition

// One occurrence: 8 bytes, half of a linked entry's 16.
struct RefEntry {
    std::int32_t line;    // line of the occurrence
    char mark;            // "#" defined, "&" called, " " used
    std::uint8_t column;  // where the occurrence's text starts in its line, 0..253
};
static_assert(sizeof(RefEntry) == 8, "an occurrence costs 8 bytes");

// A run of a symbol's entries, in the order met, followed in memory by room
// for size of them.
struct RefChunk {
    RefChunk* next;       // the chunk after it; the last one's is the first (a ring)
    std::uint32_t count;  // entries filled, 1..size
    std::uint32_t size;   // entries it has room for
    RefEntry* entries() { return reinterpret_cast<RefEntry*>(this + 1); }
    const RefEntry* entries() const { return reinterpret_cast<const RefEntry*>(this + 1); }
};
static_assert(sizeof(RefChunk) % alignof(RefEntry) == 0, "entries follow the chunk's head");

struct SymbolNode {
    const char* name;     // the symbol's text, case kept, zero-terminated
    char kind;            // "M" macro name, " " otherwise; fixed at creation (0 until then
                          // for a name only note_name met)
    std::uint32_t length; // bytes of name, terminator not counted
    SymbolNode* less;     // names that compare lower
    SymbolNode* greater;  // names that compare higher
    RefChunk* last;       // the chunk the next entry goes in (or after), whose next is the
                          // first; nullptr only when record_name made the table
};
static_assert(sizeof(SymbolNode) <= 40, "a node costs at most 40 bytes");

// A walk of a symbol's entries, oldest first:
//   RefWalk w; for (const RefEntry* e = first_ref(node, &w); e != nullptr; e = next_ref(&w))
struct RefWalk {
    const RefChunk* chunk;
    const RefChunk* last;
    std::uint32_t at;
};

inline const RefEntry* first_ref(const SymbolNode* node, RefWalk* walk) {
    walk->last = node->last;
    walk->chunk = node->last != nullptr ? node->last->next : nullptr;
    walk->at = 0;
    return walk->chunk != nullptr ? walk->chunk->entries() : nullptr;
}

inline const RefEntry* next_ref(RefWalk* walk) {
    if (++walk->at < walk->chunk->count) return walk->chunk->entries() + walk->at;
    if (walk->chunk == walk->last) return nullptr;
    walk->chunk = walk->chunk->next;
    walk->at = 0;
    return walk->chunk->entries();
}

struct PoolBlock;   // a block of memory the nodes, names and entries of a table live in

// A table once its source is read: a value its owner keeps, moves or lets
// go, which releases its nodes, names and entries with it.
struct Table {
    SymbolNode* root = nullptr;                   // nullptr for a table without names
    SymbolNode** order = nullptr;                 // the tree's nodes in name order, count of them
    std::uint32_t count = 0;                      // names in the table
    std::int32_t name_width = MIN_NAME_WIDTH;     // 8..32: longest name plus one blank
    std::int32_t number_width = MIN_NUMBER_WIDTH; // digits of the largest recorded line, at least 4
    PoolBlock* node_blocks = nullptr;             // where its nodes and names live
    PoolBlock* entry_blocks = nullptr;            // where its entries live

    Table() = default;
    Table(Table&& other) noexcept;
    Table& operator=(Table&& other) noexcept;
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;
    ~Table();
};

// The table being filled: recording writes it, take_table hands it over.
inline SymbolNode* symbol_root = nullptr;          // its root
inline std::int32_t name_width = MIN_NAME_WIDTH;   // 8..32: longest name plus one blank
inline std::int32_t number_width = MIN_NUMBER_WIDTH;  // digits of the largest recorded line, at least 4


// Records one occurrence of the length bytes at text, met on line at column
// with mark; a symbol not seen before is created with kind ("M" or " ").  A
// symbol created with kind "M" gets the mark " " whenever kind is " " (the
// macro rule).  The text is copied when needed and need not outlive the call.
// Once the table is large the occurrence may wait in a queue inside the
// table, and a new name reaches the tree only when it is built:
// finish_recording must run before the table is read.
void record_reference(const char* text, std::uint32_t length, char mark, char kind, std::int32_t line,
                      int column);
// Records every occurrence still queued and builds symbol_root's tree of
// every name recorded (analysis::analyse_source once the source is read).
void finish_recording();
// Records the name of an occurrence as record_reference does, but not the
// occurrence itself (for a reader that keeps the occurrences on its own):
// a symbol not seen before is created with kind and no entry, one that
// note_name made takes kind now.  Returns its node; *stored is the mark
// record_reference would store.
const SymbolNode* record_name(const char* text, std::uint32_t length, char mark, char kind, char* stored);
// The node of a name met where the statement records nothing, made when new
// with kind 0 (undecided: the next record_name of it decides).
const SymbolNode* note_name(const char* text, std::uint32_t length);
// Whether the symbol is defined and used, defined but never used or used but
// never defined: USAGE_DEFINED_AND_USED..USAGE_NEVER_DEFINED.
int usage_of(const SymbolNode* node);
// The same rule for any set of a symbol's occurrences: whether some is a
// definition ("#"), and whether some is not.
constexpr int usage_from(bool defined, bool used) {
    return !used ? USAGE_NEVER_USED : !defined ? USAGE_NEVER_DEFINED : USAGE_DEFINED_AND_USED;
}
// Hands the table being filled over, every occurrence recorded; the table
// being filled is then empty (widths 8 and 4) and its index released.
Table take_table();
// Returns every node, name and entry of the table being filled to the heap; it is empty.
void release_tree();
// Per-source reset: empty table (what one left is released), widths 8 and 4.
void reset_symbols();

}  // namespace symbols
