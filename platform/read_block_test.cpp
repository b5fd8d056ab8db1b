// read_chars copies eight bytes at a time while none of them is a line feed,
// a carriage return or 0x1A.  These tests put those bytes, and bytes that
// differ from them in one bit, at every offset of a word and against the
// chunk limit, and compare with the read rules applied one byte at a time.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>

#include "test_util.h"

namespace {

// The read rules, byte by byte: a CR is dropped and the byte after it is
// delivered unexamined; 0x1A ends the read it falls in.  Chunks stop after a
// line feed or at max characters; each is followed by "$" when it reported
// the end of the file and by "|" otherwise.  Reading goes on until the bytes
// are used up, and one read further.
std::string model_chunks(const std::string& bytes, int max, int* calls = nullptr) {
    std::string out;
    std::size_t pos = 0;
    int reads = 0;
    for (bool done = false; !done; ++reads) {
        done = pos == bytes.size();
        std::string chunk;
        bool ended = false;
        while (static_cast<int>(chunk.size()) < max) {
            if (pos == bytes.size()) {
                ended = true;
                break;
            }
            unsigned char c = static_cast<unsigned char>(bytes[pos++]);
            if (c == 0x0D) {
                if (pos == bytes.size()) {
                    ended = true;
                    break;
                }
                c = static_cast<unsigned char>(bytes[pos++]);
                if (c == 0x1A) {
                    ended = true;
                    break;
                }
            } else if (c == 0x1A) {
                ended = true;
                break;
            }
            chunk += static_cast<char>(c);
            if (c == '\n') break;
        }
        out += chunk + (ended ? "$" : "|");
    }
    if (calls != nullptr) *calls = reads;
    return out;
}

std::string read_all_chunks(platform::TextStream* s, int max, int calls) {
    std::string out;
    char buffer[300];
    for (int i = 0; i < calls; ++i) {
        bool ended = false;
        int n = platform::read_chars(s, buffer, max, &ended);
        out.append(buffer, static_cast<std::size_t>(n));
        out += ended ? "$" : "|";
    }
    return out;
}

class ReadBlockTest : public testing::Test {
protected:
    void SetUp() override { dir = test_util::make_scratch_dir(); }
    void TearDown() override { test_util::remove_tree(dir); }

    // The chunks read_chars gives, as many as the model reads.
    std::string read_as_stream(const std::string& bytes, int max) {
        int calls = 0;
        model_chunks(bytes, max, &calls);
        std::string path = dir + "/in";
        test_util::write_file(path, bytes);
        platform::TextStream* s = platform::open_read(path.c_str());
        EXPECT_NE(s, nullptr);
        if (s == nullptr) return "<not opened>";
        std::string got = read_all_chunks(s, max, calls);
        platform::close_stream(s);
        return got;
    }

    std::string dir;
};

TEST(ReadModel, AgreesWithTheRulesWrittenOut) {
    // The model itself, checked against results worked out by hand.
    EXPECT_EQ(model_chunks("ab\r\ncd", 255), "ab\n|cd$$");
    EXPECT_EQ(model_chunks("\r\r\n", 255), "\r\n|$");
    EXPECT_EQ(model_chunks("x\x1Ay\r\x1Az", 255), "x$y$z$$");
    EXPECT_EQ(model_chunks("abcdef", 4), "abcd|ef$$");
}

TEST_F(ReadBlockTest, SpecialBytesAtEveryOffsetOfAWord) {
    // Each special byte, alone or in a pair, at offsets 0..23 of a 40-byte
    // run of letters, read in chunks of 255 and of 13 (a limit that cuts
    // words in the middle).
    const std::string specials[] = {"\n", "\r", "\x1A", "\r\n", "\r\r", "\r\x1A", "\n\n", "\x1A\n"};
    for (const std::string& special : specials) {
        for (std::size_t offset = 0; offset < 24; ++offset) {
            std::string bytes;
            for (int i = 0; i < 40; ++i) bytes += static_cast<char>('a' + i % 26);
            bytes.replace(offset, 0, special);
            for (int max : {255, 13}) {
                EXPECT_EQ(read_as_stream(bytes, max), model_chunks(bytes, max))
                    << "offset " << offset << ", max " << max << ", special " << static_cast<int>(special[0]);
            }
        }
    }
}

TEST_F(ReadBlockTest, BytesNearTheSpecialOnesAreOrdinary) {
    // One bit away from LF, CR or 0x1A (and NUL, 0x80 and 0xFF) must be
    // copied like any letter.
    std::string bytes;
    for (const char c : {'\x0B', '\x0C', '\x0E', '\x8A', '\x8D', '\x9A', '\x1B', '\x3A', '\x00', '\x80', '\xFF'})
        bytes += std::string(9, c);
    bytes += "\n";
    EXPECT_EQ(read_as_stream(bytes, 255), bytes + "|$");
    EXPECT_EQ(read_as_stream(bytes, 255), model_chunks(bytes, 255));
}

TEST_F(ReadBlockTest, LongMixedTextAcrossTheBlockBoundary) {
    // Pseudo-random lines with CR LF ends, stray CRs and an early 0x1A past
    // the 64 KiB block boundary.
    std::string bytes;
    unsigned state = 12345;
    while (bytes.size() < platform::STREAM_BUFFER_SIZE + 5000) {
        state = state * 1103515245u + 12345u;
        unsigned length = (state >> 16) % 40;
        for (unsigned i = 0; i < length; ++i) bytes += static_cast<char>('A' + (state >> (i % 16)) % 26);
        bytes += (state >> 8) % 7 == 0 ? "\r" : "";
        bytes += (state >> 12) % 3 == 0 ? "\r\n" : "\n";
    }
    bytes += "\x1A" "after";
    for (int max : {255, 8, 7}) EXPECT_EQ(read_as_stream(bytes, max), model_chunks(bytes, max)) << max;
}

}  // namespace
