// cfxbrowse.exe: opens a folder, or a file whose type registers a folder
// class, in a window of its own that hosts the folder's shell view.
//
// On Windows, Explorer opens such a file itself. Wine's shell does not: its
// folders refuse to bind to a file (SHParseDisplayName of a path inside one
// fails with 0x80070002, and the file is parsed as a plain file without
// SFGAO_FOLDER), and its ExplorerBrowser rebinds whatever it is given from
// its item identifier list through the desktop folder, with the same result.
// This program is the route on Wine; it changes nothing on Windows.
#include "BrowserFrame.h"
#include "Report.h"
#include "Script.h"

#include <commctrl.h>
#include <ole2.h>
#include <shellapi.h>

#include <optional>

using namespace cfxbrowse;

namespace {

const wchar_t kUsage[] = LR"(Usage: cfxbrowse <folder or file> [steps]

Opens a folder, or a file whose type is a folder class, in a shell view.
Steps run in order once the view has filled; the window closes after the last:
  /open <name>        double-click the item <name> of the view (a folder)
  /up                 go to the parent folder
  /back               go back to the previous folder
  /screenshot <png>   write a PNG picture of the window
Keys: Backspace goes up, Alt+Left back, F5 refreshes.
Exit codes: 0 success, 1 failure, 2 bad usage.)";

// A command line that cannot be run.
struct UsageError {
    std::wstring text;
};

struct StepOption {
    const wchar_t* name;
    Step::Kind kind;
    bool takesArgument;
};
const StepOption kStepOptions[] = {
    {L"/open", Step::Kind::Open, true},
    {L"/up", Step::Kind::Up, false},
    {L"/back", Step::Kind::Back, false},
    {L"/screenshot", Step::Kind::Screenshot, true},
};

struct Arguments {
    std::wstring path;
    std::vector<Step> steps;
    bool help = false;
};

Arguments parse(int count, wchar_t** values) {
    Arguments arguments;
    bool havePath = false;
    for (int i = 1; i < count; ++i) {
        const std::wstring argument = values[i];
        if (argument == L"/?" || argument == L"/help") {
            arguments.help = true;
            continue;
        }
        if (argument.empty() || argument[0] != L'/') {
            if (havePath)
                throw UsageError{L"one folder only, and " + quoted(arguments.path) +
                                 L" was given before " + quoted(argument)};
            arguments.path = argument;
            havePath = true;
            continue;
        }
        const StepOption* option = nullptr;
        for (const StepOption& candidate : kStepOptions)
            if (lstrcmpiW(candidate.name, argument.c_str()) == 0)
                option = &candidate;
        if (!option)
            throw UsageError{L"unknown option " + argument};
        Step step{option->kind, {}};
        if (option->takesArgument) {
            if (i + 1 >= count || !*values[i + 1])
                throw UsageError{argument + L" needs a value"};
            step.argument = values[++i];
        }
        arguments.steps.push_back(std::move(step));
    }
    if (!arguments.help && (!havePath || arguments.path.empty()))
        throw UsageError{L"no folder given"};
    return arguments;
}

int run(const Arguments& arguments) {
    try {
        Microsoft::WRL::ComPtr<BrowserFrame> frame = BrowserFrame::create(openPath(arguments.path));
        if (arguments.steps.empty())
            runWindow(*frame.Get());
        else
            runScript(*frame.Get(), arguments.steps);
        return kExitSuccess;
    } catch (...) {
        showError(nullptr, textOf(cfx::caughtException()));
        return kExitFailed;
    }
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int count = 0;
    wchar_t** values = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!values)
        return kExitFailed;
    std::optional<Arguments> arguments;
    try {
        arguments = parse(count, values);
    } catch (const UsageError& error) {
        showError(nullptr, error.text + L"\n\n" + kUsage);
    }
    LocalFree(values);
    if (!arguments)
        return kExitUsage;
    if (arguments->help) {
        writeLine(Channel::Out, kUsage);
        return kExitSuccess;
    }

    // Views take drops and show menus: OLE, not only COM, on this thread.
    HRESULT hr = OleInitialize(nullptr);
    if (FAILED(hr)) {
        showError(nullptr, L"starting OLE: " + describe(hr));
        return kExitFailed;
    }
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_BAR_CLASSES | ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    int code = run(*arguments);
    OleUninitialize();
    return code;
}
