#include "support/ImageView.h"

#include <cctype>

namespace cfx::test {

std::set<std::string> ImageView::exportNames() const {
    std::set<std::string> names;
    if (const DWORD rva = directory(IMAGE_DIRECTORY_ENTRY_EXPORT).VirtualAddress) {
        auto exports = at<IMAGE_EXPORT_DIRECTORY>(rva);
        for (DWORD i = 0; i < exports->NumberOfNames; ++i)
            names.insert(at<char>(at<DWORD>(exports->AddressOfNames)[i]));
    }
    return names;
}

std::multiset<std::pair<std::string, std::string>> ImageView::imports() const {
    std::multiset<std::pair<std::string, std::string>> found;
    const DWORD rva = directory(IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress;
    for (auto d = at<IMAGE_IMPORT_DESCRIPTOR>(rva); rva && d->Name; ++d) {
        std::string dll = at<char>(d->Name);
        for (char& c : dll)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        // The lookup table keeps the names and ordinals after binding.
        for (auto t = at<IMAGE_THUNK_DATA>(d->OriginalFirstThunk); t->u1.AddressOfData; ++t)
            found.emplace(dll,
                          IMAGE_SNAP_BY_ORDINAL(t->u1.Ordinal)
                              ? "#" + std::to_string(IMAGE_ORDINAL(t->u1.Ordinal))
                              : std::string(at<IMAGE_IMPORT_BY_NAME>(t->u1.AddressOfData)->Name));
    }
    return found;
}

} // namespace cfx::test
