// Text-mode streams over real files: the read rules for CR and 0x1A, the
// 64 KiB block boundary, the write rule, errors, and how names are opened.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "test_util.h"

namespace {

using platform::TextStream;

class StreamTest : public testing::Test {
protected:
    void SetUp() override { dir = test_util::make_scratch_dir(); }
    void TearDown() override { test_util::remove_tree(dir); }

    // A read stream over a new file holding exactly bytes.
    TextStream* open_with(const std::string& bytes) {
        std::string path = dir + "/in";
        test_util::write_file(path, bytes);
        return platform::open_read(path.c_str());
    }

    std::string dir;
};

// Three calls of read_chars; each chunk is followed by "$" when it reported
// the end of the file, by "|" otherwise.
std::string read_chunks(TextStream* s, int max) {
    std::string got;
    std::vector<char> buffer(static_cast<std::size_t>(max));
    for (int call = 0; call < 3; ++call) {
        bool ended = false;
        int n = platform::read_chars(s, buffer.data(), max, &ended);
        got.append(buffer.data(), static_cast<std::size_t>(n));
        got += ended ? '$' : '|';
    }
    return got;
}

TEST_F(StreamTest, ReadRulesForCarriageReturnAndCtrlZ) {
    struct Case {
        std::string bytes;
        std::string by_chunk;   // read_chunks with room to spare
    };
    const Case cases[] = {
        {"A\r\nB", "A\n|B$$"},
        {"\r\r", "\r$$$"},              // the second CR is delivered
        {"\r\r\n", "\r\n|$$"},
        {"\r\r\r\n", "\r\n|$$"},     // CR, CR delivered, then CR LF
        {"x\r", "x$$$"},                 // CR as the last byte vanishes
        {"x\x1Ay", "x$y$$"},             // one end of file, then the byte after
        {"\r\x1Az", "$z$$"},            // 0x1A right after a dropped CR
        {"\x1Ay", "$y$$"},
        {"a\x1A", "a$$$"},
        {"", "$$$"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        TextStream* s = open_with(c.bytes);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(read_chunks(s, 100), c.by_chunk);
        EXPECT_FALSE(platform::stream_error(s));
        EXPECT_TRUE(platform::close_stream(s));
    }
}

TEST_F(StreamTest, ReadCharsStopsAtMaxAndCountsOnlyStoredCharacters) {
    TextStream* s = open_with("abcdef\n");
    EXPECT_EQ(read_chunks(s, 4), "abcd|ef\n|$");
    platform::close_stream(s);
    s = open_with("a\r\rbc\r\nd");   // a dropped CR takes no room
    EXPECT_EQ(read_chunks(s, 2), "a\r|bc|\n|");
    platform::close_stream(s);
}

TEST_F(StreamTest, ReadsAcrossTheBlockBoundary) {
    const std::string head(platform::STREAM_BUFFER_SIZE - 1, 'a');   // the next byte is a block's last
    struct Case {
        std::string tail;
        std::string by_chunk;   // read_chunks after the run of "a"
    };
    const Case cases[] = {
        {"\r\nb", "\n|b$$"},
        {"\r\r\n", "\r\n|$$"},
        {"\r\x1A" "b", "$b$$"},
        {"\r", "$$$"},
        {"\x1A\x1A" "b", "$$b$"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.tail));
        TextStream* s = open_with(head + c.tail);
        std::string got = read_chunks(s, 3 * static_cast<int>(platform::STREAM_BUFFER_SIZE));
        platform::close_stream(s);
        ASSERT_GE(got.size(), head.size());
        EXPECT_EQ(got.substr(0, head.size()), head);
        EXPECT_EQ(got.substr(head.size()), c.by_chunk);
    }
}

TEST_F(StreamTest, ManyBlocksOfCrLfLinesReadAsLfLines) {
    std::string crlf, lf;
    for (int i = 0; i < 30000; ++i) {
        std::string text = "line " + std::to_string(i);
        crlf += text + "\r\n";
        lf += text + "\n";
    }
    TextStream* s = open_with(crlf);
    std::string got;
    char chunk[255];
    bool ended = false;
    while (!ended) {
        int n = platform::read_chars(s, chunk, 255, &ended);
        got.append(chunk, static_cast<std::size_t>(n));
    }
    platform::close_stream(s);
    EXPECT_EQ(got, lf);
}

TEST_F(StreamTest, WriteStoresLfAsCrLfAndEverythingElseUnchanged) {
    std::string path = dir + "/out";
    TextStream* s = platform::open_replace(path.c_str());
    ASSERT_NE(s, nullptr);
    platform::write_bytes(s, "a\nb\r\x1A\n", 6);
    EXPECT_TRUE(platform::write_char(s, '\n'));
    EXPECT_TRUE(platform::write_char(s, 0x1A));
    EXPECT_TRUE(platform::write_char(s, 0));
    EXPECT_TRUE(platform::close_stream(s));
    EXPECT_EQ(test_util::read_file(path), std::string("a\r\nb\r\x1A\r\n\r\n\x1A\0", 12));

    // The CR LF of a line feed that falls on a block's last byte stays whole.
    const std::string head(platform::STREAM_BUFFER_SIZE - 1, 'x');
    s = platform::open_replace(path.c_str());
    platform::write_bytes(s, head.data(), head.size());
    platform::write_bytes(s, "\n\n", 2);
    EXPECT_TRUE(platform::close_stream(s));
    EXPECT_EQ(test_util::read_file(path), head + "\r\n\r\n");
}

TEST_F(StreamTest, FailedWritesShowInErrorIndicatorAndClose) {
    // A file-size limit of 1 KiB makes every write past it fail.
    struct rlimit old_limit;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    struct rlimit limit = {1024, old_limit.rlim_max};
    void (*old_handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    const std::string big(2048, 'x');
    std::string path = dir + "/out";
    test_util::write_file(path, "old");

    TextStream* s = platform::open_replace(path.c_str());
    ASSERT_NE(s, nullptr);
    platform::write_bytes(s, big.data(), big.size());   // held in the buffer: no failure yet
    EXPECT_FALSE(platform::flush_stream(s));
    EXPECT_TRUE(platform::stream_error(s));
    EXPECT_FALSE(platform::write_char(s, 'b'));
    EXPECT_FALSE(platform::close_stream(s));

    // More than one block: the failure shows without an explicit flush.
    s = platform::open_replace(path.c_str());
    const std::string block(platform::STREAM_BUFFER_SIZE + 10, 'y');
    platform::write_bytes(s, block.data(), block.size());
    EXPECT_TRUE(platform::stream_error(s));
    EXPECT_FALSE(platform::close_stream(s));

    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);
    // The name kept what it held, and nothing else is left in the directory.
    EXPECT_EQ(test_util::read_file(path), "old");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 1);
}

