#ifndef TRANSPORT_TRANSPORT_DISPATCH_H
#define TRANSPORT_TRANSPORT_DISPATCH_H

// What a received message means to the client: the table from message id
// (and, for some ids, the number in its first parameter) to an action.

namespace transport {

struct ReceivedAction {
    enum Kind {
        kDeliver,         // a copy goes to the handler as a message package
        kRefusal,         // the server refused the log-in: error, then closed for good
        kLoginAnswer,     // logged in
        kDeliveryResult,  // error 7 or information 1 about the message in flight
        kUnpackage,       // binary data or a part of a transfer: to the assembler
        kIgnore,          // the keep-alive's answer: having arrived is enough
    };
    // Whether and when the message answers the request in flight, which
    // releases the send thread: before the handler sees it or after.
    enum Answer { kNoAnswer, kAnswerFirst, kAnswerLast };

    Kind kind;
    Answer answer;
};

// first is the number that the first parameter's text starts with (0 when
// it has none).
ReceivedAction ActionFor(unsigned long id, int first);

}  // namespace transport

#endif
