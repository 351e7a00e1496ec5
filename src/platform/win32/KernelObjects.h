#ifndef TRANSPORT_PLATFORM_WIN32_KERNEL_OBJECTS_H
#define TRANSPORT_PLATFORM_WIN32_KERNEL_OBJECTS_H

// The kernel objects of the Windows platform: a system handle and its kind;
// a thread also has its record of cooperative suspension.

#include <transport/Platform.h>

#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/win32/Win32Api.h"

namespace transport {
namespace win32 {

// A platform thread's suspension record, shared by the thread and its handle.
// Its wake event (auto-reset) is the last object of every Wait and Sleep the
// thread makes, so that a suspension request reaches it there.
struct ThreadRecord {
    ThreadRecord(ThreadProc procedure, void* argument, bool suspended);
    ~ThreadRecord();
    ThreadRecord(const ThreadRecord&) = delete;
    ThreadRecord& operator=(const ThreadRecord&) = delete;

    const ThreadProc proc;
    void* const arg;
    const HANDLE wake;
    std::mutex mutex;
    std::condition_variable changed;  // parked, ended and resumption
    bool suspendRequested;
    bool parked = false;
    bool ended = false;
};

// The calling thread's record; null on a thread the platform did not create.
ThreadRecord* CurrentThreadRecord();
// Blocks the calling thread while its suspension is requested (a park point:
// the thread's start and every Wait and Sleep).
void ParkIfSuspended(ThreadRecord* self);

}  // namespace win32

struct KernelObject {
    enum class Kind { kEvent, kSemaphore, kThread };

    KernelObject(Kind objectKind, HANDLE systemHandle) : kind(objectKind), handle(systemHandle) {}
    ~KernelObject() { ::CloseHandle(handle); }
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;

    const Kind kind;
    const HANDLE handle;
    // Of a thread: its suspension record.
    std::shared_ptr<win32::ThreadRecord> thread;
};

namespace win32 {

// The system handle of an object of the given kind; null otherwise.
inline HANDLE SystemHandle(Handle object, KernelObject::Kind kind) {
    return object != nullptr && object->kind == kind ? object->handle : nullptr;
}

}  // namespace win32
}  // namespace transport

#endif
