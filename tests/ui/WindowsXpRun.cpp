#include "ui/WindowsXpRun.h"

namespace cfx::test {

namespace {

std::wstring programPath() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

std::wstring appDefaultsKey() {
    std::wstring path = programPath();
    return L"Software\\Wine\\AppDefaults\\" + path.substr(path.find_last_of(L'\\') + 1);
}

void inheritable(DWORD which) {
    HANDLE handle = GetStdHandle(which);
    if (handle && handle != INVALID_HANDLE_VALUE)
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
}

} // namespace

DWORD reportedMajorVersion() {
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    return GetVersionExW(&version) ? version.dwMajorVersion : 0;
}

bool isWindowsXpChild() {
    return GetEnvironmentVariableW(kWindowsXpChildVariable, nullptr, 0) != 0;
}

long runAgainAsWindowsXp(const std::wstring& arguments, std::string& message) {
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, appDefaultsKey().c_str(), 0, nullptr, 0,
                                     KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        message = "cannot write the AppDefaults key: error " + std::to_string(status);
        return -1;
    }
    const wchar_t version[] = L"winxp";
    RegSetValueExW(key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                   sizeof version);
    RegCloseKey(key);

    inheritable(STD_OUTPUT_HANDLE);
    inheritable(STD_ERROR_HANDLE);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring program = programPath();
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    SetEnvironmentVariableW(kWindowsXpChildVariable, L"1");
    BOOL started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                  nullptr, nullptr, &startup, &process);
    DWORD startError = GetLastError();
    SetEnvironmentVariableW(kWindowsXpChildVariable, nullptr);

    long result = -1;
    if (started) {
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        result = static_cast<long>(code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        message = "cannot start the program again: error " + std::to_string(startError);
    }
    RegDeleteKeyW(HKEY_CURRENT_USER, appDefaultsKey().c_str());
    return result;
}

} // namespace cfx::test
