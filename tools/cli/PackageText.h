#ifndef TRANSPORT_TOOLS_CLI_PACKAGE_TEXT_H
#define TRANSPORT_TOOLS_CLI_PACKAGE_TEXT_H

#include <cstddef>
#include <string>
#include <string_view>

#include <transport/NetClient.h>

namespace cli {

// Parameter index of message as bytes (exactly its stored length) or as text
// (up to its first zero byte); empty when the message has no such parameter.
std::string ParamBytes(const NetMessage& message, std::size_t index);
std::string ParamText(const NetMessage& message, std::size_t index);

// Text safe to print on one line: control and non-ASCII bytes as \xNN, cut
// to max characters with "...".
std::string Printable(std::string_view text, std::size_t max = 70);

// "id=5 priority=3 \"hello\"" (priority only when withPriority), with every
// parameter quoted.
std::string Describe(const NetMessage& message, bool withPriority);

// Error 15's attachment (id: which check failed, parameter 0: the reason,
// 1: the host) as "TLS failed on HOST: WHAT (REASON)", and WHAT alone for
// the failure code; name is the name the certificate was checked against.
std::string TlsFailure(const NetMessage& failure, const std::string& name);
std::string TlsFailureWhat(unsigned long code, const std::string& name);

const char* NetworkTypeName(enNETTYPE type);

}  // namespace cli

#endif
