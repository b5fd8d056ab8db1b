// The symbol tree (AVL-balanced, so names met in ascending order cost no more
// than any others) and the pooled blocks its nodes, names and entries live in.
#include <cstdlib>
#include <cstring>

#include "analysis/analysis.h"
#include "driver/driver.h"
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
    if (block == nullptr) driver::report_error(driver::ERROR_HEAP);
    block->previous = pool.last;
    block->size = size;
    pool.last = block;
    pool.next = reinterpret_cast<char*>(block) + sizeof(Block);
    pool.end = reinterpret_cast<char*>(block) + size;
    return pool.next;
}

// bytes from pool, aligned to align (a power of two).
inline void* pool_take(Pool& pool, std::size_t bytes, std::size_t align) {
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

inline int height(const SymbolNode* n) { return n == nullptr ? 0 : n->height; }

inline void update_height(SymbolNode* n) {
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

// Whether n bytes at a and b are equal, reading no byte outside them; names
// are short, so words are compared, the last one overlapping the one before.
inline bool same_bytes(const char* a, const char* b, std::uint32_t n) {
    if (n >= 8) {
        std::uint64_t x, y;
        for (std::uint32_t i = 0; i + 8 < n; i += 8) {
            std::memcpy(&x, a + i, 8);
            std::memcpy(&y, b + i, 8);
            if (x != y) return false;
        }
        std::memcpy(&x, a + n - 8, 8);
        std::memcpy(&y, b + n - 8, 8);
        return x == y;
    }
    if (n >= 4) {
        std::uint32_t x, y, u, v;
        std::memcpy(&x, a, 4);
        std::memcpy(&y, b, 4);
        std::memcpy(&u, a + n - 4, 4);
        std::memcpy(&v, b + n - 4, 4);
        return x == y && u == v;
    }
    for (std::uint32_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

// Byte-wise unsigned comparison of current_symbol with a node's name.
inline int compare_current(const SymbolNode* n) {
    std::uint32_t common = current_length < n->length ? current_length : n->length;
    const auto* a = reinterpret_cast<const unsigned char*>(current_symbol);
    const auto* b = reinterpret_cast<const unsigned char*>(n->name);
    for (std::uint32_t i = 0; i < common; ++i)   // names part within a few bytes: no call
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return current_length < n->length ? -1 : (current_length > n->length ? 1 : 0);
}

// Decimal digits of a line number; a value below 1 counts as one digit.
inline std::int32_t digits_of(std::int32_t line) {
    std::int32_t d = 1;
    for (std::int32_t v = line; v >= 10; v /= 10) ++d;
    return d;
}

// The smallest line number with more than d digits, for d of 1..9.
constexpr std::int32_t DIGITS_LIMIT[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000,
                                         1000000000};

// A hash index in front of the tree: a name seen before is found with one
// probe or a few instead of a descent of memcmp calls.  Open addressing over a
// power-of-two table, at most three quarters full.  A slot keeps a 32-bit tag
// from the name's hash (0 when free) and the name's length beside the node
// pointer, so a probe past other names touches no node.  The index holds
// nodes; the tree stays the ordered structure.
struct IndexSlot {
    std::uint32_t tag;      // 0 for a free slot
    std::uint32_t length;   // the node's name length
    SymbolNode* node;
};

SymbolNode* last_node = nullptr;     // the node insert_symbol created or found last
IndexSlot* index_slots = nullptr;    // nullptr until the first symbol
std::uint32_t index_mask = 0;        // slots - 1
std::uint32_t index_count = 0;       // nodes in the index

constexpr std::uint32_t FIRST_INDEX_SLOTS = 4096;
constexpr int FIRST_REF_BLOCK_SHIFT = 1;   // a new symbol's first block holds two entries
static_assert(MAX_REF_BLOCK_SHIFT < 8, "room counts up to 255");

// A new node and its first block of entries in one piece, so that a symbol
// met only a few times keeps node, entries and name side by side.
struct NodeWithBlock {
    SymbolNode node;
    RefEntry first[1 << FIRST_REF_BLOCK_SHIFT];
};

// Sets entry e of node: the current mark (or " " by the macro rule), the line.
inline RefEntry* fill_entry(RefEntry* e, const SymbolNode* node, RefEntry* next) {
    e->mark = recording_mark;
    if (node->kind == 'M' && recording_kind == ' ') e->mark = ' ';   // the macro rule
    e->line = recording_line;
    e->next = next;
    return e;
}

inline std::uint64_t mix(std::uint64_t h) {
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ULL;
    return h ^ (h >> 32);
}

inline std::uint64_t hash_name(const char* p, std::uint32_t n) {
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
inline std::uint32_t tag_of(std::uint64_t h) { return static_cast<std::uint32_t>(h >> 32) | 1u; }

void index_release() {
    std::free(index_slots);
    index_slots = nullptr;
    index_mask = 0;
    index_count = 0;
    last_node = nullptr;
}

inline void index_place(SymbolNode* node, std::uint64_t h) {
    std::uint32_t i = static_cast<std::uint32_t>(h) & index_mask;
    while (index_slots[i].tag != 0) i = (i + 1) & index_mask;
    index_slots[i] = IndexSlot{tag_of(h), node->length, node};
}

void index_grow() {
    std::uint32_t slots = index_slots == nullptr ? FIRST_INDEX_SLOTS : (index_mask + 1) * 2;
    IndexSlot* fresh = static_cast<IndexSlot*>(std::calloc(slots, sizeof(IndexSlot)));
    if (fresh == nullptr) driver::report_error(driver::ERROR_HEAP);
    IndexSlot* old = index_slots;
    std::uint32_t old_slots = old == nullptr ? 0 : index_mask + 1;
    index_slots = fresh;
    index_mask = slots - 1;
    for (std::uint32_t i = 0; i < old_slots; ++i)
        if (old[i].tag != 0) index_place(old[i].node, hash_name(old[i].node->name, old[i].length));
    std::free(old);
}

inline SymbolNode* index_find(std::uint64_t h) {
    if (index_slots == nullptr) return nullptr;
    std::uint32_t tag = tag_of(h);
    for (std::uint32_t i = static_cast<std::uint32_t>(h) & index_mask;; i = (i + 1) & index_mask) {
        const IndexSlot& slot = index_slots[i];
        if (slot.tag == 0) return nullptr;
        if (slot.tag == tag && slot.length == current_length && same_bytes(slot.node->name, current_symbol, current_length))
            return slot.node;
    }
}

void index_add(SymbolNode* node, std::uint64_t h) {
    if (index_slots == nullptr || (index_count + 1ULL) * 4 > (index_mask + 1ULL) * 3) index_grow();
    index_place(node, h);
    ++index_count;
}

// Records current_symbol with the recording_ values.
void record_now(std::uint64_t h) {
    if (SymbolNode* n = index_find(h)) {
        n->refs = new_ref_entry(n, n->refs);
    } else {
        symbol_root = insert_symbol(symbol_root);
        index_add(last_node, h);
    }
    std::int32_t line = recording_line;
    if (number_width < 10 && line >= DIGITS_LIMIT[number_width]) {
        std::int32_t d = digits_of(line);
        if (d > number_width) number_width = d;
    }
}

// Occurrences waiting to be recorded: a ring of QUEUE_SIZE.  When one is
// queued its index slot is fetched; when it is halfway through, the node
// that slot names; when it leaves, both are in the cache.
constexpr int QUEUE_SIZE = 16;
constexpr int QUEUE_HALF = QUEUE_SIZE / 2;
constexpr std::uint32_t MAX_QUEUED_TEXT = 256;   // every token text fits

struct QueuedRef {
    std::uint64_t hash;
    std::int32_t line;
    std::uint32_t length;
    char mark;
    char kind;
    char text[MAX_QUEUED_TEXT];
};

QueuedRef queue[QUEUE_SIZE];
int queue_head = 0;    // oldest entry
int queue_count = 0;   // entries waiting

inline void prefetch_slot(std::uint64_t h) {
    if (index_slots != nullptr) __builtin_prefetch(&index_slots[static_cast<std::uint32_t>(h) & index_mask]);
}

inline void prefetch_node(std::uint64_t h) {
    if (index_slots == nullptr) return;
    const IndexSlot& slot = index_slots[static_cast<std::uint32_t>(h) & index_mask];
    if (slot.tag != tag_of(h)) return;
    __builtin_prefetch(slot.node);
    __builtin_prefetch(reinterpret_cast<const char*>(slot.node) + 64);
}

void record_oldest() {
    QueuedRef& q = queue[queue_head];
    queue_head = (queue_head + 1) % QUEUE_SIZE;
    --queue_count;
    current_symbol = q.text;
    current_length = q.length;
    recording_mark = q.mark;
    recording_kind = q.kind;
    recording_line = q.line;
    record_now(q.hash);
}

}  // namespace

void record_reference_n(const char* text, std::uint32_t length) {
    flush_references();   // in the order met
    current_symbol = text;
    current_length = length;
    recording_mark = analysis::current_mark;
    recording_kind = analysis::current_kind;
    recording_line = driver::line_number;
    record_now(hash_name(text, length));
}

void queue_reference(const char* text, std::uint32_t length) {
    if (length >= MAX_QUEUED_TEXT) {
        record_reference_n(text, length);
        return;
    }
    if (queue_count == QUEUE_SIZE) record_oldest();
    QueuedRef& q = queue[(queue_head + queue_count) % QUEUE_SIZE];
    std::memcpy(q.text, text, length);
    q.text[length] = 0;
    q.length = length;
    q.hash = hash_name(text, length);
    q.mark = analysis::current_mark;
    q.kind = analysis::current_kind;
    q.line = driver::line_number;
    ++queue_count;
    prefetch_slot(q.hash);
    if (queue_count > QUEUE_HALF) prefetch_node(queue[(queue_head + queue_count - 1 - QUEUE_HALF) % QUEUE_SIZE].hash);
}

void flush_references() {
    while (queue_count > 0) record_oldest();
}

void record_reference(const char* text) {
    record_reference_n(text, static_cast<std::uint32_t>(std::strlen(text)));
}

SymbolNode* insert_symbol(SymbolNode* node) {
    if (node == nullptr) {
        auto* piece = static_cast<NodeWithBlock*>(pool_take(symbol_pool, sizeof(NodeWithBlock), alignof(NodeWithBlock)));
        SymbolNode* n = &piece->node;
        n->name = copy_symbol_name();
        n->length = current_length;
        n->kind = recording_kind;
        n->height = 1;
        n->refs = fill_entry(&piece->first[0], n, nullptr);   // the first entry is made after kind is set
        n->room = (1 << FIRST_REF_BLOCK_SHIFT) - 1;
        n->block_shift = FIRST_REF_BLOCK_SHIFT;
        n->less = nullptr;
        n->greater = nullptr;
        last_node = n;
        return n;
    }
    int order = compare_current(node);
    if (order == 0) {
        node->refs = new_ref_entry(node, node->refs);
        last_node = node;
        return node;
    }
    if (order < 0)
        node->less = insert_symbol(node->less);
    else
        node->greater = insert_symbol(node->greater);
    return rebalance(node);
}

char* copy_symbol_name() {
    std::size_t n = current_length + 1u;
    char* copy = static_cast<char*>(pool_take(symbol_pool, n, 1));
    if (n > static_cast<std::size_t>(MAX_NAME_WIDTH))
        name_width = MAX_NAME_WIDTH;
    else if (static_cast<std::int32_t>(n) > name_width)
        name_width = static_cast<std::int32_t>(n);
    std::memcpy(copy, current_symbol, current_length);
    copy[current_length] = 0;
    return copy;
}

RefEntry* new_ref_entry(SymbolNode* node, RefEntry* next) {
    RefEntry* e;
    if (node->room > 0 && next != nullptr && next == node->refs) {
        e = next + 1;   // the slot after the newest entry in the symbol's block
        --node->room;
    } else {
        int shift = next == nullptr ? FIRST_REF_BLOCK_SHIFT : node->block_shift + 1;
        if (shift > MAX_REF_BLOCK_SHIFT) shift = MAX_REF_BLOCK_SHIFT;
        std::size_t count = std::size_t{1} << shift;
        e = static_cast<RefEntry*>(pool_take(reference_pool, count * sizeof(RefEntry), alignof(RefEntry)));
        node->block_shift = static_cast<std::uint8_t>(shift);
        node->room = static_cast<std::uint8_t>(count - 1);
    }
    return fill_entry(e, node, next);
}

void release_tree(SymbolNode*) {
    index_release();
    pool_release(symbol_pool);
    release_references();
}

void release_references() { pool_release(reference_pool); }

void reset_symbols() {
    index_release();   // it would point into a tree no longer in use
    queue_head = 0;
    queue_count = 0;
    symbol_root = nullptr;
    current_symbol = nullptr;
    current_length = 0;
    name_width = MIN_NAME_WIDTH;
    number_width = MIN_NUMBER_WIDTH;
}

}  // namespace symbols
