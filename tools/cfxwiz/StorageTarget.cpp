#include "StorageTarget.h"

#include "common/Exceptions.h"
#include "common/Handles.h"

#include <windows.h>

namespace cfx::wizard {

namespace {

[[noreturn]] void refuse(DWORD code, const std::wstring& text) {
    throw cfx::DescribedError(HRESULT_FROM_WIN32(code), text);
}

std::wstring fullPathOf(const std::wstring& path) {
    DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    if (size == 0 || (size = GetFullPathNameW(path.c_str(), size, full.data(), nullptr)) == 0)
        cfx::throwLastError();
    full.resize(size);
    return full;
}

std::wstring folderOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

} // namespace

std::wstring quoted(const std::wstring& text) {
    return L"\"" + text + L"\"";
}

StorageTarget::StorageTarget(const std::wstring& argument) : path_(fullPathOf(argument)) {
    const std::wstring folder = folderOf(path_);
    if (path_.back() == L'\\' || path_.back() == L'/')
        refuse(ERROR_INVALID_NAME, L"The path " + quoted(path_) + L" names a folder, not a file.");
    DWORD folderAttributes =
        GetFileAttributesW((folder.size() == 2 ? folder + L"\\" : folder).c_str());
    if (folderAttributes == INVALID_FILE_ATTRIBUTES ||
        !(folderAttributes & FILE_ATTRIBUTE_DIRECTORY))
        refuse(ERROR_PATH_NOT_FOUND, L"The folder " + quoted(folder) + L" does not exist.");

    WIN32_FILE_ATTRIBUTE_DATA existing{};
    if (!GetFileAttributesExW(path_.c_str(), GetFileExInfoStandard, &existing)) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            throw cfx::win_except(error);
        return;
    }
    if (existing.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        refuse(ERROR_ALREADY_EXISTS, L"There is a folder at " + quoted(path_) + L".");
    if (existing.nFileSizeHigh || existing.nFileSizeLow)
        refuse(ERROR_FILE_EXISTS, L"The file " + quoted(path_) +
                                      L" already exists and is not empty. It was left as it is.");
    placeholder_ = true;
}

std::wstring StorageTarget::name() const {
    size_t slash = path_.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path_ : path_.substr(slash + 1);
}

void StorageTarget::removePlaceholder() {
    if (!placeholder_)
        return;
    {
        // Nobody may write to it between the check and the removal.
        cfx::FileHandle file(CreateFileW(path_.c_str(), GENERIC_READ | DELETE, 0, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            if (GetLastError() == ERROR_FILE_NOT_FOUND) {
                placeholder_ = false;
                return;
            }
            cfx::throwLastError();
        }
        LARGE_INTEGER size{};
        cfx::checkLastError(GetFileSizeEx(file.get(), &size));
        if (size.QuadPart != 0)
            refuse(ERROR_FILE_EXISTS, L"The file " + quoted(path_) +
                                          L" has been written to meanwhile. It was left as it is.");
        FILE_DISPOSITION_INFO dispose{TRUE};
        if (SetFileInformationByHandle(file.get(), FileDispositionInfo, &dispose, sizeof dispose)) {
            placeholder_ = false;
            return;
        }
    }
    cfx::checkLastError(DeleteFileW(path_.c_str()));
    placeholder_ = false;
}

} // namespace cfx::wizard
