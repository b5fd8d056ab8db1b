// The symbol table, fed through record_reference with the mark, kind and line
// number given by hand, and read back by walking the tree.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "symbols/symbols.h"
#include "symbol_table_text.h"

namespace {

using symbols::RefEntry;
using symbols::SymbolNode;

using test_util::nodes_in_order;

// Height of the tree counted from the links, not from the nodes' own field.
int tree_height() {
    symbols::finish_recording();
    int height = 0;
    std::vector<std::pair<const SymbolNode*, int>> stack;
    if (symbols::symbol_root != nullptr) stack.push_back({symbols::symbol_root, 1});
    while (!stack.empty()) {
        auto [n, depth] = stack.back();
        stack.pop_back();
        if (depth > height) height = depth;
        if (n->less != nullptr) stack.push_back({n->less, depth + 1});
        if (n->greater != nullptr) stack.push_back({n->greater, depth + 1});
    }
    return height;
}

std::string render() { return test_util::table_text(); }

class SymbolsTest : public ::testing::Test {
protected:
    void SetUp() override { clear(); }
    void TearDown() override { clear(); }

    static void clear() {
        symbols::release_tree();
        symbols::reset_symbols();
    }

    static void record(const std::string& text, std::int32_t line, char mark = ' ', char kind = ' ') {
        symbols::record_reference(text.data(), static_cast<std::uint32_t>(text.size()), mark, kind, line, 0);
    }
};

TEST_F(SymbolsTest, OneNodePerTextInUnsignedByteOrder) {
    // "." < digits < "?" < upper case < "_" < lower case < bytes above 0x7F;
    // a prefix sorts first.
    const char* arrival[] = {"_Z", "abc", "ABC_", "\xE9", ".A", "Z", "AB", "0", "ABC", "A_B", "?", "AZ", "A", "a"};
    int line = 1;
    for (const char* name : arrival) record(name, line++);
    record("ABC", 20);
    record("abc", 21);

    EXPECT_EQ(render(), ".A: 5 |0: 8 |?: 11 |A: 13 |AB: 7 |ABC: 9  20 |ABC_: 3 |AZ: 12 |A_B: 10 |Z: 6 |_Z: 1 |"
                        "a: 14 |abc: 2  21 |\xE9: 4 ");
}

TEST_F(SymbolsTest, NamesAlikeInTheirFirstEightBytesSortWholeAndLaterNamesJoinTheTree) {
    // Eight equal bytes leave the order to the rest of the name, a prefix
    // first; names recorded after the table was read are in the next reading.
    const char* arrival[] = {"COUNTER_B", "COUNTER_", "COUNTER_\xE9", "COUNTER_AB", "COUNTER_A"};
    int line = 1;
    for (const char* name : arrival) record(name, line++);
    EXPECT_EQ(render(), "COUNTER_: 2 |COUNTER_A: 5 |COUNTER_AB: 4 |COUNTER_B: 1 |COUNTER_\xE9: 3 ");

    record("COUNTER", 6);
    record("COUNTER_A", 7);
    record("COUNTER_A0", 8);
    EXPECT_EQ(render(), "COUNTER: 6 |COUNTER_: 2 |COUNTER_A: 5  7 |COUNTER_A0: 8 |COUNTER_AB: 4 |COUNTER_B: 1 |"
                        "COUNTER_\xE9: 3 ");
}

TEST_F(SymbolsTest, ATakenTableListsItsNodesInTheTreesOrder) {
    // Names recorded after the tree was first built are in the list too.
    for (const char* name : {"MID", "ZED", "ALPHA"}) record(name, 1);
    symbols::finish_recording();
    for (const char* name : {"BETA", "MID", "AAA"}) record(name, 2);
    symbols::Table taken = symbols::take_table();
    symbols::Table table = std::move(taken);
    EXPECT_EQ(taken.order, nullptr);
    EXPECT_EQ(taken.count, 0u);
    std::vector<const SymbolNode*> tree = nodes_in_order(table.root);
    ASSERT_EQ(table.count, 5u);
    ASSERT_EQ(tree.size(), 5u);
    for (std::uint32_t i = 0; i < table.count; ++i) EXPECT_EQ(table.order[i], tree[i]) << i;
}

TEST_F(SymbolsTest, ReferencesAreStoredOldestFirst) {
    record("COUNT", 5, '#');
    record("COUNT", 9);
    record("COUNT", 9);
    symbols::finish_recording();

    symbols::RefWalk w;
    const RefEntry* e = symbols::first_ref(symbols::symbol_root, &w);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->line, 5);
    EXPECT_EQ(e->mark, '#');
    ASSERT_NE(e = symbols::next_ref(&w), nullptr);
    EXPECT_EQ(e->line, 9);
    ASSERT_NE(e = symbols::next_ref(&w), nullptr);
    EXPECT_EQ(e->line, 9);
    EXPECT_EQ(symbols::next_ref(&w), nullptr);
    EXPECT_EQ(render(), "COUNT: 5# 9  9 ");
}

