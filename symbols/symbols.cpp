// The symbol table: the hash index that finds a name while the source is
// read, the tree in name order built from it once the source is read, and the
// pooled blocks its nodes, names and entries live in.
#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>

#include "fatal/fatal.h"
#include "platform/platform.h"
#include "symbols/symbols.h"

namespace symbols {

// A pool hands out memory from large blocks and returns it all at once.
struct PoolBlock {
    PoolBlock* previous;
    std::size_t size;
};

namespace {

using Block = PoolBlock;

struct Pool {
    Block* last;        // newest block, or nullptr
    char* next;         // first free byte in it
    char* end;          // one past its last byte
};

// Blocks of platform::LARGE_PAGE bytes and more, and the hash index from
// that size, are offered to the system for large pages (platform::take_pages):
// against the heap, 13 % less CPU time on the realistic case of
// bench/run.sh, 9 % on ascending, 14 % on wide, 2 % on hot (Release,
// 1,000,000 lines, interleaved runs, medians of 11, a loaded machine);
// wide's page faults 18,500 -> 3,700.  The last block, partly used, may
// cost up to a large page of memory more: peak RSS realistic 15.9 -> 17.6 MiB.
constexpr std::size_t FIRST_BLOCK = 64 * 1024;
constexpr std::size_t MAX_BLOCK = 4 * 1024 * 1024;

Pool symbol_pool = {};      // nodes and names
Pool reference_pool = {};   // reference entries

char* pool_grow(Pool& pool, std::size_t bytes) {
    std::size_t size = pool.last == nullptr ? FIRST_BLOCK : pool.last->size * 2;
    if (size > MAX_BLOCK) size = MAX_BLOCK;
    while (size < bytes + sizeof(Block)) size *= 2;
    Block* block = static_cast<Block*>(platform::take_pages(size));
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

void free_blocks(Block* last) {
    for (Block* b = last; b != nullptr;) {
        Block* previous = b->previous;
        platform::give_pages(b, b->size);
        b = previous;
    }
}

void pool_release(Pool& pool) {
    free_blocks(pool.last);
    pool = Pool{};
}

// What is recorded of one occurrence besides its text.
struct Recording {
    char mark;            // the classifier's mark
    char kind;            // the classifier's kind
    std::int32_t line;
    int column;
};

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
// a power-of-two table, at most three quarters full.  A slot keeps the
// name's whole hash beside the node pointer, the high half as a tag (0 when
// free), so a probe past other names touches no node: against slots of the
// node pointer alone, 18 % less CPU time on the ascending case of
// bench/run.sh and 7 % on wide (1,000,000 lines, interleaved runs, medians
// of 11).  The low half places the node when the index grows, without
// reading the node and its name again: against hashing the name again, wide
// 6 % less CPU time, ascending 5 % (the least of 21 runs; their medians
// 18 %), hot unchanged (interleaved runs, medians of 11 to 21, a loaded
// machine).  The index holds every node of the tree; the tree stays the
// ordered structure.
struct IndexSlot {
    std::uint32_t tag;      // the hash's high half, odd; 0 for a free slot
    std::uint32_t home;     // the hash's low half
    SymbolNode* node;
};

IndexSlot* index_slots = nullptr;    // nullptr until the first symbol
std::uint32_t index_mask = 0;        // slots - 1
std::uint32_t index_count = 0;       // nodes in the index

constexpr std::uint32_t FIRST_INDEX_SLOTS = 4096;
constexpr std::uint32_t QUEUE_LENGTH = 16;           // occurrences queued at most
constexpr std::uint32_t PENDING_TEXT = 256;          // a longer text is recorded at once
// Names in the table from which occurrences are queued: below it the table
// stays in the caches and a queue only adds its copies.  From 2,048 names
// on, the hot case (7,800 names) took 6 % more CPU time than recording at
// once; realistic (27,000 names) gains either way.
constexpr std::uint32_t QUEUE_FROM_NAMES = 16384;
// A symbol's entries come in chunks that double in length, so that walking
// them reads memory in order: against one slot per entry, 32 % less CPU time
// on the realistic case of bench/run.sh and 20 % on ascending (1,000,000
// lines, interleaved runs, medians of 7, measured with linked entries).
constexpr std::uint32_t FIRST_CHUNK_ENTRIES = 2;   // a new symbol's first chunk
constexpr std::uint32_t MAX_CHUNK_ENTRIES = 128;   // chunks grow to this

// The mark stored for an occurrence of node with mark and kind: " " by the
// macro rule.
char stored_mark(const SymbolNode* node, char mark, char kind) { return node->kind == 'M' && kind == ' ' ? ' ' : mark; }


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
    // The last 0 to 7 bytes without a loop: two four-byte loads that may
    // overlap, or the first, middle and last byte (the length is in h
    // already).  Against a byte loop, 1 % fewer instructions on 200,000
    // realistic lines (callgrind).
    std::uint64_t w = 0;
    if (n >= 4) {
        std::uint32_t first;
        std::uint32_t last;
        std::memcpy(&first, p, 4);
        std::memcpy(&last, p + n - 4, 4);
        w = first | std::uint64_t{last} << 32;
    } else if (n > 0) {
        w = std::uint64_t{static_cast<unsigned char>(p[0])} | std::uint64_t{static_cast<unsigned char>(p[n / 2])} << 8 |
            std::uint64_t{static_cast<unsigned char>(p[n - 1])} << 16;
    }
    return mix(h ^ w);
}

// The slot bits come from the low half of the hash, the tag from the high half.
std::uint32_t tag_of(std::uint64_t h) { return static_cast<std::uint32_t>(h >> 32) | 1u; }

void index_release() {
    if (index_slots != nullptr) platform::give_pages(index_slots, (index_mask + std::size_t{1}) * sizeof(IndexSlot));
    index_slots = nullptr;
    index_mask = 0;
    index_count = 0;
}

void index_place(const IndexSlot& slot) {
    std::uint32_t i = slot.home & index_mask;
    while (index_slots[i].tag != 0) i = (i + 1) & index_mask;
    index_slots[i] = slot;
}

void index_grow() {
    std::uint32_t slots = index_slots == nullptr ? FIRST_INDEX_SLOTS : (index_mask + 1) * 2;
    IndexSlot* fresh = static_cast<IndexSlot*>(platform::take_pages(std::size_t{slots} * sizeof(IndexSlot)));
    if (fresh == nullptr) fatal::report_error(fatal::ERROR_HEAP);
    IndexSlot* old = index_slots;
    std::uint32_t old_slots = old == nullptr ? 0 : index_mask + 1;
    index_slots = fresh;
    index_mask = slots - 1;
    for (std::uint32_t i = 0; i < old_slots; ++i)
        if (old[i].tag != 0) index_place(old[i]);
    if (old != nullptr) platform::give_pages(old, std::size_t{old_slots} * sizeof(IndexSlot));
}

// The node of the length bytes at text, or nullptr when there is none yet.
SymbolNode* index_find(const char* text, std::uint32_t length, std::uint64_t h) {
    if (index_slots == nullptr) return nullptr;
    std::uint32_t tag = tag_of(h);
    for (std::uint32_t i = static_cast<std::uint32_t>(h) & index_mask;; i = (i + 1) & index_mask) {
        const IndexSlot& slot = index_slots[i];
        if (slot.tag == 0) return nullptr;
        if (slot.tag == tag && slot.home == static_cast<std::uint32_t>(h) && slot.node->length == length &&
            std::memcmp(slot.node->name, text, length) == 0)
            return slot.node;
    }
}

void index_add(SymbolNode* node, std::uint64_t h) {
    if (index_slots == nullptr || (index_count + 1ULL) * 4 > (index_mask + 1ULL) * 3) index_grow();
    index_place(IndexSlot{tag_of(h), static_cast<std::uint32_t>(h), node});
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

// A new node for text without entries; not yet in the tree.
SymbolNode* new_node(const char* text, std::uint32_t length, char kind) {
    auto* n = static_cast<SymbolNode*>(pool_take(symbol_pool, sizeof(SymbolNode), alignof(SymbolNode)));
    n->name = copy_symbol_name(text, length);
    n->length = length;
    n->kind = kind;
    n->last = nullptr;
    n->less = nullptr;
    n->greater = nullptr;
    return n;
}

// A new entry for node, after its newest; returns it.
RefEntry* add_ref_entry(SymbolNode* node, const Recording& o) {
    RefChunk* c = node->last;
    if (c == nullptr || c->count == c->size) {
        std::uint32_t size = c == nullptr ? FIRST_CHUNK_ENTRIES : c->size * 2;
        if (size > MAX_CHUNK_ENTRIES) size = MAX_CHUNK_ENTRIES;
        auto* fresh = static_cast<RefChunk*>(
            pool_take(reference_pool, sizeof(RefChunk) + size * sizeof(RefEntry), alignof(RefChunk)));
        fresh->count = 0;
        fresh->size = size;
        if (c == nullptr) {
            fresh->next = fresh;
        } else {
            fresh->next = c->next;   // the first
            c->next = fresh;
        }
        node->last = c = fresh;
    }
    RefEntry* e = c->entries() + c->count++;
    e->line = o.line;
    e->mark = stored_mark(node, o.mark, o.kind);
    e->column = static_cast<std::uint8_t>(o.column);
    return e;
}

// The node of text, whose hash is h; a new one of kind kind, without
// entries, when the table has none yet.
SymbolNode* find_or_add(const char* text, std::uint32_t length, std::uint64_t h, char kind) {
    SymbolNode* n = index_find(text, length, h);
    if (n == nullptr) {
        n = new_node(text, length, kind);
        index_add(n, h);
    }
    return n;
}

// The tree in name order, built once the source is read instead of a
// balanced tree kept by a descent per new name: the names are taken from the
// index, sorted, and linked as a balanced tree, the middle name of each run
// its root.  Against the descent (an AVL tree), on bench/run.sh's
// 1,000,000-line inputs (Release, median CPU of 5 to 11 interleaved runs,
// batches on a shared machine): wide 17 to 24 % less, ascending 10 to 12 %,
// realistic 0 to 6 %, hot within the noise.  The keys cost 16 bytes a name
// while the tree is built (peak RSS wide 46.4 -> 49.8 MiB, realistic +0.04).
std::uint32_t tree_count = 0;   // nodes in symbol_root's tree; index_count once it is built
SymbolNode** tree_order = nullptr;   // its nodes in name order (malloc), tree_count of them

// A node and the first eight bytes of its name, big-endian and zero-filled:
// two names whose keys differ sort as their keys do.
struct SortKey {
    std::uint64_t prefix;
    SymbolNode* node;
};

std::uint64_t prefix_of(const SymbolNode* node) {
    std::uint64_t k = 0;
    std::uint32_t n = node->length < 8 ? node->length : 8;
    for (std::uint32_t i = 0; i < n; ++i)
        k |= static_cast<std::uint64_t>(static_cast<unsigned char>(node->name[i])) << (56 - 8 * i);
    return k;
}

bool sorts_before(const SortKey& a, const SortKey& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    return compare_names(a.node, b.node) < 0;
}

// Links keys[first..last) as a balanced tree; returns its root.  The depth
// of the recursion is the tree's height, at most 33.
SymbolNode* link_balanced(const SortKey* keys, std::uint32_t first, std::uint32_t last) {
    if (first == last) return nullptr;
    std::uint32_t middle = first + (last - first) / 2;
    SymbolNode* n = keys[middle].node;
    n->less = link_balanced(keys, first, middle);
    n->greater = link_balanced(keys, middle + 1, last);
    return n;
}

// Sorts the n keys by sorts_before, using n more keys at scratch: by their
// prefixes a byte at a time from the last (a pass that would move nothing,
// because every key has the same byte there, is left out), then each run of
// equal prefixes by the names.  Against std::sort with sorts_before, on
// 1,000,000-line inputs (Release, CPU medians of 5 to 9 interleaved runs, a
// loaded machine): wide 8 to 11 % less, ascending 1 to 5 %, realistic within
// the noise.  The scratch keys cost 16 bytes a name while the tree is built
// (peak RSS wide +3.2 MiB, ascending +2.9, realistic +0.3).
void sort_keys(SortKey* keys, SortKey* scratch, std::uint32_t n) {
    if (n == 0) return;
    std::uint32_t counts[8][256] = {};
    for (std::uint32_t i = 0; i < n; ++i)
        for (int d = 0; d < 8; ++d) ++counts[d][(keys[i].prefix >> 8 * d) & 0xFF];
    SortKey* from = keys;
    SortKey* to = scratch;
    for (int d = 0; d < 8; ++d) {
        std::uint32_t* count = counts[d];
        if (count[(from[0].prefix >> 8 * d) & 0xFF] == n) continue;
        std::uint32_t at = 0;
        for (int b = 0; b < 256; ++b) {
            std::uint32_t c = count[b];
            count[b] = at;
            at += c;
        }
        for (std::uint32_t i = 0; i < n; ++i) to[count[(from[i].prefix >> 8 * d) & 0xFF]++] = from[i];
        std::swap(from, to);
    }
    if (from != keys) std::memcpy(keys, from, std::size_t{n} * sizeof(SortKey));
    for (std::uint32_t i = 0, j; i < n; i = j) {
        for (j = i + 1; j < n && keys[j].prefix == keys[i].prefix;) ++j;
        if (j - i > 1) std::sort(keys + i, keys + j, sorts_before);
    }
}

// Builds symbol_root's tree from every name in the index.
void build_tree() {
    auto* keys = static_cast<SortKey*>(std::malloc(std::size_t{index_count} * 2 * sizeof(SortKey)));
    if (keys == nullptr) fatal::report_error(fatal::ERROR_HEAP);
    std::uint32_t n = 0;
    for (std::uint32_t i = 0; i <= index_mask; ++i)
        if (index_slots[i].tag != 0) keys[n++] = SortKey{prefix_of(index_slots[i].node), index_slots[i].node};
    assert(n == index_count);
    sort_keys(keys, keys + n, n);
    symbol_root = link_balanced(keys, 0, n);
    tree_count = n;
    // The nodes in name order, moved to the front of the keys' room: node i
    // goes where key i / 2 was, which has been read by then.
    char* bytes = reinterpret_cast<char*>(keys);
    for (std::uint32_t i = 0; i < n; ++i) std::memcpy(bytes + std::size_t{i} * sizeof(SymbolNode*), &keys[i].node, sizeof(SymbolNode*));
    std::free(tree_order);
    void* order = std::realloc(keys, std::size_t{n} * sizeof(SymbolNode*));
    tree_order = static_cast<SymbolNode**>(order != nullptr ? order : keys);
}

// Recording through a queue.  Once the table outgrows the caches, looking a
// name up costs misses that wait on each other (the index slot, then the
// node it names, then the last chunk of its entries, where the next one
// goes), and the next occurrence's misses wait on those.  An occurrence is
// then queued with its own copy of the text: its slot is fetched as it
// comes in, the node once it is halfway through the queue, its last chunk a
// quarter before it leaves, and it is recorded when it leaves, oldest
// first, so that each symbol gets its occurrences in the order they were
// met.  Every operation that reads the table or records past the queue
// records what is queued first (finish_recording); nothing outside this
// file sees a recording deferred.  Against recording at once, on
// bench/run.sh's 1,000,000-line inputs (median CPU of 7 interleaved runs,
// Release): wide 29 % less, realistic 14 %; of 5: crlf 24 %, ascending
// 17 %.  It costs instructions (callgrind, 200,000 lines: wide +5 %,
// realistic +8 %) and saves waiting on memory.
struct Pending {
    std::uint64_t hash;
    std::uint32_t length;
    Recording recording;
    char text[PENDING_TEXT];
};

Pending queue[QUEUE_LENGTH];
std::uint32_t queue_first = 0;   // the oldest queued, an index into queue
std::uint32_t queue_count = 0;   // how many are queued

void record_now(const char* text, std::uint32_t length, std::uint64_t h, const Recording& o) {
    add_ref_entry(find_or_add(text, length, h, o.kind), o);
}

void record_oldest() {
    const Pending& p = queue[queue_first];
    record_now(p.text, p.length, p.hash, p.recording);
    queue_first = (queue_first + 1) % QUEUE_LENGTH;
    --queue_count;
}

void record_queued() {
    while (queue_count > 0) record_oldest();
}

inline void fetch_ahead(const void* p) { __builtin_prefetch(p); }

}  // namespace

void record_reference(const char* text, std::uint32_t length, char mark, char kind, std::int32_t line,
                      int column) {
    assert(column >= 0 && column <= UINT8_MAX && "recorded within a line");
    if (number_width < 10 && line >= DIGITS_LIMIT[number_width]) {
        std::int32_t d = digits_of(line);
        if (d > number_width) number_width = d;
    }
    std::uint64_t h = hash_name(text, length);
    Recording o{mark, kind, line, column};
    if (index_count < QUEUE_FROM_NAMES || length > PENDING_TEXT) {
        record_queued();
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
    // The one a quarter from leaving: its node has come in; fetch its last chunk.
    if (queue_count > QUEUE_LENGTH / 4 * 3) {
        const Pending& late = queue[(queue_first + queue_count - 1 - QUEUE_LENGTH / 4 * 3) % QUEUE_LENGTH];
        const IndexSlot& slot = index_slots[static_cast<std::uint32_t>(late.hash) & index_mask];
        if (slot.tag != 0 && slot.node->last != nullptr) fetch_ahead(slot.node->last);
    }
}

void finish_recording() {
    record_queued();
    if (tree_count != index_count) build_tree();
}

const SymbolNode* record_name(const char* text, std::uint32_t length, char mark, char kind, char* stored) {
    record_queued();
    SymbolNode* n = find_or_add(text, length, hash_name(text, length), kind);
    if (n->kind == 0) n->kind = kind;
    *stored = stored_mark(n, mark, kind);
    return n;
}

const SymbolNode* note_name(const char* text, std::uint32_t length) {
    record_queued();
    return find_or_add(text, length, hash_name(text, length), 0);
}

int usage_of(const SymbolNode* node) {
    bool defined = false, used = false;
    RefWalk w;
    for (const RefEntry* e = first_ref(node, &w); e != nullptr; e = next_ref(&w)) (e->mark == '#' ? defined : used) = true;
    return usage_from(defined, used);
}

Table::Table(Table&& other) noexcept
    : root(other.root), order(other.order), count(other.count), name_width(other.name_width), number_width(other.number_width), node_blocks(other.node_blocks),
      entry_blocks(other.entry_blocks) {
    other.root = nullptr;
    other.order = nullptr;
    other.count = 0;
    other.node_blocks = other.entry_blocks = nullptr;
}

Table& Table::operator=(Table&& other) noexcept {
    if (this != &other) {
        free_blocks(node_blocks);
        free_blocks(entry_blocks);
        std::free(order);
        root = other.root;
        order = other.order;
        count = other.count;
        name_width = other.name_width;
        number_width = other.number_width;
        node_blocks = other.node_blocks;
        entry_blocks = other.entry_blocks;
        other.root = nullptr;
        other.order = nullptr;
        other.count = 0;
        other.node_blocks = other.entry_blocks = nullptr;
    }
    return *this;
}

Table::~Table() {
    std::free(order);
    free_blocks(node_blocks);
    free_blocks(entry_blocks);
}

Table take_table() {
    finish_recording();
    Table t;
    t.root = symbol_root;
    t.order = tree_order;
    t.count = tree_count;
    tree_order = nullptr;
    t.name_width = name_width;
    t.number_width = number_width;
    t.node_blocks = symbol_pool.last;
    t.entry_blocks = reference_pool.last;
    symbol_pool = Pool{};
    reference_pool = Pool{};
    symbol_root = nullptr;
    tree_count = 0;
    index_release();
    name_width = MIN_NAME_WIDTH;
    number_width = MIN_NUMBER_WIDTH;
    return t;
}

void release_tree() {
    queue_first = queue_count = 0;
    symbol_root = nullptr;
    tree_count = 0;
    std::free(tree_order);
    tree_order = nullptr;
    index_release();
    pool_release(symbol_pool);
    pool_release(reference_pool);
}

void reset_symbols() {
    release_tree();   // the table of a run that failed before its listing
    symbol_root = nullptr;
    name_width = MIN_NAME_WIDTH;
    number_width = MIN_NUMBER_WIDTH;
}

}  // namespace symbols
