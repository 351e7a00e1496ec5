#ifndef TRANSPORT_TOOLS_COMMON_ARGUMENTS_H
#define TRANSPORT_TOOLS_COMMON_ARGUMENTS_H

#include <string>
#include <vector>

namespace tools {

// A command line in the one form the tools' parsers read, as getopt_long
// would take it: "--name=value" becomes "--name" "value"; bundled short
// options "-vu demo" or "-vudemo" become "-v" "-u" "demo" (a letter of
// `withValue` takes the rest of its word, or the next word, as its value);
// after "--" every word is an operand, each given as "--" "word".
std::vector<std::string> Arguments(int argc, const char* const* argv, const std::string& withValue);

}  // namespace tools

#endif
