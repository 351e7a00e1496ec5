#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "transport/SockErrorText.h"

namespace {

using transport::SockErrorText;

struct Row {
    int code;
    const char* text;
};

// The ends of the table, the texts the traces of refused and timed-out
// connections show, and the longest one; every text must stay letter for letter.
const Row kExpected[] = {
    {10004, "WSAEINTR: Interrupted system call."},
    {10060, "WSAETIMEDOUT: Connection timed out."},
    {10061, "WSAECONNREFUSED: Connection refused."},
    {10054, "WSAECONNRESET: Connection reset by peer."},
    {10093,
     "WSANOTINITIALISED: Winsock not initialized. This message is returned by any "
     "function except WSAStartup(), indicating that a successful WSAStartup() has not yet "
     "been performed."},
    {11004,
     "WSANO_DATA: Valid name, no data record of requested type. This error indicates that "
     "the key (name, address, and so on) was not found."},
    // Odd spellings are kept.
    {10013, "WSEACCES: Permission denied."},
    {10036,
     "WSAEINPROGRESS: Operation now in progress. This error is returned if any "
     "Windows Sockets API  function is called while a blocking  function is in "
     "progress."},
};

TEST(SockErrorText, RowsLetterForLetter) {
    for (const Row& row : kExpected) EXPECT_STREQ(SockErrorText(row.code), row.text) << row.code;
}

TEST(SockErrorText, EverythingElseIsUnknown) {
    for (int code : {0, -1, 996, 997, 10000, 10010, 10066, 10100, 10102, 11000, 11005, INT_MIN,
                     INT_MAX}) {
        EXPECT_STREQ(SockErrorText(code), "Unknown socket error.") << code;
    }
    // Exactly the 45 rows have a text of their own.
    int known = 0;
    for (int code = -100; code < 20000; ++code) {
        if (std::strcmp(SockErrorText(code), "Unknown socket error.") != 0) ++known;
    }
    EXPECT_EQ(known, 45);
}

}  // namespace
