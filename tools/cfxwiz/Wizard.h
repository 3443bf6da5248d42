// cfxwiz: makes a new, empty storage at a path, asking the user for its key
// on three pages (the key, a copy of it attached, confirmation), or without
// dialogs in the "/silent" form.
#pragma once

#include <string>
#include <vector>

namespace cfx::wizard {

enum ExitCode : int {
    kMade = 0,
    kCancelled = 1, // nothing is left at the path, not even Explorer's placeholder
    kFailed = 2,    // the failure was shown ("Coffrex" message box, or the error output)
};

// Runs the wizard for the arguments that follow the program name, on the
// calling thread, which has COM initialised (single-threaded apartment).
int runWizard(const std::vector<std::wstring>& arguments);

} // namespace cfx::wizard
