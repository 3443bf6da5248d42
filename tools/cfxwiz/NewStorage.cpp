#include "NewStorage.h"

#include "common/Base64.h"
#include "common/Exceptions.h"
#include "common/SystemMessage.h"
#include "common/Variant.h"

#include "cfxstorage.h"

#include <shlobj.h>
#include <wrl/client.h>

#include <cwchar>

using Microsoft::WRL::ComPtr;

namespace cfx::wizard {

namespace {

ComPtr<IStorageServer> connectServer() {
    ComPtr<IStorageServer> server;
    HRESULT hr =
        CoCreateInstance(CLSID_StorageServer, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&server));
    if (hr == REGDB_E_CLASSNOTREG || hr == CO_E_APPNOTFOUND || hr == CO_E_SERVER_EXEC_FAILURE)
        throw cfx::DescribedError(hr, L"The Coffrex storage server is not installed "
                                      L"(not registered, or its program is missing).\n\n" +
                                          cfx::systemMessage(static_cast<DWORD>(hr)));
    checkServer(hr);
    return server;
}

void attachKeyFile(IStorageObject* storage, const std::wstring& keyFile) {
    checkServer(storage->SetProperty(StorageProperty_AttachedKey,
                                     cfx::Variant(cfx::toBase64(readKeyFile(keyFile))).get()));
    cfx::Variant flags;
    checkServer(storage->GetProperty(StorageProperty_Flags, flags.put()));
    ULONGLONG value = 0;
    if (flags.type() != VT_EMPTY) {
        cfx::Variant number;
        cfx::check(VariantChangeType(number.put(), const_cast<VARIANT*>(&flags.get()), 0, VT_UI8));
        value = number.get().ullVal;
    }
    checkServer(
        storage->SetProperty(StorageProperty_Flags, cfx::Variant(ULONGLONG{value | 1}).get()));
}

} // namespace

void checkServer(HRESULT hr) {
    if (SUCCEEDED(hr)) {
        // A successful reply may still bring an error object: drop it so that
        // it never describes a later failure.
        SetErrorInfo(0, nullptr);
        return;
    }
    std::wstring description;
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, &info) == S_OK && info) {
        cfx::Bstr text;
        if (SUCCEEDED(info->GetDescription(text.put())))
            description = cfx::fromBstr(text.get());
    }
    if (description.empty())
        description = cfx::systemMessage(static_cast<DWORD>(hr));
    throw cfx::DescribedError(hr, description);
}

void makeStorage(StorageTarget& target, const ChosenKey& key, bool attach) {
    // Nothing changes before the server answers.
    ComPtr<IStorageServer> server = connectServer();
    if (!key.keyFile.empty())
        installKeyFile(key);
    target.removePlaceholder();
    PCCERT_CONTEXT certificate = key.certificate.get();
    ComPtr<IStorageObject> storage;
    checkServer(server->CreateStorage(cfx::makeBstr(target.path()).get(),
                                      certificate->cbCertEncoded, certificate->pbCertEncoded,
                                      &storage));
    if (!storage)
        cfx::raise(E_POINTER);
    if (attach && !key.keyFile.empty())
        attachKeyFile(storage.Get(), key.keyFile);
    storage.Reset();
    SHChangeNotify(SHCNE_CREATE, SHCNF_PATHW | SHCNF_FLUSH, target.path().c_str(), nullptr);
}

std::wstring currentFailureText() {
    cfx::CaughtException caught = cfx::caughtException();
    std::wstring text = caught.description;
    if (text.empty())
        text = cfx::systemMessage(static_cast<DWORD>(caught.hr));
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    wchar_t code[32];
    std::swprintf(code, 32, L"(error 0x%08lX)", static_cast<unsigned long>(caught.hr));
    return text.empty() ? code : text;
}

} // namespace cfx::wizard
