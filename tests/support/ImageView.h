// The export and import directories of a loaded PE image: what a binary
// offers to the system and takes from it.
#pragma once

#include <windows.h>

#include <set>
#include <string>
#include <utility>

namespace cfx::test {

class ImageView {
public:
    explicit ImageView(HMODULE module) : base_(reinterpret_cast<const BYTE*>(module)) {}

    std::set<std::string> exportNames() const;
    // (DLL name in lower case, function): "#ordinal" for imports by ordinal.
    std::multiset<std::pair<std::string, std::string>> imports() const;

private:
    template <class T> const T* at(ULONG_PTR rva) const {
        return reinterpret_cast<const T*>(base_ + rva);
    }
    const IMAGE_DATA_DIRECTORY& directory(int entry) const {
        return at<IMAGE_NT_HEADERS>(at<IMAGE_DOS_HEADER>(0)->e_lfanew)
            ->OptionalHeader.DataDirectory[entry];
    }
    const BYTE* base_;
};

} // namespace cfx::test
