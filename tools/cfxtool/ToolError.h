// How cfxtool fails: one exception carries what failed, the HRESULT, the
// description (the server's error object where there is one) and the exit
// code; main prints it as one line and exits with the code.
#pragma once

#include <windows.h>

#include <string>
#include <utility>

namespace cfx::tool {

enum ExitCode : int {
    kExitSuccess = 0,
    kExitFailed = 1,            // an operation failed: item not found, bad data...
    kExitUsage = 2,             // the command line is wrong
    kExitServerUnavailable = 3, // the storage server cannot be reached
    kExitKeyUnavailable = 4,    // no key opens the storage, or access is denied
};

class ToolError {
public:
    ToolError(std::wstring action, HRESULT hr, std::wstring description, int exitCode);

    const std::wstring& action() const noexcept { return action_; }
    HRESULT hr() const noexcept { return hr_; }
    const std::wstring& description() const noexcept { return description_; }
    int exitCode() const noexcept { return exitCode_; }

private:
    std::wstring action_;
    HRESULT hr_;
    std::wstring description_;
    int exitCode_;
};

// A command line that cannot be run; main adds a pointer to the usage text.
class UsageError {
public:
    explicit UsageError(std::wstring message) : message_(std::move(message)) {}
    const std::wstring& message() const noexcept { return message_; }

private:
    std::wstring message_;
};

// Failures that mean the server process is not there (any more).
bool isServerUnavailable(HRESULT hr) noexcept;

// The exit code of a failure with this HRESULT, absent other knowledge.
int exitCodeOf(HRESULT hr) noexcept;

// Raises ToolError for a failed call on the server, described by the error
// object the server left for this thread.
void check(HRESULT hr, const std::wstring& action);

// Raises ToolError with the system's text for the HRESULT.
[[noreturn]] void fail(const std::wstring& action, HRESULT hr, int exitCode = -1);
[[noreturn]] void fail(const std::wstring& action, HRESULT hr, std::wstring description,
                       int exitCode = -1);

// Raises ToolError for a failed Windows call (GetLastError).
[[noreturn]] void failLastError(const std::wstring& action, int exitCode = -1);

// Inside a catch block: raises the exception being handled (ToolError is
// passed on, engine errors and others are described) as a ToolError; an
// exit code other than -1 replaces the one the HRESULT gives.
[[noreturn]] void rethrowAs(const std::wstring& action, int exitCode = -1);

// 0x%08X of an HRESULT.
std::wstring hexCode(HRESULT hr);

} // namespace cfx::tool
