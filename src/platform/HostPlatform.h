#ifndef TRANSPORT_PLATFORM_HOST_PLATFORM_H
#define TRANSPORT_PLATFORM_HOST_PLATFORM_H

#include <transport/Platform.h>

namespace transport {

// A new instance of the platform the build was made for; each platform folder
// (posix/, ...) defines it, so that nothing outside that folder names it.
Platform* NewHostPlatform();

}  // namespace transport

#endif
