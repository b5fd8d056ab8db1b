// The hash index in front of the symbol tree and the blocks that hold a
// symbol's entries: whatever the index finds, the tree must hold exactly one
// node per text, and every list must read back complete and oldest first.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "symbols/symbols.h"
#include "symbol_table_text.h"

namespace {

using symbols::RefEntry;
using symbols::SymbolNode;

using test_util::nodes_in_order;

std::vector<std::int32_t> lines_of(const SymbolNode* n) {
    std::vector<std::int32_t> lines;
    symbols::RefWalk w;
    for (const RefEntry* e = symbols::first_ref(n, &w); e != nullptr; e = symbols::next_ref(&w)) lines.push_back(e->line);
    return lines;
}

class SymbolIndexTest : public testing::Test {
protected:
    void SetUp() override { clear(); }
    void TearDown() override { clear(); }

    static void clear() {
        symbols::release_tree();
        symbols::reset_symbols();
    }

    static void record(const std::string& text, std::int32_t line) {
        symbols::record_reference(text.data(), static_cast<std::uint32_t>(text.size()), ' ', ' ', line, 0);
    }
};

TEST_F(SymbolIndexTest, NamesThatNearlyMatchStayApart) {
    // Equal in their first eight bytes, prefixes of each other, a case apart,
    // holding a NUL: each is its own symbol however often it recurs.
    const std::vector<std::string> names = {"ABCDEFGH1", "ABCDEFGH2", "ABCDEFGH", "ABCDEFG", "abcdefgh",
                                            "ABCDEFGH12345678", "ABCDEFGH12345679", std::string("AB\0C", 4),
                                            "AB", "A", "ABCDEFGXIJKL", "ABCDEFGHIJKL", "AXC", "ABC",
                                            "ABXDE", "ABCDE"};
    int line = 1;
    for (int round = 0; round < 3; ++round)
        for (const std::string& name : names) record(name, line++);

    std::vector<const SymbolNode*> nodes = nodes_in_order();
    ASSERT_EQ(nodes.size(), names.size());
    for (const SymbolNode* n : nodes) {
        std::string text(n->name, n->length);
        std::size_t i = 0;
        while (names[i] != text) ++i;   // every node is one of the names
        int first = static_cast<int>(i) + 1, count = static_cast<int>(names.size());
        EXPECT_EQ(lines_of(n), (std::vector<std::int32_t>{first, first + count, first + 2 * count})) << text;
    }
}

TEST_F(SymbolIndexTest, ManySymbolsAcrossIndexGrowth) {
    // 20000 names, each recorded on first sight and again 7 and 13 thousand
    // lines later, make the index grow several times between the uses.
    const int count = 20000;
    auto name = [](int i) { return "N" + std::to_string(i * 7919 % count); };
    int line = 1;
    for (int i = 0; i < count + 13000; ++i) {
        if (i < count) record(name(i), line++);
        if (i >= 7000 && i - 7000 < count) record(name(i - 7000), line++);
        if (i >= 13000) record(name(i - 13000), line++);
    }
    std::vector<const SymbolNode*> nodes = nodes_in_order();
    ASSERT_EQ(nodes.size(), static_cast<std::size_t>(count));
    for (std::size_t i = 1; i < nodes.size(); ++i) ASSERT_LT(std::string(nodes[i - 1]->name), nodes[i]->name);
    for (const SymbolNode* n : nodes) {
        std::vector<std::int32_t> lines = lines_of(n);
        ASSERT_EQ(lines.size(), 3u) << n->name;
        EXPECT_TRUE(lines[0] < lines[1] && lines[1] < lines[2]) << n->name;
    }
}

TEST_F(SymbolIndexTest, LongListsInterleavedWithOthersReadBackWhole) {
    // Two symbols alternate for 1000 lines while a new one appears every
    // tenth line: each list must hold its own lines only, oldest first.
    for (int line = 1; line <= 1000; ++line) {
        record(line % 2 ? "ODD" : "EVEN", line);
        if (line % 10 == 0) record("NEW" + std::to_string(line), line);
    }
    for (const SymbolNode* n : nodes_in_order()) {
        std::vector<std::int32_t> lines = lines_of(n);
        std::string text = n->name;
        if (text == "ODD" || text == "EVEN") {
            ASSERT_EQ(lines.size(), 500u);
            for (std::size_t i = 0; i < lines.size(); ++i)
                EXPECT_EQ(lines[i], 1 + static_cast<std::int32_t>(2 * i) + (text == "EVEN")) << text;
        } else {
            EXPECT_EQ(lines, std::vector<std::int32_t>{std::stoi(text.substr(3))});
        }
    }
}

TEST_F(SymbolIndexTest, ResetForgetsTheNamesOfTheLastSource) {
    // A reset without a release, and a release, must both leave no trace in
    // the index: the next source starts with a fresh node.
    record("LOOP", 5);
    record("LOOP", 6);
    symbols::reset_symbols();
    record("LOOP", 1);
    symbols::finish_recording();
    ASSERT_NE(symbols::symbol_root, nullptr);
    EXPECT_EQ(lines_of(symbols::symbol_root), std::vector<std::int32_t>{1});

    symbols::release_tree();
    symbols::reset_symbols();
    record("LOOP", 2);
    record("LOOP", 3);
    EXPECT_EQ(nodes_in_order().size(), 1u);   // and the tree built
    EXPECT_EQ(lines_of(symbols::symbol_root), (std::vector<std::int32_t>{2, 3}));
}

TEST_F(SymbolIndexTest, NumberWidthFollowsTheDigitsOfRecordedLines) {
    const std::pair<std::int32_t, std::int32_t> steps[] = {{9999, 4},      {10000, 5},      {99999, 5},
                                                           {100000, 6},    {999999, 6},     {1000000, 7},
                                                           {2147483647, 10}, {5, 10}};
    for (const auto& [line, width] : steps) {
        record("W", line);
        EXPECT_EQ(symbols::number_width, width) << line;
    }
}

}  // namespace

