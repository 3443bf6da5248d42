// Reads the export and import directories of a loaded PE image, to check what
// a binary offers to and takes from the system.
#pragma once

#include <windows.h>

#include <set>
#include <string>
#include <utility>

namespace cfx::test {

class ImageView {
public:
    explicit ImageView(HMODULE module);

    std::set<std::string> exportNames() const;

    // (DLL name in lower case, function): the function's name for by-name
    // imports, "#ordinal" for imports by ordinal.
    std::multiset<std::pair<std::string, std::string>> imports() const;

private:
    template <class T> const T* at(ULONG_PTR rva) const {
        return reinterpret_cast<const T*>(base_ + rva);
    }
    const BYTE* base_;
    const IMAGE_NT_HEADERS* nt_;
};

} // namespace cfx::test
