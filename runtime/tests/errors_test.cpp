#include "runtime/errors.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <string>

namespace {

TEST(ErrorText, SystemCodesAndSignIgnored) {
    struct Case {
        int code;
        const char *text;
    } cases[] = {
        {-EPROTO, "Protocol error"},
        {tw::kErrChanged, "Stale file handle"},
        {-tw::kErrChanged, "Stale file handle"},
        {-tw::kErrKeyUnavailable, "Required key not available"},
        {-tw::kErrKeyRejected, "Key was rejected by service"},
        {-ENOENT, "No such file or directory"},
        {-EACCES, "Permission denied"},
        {-99999, "Unknown error"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(std::string(tw::error_text(c.code)), c.text) << c.code;
}

} // namespace
