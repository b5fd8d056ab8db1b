// First-letter indexes and case-insensitive keyword lookup.
#include <cstring>

#include "lex/lex.h"

namespace lex {

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

void upper_copy(char* destination, const char* source) {
    while ((*destination++ = to_upper(*source++)) != 0) {
    }
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
    char key[TOKEN_TEXT_SIZE];
    upper_copy(key, text);
    return find_keyword_n(key, static_cast<int>(std::strlen(key)), index, table);
}

}  // namespace lex
