// Pictures of a storage file's context menu, with "Manage key" open, and of
// its Properties dialog on the "Coffrex tools" page, reached the way the shell
// reaches them: the registered classes, the file's parent folder.
#pragma once

#include "WizardScreenshots.h"

#include <windows.h>

#include <string>

namespace cfx::test {

// Registers the storage server and the library in this prefix and makes a
// storage with the first test key installed and attached, under the
// temporary folder; its path, or empty after a message on the error output.
std::wstring makeSampleStorage(HMODULE library, const std::wstring& name);

// Takes the pictures of the storage at path as picturePrefix + "menu.png" and
// picturePrefix + "properties.png". The storage server and the library must
// be registered.
bool takeStorageFile(const std::wstring& path, const std::wstring& picturePrefix,
                     const SavePicture& save);

} // namespace cfx::test
