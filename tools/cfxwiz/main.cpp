// cfxwiz.exe, the "New" wizard: Explorer's "New" menu runs it as
// cfxwiz.exe "<path>" (the ShellNew command registration writes) to make a
// new, empty storage at the path. See Wizard.h.
#include "Wizard.h"
#include "WizardOptions.h"

#include "common/ErrorObjectHook.h"

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return cfx::wizard::kFailed;
    cfx::carryErrorObjectsUnderWine();
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    int result = cfx::wizard::kFailed;
    try {
        result = cfx::wizard::runWizard(cfx::wizard::splitCommandLine(GetCommandLineW()));
    } catch (...) {
        // runWizard reports its own failures; this is only for a failure to
        // read the command line at all.
    }
    CoUninitialize();
    return result;
}
