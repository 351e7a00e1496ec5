#ifndef TRANSPORT_VERSION_H
#define TRANSPORT_VERSION_H

// The library's version. These lines are the one place it is written: the
// build reads them for the package version, the shared library's SONAME,
// transport.pc and the tools' --version.

#include <transport/Export.h>

#define TRANSPORT_VERSION_MAJOR 1
#define TRANSPORT_VERSION_MINOR 2
#define TRANSPORT_VERSION_PATCH 0
#define TRANSPORT_VERSION_STRING "1.1.0"
// One number that grows with every version: major * 10000 + minor * 100 + patch.
#define TRANSPORT_VERSION \
    (TRANSPORT_VERSION_MAJOR * 10000 + TRANSPORT_VERSION_MINOR * 100 + TRANSPORT_VERSION_PATCH)

namespace transport {

// The version of the library the program runs with, which may be newer than
// the headers it was built with ("1.1.0").
TRANSPORT_API const char* Version();

}  // namespace transport

#endif
