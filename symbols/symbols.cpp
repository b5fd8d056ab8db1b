// The symbol tree (AVL-balanced, so names met in ascending order cost no more
// than any others), the hash index in front of it, and the pooled blocks its
// nodes, names and entries live in.
#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>

#include "fatal/fatal.h"
#include "symbols/symbols.h"

namespace symbols {

namespace {

// A pool hands out memory from large blocks and returns it all at once.
struct Block {
    Block* previous;
    std::size_t size;
};

struct Pool {
    Block* last;        // newest block, or nullptr
    char* next;         // first free byte in it
    char* end;          // one past its last byte
};

constexpr std::size_t FIRST_BLOCK = 64 * 1024;
constexpr std::size_t MAX_BLOCK = 4 * 1024 * 1024;

Pool symbol_pool = {};      // nodes and names
Pool reference_pool = {};   // reference entries

char* pool_grow(Pool& pool, std::size_t bytes) {
    std::size_t size = pool.last == nullptr ? FIRST_BLOCK : pool.last->size * 2;
    if (size > MAX_BLOCK) size = MAX_BLOCK;
    while (size < bytes + sizeof(Block)) size *= 2;
    Block* block = static_cast<Block*>(std::malloc(size));
    if (block == nullptr) fatal::report_error(fatal::ERROR_HEAP);
    block->previous = pool.last;
    block->size = size;
    pool.last = block;
    pool.next = reinterpret_cast<char*>(block) + sizeof(Block);
    pool.end = reinterpret_cast<char*>(block) + size;
    return pool.next;
}

// bytes from pool, aligned to align (a power of two).
void* pool_take(Pool& pool, std::size_t bytes, std::size_t align) {
    char* p = pool.next;
    if (p != nullptr) {
        std::size_t pad = (align - reinterpret_cast<std::uintptr_t>(p) % align) % align;
        if (static_cast<std::size_t>(pool.end - p) >= pad + bytes) {
            pool.next = p + pad + bytes;
            return p + pad;
        }
    }
    p = pool_grow(pool, bytes + align);
    std::size_t pad = (align - reinterpret_cast<std::uintptr_t>(p) % align) % align;
    pool.next = p + pad + bytes;
    return p + pad;
}

void pool_release(Pool& pool) {
    for (Block* b = pool.last; b != nullptr;) {
        Block* previous = b->previous;
        std::free(b);
        b = previous;
    }
    pool = Pool{};
}

// What is recorded of one occurrence besides its text.
struct Occurrence {
    char mark;            // the classifier's mark
    char kind;            // the classifier's kind
    std::int32_t line;
    int column;
};

int height(const SymbolNode* n) { return n == nullptr ? 0 : n->height; }

void update_height(SymbolNode* n) {
    int l = height(n->less), g = height(n->greater);
    n->height = static_cast<std::int8_t>((l > g ? l : g) + 1);
}

SymbolNode* rotate_right(SymbolNode* n) {
    SymbolNode* l = n->less;
    n->less = l->greater;
    l->greater = n;
    update_height(n);
    update_height(l);
    return l;
}

SymbolNode* rotate_left(SymbolNode* n) {
    SymbolNode* g = n->greater;
    n->greater = g->less;
    g->less = n;
    update_height(n);
    update_height(g);
    return g;
}

SymbolNode* rebalance(SymbolNode* n) {
    update_height(n);
    int balance = height(n->less) - height(n->greater);
    if (balance > 1) {
        if (height(n->less->less) < height(n->less->greater)) n->less = rotate_left(n->less);
        return rotate_right(n);
    }
    if (balance < -1) {
        if (height(n->greater->greater) < height(n->greater->less)) n->greater = rotate_right(n->greater);
        return rotate_left(n);
    }
    return n;
}

// Byte-wise unsigned comparison of two names; a prefix sorts first.
int compare_names(const SymbolNode* a, const SymbolNode* b) {
    std::uint32_t common = a->length < b->length ? a->length : b->length;
    int order = std::memcmp(a->name, b->name, common);
    if (order != 0) return order;
    return a->length < b->length ? -1 : (a->length > b->length ? 1 : 0);
}

// Decimal digits of a line number; a value below 1 counts as one digit.
std::int32_t digits_of(std::int32_t line) {
    std::int32_t d = 1;
    for (std::int32_t v = line; v >= 10; v /= 10) ++d;
    return d;
}

// The smallest line number with more than d digits, for d of 1..9.
constexpr std::int32_t DIGITS_LIMIT[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000,
                                         1000000000};

// A hash index in front of the tree: a name seen before is found with one
// probe or a few instead of a descent of comparisons.  Open addressing over
// a power-of-two table, at most three quarters full.  A slot keeps a 32-bit
// tag from the name's hash (0 when free) and the name's length beside the
// node pointer, so a probe past other names touches no node: against slots
// of the node pointer alone, 18 % less CPU time on the ascending case of
// bench/run.sh and 7 % on wide (1,000,000 lines, interleaved runs, medians
// of 11).  The index holds every node of the tree; the tree stays the
// ordered structure.
struct IndexSlot {
    std::uint32_t tag;      // 0 for a free slot
    std::uint32_t length;   // the node's name length
    SymbolNode* node;
};

IndexSlot* index_slots = nullptr;    // nullptr until the first symbol
std::uint32_t index_mask = 0;        // slots - 1
std::uint32_t index_count = 0;       // nodes in the index

constexpr std::uint32_t FIRST_INDEX_SLOTS = 4096;
constexpr std::uint32_t QUEUE_LENGTH = 16;           // occurrences queued at most
constexpr std::uint32_t PENDING_TEXT = 256;          // a longer text is recorded at once
// Names in the table from which occurrences are queued: below it the table
// stays in the first-level caches and a queue only adds its copies.  Hot
// (7,800 names) and realistic (27,000) measured the same from 2,048 on as
// from 16,384 on, within the machine's noise.
constexpr std::uint32_t QUEUE_FROM_NAMES = 2048;
// A symbol's entries come in runs of adjacent slots that double in length,
// so that walking its list reads memory in order: against one slot per
// entry, 32 % less CPU time on the realistic case of bench/run.sh and 20 % on
// ascending (1,000,000 lines, interleaved runs, medians of 7).
constexpr int FIRST_REF_BLOCK_SHIFT = 1;   // a new symbol's first block holds two entries
constexpr int MAX_REF_BLOCK_SHIFT = 7;     // a symbol's entries come in runs of up to 128
static_assert(MAX_REF_BLOCK_SHIFT < 8, "room counts up to 255");

// The mark stored for an occurrence of node with mark and kind: " " by the
// macro rule.
char stored_mark(const SymbolNode* node, char mark, char kind) { return node->kind == 'M' && kind == ' ' ? ' ' : mark; }

// Sets entry e of node: the mark (or " " by the macro rule), the line and column.
RefEntry* fill_entry(RefEntry* e, const SymbolNode* node, RefEntry* next, const Occurrence& o) {
    e->mark = stored_mark(node, o.mark, o.kind);
    e->column = static_cast<std::uint8_t>(o.column);
    e->line = o.line;
    e->next = next;
    return e;
}

std::uint64_t mix(std::uint64_t h) {
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ULL;
    return h ^ (h >> 32);
}

std::uint64_t hash_name(const char* p, std::uint32_t n) {
    std::uint64_t h = 0x9E3779B97F4A7C15ULL * (n + 1u);
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = mix(h ^ w);
    }
    std::uint64_t w = 0;
    for (std::uint32_t i = 0; i < n; ++i) w |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    return mix(h ^ w);
}

// The slot bits come from the low half of the hash, the tag from the high half.
std::uint32_t tag_of(std::uint64_t h) { return static_cast<std::uint32_t>(h >> 32) | 1u; }

void index_release() {
    std::free(index_slots);
    index_slots = nullptr;
    index_mask = 0;
    index_count = 0;
}

void index_place(SymbolNode* node, std::uint64_t h) {
    std::uint32_t i = static_cast<std::uint32_t>(h) & index_mask;
    while (index_slots[i].tag != 0) i = (i + 1) & index_mask;
    index_slots[i] = IndexSlot{tag_of(h), node->length, node};
}

void index_grow() {
    std::uint32_t slots = index_slots == nullptr ? FIRST_INDEX_SLOTS : (index_mask + 1) * 2;
    IndexSlot* fresh = static_cast<IndexSlot*>(std::calloc(slots, sizeof(IndexSlot)));
    if (fresh == nullptr) fatal::report_error(fatal::ERROR_HEAP);
    IndexSlot* old = index_slots;
    std::uint32_t old_slots = old == nullptr ? 0 : index_mask + 1;
    index_slots = fresh;
    index_mask = slots - 1;
    for (std::uint32_t i = 0; i < old_slots; ++i)
        if (old[i].tag != 0) index_place(old[i].node, hash_name(old[i].node->name, old[i].length));
    std::free(old);
}

// The node of the length bytes at text, or nullptr when there is none yet.
SymbolNode* index_find(const char* text, std::uint32_t length, std::uint64_t h) {
    if (index_slots == nullptr) return nullptr;
    std::uint32_t tag = tag_of(h);
    for (std::uint32_t i = static_cast<std::uint32_t>(h) & index_mask;; i = (i + 1) & index_mask) {
        const IndexSlot& slot = index_slots[i];
        if (slot.tag == 0) return nullptr;
        if (slot.tag == tag && slot.length == length && std::memcmp(slot.node->name, text, length) == 0)
            return slot.node;
    }
}

void index_add(SymbolNode* node, std::uint64_t h) {
    if (index_slots == nullptr || (index_count + 1ULL) * 4 > (index_mask + 1ULL) * 3) index_grow();
    index_place(node, h);
    ++index_count;
}

// A pooled, terminated copy of the length bytes at text; widens name_width.
char* copy_symbol_name(const char* text, std::uint32_t length) {
    std::size_t n = length + std::size_t{1};
    char* copy = static_cast<char*>(pool_take(symbol_pool, n, 1));
    if (n > static_cast<std::size_t>(MAX_NAME_WIDTH))
        name_width = MAX_NAME_WIDTH;
    else if (static_cast<std::int32_t>(n) > name_width)
        name_width = static_cast<std::int32_t>(n);
    std::memcpy(copy, text, length);
    copy[length] = 0;
    return copy;
}

// A new node for text without entries; not yet in the tree.  Its first
// entry takes a block of 1 << FIRST_REF_BLOCK_SHIFT entries.
SymbolNode* new_node(const char* text, std::uint32_t length, char kind) {
    auto* n = static_cast<SymbolNode*>(pool_take(symbol_pool, sizeof(SymbolNode), alignof(SymbolNode)));
    n->name = copy_symbol_name(text, length);
    n->length = length;
    n->kind = kind;
    n->height = 1;
    n->refs = nullptr;
    n->room = 0;
    n->block_shift = FIRST_REF_BLOCK_SHIFT - 1;
    n->less = nullptr;
    n->greater = nullptr;
    return n;
}

// Places fresh, whose name no node holds yet, below node, rebalancing;
// returns the subtree's new root.
SymbolNode* insert_symbol(SymbolNode* node, SymbolNode* fresh) {
    if (node == nullptr) return fresh;
    int order = compare_names(fresh, node);
    assert(order != 0 && "the index holds every name of the tree");
    if (order < 0)
        node->less = insert_symbol(node->less, fresh);
    else
        node->greater = insert_symbol(node->greater, fresh);
    return rebalance(node);
}

// A new entry for node, before its newest.
void add_ref_entry(SymbolNode* node, const Occurrence& o) {
    RefEntry* next = node->refs;
    RefEntry* e;
    if (node->room > 0) {
        e = next + 1;   // the slot after the newest entry in the symbol's block
        --node->room;
    } else {
        int shift = node->block_shift + 1;
        if (shift > MAX_REF_BLOCK_SHIFT) shift = MAX_REF_BLOCK_SHIFT;
        std::size_t count = std::size_t{1} << shift;
        e = static_cast<RefEntry*>(pool_take(reference_pool, count * sizeof(RefEntry), alignof(RefEntry)));
        node->block_shift = static_cast<std::uint8_t>(shift);
        node->room = static_cast<std::uint8_t>(count - 1);
    }
    node->refs = fill_entry(e, node, next, o);
}

// Turns a reference list round in place and returns its new head.
RefEntry* reverse_references(RefEntry* head) {
    RefEntry* reversed = nullptr;
    while (head != nullptr) {
        RefEntry* next = head->next;
        head->next = reversed;
        reversed = head;
        head = next;
    }
    return reversed;
}

// Turns every list of the subtree round; the recursion follows the balanced height.
void order_subtree(SymbolNode* n) {
    for (; n != nullptr; n = n->greater) {
        order_subtree(n->less);
        n->refs = reverse_references(n->refs);
    }
}

// Nodes that record_reference made are not placed in the tree one descent
// each, each step a likely cache miss: they wait, with height 0, until the
// table is read.  Once the source is read (order_references) and the tree
// is still empty, as on the command line, the index's slots, whose work is
// done, are turned into sort keys in place, sorted once, and the tree is
// built balanced from them; earlier (finish_recording) each waiting node is
// placed as before.  Against placing each at once, on bench/run.sh's
// 1,000,000-line inputs (median CPU of 7 interleaved runs): wide 22 % less,
// realistic 3 %, ascending 2 %, though callgrind counts 9.5 % more
// instructions on 200,000 wide lines.
std::uint32_t waiting_nodes = 0;   // nodes not yet in the tree

// A slot as a sort key: the name's first eight bytes, the first the most
// significant and zeros after the name, split over tag (high half) and
// length (low half).
IndexSlot sort_key(SymbolNode* n) {
    std::uint64_t key = 0;
    for (std::uint32_t i = 0; i < 8; ++i)
        key = key << 8 | (i < n->length ? static_cast<unsigned char>(n->name[i]) : 0u);
    return IndexSlot{static_cast<std::uint32_t>(key >> 32), static_cast<std::uint32_t>(key), n};
}

// Byte order, as compare_names: the keys first, equal keys settled by the
// whole names (no two are equal: the index holds each once).
bool sorts_before(const IndexSlot& a, const IndexSlot& b) {
    if (a.tag != b.tag) return a.tag < b.tag;
    if (a.length != b.length) return a.length < b.length;
    return compare_names(a.node, b.node) < 0;
}

// A balanced tree of the sorted nodes from first up to last.
SymbolNode* build_tree(const IndexSlot* first, const IndexSlot* last) {
    if (first == last) return nullptr;
    const IndexSlot* middle = first + (last - first) / 2;
    SymbolNode* n = middle->node;
    n->less = build_tree(first, middle);
    n->greater = build_tree(middle + 1, last);
    update_height(n);
    return n;
}

// Places every waiting node in the tree, one at a time.
void place_waiting_nodes() {
    for (std::uint32_t i = 0; waiting_nodes > 0 && i <= index_mask; ++i) {
        SymbolNode* n = index_slots[i].tag != 0 ? index_slots[i].node : nullptr;
        if (n == nullptr || n->height != 0) continue;
        n->height = 1;
        symbol_root = insert_symbol(symbol_root, n);
        --waiting_nodes;
    }
}

// The last of the table's reading: the index is taken apart for the sort.
void place_all_nodes() {
    if (waiting_nodes == 0) return;
    if (symbol_root != nullptr) {
        place_waiting_nodes();
        return;
    }
    std::uint32_t count = 0;
    for (std::uint32_t i = 0; i <= index_mask; ++i)
        if (index_slots[i].tag != 0) index_slots[count++] = sort_key(index_slots[i].node);
    std::sort(index_slots, index_slots + count, sorts_before);
    symbol_root = build_tree(index_slots, index_slots + count);
    waiting_nodes = 0;
    index_release();
}

// The node of text, whose hash is h; a new one of kind kind, without
// entries, when the table has none yet, placed in the tree at once or,
// when placing is false, left waiting.
SymbolNode* find_or_add(const char* text, std::uint32_t length, std::uint64_t h, char kind, bool placing) {
    SymbolNode* n = index_find(text, length, h);
    if (n == nullptr) {
        n = new_node(text, length, kind);
        if (placing) {
            symbol_root = insert_symbol(symbol_root, n);
        } else {
            n->height = 0;
            ++waiting_nodes;
        }
        index_add(n, h);
    }
    return n;
}

// Recording through a queue.  Once the table outgrows the caches, looking a
// name up costs misses that wait on each other (the index slot, then the
// node it names, then the block its next entry goes to), and the next
// occurrence's misses wait on those.  An occurrence is then queued with its
// own copy of the text: its slot is fetched as it comes in, the node once it
// is halfway through the queue, the entry's place a quarter before it
// leaves, and it is recorded when it leaves, oldest first, so that each
// symbol gets its occurrences in the order they were met.  Every operation
// that reads the table records what is queued first (finish_recording);
// nothing outside this file sees a recording deferred.  Against recording
// at once, on bench/run.sh's 1,000,000-line inputs (median CPU of 9
// interleaved runs): wide 22 % less, realistic 17 %, ascending 13 %, crlf
// 14 %, hot unchanged; the entry's fetch alone gave realistic 9 %, wide 3 %.
struct Pending {
    std::uint64_t hash;
    std::uint32_t length;
    Occurrence recording;
    char text[PENDING_TEXT];
};

Pending queue[QUEUE_LENGTH];
std::uint32_t queue_first = 0;   // the oldest queued, an index into queue
std::uint32_t queue_count = 0;   // how many are queued

void record_now(const char* text, std::uint32_t length, std::uint64_t h, const Occurrence& o) {
    add_ref_entry(find_or_add(text, length, h, o.kind, false), o);
}

void record_oldest() {
    const Pending& p = queue[queue_first];
    record_now(p.text, p.length, p.hash, p.recording);
    queue_first = (queue_first + 1) % QUEUE_LENGTH;
    --queue_count;
}

inline void fetch_ahead(const void* p) { __builtin_prefetch(p); }

}  // namespace

