#include "transfer/TransferEngine.h"

#include "folder/StorageFolder.h"

#include <cstdio>

namespace cfx::transfer {

std::wstring formatByteSize(std::uint64_t count, int mode) {
    if (mode == 0 || mode == 1) {
        const wchar_t separator = mode == 0 ? L' ' : L',';
        const std::wstring digits = std::to_wstring(count);
        std::wstring text;
        for (std::size_t i = 0; i < digits.size(); ++i) {
            if (i > 0 && (digits.size() - i) % 3 == 0)
                text += separator;
            text += digits[i];
        }
        return text;
    }
    if (mode != 2)
        return {};
    if (count < 1024)
        return std::to_wstring(count) + L" bytes";
    struct Unit {
        std::uint64_t below;
        double divisor;
        const wchar_t* name;
    };
    static constexpr Unit kUnits[] = {
        {1ull << 20, 1024.0, L"Kb"},
        {1ull << 30, 1048576.0, L"Mb"},
        {1ull << 40, 1073741824.0, L"Gb"},
        {~0ull, 1099511627776.0, L"Tb"},
    };
    for (const Unit& unit : kUnits) {
        if (count < unit.below || unit.below == ~0ull) {
            wchar_t text[64];
            std::swprintf(text, std::size(text), L"%.2f %ls",
                          static_cast<double>(count) / unit.divisor, unit.name);
            return text;
        }
    }
    return {};
}

bool importDataObject(folder::StorageFolder&, HWND, IDataObject*, DWORD* effect) {
    // The engine itself follows in the next commits.
    if (effect)
        *effect = DROPEFFECT_NONE;
    return false;
}

} // namespace cfx::transfer
