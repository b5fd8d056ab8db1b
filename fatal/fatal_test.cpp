// The fatal messages and the exit statuses they leave.
#include "fatal/fatal.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "test_util.h"

namespace {

using test_util::USAGE_TEXT;

TEST(Fatal, MessagesAndStatuses) {
    const std::pair<int, std::string> cases[] = {
        {fatal::ERROR_USAGE, USAGE_TEXT},
        {fatal::ERROR_OPEN_SOURCE, "\a\nCan't open SRC.AVL\n"},
        {fatal::ERROR_CREATE_LISTING, "\a\nCan't create file OUT\\SRC.VXR\n"},
        {fatal::ERROR_READ_SOURCE, "\a\nCan't read SRC.AVL\n"},
        {fatal::ERROR_DISK_FULL, "\a\nOut of disk space.\n"},
    };
    for (const auto& [code, text] : cases) {
        fatal::exit_status = 1;
        testing::internal::CaptureStdout();
        int status = -1;
        try {
            fatal::report_error(code, code == fatal::ERROR_OPEN_SOURCE || code == fatal::ERROR_READ_SOURCE ? "SRC.AVL" : "OUT\\SRC.VXR");
        } catch (const fatal::FatalExit& e) {
            status = e.status;
        }
        EXPECT_EQ(testing::internal::GetCapturedStdout(), text) << code;
        EXPECT_EQ(status, code == fatal::ERROR_USAGE ? 2 : 3);
        EXPECT_EQ(fatal::exit_status, status);
    }
    fatal::exit_status = 0;
    // No exception for an exhausted heap: throwing one may need memory too.
    EXPECT_EXIT(fatal::report_error(fatal::ERROR_HEAP), testing::ExitedWithCode(3), "");
}

}  // namespace
