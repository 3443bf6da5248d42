#include "server/StorageThread.h"

#include "common/Exceptions.h"
#include "common/Handles.h"
#include "folder/ThreadMailbox.h"

#include <objbase.h>
#include <process.h>

namespace cfx::server {

namespace {

// Guards starting and stopping; the running thread's handle and id.
CriticalSection& stateLock() {
    static CriticalSection lock;
    return lock;
}
KernelHandle g_thread;
volatile DWORD g_threadId = 0;

unsigned __stdcall storageThreadMain(void* readyEvent) {
    g_threadId = GetCurrentThreadId();
    HRESULT initialized = CoInitialize(nullptr);
    SetEvent(static_cast<HANDLE>(readyEvent));
    try {
        // Runs forwarded calls until the quit message.
        folder::runMessageLoop();
    } catch (...) {
        // A mailbox that cannot wait any more: nothing can reach this thread.
    }
    if (SUCCEEDED(initialized))
        CoUninitialize();
    return 0;
}

void start() {
    if (g_thread)
        return;
    KernelHandle ready(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!ready)
        throwLastError();
    KernelHandle thread(reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, &storageThreadMain, ready.get(), 0, nullptr)));
    if (!thread)
        throwLastError();
    WaitForSingleObject(ready.get(), INFINITE);
    g_thread = std::move(thread);
}

void stop() noexcept {
    if (!g_thread)
        return;
    try {
        // A thread busy in a long call does not take the quit message; after a
        // second it is ended by force.
        DWORD code = 0;
        if (folder::post(g_threadId, folder::kMessageDone, 0, 1000) &&
            GetExitCodeThread(g_thread.get(), &code) && code == STILL_ACTIVE) {
            if (WaitForSingleObject(g_thread.get(), 1000) == WAIT_TIMEOUT)
                TerminateThread(g_thread.get(), 0);
        } else if (GetExitCodeThread(g_thread.get(), &code) && code == STILL_ACTIVE) {
            TerminateThread(g_thread.get(), 0);
        }
    } catch (...) {
        // The thread is already gone (the process is ending).
    }
    g_thread.reset();
    g_threadId = 0;
}

} // namespace

void startOrStopStorageThread(bool startThread) {
    CriticalSection::Lock lock(stateLock());
    if (startThread)
        start();
    else
        stop();
}

DWORD storageThreadId() noexcept {
    return g_threadId;
}

bool isStorageThread() noexcept {
    DWORD storageThread = g_threadId;
    return storageThread != 0 && storageThread == GetCurrentThreadId();
}

void runOnStorageThread(const std::function<void()>& operation) {
    DWORD storageThread = g_threadId;
    if (!storageThread)
        throw win_except(ERROR_INVALID_THREAD_ID);
    if (storageThread == GetCurrentThreadId())
        operation();
    else
        folder::forward(storageThread, operation);
}

} // namespace cfx::server
