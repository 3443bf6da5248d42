#include "module/Module.h"

#include "common/ComObjectBase.h"
#include "common/Exceptions.h"
#include "common/Handles.h"

#include <sddl.h>

namespace cfx::module {

namespace {

HINSTANCE g_instance = nullptr;
volatile LONG g_lockCount = 0;
KernelHandle g_presenceMutex;

// Every program that links the module (the DLL, and test programs that host
// its objects) counts its objects in the module lock count, from before the
// first object is made.
[[maybe_unused]] const bool g_objectsCounted = (countObjectsIn(&g_lockCount), true);

// Everyone may open the mutex: it only announces that the library is loaded.
KernelHandle createPresenceMutex() {
    LocalMemory descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:(A;;GA;;;WD)", SDDL_REVISION_1,
            reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put()), nullptr))
        throwLastError();

    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    KernelHandle created(CreateMutexW(&attributes, TRUE, kPresenceMutexName));
    if (!created)
        throwLastError();

    // The handle the library keeps is inheritable, so that processes started
    // from a host of the library also keep the mutex alive.
    HANDLE process = GetCurrentProcess();
    KernelHandle kept;
    if (!DuplicateHandle(process, created.get(), process, kept.put(), 0, TRUE,
                         DUPLICATE_SAME_ACCESS))
        throwLastError();
    return kept;
}

} // namespace

void attach(HINSTANCE instance) {
    g_presenceMutex = createPresenceMutex();
    g_instance = instance;
}

void detach() noexcept {
    g_presenceMutex.reset();
}

HINSTANCE instance() noexcept {
    return g_instance;
}

void lock() noexcept {
    InterlockedIncrement(&g_lockCount);
}

void unlock() noexcept {
    InterlockedDecrement(&g_lockCount);
}

LONG lockCount() noexcept {
    return g_lockCount;
}

} // namespace cfx::module