namespace {

TEST_F(SymbolIndexTest, OccurrencesWaitingToBeRecordedKeepTheirOrderKindAndRun) {
    // A table of tens of thousands of names queues what it records: a macro named
    // while queued keeps the macro rule for the uses queued behind it, a text
    // too long to queue is recorded after those met before it, and a reset
    // forgets what the last run left queued.
    auto many = [](int from, int count) {
        for (int i = 0; i < count; ++i) record("F" + std::to_string(from + i), from + i);
    };
    many(1, 20000);
    const std::string macro = "MAC", longer(300, 'Q');
    symbols::record_reference(macro.data(), 3, '#', 'M', 6001, 0);
    symbols::record_reference(macro.data(), 3, '&', ' ', 6002, 0);   // " " by the macro rule
    symbols::record_reference(longer.data(), 300, ' ', ' ', 6003, 0);
    symbols::record_reference(macro.data(), 3, '#', 'M', 6004, 0);
    symbols::record_reference(longer.data(), 300, '&', ' ', 6005, 0);
    std::string seen;
    for (const SymbolNode* n : nodes_in_order()) {
        if (n->name[0] == 'F') continue;
        seen += std::string(n->name, n->length > 4 ? 4 : n->length) + n->kind + ":";
        symbols::RefWalk w;
        for (const RefEntry* e = symbols::first_ref(n, &w); e != nullptr; e = symbols::next_ref(&w))
            seen += std::to_string(e->line) + e->mark;
        seen += " ";
    }
    EXPECT_EQ(seen, "MACM:6001#6002 6004# QQQQ :6003 6005& ");

    symbols::reset_symbols();
    many(1, 20000);
    symbols::reset_symbols();   // a run that failed with occurrences queued
    record("ONE", 1);
    EXPECT_EQ(nodes_in_order().size(), 1u);
}

}  // namespace
