#include "ui/WindowsXpRun.h"

namespace cfx::test {

DWORD reportedMajorVersion() {
    OSVERSIONINFOW version{sizeof version};
    return GetVersionExW(&version) ? version.dwMajorVersion : 0;
}

bool isWindowsXpChild() {
    return GetEnvironmentVariableW(L"CFX_WINDOWS_XP_CHILD", nullptr, 0) != 0;
}

long runAgainAsWindowsXp(const std::wstring& arguments, std::string& message) {
    wchar_t path[MAX_PATH];
    const std::wstring program(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    const std::wstring key =
        L"Software\\Wine\\AppDefaults\\" + program.substr(program.find_last_of(L'\\') + 1);
    const wchar_t version[] = L"winxp";
    if (LSTATUS status = RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"Version", REG_SZ,
                                         version, sizeof version)) {
        message = "cannot write the AppDefaults key: error " + std::to_string(status);
        return -1;
    }
    for (DWORD which : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
        SetHandleInformation(GetStdHandle(which), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    STARTUPINFOW startup{sizeof startup};
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    SetEnvironmentVariableW(L"CFX_WINDOWS_XP_CHILD", L"1");
    long result = -1;
    if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                       nullptr, &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        result = long(code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        message = "cannot start the program again: error " + std::to_string(GetLastError());
    }
    SetEnvironmentVariableW(L"CFX_WINDOWS_XP_CHILD", nullptr);
    RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
    return result;
}

} // namespace cfx::test
