#ifndef TRANSPORT_EXPORT_H
#define TRANSPORT_EXPORT_H

// Symbols of the shared library are hidden unless marked with TRANSPORT_API.
#if defined(TRANSPORT_STATIC)
#define TRANSPORT_API
#elif defined(_WIN32)
#if defined(TRANSPORT_BUILDING)
#define TRANSPORT_API __declspec(dllexport)
#else
#define TRANSPORT_API __declspec(dllimport)
#endif
#else
#define TRANSPORT_API __attribute__((visibility("default")))
#endif

#endif
