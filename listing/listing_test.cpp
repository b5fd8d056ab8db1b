// The listing writer, driven through a real listing stream: symbols are
// recorded, the listing is written to a scratch file and its bytes compared
// with layouts worked out by hand.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>

#include "listing/listing.h"
#include "platform/platform.h"
#include "symbols/symbols.h"
#include "test_util.h"

namespace {

const std::string EOL = "\r\n";

std::string blanks(std::size_t n) { return std::string(n, ' '); }

using test_util::page_header;

// Reference fields for the lines first..last, all with one mark, numbers
// right-aligned in width columns.
std::string fields(int first, int last, char mark, std::size_t width = 4) {
    std::string out;
    for (int line = first; line <= last; ++line) {
        std::string digits = std::to_string(line);
        out += " " + blanks(width - digits.size()) + digits + mark;
    }
    return out;
}

// "S00".."S99": names of one-line symbols, in the order they sort.
std::string filler_name(int i) {
    return std::string("S") + static_cast<char>('0' + i / 10) + static_cast<char>('0' + i % 10);
}

class ListingTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = test_util::make_scratch_dir();
        path = dir + "/OUT.VXR";
        symbols::reset_symbols();
        listing::reset_listing();
        ASSERT_TRUE(listing::open_listing(path.c_str()));
    }

    void TearDown() override {
        if (listing::listing_file != nullptr) platform::close_stream(listing::listing_file);
        listing::listing_file = nullptr;
        symbols::release_tree();
        symbols::reset_symbols();
        test_util::remove_tree(dir);
    }

    static void record(const std::string& name, std::int32_t line, char mark) {
        symbols::record_reference(name.data(), static_cast<std::uint32_t>(name.size()), mark, ' ', line, 0);
    }

    // Closes the listing and returns its bytes.
    std::string finish() {
        EXPECT_TRUE(platform::close_stream(listing::listing_file));
        listing::listing_file = nullptr;
        return test_util::read_file(path);
    }

    // What the driver does at the end of a source, short of the 0x1A byte.
    std::string write_all() {
        table = symbols::take_table();
        listing::start_page();
        listing::write_listing(table);
        return finish();
    }

    symbols::Table table;   // the table write_all wrote

    // n symbols of one line each, recorded on lines 1..n with "#".
    static void record_fillers(int n) {
        for (int i = 0; i < n; ++i) record(filler_name(i), i + 1, '#');
    }
    // The body lines the fillers give with name_width 8 and number_width 4.
    static std::string filler_lines(int from, int to) {
        std::string out;
        for (int i = from; i < to; ++i) out += filler_name(i) + blanks(5) + fields(i + 1, i + 1, '#') + EOL;
        return out;
    }

    std::string dir;
    std::string path;
};

TEST_F(ListingTest, ExampleBodyByteForByte) {
    record("COUNT", 3, '#');
    record("LOOP", 5, '#');
    record("PUTS", 7, '&');
    record("COUNT", 10, ' ');
    record("COUNT", 10, ' ');
    for (int line = 20; line <= 32; ++line) record("LOOP", line, ' ');
    record("Loop", 40, '#');
    record("PUTS", 50, '#');

    std::string expected = page_header("001") +
                           "COUNT       3#   10    10 " + EOL +
                           "LOOP        5#   20    21    22    23    24    25    26    27    28    29    30 " + EOL +
                           "           31    32 " + EOL +
                           "Loop       40#" + EOL +
                           "PUTS        7&   50#" + EOL;
    EXPECT_EQ(write_all(), expected);
}

TEST_F(ListingTest, EmptyTableIsOneHeader) {
    std::string out = write_all();
    EXPECT_EQ(out, page_header("001"));
    EXPECT_EQ(out[0], '\f');
}

TEST_F(ListingTest, SameLineTwiceKeepsRecordingOrder) {
    record("X", 9, '&');
    record("X", 9, ' ');
    record("X", 9, '#');
    EXPECT_EQ(write_all(), page_header("001") + "X           9&    9     9#" + EOL);
}

TEST_F(ListingTest, FiftyFiveLinesFillPageOneAndOpenAnEmptyPageTwo) {
    record_fillers(55);
    EXPECT_EQ(write_all(), page_header("001") + filler_lines(0, 55) + page_header("002"));
}

TEST_F(ListingTest, FiftySixthSymbolIsFirstOnPageTwo) {
    record_fillers(56);
    EXPECT_EQ(write_all(), page_header("001") + filler_lines(0, 55) + page_header("002") + filler_lines(55, 56));
}

// How many reference fields fit on a line for a given pair of column widths.
struct FieldsCase {
    const char* label;
    std::string name;            // the only symbol
    std::string name_field;      // its field on the first line, by hand
    std::int32_t first_line;     // its references run from here
    int references;
    std::size_t number_width;    // expected widths
    std::int32_t name_width;
    int per_line;                // fields on the first line
    std::size_t first_length;    // columns of the first line
};

