#include "support/FakeStorageServer.h"

#include "support/LoadedLibrary.h"

#include "cfxstorage.h"
#include "common/Handles.h"

#include <objbase.h>
#include <tlhelp32.h>

#include <string>
#include <utility>

namespace cfx::test {

namespace {

// The class's key below each classes root: per user first, then the machine's.
const std::pair<HKEY, const wchar_t*> kClassesRoots[] = {
    {HKEY_CURRENT_USER, L"Software\\Classes\\"},
    {HKEY_CLASSES_ROOT, L""},
};

std::wstring classKey(const wchar_t* classesPrefix) {
    wchar_t clsid[40];
    StringFromGUID2(CLSID_StorageServer, clsid, 40);
    return std::wstring(classesPrefix) + L"CLSID\\" + clsid;
}

} // namespace

LSTATUS registerFakeStorageServer() {
    const std::wstring command = L"\"" + programFolder() + kFakeServerProgram + L"\"";
    const auto size = static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t));
    for (const auto& [root, prefix] : kClassesRoots) {
        const std::wstring key = classKey(prefix) + L"\\LocalServer32";
        LSTATUS status = RegSetKeyValueW(root, key.c_str(), nullptr, REG_SZ, command.c_str(), size);
        if (status != ERROR_SUCCESS)
            return status;
    }
    return ERROR_SUCCESS;
}

LSTATUS unregisterFakeStorageServer() {
    for (const auto& [root, prefix] : kClassesRoots) {
        LSTATUS status = RegDeleteTreeW(root, classKey(prefix).c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
            return status;
    }
    return ERROR_SUCCESS;
}

std::vector<DWORD> serverProcesses(const wchar_t* program) {
    std::vector<DWORD> found;
    KernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (snapshot.get() == INVALID_HANDLE_VALUE) {
        snapshot.release();
        return found;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry))
        if (CompareStringOrdinal(entry.szExeFile, -1, program, -1, TRUE) == CSTR_EQUAL)
            found.push_back(entry.th32ProcessID);
    return found;
}

bool waitForServersToExit(const wchar_t* program, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        std::vector<DWORD> running = serverProcesses(program);
        if (running.empty())
            return true;
        if (GetTickCount() - start > timeoutMs)
            return false;
        // Wait on the first one; the next round looks again for the others.
        KernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, running.front()));
        if (process)
            WaitForSingleObject(process.get(), 100);
        else
            Sleep(10); // gone between the snapshot and the open
    }
}

} // namespace cfx::test
