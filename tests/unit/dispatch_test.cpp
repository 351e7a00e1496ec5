// What each received id means: the action and whether it answers the
// request in flight, before or after the handler sees it.

#include <gtest/gtest.h>

#include "transport/Dispatch.h"

namespace {

using A = transport::ReceivedAction;

TEST(Dispatch, ActionForEachId) {
    const struct {
        unsigned long id;
        int first;
        A::Kind kind;
        A::Answer answer;
    } cases[] = {
        {0, 7, A::kRefusal, A::kNoAnswer},       {1, 0, A::kLoginAnswer, A::kNoAnswer},
        {2, 0, A::kDeliver, A::kAnswerFirst},    {3, 0, A::kDeliver, A::kAnswerFirst},
        {4, 1, A::kDeliver, A::kAnswerFirst},    {4, 3, A::kDeliver, A::kNoAnswer},
        {5, 0, A::kDeliver, A::kNoAnswer},       {7, 0, A::kDeliveryResult, A::kAnswerLast},
        {8, 4, A::kUnpackage, A::kNoAnswer},     {8, 1, A::kDeliver, A::kAnswerFirst},
        {9, 2, A::kUnpackage, A::kAnswerLast},   {9, 1, A::kDeliver, A::kAnswerLast},
        {10, 0, A::kUnpackage, A::kNoAnswer},    {12, 0, A::kIgnore, A::kNoAnswer},
        {299, 0, A::kDeliver, A::kNoAnswer},     {300, 0, A::kUnpackage, A::kNoAnswer},
        {399, 0, A::kUnpackage, A::kNoAnswer},   {400, 0, A::kDeliver, A::kNoAnswer},
    };
    for (const auto& c : cases) {
        const A action = transport::ActionFor(c.id, c.first);
        EXPECT_EQ(action.kind, c.kind) << c.id << " " << c.first;
        EXPECT_EQ(action.answer, c.answer) << c.id << " " << c.first;
    }
}

}  // namespace
