#include "ToolProcess.h"

#include "support/LoadedLibrary.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace cfx::store::test {

ToolProcess::ToolProcess(const std::wstring& arguments, std::wstring outputFile,
                         const std::wstring& program)
    : outputFile_(std::move(outputFile)) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    FileHandle output(CreateFileW(outputFile_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                  CREATE_ALWAYS, 0, nullptr));
    STARTUPINFOW startup{sizeof startup};
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = output.get();
    std::wstring command = L"\"" + cfx::test::programFolder() + program + L"\" " + arguments;
    PROCESS_INFORMATION started{};
    // Under a loaded Wine a child now and then dies before it has started
    // (CreateProcess fails, often with ERROR_INTERNAL_ERROR); that is not the
    // program's answer, so it is started again, three times at most.
    bool running = false;
    for (int attempt = 0; attempt < 3 && !running; ++attempt)
        if (!(running = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE,
                                       CREATE_NO_WINDOW, nullptr, nullptr, &startup, &started)))
            Sleep(100);
    if (!running) {
        ADD_FAILURE() << "the program did not start: " << GetLastError();
        return;
    }
    CloseHandle(started.hThread);
    process_.reset(started.hProcess);
    id_ = started.dwProcessId;
}

ToolProcess::~ToolProcess() {
    finish(0);
}

ToolRun ToolProcess::finish(ULONGLONG deadline) {
    ToolRun run;
    if (!process_)
        return run;
    const ULONGLONG now = GetTickCount64();
    const DWORD left = deadline > now ? static_cast<DWORD>(deadline - now) : 0;
    run.ended = WaitForSingleObject(process_.get(), left) == WAIT_OBJECT_0;
    if (run.ended)
        GetExitCodeProcess(process_.get(), &run.exitCode);
    else if (TerminateProcess(process_.get(), 1))
        WaitForSingleObject(process_.get(), 10000);
    std::ifstream printed(outputFile_.c_str(), std::ios::binary);
    run.output.assign(std::istreambuf_iterator<char>(printed), std::istreambuf_iterator<char>());
    return run;
}

ToolRun runTool(const std::wstring& arguments, const std::wstring& outputFile, DWORD limitMs,
                const std::wstring& program) {
    return ToolProcess(arguments, outputFile, program).finish(GetTickCount64() + limitMs);
}

std::wstring quotedArgument(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

} // namespace cfx::store::test
