#include "common/ErrorObjectHook.h"

#include "common/ComObjectBase.h"
#include "common/Handles.h"
#include "common/Wine.h"

#include <objbase.h>
#include <oleauto.h>

#include <algorithm>
#include <string>
#include <vector>

namespace cfx {

namespace {

// The extension under which the hook's data travels in a reply.
constexpr GUID kErrorObjectExtension = {
    0x3dc1c518, 0x8076, 0x4259, {0xb1, 0xd8, 0x0a, 0xf5, 0xd6, 0x4c, 0x9b, 0x89}};

// On the wire: the error object's GUID, then its source and its description,
// each a character count followed by the UTF-16 characters.
class ErrorObjectHook : public ComObject<IChannelHook> {
public:
    STDMETHODIMP_(void) ClientGetSize(REFGUID, REFIID, ULONG* size) override { *size = 0; }
    STDMETHODIMP_(void) ClientFillBuffer(REFGUID, REFIID, ULONG* size, void*) override {
        *size = 0;
    }
    STDMETHODIMP_(void) ServerNotify(REFGUID, REFIID, ULONG, void*, DWORD) override {}

    // A reply without the extension leaves the caller's error object alone:
    // the caller's own follow-up calls (ISupportErrorInfo) come between the
    // failure and GetErrorInfo.
    STDMETHODIMP_(void)
    ClientNotify(REFGUID, REFIID, ULONG size, void* data, DWORD, HRESULT) override {
        const BYTE* at = static_cast<const BYTE*>(data);
        const BYTE* end = at + size;
        GUID id;
        std::wstring source, description;
        if (!data || !take(at, end, &id, sizeof id) || !takeText(at, end, source) ||
            !takeText(at, end, description))
            return;
        setErrorObject(id, source.c_str(), description);
    }

    // Takes the thread's error object: it belongs to the call being answered.
    STDMETHODIMP_(void) ServerGetSize(REFGUID, REFIID, HRESULT, ULONG* size) override {
        pending().clear();
        IErrorInfo* info = nullptr;
        if (GetErrorInfo(0, &info) == S_OK && info) {
            GUID id = GUID_NULL;
            Bstr source, description;
            info->GetGUID(&id);
            info->GetSource(source.put());
            info->GetDescription(description.put());
            put(&id, sizeof id);
            putText(source.get());
            putText(description.get());
            info->Release();
        }
        *size = static_cast<ULONG>(pending().size());
    }
    STDMETHODIMP_(void)
    ServerFillBuffer(REFGUID, REFIID, ULONG* size, void* buffer, HRESULT) override {
        auto& data = pending();
        ULONG count = std::min(*size, static_cast<ULONG>(data.size()));
        std::copy_n(data.data(), count, static_cast<BYTE*>(buffer));
        *size = count;
        data.clear();
    }

private:
    // Sizing and filling run on the thread that answers the call.
    static std::vector<BYTE>& pending() {
        thread_local std::vector<BYTE> data;
        return data;
    }
    static void put(const void* bytes, size_t size) {
        auto* first = static_cast<const BYTE*>(bytes);
        pending().insert(pending().end(), first, first + size);
    }
    static void putText(BSTR text) {
        ULONG length = SysStringLen(text);
        put(&length, sizeof length);
        put(text, length * sizeof(wchar_t));
    }
    static bool take(const BYTE*& at, const BYTE* end, void* out, size_t size) {
        if (static_cast<size_t>(end - at) < size)
            return false;
        std::copy_n(at, size, static_cast<BYTE*>(out));
        at += size;
        return true;
    }
    static bool takeText(const BYTE*& at, const BYTE* end, std::wstring& text) {
        ULONG length = 0;
        if (!take(at, end, &length, sizeof length) ||
            static_cast<size_t>(end - at) / sizeof(wchar_t) < length)
            return false;
        text.resize(length);
        return take(at, end, text.data(), length * sizeof(wchar_t));
    }
};

} // namespace

void setErrorObject(REFIID iid, const wchar_t* source, const std::wstring& description) noexcept {
    ICreateErrorInfo* create = nullptr;
    if (FAILED(CreateErrorInfo(&create)))
        return;
    create->SetGUID(iid);
    create->SetSource(const_cast<LPOLESTR>(source));
    create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
        SetErrorInfo(0, info);
        info->Release();
    }
    create->Release();
}

HRESULT registerErrorObjectHook() {
    // COM keeps the hook for the rest of the process.
    auto* hook = new ErrorObjectHook;
    HRESULT hr = CoRegisterChannelHook(kErrorObjectExtension, hook);
    hook->Release();
    return hr;
}

HRESULT carryErrorObjectsUnderWine() {
    return runningUnderWine() ? registerErrorObjectHook() : S_FALSE;
}

} // namespace cfx
