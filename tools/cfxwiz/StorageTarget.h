// Where the new storage goes. Explorer's "New" menu makes an empty file there
// before it runs a ShellNew command; that placeholder is the only file the
// wizard may replace. A path whose folder is missing, or a file with
// contents, is refused before anything changes.
#pragma once

#include <string>

namespace cfx::wizard {

class StorageTarget {
public:
    // Takes the full path of the argument and checks it; a refusal raises
    // DescribedError with a text for the user.
    explicit StorageTarget(const std::wstring& argument);

    const std::wstring& path() const noexcept { return path_; }
    // The path with its name only, for texts.
    std::wstring name() const;

    // Removes the placeholder when there is one and it is still empty; a
    // file that has gained contents since is left alone and refused.
    void removePlaceholder();

private:
    std::wstring path_;
    bool placeholder_ = false;
};

// "C:\x\y" in the double quotes texts put around paths.
std::wstring quoted(const std::wstring& text);

} // namespace cfx::wizard
