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

// Byte-wise unsigned comparison of current_symbol with a node's name.
inline int compare_current(const SymbolNode* n) {
    std::uint32_t common = current_length < n->length ? current_length : n->length;
    int order = std::memcmp(current_symbol, n->name, common);
    if (order != 0) return order;
    return current_length < n->length ? -1 : (current_length > n->length ? 1 : 0);
}

// Decimal digits of a line number; a value below 1 counts as one digit.
inline std::int32_t digits_of(std::int32_t line) {
    std::int32_t d = 1;
    for (std::int32_t v = line; v >= 10; v /= 10) ++d;
    return d;
}

}  // namespace

void record_reference_n(const char* text, std::uint32_t length) {
    current_symbol = text;
    current_length = length;
    symbol_root = insert_symbol(symbol_root);
    std::int32_t d = digits_of(driver::line_number);
    if (d > number_width) number_width = d;
}

void record_reference(const char* text) {
    record_reference_n(text, static_cast<std::uint32_t>(std::strlen(text)));
}

SymbolNode* insert_symbol(SymbolNode* node) {
    if (node == nullptr) {
        SymbolNode* n = static_cast<SymbolNode*>(pool_take(symbol_pool, sizeof(SymbolNode), alignof(SymbolNode)));
        n->name = copy_symbol_name();
        n->length = current_length;
        n->kind = analysis::current_kind;
        n->height = 1;
        n->refs = new_ref_entry(n, nullptr);
        n->less = nullptr;
        n->greater = nullptr;
        return n;
    }
    int order = compare_current(node);
    if (order == 0) {
        node->refs = new_ref_entry(node, node->refs);
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
    RefEntry* e = static_cast<RefEntry*>(pool_take(reference_pool, sizeof(RefEntry), alignof(RefEntry)));
    e->mark = analysis::current_mark;
    if (node->kind == 'M' && analysis::current_kind == ' ') e->mark = ' ';   // the macro rule
    e->line = driver::line_number;
    e->next = next;
    return e;
}

void release_tree(SymbolNode*) {
    pool_release(symbol_pool);
    release_references();
}

void release_references() { pool_release(reference_pool); }

void reset_symbols() {
    symbol_root = nullptr;
    current_symbol = nullptr;
    current_length = 0;
    name_width = MIN_NAME_WIDTH;
    number_width = MIN_NUMBER_WIDTH;
}

}  // namespace symbols
