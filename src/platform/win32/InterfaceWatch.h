#ifndef TRANSPORT_PLATFORM_WIN32_INTERFACE_WATCH_H
#define TRANSPORT_PLATFORM_WIN32_INTERFACE_WATCH_H

// The system's network interface notifications, for as long as the platform
// lives: each one re-evaluates the bearer connections (Bearer.cpp).

#include "platform/win32/Win32Api.h"

namespace transport {
namespace win32 {

class Win32Platform;

class InterfaceWatch {
public:
    explicit InterfaceWatch(Win32Platform* platform);
    // Returns once no notification runs any more.
    ~InterfaceWatch();
    InterfaceWatch(const InterfaceWatch&) = delete;
    InterfaceWatch& operator=(const InterfaceWatch&) = delete;

private:
    static void WINAPI Changed(void* context, MIB_IPINTERFACE_ROW* row, MIB_NOTIFICATION_TYPE type);

    HANDLE handle_ = nullptr;
};

}  // namespace win32
}  // namespace transport

#endif
