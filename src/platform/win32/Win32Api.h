#ifndef TRANSPORT_PLATFORM_WIN32_WIN32_API_H
#define TRANSPORT_PLATFORM_WIN32_WIN32_API_H

// The Windows headers, for the files of this folder only: no header the core
// includes may see them. <windows.h> turns CreateEvent and CreateSemaphore
// (names of Platform's methods) into macros, which are undone here; the API
// is called by its explicit names (CreateEventW, ...).

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

// clang-format off: winsock2.h must come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <wininet.h>
// clang-format on

#undef CreateEvent
#undef CreateSemaphore

#endif
