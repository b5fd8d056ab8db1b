// First-letter indexes and case-insensitive keyword lookup.
#include <cstring>

#include "lex/lex.h"

namespace lex {

namespace {

// Identifiers met by the tokenizer are looked up in reserved_table and then
// in mnemonic_table.  Both are answered by one probe into a table of the two
// tables' names, hashed by their packed upper-case text (little-endian: the
// first character in the low byte, zeros behind the end).
inline constexpr int WORD_SLOTS = 256;
inline constexpr int MAX_WORD_PROBES = 8;   // no name lies further from its hash slot

struct WordSlot {
    std::uint64_t key;          // 0 when the slot is free
    std::int8_t reserved_row;   // row in reserved_table, or -1
    std::int8_t mnemonic_row;   // row in mnemonic_table, or -1
};

struct WordTable {
    WordSlot slot[WORD_SLOTS];
    int longest_probe;
};

constexpr std::uint64_t pack_little(const char* name) {
    std::uint64_t k = 0;
    for (int i = 0; name[i] != 0; ++i) k |= std::uint64_t{static_cast<unsigned char>(name[i])} << 8 * i;
    return k;
}

constexpr unsigned word_hash(std::uint64_t k) { return static_cast<unsigned>((k * 0x9E3779B97F4A7C15ULL) >> 56); }

constexpr void add_word(WordTable& t, const char* name, std::int8_t row, bool reserved) {
    std::uint64_t k = pack_little(name);
    int probe = 1;
    unsigned i = word_hash(k);
    while (t.slot[i].key != 0 && t.slot[i].key != k) {
        i = (i + 1) % WORD_SLOTS;
        ++probe;
    }
    if (t.slot[i].key == 0) t.slot[i] = WordSlot{k, -1, -1};
    (reserved ? t.slot[i].reserved_row : t.slot[i].mnemonic_row) = row;
    if (probe > t.longest_probe) t.longest_probe = probe;
}

constexpr WordTable make_word_table() {
    WordTable t{};
    for (std::int8_t i = 0; reserved_table[i].name != nullptr; ++i) add_word(t, reserved_table[i].name, i, true);
    for (std::int8_t i = 0; mnemonic_table[i].name != nullptr; ++i) add_word(t, mnemonic_table[i].name, i, false);
    return t;
}

inline constexpr WordTable word_table = make_word_table();
static_assert(word_table.longest_probe <= MAX_WORD_PROBES, "the word hash spreads the names");

// Upper-cases the letters a to z in all eight bytes at once: a byte below
// 0x80 gets bit 0x20 cleared when it lies in a..z, any other byte is kept.
constexpr std::uint64_t upper_word(std::uint64_t w) {
    constexpr std::uint64_t ones = 0x0101010101010101ULL, high = 0x8080808080808080ULL;
    std::uint64_t seven = w & ~high;
    std::uint64_t from_a = (seven + ones * (0x80 - 'a')) & high;
    std::uint64_t past_z = (seven + ones * (0x80 - 'z' - 1)) & high;
    return w ^ ((from_a & ~past_z & ~w) >> 2);
}
static_assert(upper_word(pack_little("lda`{z@A")) == pack_little("LDA`{Z@A"), "only a to z change");

inline std::uint32_t load_4(const char* p) {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

// The length (1 to 8) bytes of text packed as pack_little packs a name,
// reading no byte past them: two overlapping 4-byte loads from 4 characters
// on, single bytes below that.
inline std::uint64_t load_text(const char* text, int length) {
    if (length >= 4) {
        std::uint64_t low = load_4(text), high = load_4(text + length - 4);
        return low | high << 8 * (length - 4);
    }
    auto byte = [text](int i) { return std::uint64_t{static_cast<unsigned char>(text[i])} << 8 * i; };
    return byte(0) | byte(length / 2) | byte(length - 1);
}

}  // namespace

std::int32_t classify_identifier(const char* text, int length, std::int32_t* row) {
    if (length <= 0 || length > MAX_KEYWORD_LENGTH) return TOKEN_SYMBOL;   // no keyword is that long
    std::uint64_t k = upper_word(load_text(text, length));
    for (unsigned i = word_hash(k), n = 0; n < MAX_WORD_PROBES; i = (i + 1) % WORD_SLOTS, ++n) {
        const WordSlot& s = word_table.slot[i];
        if (s.key == 0) break;
        if (s.key != k) continue;
        if (s.reserved_row >= 0) {
            *row = s.reserved_row;
            return TOKEN_RESERVED;
        }
        *row = s.mnemonic_row;
        return TOKEN_MNEMONIC;
    }
    return TOKEN_SYMBOL;
}

void build_letter_index(LetterRange* index, const KeywordEntry* table) {
    char remembered = 0;
    int row = 0;
    std::int32_t position = 0;
    for (; table[position].name != nullptr; ++position) {
        char first = table[position].name[0];
        if (first == remembered) continue;
        if (position != 0) {
            index[row].end = position;
            ++row;
        }
        index[row].letter = first;
        index[row].first = position;
        remembered = first;
    }
    index[row].end = position;
    index[row + 1] = LetterRange{0, 0, 0};
}

std::int32_t find_keyword_n(const char* text, int length, const LetterRange* index, const KeywordEntry* table) {
    // No name is longer than MAX_KEYWORD_LENGTH, so a longer text needs no copy.
    if (length > MAX_KEYWORD_LENGTH) return -1;
    char key[MAX_KEYWORD_LENGTH + 1];
    for (int i = 0; i < length; ++i) key[i] = to_upper(text[i]);   // the text need not end here
    key[length] = 0;
    const LetterRange* range = index;
    while (range->letter != 0 && range->letter != key[0]) ++range;
    if (range->letter == 0) return -1;
    for (std::int32_t i = range->first; i < range->end; ++i) {
        int order = std::strcmp(table[i].name, key);
        if (order == 0) return i;
        if (order > 0) return -1;
    }
    return -1;
}

std::int32_t find_keyword(const char* text, const LetterRange* index, const KeywordEntry* table) {
    std::size_t length = std::strlen(text);
    if (length > static_cast<std::size_t>(MAX_KEYWORD_LENGTH)) return -1;   // no name is that long
    return find_keyword_n(text, static_cast<int>(length), index, table);
}

}  // namespace lex
