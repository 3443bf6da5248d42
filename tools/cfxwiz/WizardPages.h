// The wizard's pages, each a modal dialog of its own, shown in turn: the key,
// the attached copy, the confirmation that makes the storage.
#pragma once

#include "StorageKey.h"
#include "StorageTarget.h"
#include "WizardOptions.h"

#include <windows.h>

#include <string>
#include <vector>

namespace cfx::wizard {

struct WizardState {
    StorageTarget& target;
    std::vector<InstalledKey> installed;
    // What the pages show and the user changed.
    bool useKeyFile = false;
    std::wstring certificateText;
    std::wstring keyFile;
    std::wstring password;
    bool attach = false;
    ChosenKey chosen; // set when the key page is left with Next
    bool made = false;
};

// The pages in turn until the storage is made (kMade), the user cancels
// (kCancelled) or making it fails (kFailed, after the message).
int runPages(const WizardOptions& options, StorageTarget& target);

// The failure being handled as a "Coffrex" error box: "Unable to create the
// storage." and what the server or the system says. Call inside a catch block.
void showFailure(HWND owner);

} // namespace cfx::wizard
