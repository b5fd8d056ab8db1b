// Reference fields of every length, up to the largest line number there is,
// right-aligned in the widest field.
#include <gtest/gtest.h>

#include <string>

#include "listing/listing.h"
#include "platform/platform.h"
#include "symbols/symbols.h"
#include "test_util.h"

namespace {

TEST(ReferenceFormat, LineNumbersOfEveryLengthUpToTheLargest) {
    std::string dir = test_util::make_scratch_dir();
    std::string path = dir + "/OUT.VXR";
    symbols::reset_symbols();
    listing::reset_listing();
    ASSERT_TRUE(listing::open_listing(path.c_str()));

    const std::int32_t lines[] = {7, 10, 99, 100, 1234567890, 2147483647, 1000000000, 1, 101, 9990};
    const char marks[] = "# &&  #  &";
    for (int i = 0; i < 10; ++i) {
        symbols::record_reference("N", 1, marks[i], ' ', lines[i], 0);
    }
    ASSERT_EQ(symbols::number_width, 10);
    symbols::finish_recording();
    listing::start_page();
    listing::write_listing(symbols::take_table());
    ASSERT_TRUE(platform::close_stream(listing::listing_file));
    listing::listing_file = nullptr;

    // Fields of 12 columns: six fill the 72 columns after the name.
    const std::string body = "N       "
                             "          7#"
                             "         10 "
                             "         99&"
                             "        100&"
                             " 1234567890 "
                             " 2147483647 "
                             "\r\n"
                             "        "
                             " 1000000000#"
                             "          1 "
                             "        101 "
                             "       9990&"
                             "\r\n";
    std::string out = test_util::read_file(path);
    ASSERT_GE(out.size(), body.size());
    EXPECT_EQ(out.substr(out.size() - body.size()), body);

    symbols::release_tree();
    symbols::reset_symbols();
    test_util::remove_tree(dir);
}

}  // namespace
