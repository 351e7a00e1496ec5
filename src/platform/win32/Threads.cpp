// Threads that can start suspended and be suspended and resumed. Suspension
// is cooperative, as on POSIX: the thread parks at its next Wait or Sleep of
// the platform, where the client's worker threads spend their idle time. A
// system suspension could stop the thread inside the heap or holding one of
// the client's locks, and the suspender would then deadlock on it.

#include <process.h>

#include <memory>

#include "platform/win32/KernelObjects.h"
#include "platform/win32/Win32Platform.h"

namespace transport {
namespace win32 {
namespace {

thread_local ThreadRecord* currentRecord = nullptr;

// What the new thread takes over from its creator.
struct StartBlock {
    std::shared_ptr<ThreadRecord> record;
};

unsigned __stdcall ThreadMain(void* argument) {
    std::shared_ptr<ThreadRecord> record = std::move(static_cast<StartBlock*>(argument)->record);
    delete static_cast<StartBlock*>(argument);
    currentRecord = record.get();
    ParkIfSuspended(record.get());  // created suspended: proc has not run before ResumeThread
    const unsigned long result = record->proc(record->arg);
    {
        std::lock_guard<std::mutex> lock(record->mutex);
        record->ended = true;
        record->changed.notify_all();
    }
    currentRecord = nullptr;
    // The system handle is signalled once this returns.
    return static_cast<unsigned>(result);
}

ThreadRecord* RecordOf(Handle handle) {
    return handle != nullptr && handle->kind == KernelObject::Kind::kThread ? handle->thread.get()
                                                                          : nullptr;
}

}  // namespace

ThreadRecord::ThreadRecord(ThreadProc procedure, void* argument, bool suspended)
    : proc(procedure),
      arg(argument),
      wake(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),  // auto-reset
      suspendRequested(suspended) {}

ThreadRecord::~ThreadRecord() {
    if (wake != nullptr) ::CloseHandle(wake);
}

ThreadRecord* CurrentThreadRecord() { return currentRecord; }

void ParkIfSuspended(ThreadRecord* self) {
    if (self == nullptr) return;
    std::unique_lock<std::mutex> lock(self->mutex);
    if (!self->suspendRequested) return;
    self->parked = true;
    self->changed.notify_all();
    self->changed.wait(lock, [self] { return !self->suspendRequested; });
    self->parked = false;
}

Handle Win32Platform::CreateThread(ThreadProc proc, void* arg, bool suspended) {
    if (proc == nullptr) return nullptr;
    auto record = std::make_shared<ThreadRecord>(proc, arg, suspended);
    if (record->wake == nullptr) return nullptr;
    auto* start = new StartBlock{record};
    // The C runtime's thread start, so that the runtime's per-thread state is
    // set up and released with the thread.
    const std::uintptr_t thread = _beginthreadex(nullptr, 0, &ThreadMain, start, 0, nullptr);
    if (thread == 0) {
        delete start;
        return nullptr;
    }
    auto* object = new KernelObject(KernelObject::Kind::kThread, reinterpret_cast<HANDLE>(thread));
    object->thread = std::move(record);
    return object;
}

void Win32Platform::SuspendThread(Handle handle) {
    ThreadRecord* target = RecordOf(handle);
    if (target == nullptr) return;
    std::unique_lock<std::mutex> lock(target->mutex);
    if (target->ended) return;
    target->suspendRequested = true;
    // A thread suspending itself parks at its next wait; it cannot wait here
    // for itself.
    if (target == currentRecord) return;
    ::SetEvent(target->wake);  // out of a wait it is in, or at once from its next one
    target->changed.wait(lock, [target] { return target->parked || target->ended; });
}

void Win32Platform::ResumeThread(Handle handle) {
    ThreadRecord* target = RecordOf(handle);
    if (target == nullptr) return;
    std::lock_guard<std::mutex> lock(target->mutex);
    target->suspendRequested = false;
    target->changed.notify_all();
}

}  // namespace win32
}  // namespace transport