TEST_F(StreamTest, DirectoriesAndMissingFilesDoNotOpen) {
    EXPECT_EQ(platform::open_read(dir.c_str()), nullptr);
    EXPECT_EQ(platform::open_read((dir + "/missing").c_str()), nullptr);
    EXPECT_EQ(platform::open_read(""), nullptr);
    EXPECT_EQ(platform::open_replace(dir.c_str()), nullptr);
    EXPECT_EQ(platform::open_replace((dir + "/missing/out").c_str()), nullptr);
    // Closed streams give their slots back.
    for (int i = 0; i < 3 * platform::MAX_STREAMS; ++i) {
        TextStream* s = open_with("x");
        ASSERT_NE(s, nullptr);
        EXPECT_TRUE(platform::close_stream(s));
    }
}

TEST_F(StreamTest, NamesSameFileFollowsLinks) {
    std::string file = dir + "/f", other = dir + "/o";
    test_util::write_file(file, "f");
    test_util::write_file(other, "f");
    ASSERT_EQ(::link(file.c_str(), (dir + "/hard").c_str()), 0);
    ASSERT_EQ(::symlink(file.c_str(), (dir + "/soft").c_str()), 0);
    const char* f = file.c_str();
    EXPECT_TRUE(platform::names_same_file(f, f));
    EXPECT_TRUE(platform::names_same_file(f, (dir + "/hard").c_str()));
    EXPECT_TRUE(platform::names_same_file((dir + "/soft").c_str(), f));
    EXPECT_TRUE(platform::names_same_file(f, (dir + "\\hard").c_str()));
    EXPECT_FALSE(platform::names_same_file(f, other.c_str()));
    EXPECT_FALSE(platform::names_same_file(f, (dir + "/missing").c_str()));
    EXPECT_FALSE(platform::names_same_file((dir + "/missing").c_str(), (dir + "/missing").c_str()));
}

TEST_F(StreamTest, BackslashOpensAsSlash) {
    ASSERT_EQ(::mkdir((dir + "/sub").c_str(), 0777), 0);
    test_util::write_file(dir + "/sub/F.TXT", "F\n");
    TextStream* s = platform::open_read((dir + "\\sub\\F.TXT").c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(read_chunks(s, 10), "F\n|$$");
    platform::close_stream(s);

    s = platform::open_replace((dir + "\\sub\\G.TXT").c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(platform::close_stream(s));
    EXPECT_TRUE(test_util::exists(dir + "/sub/G.TXT"));
    EXPECT_FALSE(test_util::exists(dir + "/sub\\G.TXT"));
}

// Progress marks are held back only where nobody sees them: on the null
// device, never on a file, a pipe or another character device.
TEST_F(StreamTest, OnlyTheNullDeviceIsAnUnseenConsole) {
    std::fflush(stdout);
    int saved = ::dup(STDOUT_FILENO);
    ASSERT_GE(saved, 0);
    auto console_on = [](int fd) {
        ::dup2(fd, STDOUT_FILENO);
        ::close(fd);
        return platform::console_is_null_device();
    };
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    int null_fd = ::open("/dev/null", O_WRONLY);
    int zero_fd = ::open("/dev/zero", O_WRONLY);
    int file_fd = ::open((dir + "/out").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_TRUE(null_fd >= 0 && zero_fd >= 0 && file_fd >= 0);
    bool null = console_on(null_fd);
    bool zero = console_on(zero_fd);
    bool file = console_on(file_fd);
    bool pipe = console_on(ends[1]);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    ::close(ends[0]);
    EXPECT_TRUE(null);
    EXPECT_FALSE(zero);
    EXPECT_FALSE(file);
    EXPECT_FALSE(pipe);
}

TEST(PagesTest, SmallAndLargeRequestsAreZeroFilledAndWhollyWritable) {
    // A size that is no multiple of a large page, too: its last bytes are
    // the caller's all the same.
    for (std::size_t size : {std::size_t{4096}, platform::LARGE_PAGE, 3 * platform::LARGE_PAGE + 24}) {
        auto* bytes = static_cast<unsigned char*>(platform::take_pages(size));
        ASSERT_NE(bytes, nullptr) << size;
        std::size_t nonzero = 0;
        for (std::size_t i = 0; i < size; ++i) nonzero += bytes[i] != 0;
        EXPECT_EQ(nonzero, 0u) << size;
        std::memset(bytes, 0xA5, size);
        EXPECT_EQ(bytes[size - 1], 0xA5) << size;
        platform::give_pages(bytes, size);
    }
}

}  // namespace
