// Pictures of the "New" wizard's pages for dialog_screenshots.exe.
#pragma once

#include "ui/WindowCapture.h"

#include <functional>
#include <string>

namespace cfx::test {

// The folder of this program, with a backslash at the end.
std::wstring programFolder();

using SavePicture = std::function<bool(const Picture&, const std::wstring& path)>;

// Runs the wizard for a storage in the temporary folder with a test key file,
// takes each page as folder + "wizard-<page>.png" and cancels on the last one.
bool takeWizardPages(const std::wstring& folder, const SavePicture& save);

} // namespace cfx::test
