#include "support/ImageView.h"

#include <cctype>

namespace cfx::test {

ImageView::ImageView(HMODULE module) : base_(reinterpret_cast<const BYTE*>(module)) {
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base_);
    nt_ = reinterpret_cast<const IMAGE_NT_HEADERS*>(base_ + dos->e_lfanew);
}

std::set<std::string> ImageView::exportNames() const {
    std::set<std::string> names;
    auto& entry = nt_->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (!entry.VirtualAddress)
        return names;
    auto exports = at<IMAGE_EXPORT_DIRECTORY>(entry.VirtualAddress);
    auto nameRvas = at<DWORD>(exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        names.insert(at<char>(nameRvas[i]));
    return names;
}

std::multiset<std::pair<std::string, std::string>> ImageView::imports() const {
    std::multiset<std::pair<std::string, std::string>> found;
    auto& entry = nt_->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!entry.VirtualAddress)
        return found;
    for (auto d = at<IMAGE_IMPORT_DESCRIPTOR>(entry.VirtualAddress); d->Name; ++d) {
        std::string dll = at<char>(d->Name);
        for (char& c : dll)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        // The lookup table keeps the names and ordinals after the loader has
        // bound the address table.
        for (auto t = at<IMAGE_THUNK_DATA>(d->OriginalFirstThunk); t->u1.AddressOfData; ++t) {
            if (IMAGE_SNAP_BY_ORDINAL(t->u1.Ordinal))
                found.emplace(dll, "#" + std::to_string(IMAGE_ORDINAL(t->u1.Ordinal)));
            else
                found.emplace(dll, at<IMAGE_IMPORT_BY_NAME>(t->u1.AddressOfData)->Name);
        }
    }
    return found;
}

} // namespace cfx::test
