// The one storage thread of the process, on which every storage server object
// the library keeps lives, and the way other threads reach it.
#pragma once

#include <windows.h>

#include <functional>

namespace cfx::server {

// true: starts the storage thread unless it runs already, and returns once it
// is ready to receive. false: asks it to quit, waits at most one second, then
// terminates it (module detach).
void startOrStopStorageThread(bool start);

// The storage thread's id; 0 while none runs.
DWORD storageThreadId() noexcept;

// True on the storage thread itself.
bool isStorageThread() noexcept;

// Runs the operation on the storage thread: directly when already there,
// forwarded otherwise. Without a storage thread it raises win_except with
// ERROR_INVALID_THREAD_ID.
void runOnStorageThread(const std::function<void()>& operation);

} // namespace cfx::server