TEST_F(ListingTest, FieldsPerLineFollowTheWidths) {
    const std::string name31 = "ABCDEFGHIJKLMNOPQRSTUVWXYZABCDE";
    const std::string name40 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789WXYZ";
    const FieldsCase cases[] = {
        {"8/4", "SEVENCH", "SEVENCH ", 1, 13, 4, 8, 12, 80},
        {"32/4", name31, name31 + " ", 1, 9, 4, 32, 8, 80},
        {"40 characters cut to 32", name40, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", 1, 9, 4, 32, 8, 80},
        {"13/5", "TWELVECHARSX", "TWELVECHARSX ", 10000, 10, 5, 13, 9, 76},
    };
    for (const FieldsCase& c : cases) {
        SCOPED_TRACE(c.label);
        TearDown();
        SetUp();
        for (int i = 0; i < c.references; ++i) record(c.name, c.first_line + i, ' ');
        EXPECT_EQ(symbols::name_width, c.name_width);
        EXPECT_EQ(symbols::number_width, static_cast<std::int32_t>(c.number_width));

        int split = c.first_line + c.per_line;
        int last = c.first_line + c.references - 1;
        std::string first = c.name_field + fields(c.first_line, split - 1, ' ', c.number_width);
        EXPECT_EQ(first.size(), c.first_length);
        std::string expected = page_header("001") + first + EOL +
                               blanks(static_cast<std::size_t>(c.name_width)) +
                               fields(split, last, ' ', c.number_width) + EOL;
        EXPECT_EQ(write_all(), expected);
    }
}

// A symbol whose first line is the page's 55th: its continuation opens page
// two and repeats the name there.
struct PageBreakCase {
    const char* label;
    std::string name;
    std::string repeated;      // the name field at the top of page two, by hand
    std::size_t name_width;
    int per_line;
};

TEST_F(ListingTest, ContinuationOnNewPageRepeatsTheName) {
    const PageBreakCase cases[] = {
        {"short name filled", "ZZ", "ZZ      ", 8, 12},
        {"long name cut", "ZABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789XYZ", "ZABCDEFGHIJKLMNOPQRSTUVWXYZ01234", 32, 8},
    };
    for (const PageBreakCase& c : cases) {
        SCOPED_TRACE(c.label);
        TearDown();
        SetUp();
        record_fillers(54);
        int last = 55 + c.per_line;   // one field more than fits
        for (int line = 55; line <= last; ++line) record(c.name, line, '&');

        std::string filler_text;
        for (int i = 0; i < 54; ++i) {
            filler_text += filler_name(i) + blanks(c.name_width - 3) + fields(i + 1, i + 1, '#') + EOL;
        }
        std::string expected = page_header("001") + filler_text + c.repeated + fields(55, last - 1, '&') + EOL +
                               page_header("002") + c.repeated + fields(last, last, '&') + EOL;
        EXPECT_EQ(write_all(), expected);
    }
}

TEST_F(ListingTest, TitleFieldIsThirtyColumns) {
    struct TitleCase {
        const char* title;
        std::string field;   // between the two tabs, by hand
    };
    const TitleCase cases[] = {
        {"BLINK demo", "BLINK demo" + blanks(20)},
        {"", blanks(30)},
        {"100% %s%d%%", "100% %s%d%%" + blanks(19)},
        {"A\tB\t", "A\tB\t" + blanks(26)},
        {"123456789012345678901234567890", "123456789012345678901234567890"},
    };
    for (const TitleCase& c : cases) {
        SCOPED_TRACE(c.title);
        TearDown();
        SetUp();
        std::snprintf(listing::page_title, sizeof listing::page_title, "%s", c.title);
        std::string expected =
            "\f" "Vela Family CROSS REFERENCE V." VELXREF_VERSION " \t" + c.field + "\tP. 001" + EOL + EOL;
        EXPECT_EQ(write_all(), expected);
    }
}

TEST_F(ListingTest, PageFieldHasAtLeastThreeDigits) {
    const std::pair<std::int32_t, std::string> cases[] = {
        {1, "001"}, {10, "010"}, {999, "999"}, {1000, "1000"}};
    std::string expected;
    for (const auto& [number, text] : cases) {
        listing::page_number = number;
        listing::start_page();
        EXPECT_EQ(listing::page_number, number + 1);
        EXPECT_EQ(listing::page_lines, 0u);
        expected += page_header(text);
    }
    EXPECT_EQ(finish(), expected);
}

TEST_F(ListingTest, HundredThousandReferencesOfOneSymbol) {
    const int count = 100000;
    for (int line = 1; line <= count; ++line) record("BIG", line, ' ');
    ASSERT_EQ(symbols::number_width, 6);   // 100000 has six digits: fields of 8, nine a line

    std::string out = write_all();
    // Line L holds references 9L-8..9L: 11112 lines, pages of 55, so page 203
    // opens with line 11111 (references 99991..99999) and ends with 100000.
    std::string head = page_header("001") + "BIG     " + fields(1, 9, ' ', 6) + EOL + blanks(8) + fields(10, 18, ' ', 6) + EOL;
    EXPECT_EQ(out.compare(0, head.size(), head), 0);

    std::size_t page2 = out.find(page_header("002"));
    ASSERT_NE(page2, std::string::npos);
    std::string page2_top = page_header("002") + "BIG     " + fields(496, 504, ' ', 6) + EOL;
    EXPECT_EQ(out.compare(page2, page2_top.size(), page2_top), 0);

    std::string tail = page_header("203") + "BIG     " + fields(99991, 99999, ' ', 6) + EOL + blanks(8) +
                       fields(100000, 100000, ' ', 6) + EOL;
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_EQ(out.find(page_header("204")), std::string::npos);

    // Writing reads the table and leaves it as it was: oldest entry first.
    symbols::RefWalk w;
    EXPECT_EQ(symbols::first_ref(table.root, &w)->line, 1);
    EXPECT_EQ(symbols::next_ref(&w)->line, 2);
}

}  // namespace
