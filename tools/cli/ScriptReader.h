#ifndef TRANSPORT_TOOLS_CLI_SCRIPT_READER_H
#define TRANSPORT_TOOLS_CLI_SCRIPT_READER_H

#include <istream>
#include <string>
#include <vector>

#include "CliOptions.h"

namespace cli {

// Reads a session script, one step per line (the forms are listed in
// --help); blank lines and lines starting with "#" are skipped. False with
// "line N: reason" at the first line that is not a valid step.
bool ReadScript(std::istream& in, std::vector<Step>* steps, std::string* error);

}  // namespace cli

#endif
