#include "Wizard.h"

#include "NewStorage.h"
#include "WizardPages.h"

#include "common/Text.h"

#include <optional>

namespace cfx::wizard {

namespace {

bool asksSilence(const std::vector<std::wstring>& arguments) {
    for (const std::wstring& argument : arguments)
        if (lstrcmpiW(argument.c_str(), L"/silent") == 0 || argument == L"--silent")
            return true;
    return false;
}

// The silent form's one line, as UTF-8, to an output the program was given.
void printLine(DWORD channel, const std::wstring& text) {
    HANDLE output = GetStdHandle(channel);
    if (!output || output == INVALID_HANDLE_VALUE)
        return;
    std::string bytes = cfx::utf8(L"cfxwiz: " + text + L"\n");
    DWORD written = 0;
    WriteFile(output, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// Inside a catch block: shows the failure as the form asks.
void report(bool silent) {
    if (silent)
        printLine(STD_ERROR_HANDLE, L"Unable to create the storage. " + currentFailureText());
    else
        showFailure(nullptr);
}

// A failure leaves no placeholder: an empty file would show as a storage
// that does not open.
void dropPlaceholder(StorageTarget& target) noexcept {
    try {
        target.removePlaceholder();
    } catch (...) {
    }
}

int runSilent(const WizardOptions& options, StorageTarget& target) {
    ChosenKey key = options.keyFile.empty() ? ChosenKey{installedKeyById(options.keyId), {}, {}}
                                            : openKeyFile(options.keyFile, options.password);
    makeStorage(target, key, options.attach);
    printLine(STD_OUTPUT_HANDLE, L"made " + quoted(target.path()) + L" for " +
                                     quoted(subjectOf(key.certificate.get())) +
                                     (options.attach ? L", the key file attached" : L""));
    return kMade;
}

} // namespace

int runWizard(const std::vector<std::wstring>& arguments) {
    const bool silent = asksSilence(arguments);
    WizardOptions options;
    std::optional<StorageTarget> target;
    try {
        options = parseArguments(arguments);
        target.emplace(options.path);
    } catch (...) {
        report(silent);
        return kFailed;
    }
    try {
        int result = silent ? runSilent(options, *target) : runPages(options, *target);
        if (result != kMade)
            dropPlaceholder(*target);
        return result;
    } catch (...) {
        report(silent);
        dropPlaceholder(*target);
        return kFailed;
    }
}

} // namespace cfx::wizard
