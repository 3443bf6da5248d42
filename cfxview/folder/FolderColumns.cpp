#include "folder/FolderColumns.h"

#include "common/Handles.h"

#include <shlwapi.h>

#include <algorithm>

namespace cfx::folder {


namespace {

using RegistryKey = UniqueHandle<HKEY, &RegCloseKey>;

// The default value of HKEY_CLASSES_ROOT\key; empty when it cannot be read.
std::wstring classesDefault(const std::wstring& key) {
    RegistryKey opened;
    if (RegOpenKeyW(HKEY_CLASSES_ROOT, key.c_str(), opened.put()) != ERROR_SUCCESS)
        return {};
    wchar_t value[MAX_PATH] = L"";
    LONG size = sizeof value;
    if (RegQueryValueW(opened.get(), nullptr, value, &size) != ERROR_SUCCESS)
        return {};
    return value;
}

wchar_t foldAscii(wchar_t c) noexcept {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

wchar_t upperAscii(wchar_t c) noexcept {
    return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

} // namespace

std::wstring sizeText(std::uint64_t bytes) {
    const std::uint64_t kilobytes = bytes == 0 ? 0 : bytes <= 1024 ? 1 : (bytes >> 10) + 1;
    return std::to_wstring(kilobytes) + L" Kb";
}

std::wstring typeNameOf(const std::wstring& name) {
    const wchar_t* extension = PathFindExtensionW(name.c_str());
    std::wstring type;
    if (*extension == L'.') {
        const std::wstring progId = classesDefault(extension);
        if (!progId.empty())
            type = classesDefault(progId);
        if (type.empty()) {
            std::wstring upper(extension + 1);
            std::transform(upper.begin(), upper.end(), upper.begin(), upperAscii);
            type = upper + L" File";
        }
    }
    return type.empty() ? L"File" : type;
}

std::wstring folderTypeName() {
    std::wstring type = classesDefault(L"Folder");
    return type.empty() ? L"Folder" : type;
}

std::wstring commentCellText(std::wstring comment) {
    constexpr std::size_t kLongest = 100;
    if (comment.size() > kLongest) {
        comment.resize(kLongest);
        comment.replace(kLongest - 3, 3, L"...");
    }
    std::replace(comment.begin(), comment.end(), L'\r', L' ');
    std::replace(comment.begin(), comment.end(), L'\n', L' ');
    return comment;
}

int compareFolded(const std::wstring& a, const std::wstring& b) noexcept {
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        const wchar_t x = foldAscii(a[i]), y = foldAscii(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

} // namespace cfx::folder
