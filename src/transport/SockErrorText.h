#ifndef TRANSPORT_TRANSPORT_SOCK_ERROR_TEXT_H
#define TRANSPORT_TRANSPORT_SOCK_ERROR_TEXT_H

namespace transport {

// The fixed text of a socket error code; "Unknown socket error." for codes
// outside the table.
const char* SockErrorText(int code);

}  // namespace transport

#endif
