// A program beside the test (cfxtool.exe unless told) run as a process of its
// own with a time limit: a run not ended in time is ended and reported.
#pragma once

#include "common/Handles.h"

#include <windows.h>

#include <string>

namespace cfx::store::test {

struct ToolRun {
    bool ended = false; // by itself, within the time limit
    DWORD exitCode = 0;
    std::string output; // what it printed, stdout and stderr together
};

class ToolProcess {
public:
    // Starts the program with the arguments; what it prints goes to outputFile.
    ToolProcess(const std::wstring& arguments, std::wstring outputFile,
                const std::wstring& program = L"cfxtool.exe");
    ~ToolProcess();
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    // Waits for the end until the deadline (a GetTickCount64 time), then ends it.
    ToolRun finish(ULONGLONG deadline);
    DWORD id() const { return id_; }

private:
    std::wstring outputFile_;
    KernelHandle process_;
    DWORD id_ = 0;
};

ToolRun runTool(const std::wstring& arguments, const std::wstring& outputFile, DWORD limitMs,
                const std::wstring& program = L"cfxtool.exe");

std::wstring quotedArgument(const std::wstring& text);

} // namespace cfx::store::test