void record_reference(const char* text, std::uint32_t length, char mark, char kind, std::int32_t line,
                      int column) {
    assert(!references_ordered && column >= 0 && column <= UINT8_MAX && "recorded while reading, within a line");
    if (number_width < 10 && line >= DIGITS_LIMIT[number_width]) {
        std::int32_t d = digits_of(line);
        if (d > number_width) number_width = d;
    }
    std::uint64_t h = hash_name(text, length);
    Occurrence o{mark, kind, line, column};
    if (index_count < QUEUE_FROM_NAMES || length > PENDING_TEXT) {
        finish_recording();
        record_now(text, length, h, o);
        return;
    }
    fetch_ahead(&index_slots[static_cast<std::uint32_t>(h) & index_mask]);
    if (queue_count == QUEUE_LENGTH) record_oldest();
    Pending& p = queue[(queue_first + queue_count) % QUEUE_LENGTH];
    p.hash = h;
    p.length = length;
    p.recording = o;
    std::memcpy(p.text, text, length);
    ++queue_count;
    // The one halfway through: its slot has come in; fetch the node it names.
    if (queue_count > QUEUE_LENGTH / 2) {
        const Pending& half = queue[(queue_first + queue_count - 1 - QUEUE_LENGTH / 2) % QUEUE_LENGTH];
        const IndexSlot& slot = index_slots[static_cast<std::uint32_t>(half.hash) & index_mask];
        if (slot.tag != 0) fetch_ahead(slot.node);
    }
    // The one a quarter from leaving: its node has come in; fetch where its next entry goes.
    if (queue_count > QUEUE_LENGTH / 4 * 3) {
        const Pending& late = queue[(queue_first + queue_count - 1 - QUEUE_LENGTH / 4 * 3) % QUEUE_LENGTH];
        const IndexSlot& slot = index_slots[static_cast<std::uint32_t>(late.hash) & index_mask];
        if (slot.tag != 0 && slot.node->room > 0) fetch_ahead(slot.node->refs + 1);
    }
}

void finish_recording() {
    while (queue_count > 0) record_oldest();
    place_waiting_nodes();
}

char record_name(const char* text, std::uint32_t length, char mark, char kind) {
    assert(!references_ordered && "recorded while reading");
    finish_recording();
    return stored_mark(find_or_add(text, length, hash_name(text, length), kind, true), mark, kind);
}

void order_references() {
    assert(!references_ordered);
    while (queue_count > 0) record_oldest();
    place_all_nodes();
    order_subtree(symbol_root);
    references_ordered = true;
}

int usage_of(const SymbolNode* node) {
    bool defined = false, used = false;
    for (const RefEntry* e = node->refs; e != nullptr; e = e->next) (e->mark == '#' ? defined : used) = true;
    return usage_from(defined, used);
}

void release_tree() {
    queue_first = queue_count = 0;
    waiting_nodes = 0;
    index_release();
    pool_release(symbol_pool);
    pool_release(reference_pool);
}

void reset_symbols() {
    release_tree();   // the table of a run that failed before its listing
    symbol_root = nullptr;
    references_ordered = false;
    name_width = MIN_NAME_WIDTH;
    number_width = MIN_NUMBER_WIDTH;
}

}  // namespace symbols
