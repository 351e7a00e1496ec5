// The seam's out-of-line pieces: the destructor and the process's default.

#include <transport/Platform.h>

#include "platform/HostPlatform.h"

namespace transport {

Platform::~Platform() = default;

Platform& DefaultPlatform() {
    // Never destroyed: clients may still run while static objects go away.
    static Platform* platform = NewHostPlatform();
    return *platform;
}

}  // namespace transport
