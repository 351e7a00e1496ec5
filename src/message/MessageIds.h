#ifndef TRANSPORT_MESSAGE_MESSAGE_IDS_H
#define TRANSPORT_MESSAGE_MESSAGE_IDS_H

// The message ids that mean something to the client itself. Every other id
// is the application's and travels as it is.
namespace transport {

enum MessageId : unsigned long {
    kIdDisconnect = 0,      // to the server: leaving; from it: the log-in is refused
    kIdLogin = 1,           // the log-in and its answer
    kIdDeliveryResult = 7,  // the server's verdict on the message in flight
    kIdTransfer = 8,        // a server transfer in numbered parts (first parameter 4)
    kIdBlock = 9,           // one block of binary data (first parameter 2)
    kIdObjectPart = 10,     // a binary object in numbered parts, both ways
    kIdKeepAlive = 12,      // the keep-alive and its answer
    kIdBinaryFirst = 300,   // 300 to 399: the first parameter is binary
    kIdBinaryLast = 399,
};

inline bool IsBinaryId(unsigned long id) { return id >= kIdBinaryFirst && id <= kIdBinaryLast; }

// Whether Send re-encodes the message before it is queued: its binary
// parameter travels as Base64 text.
inline bool IsPackagedOnSend(unsigned long id) { return id == kIdObjectPart || IsBinaryId(id); }

}  // namespace transport

#endif
