#include "ToolError.h"

#include "StoreError.h"

#include "common/Variant.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <cwchar>

namespace cfx::tool {

ToolError::ToolError(std::wstring action, HRESULT hr, std::wstring description, int exitCode)
    : action_(std::move(action)), hr_(hr), description_(std::move(description)),
      exitCode_(exitCode) {}

bool isServerUnavailable(HRESULT hr) noexcept {
    switch (hr) {
    case REGDB_E_CLASSNOTREG:
    case REGDB_E_IIDNOTREG:
    case CO_E_SERVER_EXEC_FAILURE:
    case CO_E_SERVER_START_TIMEOUT:
    case CO_E_SERVER_STOPPING:
    case CO_E_APPNOTFOUND:
    case CO_E_OBJNOTCONNECTED:
    case RPC_E_DISCONNECTED:
    case RPC_E_SERVER_DIED:
    case RPC_E_SERVER_DIED_DNE:
    case HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE):
    case HRESULT_FROM_WIN32(RPC_S_CALL_FAILED):
    case HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE):
        return true;
    default:
        return false;
    }
}

int exitCodeOf(HRESULT hr) noexcept {
    if (isServerUnavailable(hr))
        return kExitServerUnavailable;
    if (hr == E_ACCESSDENIED || hr == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED))
        return kExitKeyUnavailable;
    return kExitFailed;
}

void check(HRESULT hr, const std::wstring& action) {
    if (SUCCEEDED(hr)) {
        // A successful reply may still bring an error object left on the
        // server's thread: drop it so that it never describes a later failure.
        SetErrorInfo(0, nullptr);
        return;
    }
    std::wstring description;
    Microsoft::WRL::ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, &info) == S_OK && info) {
        Bstr text;
        if (SUCCEEDED(info->GetDescription(text.put())))
            description = fromBstr(text.get());
    }
    fail(action, hr, std::move(description));
}

void fail(const std::wstring& action, HRESULT hr, int exitCode) {
    fail(action, hr, std::wstring(), exitCode);
}

void fail(const std::wstring& action, HRESULT hr, std::wstring description, int exitCode) {
    while (!description.empty() && (description.back() == L'\n' || description.back() == L'\r'))
        description.pop_back();
    if (description.empty())
        description = cfx::store::systemText(hr);
    throw ToolError(action, hr, std::move(description), exitCode == -1 ? exitCodeOf(hr) : exitCode);
}

void failLastError(const std::wstring& action, int exitCode) {
    DWORD error = GetLastError();
    fail(action, error ? HRESULT_FROM_WIN32(error) : E_FAIL, exitCode);
}

void rethrowAs(const std::wstring& action, int exitCode) {
    try {
        throw;
    } catch (const ToolError& e) {
        if (exitCode == -1 || isServerUnavailable(e.hr()))
            throw;
        throw ToolError(e.action(), e.hr(), e.description(), exitCode);
    } catch (const UsageError&) {
        throw;
    } catch (...) {
        std::wstring description;
        HRESULT hr = cfx::store::describeCurrentException(description);
        if (isServerUnavailable(hr))
            exitCode = -1;
        fail(action, hr, std::move(description), exitCode);
    }
}

std::wstring hexCode(HRESULT hr) {
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

} // namespace cfx::tool
