// The reconnection walk: which host and way after a failed attempt.

#include <gtest/gtest.h>

#include "connection/ConnectionWalk.h"

namespace {

using transport::WalkPosition;
using transport::WalkStep;

struct Case {
    const char* what;
    WalkPosition from;
    unsigned hostsSet;
    WalkStep step;
    bool wrapped;
    WalkPosition to;  // attempt, hostIndex, reconCount, connType, lastConnType
};

TEST(ConnectionWalk, NextAttempt) {
    const Case cases[] = {
        {"first retry: tunnel", {0, 0, 0, 0, -1}, 0xF, WalkStep::kNextWay, false, {1, 0, 0, 1, -1}},
        {"second retry: HTTP", {1, 0, 0, 1, -1}, 0xF, WalkStep::kNextWay, false, {2, 0, 0, 2, -1}},
        {"third: next host", {2, 0, 0, 2, -1}, 0xF, WalkStep::kNextHost, false, {0, 1, 0, 0, -1}},
        {"a time-out skips the ways", {3, 1, 0, 0, -1}, 0xF, WalkStep::kNextHost, false,
         {0, 2, 0, 0, -1}},
        {"past the fourth: a cycle", {2, 3, 1, 2, -1}, 0xF, WalkStep::kNextHost, true,
         {0, 0, 2, 0, -1}},
        {"empty entry: round the loop", {2, 0, 0, 2, -1}, 0x1, WalkStep::kEmptyHost, false,
         {2, 1, 0, 0, -1}},
        {"a way that worked stays", {0, 2, 3, 1, 1}, 0xF, WalkStep::kSameWay, false,
         {1, 2, 4, 1, 1}},
    };
    for (const Case& c : cases) {
        WalkPosition p = c.from;
        const transport::WalkMove move = transport::NextAttempt(p, c.hostsSet);
        EXPECT_EQ(move.step, c.step) << c.what;
        EXPECT_EQ(move.wrapped, c.wrapped) << c.what;
        EXPECT_EQ(p.attempt, c.to.attempt) << c.what;
        EXPECT_EQ(p.hostIndex, c.to.hostIndex) << c.what;
        EXPECT_EQ(p.reconCount, c.to.reconCount) << c.what;
        EXPECT_EQ(p.connType, c.to.connType) << c.what;
    }
}

TEST(ConnectionWalk, NextHostWrapsAndCountsACycle) {
    WalkPosition p{0, 1, 0, 0, -1};
    bool wrapped = true;
    EXPECT_FALSE(transport::NextHost(p, 0x9, &wrapped));  // entry 2 is empty
    EXPECT_TRUE(transport::NextHost(p, 0x9, &wrapped));
    EXPECT_EQ(p.hostIndex, 3);
    EXPECT_FALSE(wrapped);
    EXPECT_TRUE(transport::NextHost(p, 0x9, &wrapped));
    EXPECT_TRUE(wrapped);
    EXPECT_EQ(p.hostIndex, 0);
    EXPECT_EQ(p.reconCount, 1);
}

}  // namespace
