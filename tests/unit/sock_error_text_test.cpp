#include <gtest/gtest.h>

#include "transport/SockErrorText.h"

// The lookup at the table's first row, in one of its gaps and past its end.
TEST(SockErrorText, KnownAndUnknownCodes) {
    EXPECT_STREQ(transport::SockErrorText(10004), "WSAEINTR: Interrupted system call.");
    EXPECT_STREQ(transport::SockErrorText(10066), "Unknown socket error.");
    EXPECT_STREQ(transport::SockErrorText(11005), "Unknown socket error.");
}
