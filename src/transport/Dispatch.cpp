#include "transport/Dispatch.h"

#include "message/MessageIds.h"

namespace transport {

ReceivedAction ActionFor(unsigned long id, int first) {
    using A = ReceivedAction;
    switch (id) {
        case kIdDisconnect:
            return {A::kRefusal, A::kNoAnswer};
        case kIdLogin:
            // Answers inside its handling, once the client is logged in.
            return {A::kLoginAnswer, A::kNoAnswer};
        case 2:
        case 3:
            return {A::kDeliver, A::kAnswerFirst};
        case 4:
            // 4 with 3 is a notice of the server's, not an answer.
            return {A::kDeliver, first != 3 ? A::kAnswerFirst : A::kNoAnswer};
        case kIdDeliveryResult:
            return {A::kDeliveryResult, A::kAnswerLast};
        case kIdTransfer:
            // The parts answer through the assembler (the first part does).
            return first == 4 ? A{A::kUnpackage, A::kNoAnswer} : A{A::kDeliver, A::kAnswerFirst};
        case kIdBlock:
            return {first == 2 ? A::kUnpackage : A::kDeliver, A::kAnswerLast};
        case kIdObjectPart:
            return {A::kUnpackage, A::kNoAnswer};
        case kIdKeepAlive:
            return {A::kIgnore, A::kNoAnswer};
        default:
            return {IsBinaryId(id) ? A::kUnpackage : A::kDeliver, A::kNoAnswer};
    }
}

}  // namespace transport
