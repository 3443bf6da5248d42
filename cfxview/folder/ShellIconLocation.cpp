#include "folder/ShellIconLocation.h"

#include <utility>

namespace cfx::folder {


ShellIconLocation::ShellIconLocation(std::wstring file, int index)
    : file_(std::move(file)), index_(index) {}

STDMETHODIMP ShellIconLocation::GetIconLocation(UINT, LPWSTR file, UINT size, int* index,
                                                UINT* outFlags) {
    if (!file || !index || !outFlags)
        return E_POINTER;
    if (file_.size() + 1 > size)
        return E_OUTOFMEMORY;
    file_.copy(file, file_.size());
    file[file_.size()] = L'\0';
    *index = index_;
    *outFlags = GIL_PERCLASS;
    return S_OK;
}

// S_FALSE: the shell extracts the icon from the location itself.
STDMETHODIMP ShellIconLocation::Extract(LPCWSTR, UINT, HICON*, HICON*, UINT) {
    return S_FALSE;
}

} // namespace cfx::folder
