#include "ui/ProcessObjects.h"

#include <windows.h>
#include <winternl.h>

#include <cstdint>
#include <vector>

namespace cfx::test {

namespace {

// SystemExtendedHandleInformation and its records.
constexpr ULONG kExtendedHandleInformation = 64;
struct HandleEntry {
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG attributes;
    ULONG reserved;
};
struct HandleList {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};

// One entry of the GDI handle table; a type of 0 marks a free entry.
struct GdiEntry {
    std::uint64_t object;
    std::uint32_t owner;
    std::uint16_t unique;
    std::uint16_t type;
    std::uint64_t user;
};
static_assert(sizeof(GdiEntry) == 24);
constexpr std::size_t kGdiEntries = 0x10000;
// Where the x64 PEB keeps the table's address.
constexpr std::size_t kPebGdiTableOffset = 0xF8;

// USER handles are a 16-bit index plus a generation; a handle without the
// generation stands for whatever the slot holds.
constexpr ULONG_PTR kUserSlots = 0x8000;

using QuerySystemInformation = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);

long kernelHandles() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count)
        return static_cast<long>(count);
    auto query = reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query)
        return -1;
    std::vector<unsigned char> buffer(1 << 20);
    for (;;) {
        ULONG needed = 0;
        NTSTATUS status = query(kExtendedHandleInformation, buffer.data(),
                                static_cast<ULONG>(buffer.size()), &needed);
        if (status == 0)
            break;
        if (buffer.size() >= (1u << 28))
            return -1;
        buffer.resize(buffer.size() * 2);
    }
    const auto* list = reinterpret_cast<const HandleList*>(buffer.data());
    long found = 0;
    for (ULONG_PTR i = 0; i < list->count; ++i) {
        if (list->entries[i].processId == GetCurrentProcessId())
            ++found;
    }
    return found;
}

using QueryProcessInformation = NTSTATUS(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);

// Through ntdll: NtCurrentTeb's segment read trips GCC's array-bounds check.
const unsigned char* processEnvironmentBlock() {
    auto query = reinterpret_cast<QueryProcessInformation>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    PROCESS_BASIC_INFORMATION info{};
    if (!query || query(GetCurrentProcess(), ProcessBasicInformation, &info, sizeof info, nullptr))
        return nullptr;
    return reinterpret_cast<const unsigned char*>(info.PebBaseAddress);
}

long gdiObjects() {
    SetLastError(0);
    DWORD count = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    if (count || GetLastError() != ERROR_CALL_NOT_IMPLEMENTED)
        return static_cast<long>(count);
    const unsigned char* peb = processEnvironmentBlock();
    const auto* table =
        peb ? *reinterpret_cast<const GdiEntry* const*>(peb + kPebGdiTableOffset) : nullptr;
    if (!table)
        return -1;
    long used = 0;
    for (std::size_t i = 0; i < kGdiEntries; ++i) {
        if (table[i].type)
            ++used;
    }
    return used;
}

BOOL CALLBACK countWindow(HWND window, LPARAM counter) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId())
        ++*reinterpret_cast<long*>(counter);
    return TRUE;
}

BOOL CALLBACK countTopLevel(HWND window, LPARAM counter) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId()) {
        ++*reinterpret_cast<long*>(counter);
        EnumChildWindows(window, &countWindow, counter);
    }
    return TRUE;
}

long userObjects() {
    SetLastError(0);
    DWORD count = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
    if (count || GetLastError() != ERROR_CALL_NOT_IMPLEMENTED)
        return static_cast<long>(count);
    long used = 0;
    EnumWindows(&countTopLevel, reinterpret_cast<LPARAM>(&used));
    for (HWND window = FindWindowExW(HWND_MESSAGE, nullptr, nullptr, nullptr); window;
         window = FindWindowExW(HWND_MESSAGE, window, nullptr, nullptr))
        countTopLevel(window, reinterpret_cast<LPARAM>(&used));
    for (ULONG_PTR slot = 1; slot < kUserSlots; ++slot) {
        ICONINFO icon{};
        if (GetIconInfo(reinterpret_cast<HICON>(slot), &icon)) {
            ++used;
            // The probe's own copies of the icon's bitmaps.
            if (icon.hbmColor)
                DeleteObject(icon.hbmColor);
            if (icon.hbmMask)
                DeleteObject(icon.hbmMask);
        } else if (IsMenu(reinterpret_cast<HMENU>(slot))) {
            ++used;
        }
    }
    return used;
}

} // namespace

ProcessObjects countProcessObjects() {
    ProcessObjects counts;
    counts.user = userObjects();
    counts.gdi = gdiObjects();
    counts.kernel = kernelHandles();
    return counts;
}

std::ostream& operator<<(std::ostream& out, const ProcessObjects& counts) {
    return out << "{kernel handles " << counts.kernel << ", GDI objects " << counts.gdi
               << ", USER objects " << counts.user << "}";
}

} // namespace cfx::test