TEST_F(SymbolsTest, KindIsFixedAtCreationAndDrivesTheMacroRule) {
    record("PUTC", 5, '#', 'M');   // defined by a macro statement
    record("PUTC", 9, '#');        // a lone label later: plain use
    record("PUTC", 10, '&');       // a call operand: plain use too
    record("PUTC", 11, '#', 'M');  // while the kind is "M" the mark stands
    record("CH", 3);               // used before it is named by a macro statement
    record("CH", 12, '#', 'M');
    record("CH", 13, '&');

    EXPECT_EQ(render(), "CH: 3  12# 13&|PUTC(M): 5# 9  10  11#");
}

TEST_F(SymbolsTest, NameWidthIsLongestNamePlusOneWithinEightToThirtyTwo) {
    const std::pair<std::size_t, std::int32_t> cases[] = {{1, 8}, {7, 8}, {8, 9}, {12, 13}, {31, 32}, {32, 32}, {40, 32}};
    for (auto [length, width] : cases) {
        SCOPED_TRACE(length);
        clear();
        record(std::string(length, 'N'), 1);
        EXPECT_EQ(symbols::name_width, width);
        record("SHORT", 2);   // the column never narrows
        EXPECT_EQ(symbols::name_width, width);
        EXPECT_EQ(symbols::number_width, 4);
    }
}

TEST_F(SymbolsTest, NumberWidthFollowsTheLinesSymbolsAreRecordedOn) {
    const std::pair<std::int32_t, std::int32_t> cases[] = {
        {1, 4}, {9999, 4}, {10000, 5}, {99999, 5}, {100000, 6}, {2147483647, 10}};
    for (auto [line, width] : cases) {
        SCOPED_TRACE(line);
        clear();
        record("X", line);
        EXPECT_EQ(symbols::number_width, width);
        record("X", 1);
        EXPECT_EQ(symbols::number_width, width);
    }

    clear();
    record("X", 10000);
    EXPECT_EQ(symbols::number_width, 5);
    EXPECT_EQ(symbols::name_width, 8);
}

TEST_F(SymbolsTest, ReleaseAndResetGiveAFreshTablePerSource) {
    record(std::string(40, 'L'), 123456, '#');
    record("OLD", 123457);
    symbols::release_tree();
    symbols::reset_symbols();
    EXPECT_EQ(symbols::symbol_root, nullptr);
    EXPECT_EQ(symbols::name_width, 8);
    EXPECT_EQ(symbols::number_width, 4);

    record("OLD", 1, '#');
    record("NEW", 2);
    EXPECT_EQ(render(), "NEW: 2 |OLD: 1#");
    EXPECT_EQ(symbols::name_width, 8);
    EXPECT_EQ(symbols::number_width, 4);
}

TEST_F(SymbolsTest, NameIsCopiedWholeUpToTheLongestLine) {
    std::string name(254, 'Q');
    name[0] = 'A';
    std::string other = name;
    other[253] = 'R';
    char buffer[256];
    std::memcpy(buffer, name.c_str(), name.size() + 1);

    record(buffer, 1, '#');
    std::memset(buffer, 'Z', 254);   // the caller's text may be reused at once
    record(other, 2);
    record(name, 3);

    std::vector<const SymbolNode*> nodes = nodes_in_order();
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[0]->name, name);
    EXPECT_EQ(nodes[1]->name, other);
    EXPECT_EQ(render(), name + ": 1# 3 |" + other + ": 2 ");
    EXPECT_EQ(symbols::name_width, 32);
}

TEST_F(SymbolsTest, NamesInAscendingOrderKeepTheTreeShallow) {
    const int count = 100000;
    char name[16];
    for (int i = 1; i <= count; ++i) {
        std::snprintf(name, sizeof name, "L%06d", i);
        record(name, i);
    }

    EXPECT_LE(tree_height(), static_cast<int>(1.45 * std::log2(count) + 2));
    std::vector<const SymbolNode*> nodes = nodes_in_order();
    ASSERT_EQ(nodes.size(), static_cast<std::size_t>(count));
    for (int i = 1; i <= count; ++i) {
        std::snprintf(name, sizeof name, "L%06d", i);
        const SymbolNode* n = nodes[static_cast<std::size_t>(i - 1)];
        ASSERT_STREQ(n->name, name);
        symbols::RefWalk w;
        ASSERT_EQ(symbols::first_ref(n, &w)->line, i);
        ASSERT_EQ(symbols::next_ref(&w), nullptr);
    }
    EXPECT_EQ(symbols::number_width, 6);
}

TEST_F(SymbolsTest, MillionOccurrencesOfOneSymbolStayInOrder) {
    const std::int32_t count = 1000000;
    for (std::int32_t i = 1; i <= count; ++i) record("X", i);
    symbols::finish_recording();

    std::int32_t expected = 1;
    symbols::RefWalk w;
    for (const RefEntry* e = symbols::first_ref(symbols::symbol_root, &w); e != nullptr; e = symbols::next_ref(&w)) {
        ASSERT_EQ(e->line, expected);
        ++expected;
    }
    EXPECT_EQ(expected, count + 1);
    EXPECT_EQ(symbols::number_width, 7);
}

}  // namespace
