// The export and import directories of a loaded PE image: what a binary
// offers to the system and takes from it.
#pragma once

#include <windows.h>

#include <cctype>
#include <set>
#include <string>
#include <utility>

namespace cfx::test {

class ImageView {
public:
    explicit ImageView(HMODULE module) : base_(reinterpret_cast<const BYTE*>(module)) {}

    std::set<std::string> exportNames() const {
        std::set<std::string> names;
        if (const DWORD rva = directory(IMAGE_DIRECTORY_ENTRY_EXPORT).VirtualAddress) {
            auto exports = at<IMAGE_EXPORT_DIRECTORY>(rva);
            for (DWORD i = 0; i < exports->NumberOfNames; ++i)
                names.insert(at<char>(at<DWORD>(exports->AddressOfNames)[i]));
        }
        return names;
    }

    // (DLL name in lower case, function): "#ordinal" for imports by ordinal.
    std::multiset<std::pair<std::string, std::string>> imports() const {
        std::multiset<std::pair<std::string, std::string>> found;
        const DWORD rva = directory(IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress;
        for (auto d = at<IMAGE_IMPORT_DESCRIPTOR>(rva); rva && d->Name; ++d) {
            std::string dll = at<char>(d->Name);
            for (char& c : dll)
                c = char(std::tolower(static_cast<unsigned char>(c)));
            // The lookup table keeps the names and ordinals after binding.
            for (auto t = at<IMAGE_THUNK_DATA>(d->OriginalFirstThunk); t->u1.AddressOfData; ++t)
                found.emplace(dll, IMAGE_SNAP_BY_ORDINAL(t->u1.Ordinal)
                                       ? "#" + std::to_string(IMAGE_ORDINAL(t->u1.Ordinal))
                                       : at<IMAGE_IMPORT_BY_NAME>(t->u1.AddressOfData)->Name);
        }
        return found;
    }

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
