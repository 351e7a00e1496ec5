#include <transport/Version.h>

namespace transport {

const char* Version() { return TRANSPORT_VERSION_STRING; }

}  // namespace transport
