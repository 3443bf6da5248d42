// What cfxwiz.exe is asked to do: the new storage's path (as Explorer's "New"
// menu passes it, in double quotes) and, for the form without dialogs or to
// fill the pages in advance, the key and whether to attach a copy of it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace cfx::wizard {

struct WizardOptions {
    std::wstring path;
    bool silent = false;  // "/silent": no dialogs, messages on the error output
    std::wstring keyFile; // --pfx
    std::optional<std::wstring> password;
    std::wstring keyId; // --key-id: a certificate of "MY" by its key identifier (Base64)
    bool attach = false;
};

// The usage text, also shown for a command line that cannot be read.
extern const wchar_t kUsage[];

// Reads the arguments after the program name. A wrong command line raises
// DescribedError (E_INVALIDARG) with a text that says what is wrong.
WizardOptions parseArguments(const std::vector<std::wstring>& arguments);

// The arguments of a whole command line, program name left out.
std::vector<std::wstring> splitCommandLine(const wchar_t* commandLine);

} // namespace cfx::wizard
