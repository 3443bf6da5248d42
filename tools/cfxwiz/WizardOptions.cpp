#include "WizardOptions.h"

#include "common/Exceptions.h"
#include "common/Handles.h"

#include <shellapi.h>

namespace cfx::wizard {

const wchar_t kUsage[] =
    L"Usage: cfxwiz \"<new storage path>\"\n"
    L"       cfxwiz /silent --pfx <key file> [--password <p>] [--attach] \"<path>\"\n"
    L"       cfxwiz /silent --key-id <Base64 key identifier> \"<path>\"\n"
    L"Makes a new, empty Coffrex storage at the path; the path's folder must exist, and\n"
    L"a file already there must be empty. Exit codes: 0 made, 1 cancelled, 2 failed.";

namespace {

[[noreturn]] void usageError(const std::wstring& what) {
    throw cfx::DescribedError(E_INVALIDARG, what + L"\n\n" + kUsage);
}

} // namespace

WizardOptions parseArguments(const std::vector<std::wstring>& arguments) {
    WizardOptions options;
    bool havePath = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        auto value = [&]() -> const std::wstring& {
            if (i + 1 >= arguments.size())
                usageError(argument + L" needs a value.");
            return arguments[++i];
        };
        if (lstrcmpiW(argument.c_str(), L"/silent") == 0 || argument == L"--silent")
            options.silent = true;
        else if (argument == L"--pfx")
            options.keyFile = value();
        else if (argument == L"--password")
            options.password = value();
        else if (argument == L"--key-id")
            options.keyId = value();
        else if (argument == L"--attach")
            options.attach = true;
        else if (argument.size() > 1 && argument[0] == L'-')
            usageError(L"Unknown option " + argument + L".");
        else if (havePath)
            usageError(L"Only one storage path may be given.");
        else
            options.path = argument, havePath = true;
    }
    if (!havePath || options.path.empty())
        usageError(L"No path was given for the new storage.");
    if (!options.keyFile.empty() && !options.keyId.empty())
        usageError(L"--pfx and --key-id cannot be used together.");
    if (options.password && options.keyFile.empty())
        usageError(L"--password goes with --pfx.");
    if (options.silent && options.keyFile.empty() && options.keyId.empty())
        usageError(L"/silent needs the key: --pfx or --key-id.");
    if (options.attach && options.keyFile.empty())
        usageError(L"--attach attaches the key file given with --pfx.");
    return options;
}

std::vector<std::wstring> splitCommandLine(const wchar_t* commandLine) {
    int count = 0;
    cfx::LocalMemory memory(CommandLineToArgvW(commandLine, &count));
    if (!memory)
        cfx::throwLastError();
    auto** arguments = static_cast<wchar_t**>(memory.get());
    return std::vector<std::wstring>(arguments + (count > 0 ? 1 : 0), arguments + count);
}

} // namespace cfx::wizard
