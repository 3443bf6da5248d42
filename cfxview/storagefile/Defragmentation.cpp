#include "storagefile/Defragmentation.h"

#include "common/Exceptions.h"
#include "common/Variant.h"
#include "module/Module.h"
#include "server/ErrorReport.h"
#include "server/ServerCall.h"
#include "storagefile/StorageFreeze.h"
#include "ui/WaitDialog.h"
#include "ui/resource.h"

#include <objbase.h>
#include <process.h>
#include <rpc.h>
#include <wrl/client.h>

#include <cwctype>
#include <string>

namespace cfx::storagefile {

using Microsoft::WRL::ComPtr;
using server::checkServerCall;
using server::createRoot;
using server::kMessageCaption;

namespace {

constexpr ULONGLONG kFixedBytes = 20480;
constexpr ULONGLONG kSector = 4096;
constexpr ULONGLONG kEntryBytes = 104;

// A message no other program uses: registered under a new GUID string.
UINT registerPrivateMessage() {
    UUID id;
    if (UuidCreate(&id) != RPC_S_OK)
        raise(E_FAIL);
    LPOLESTR text = nullptr;
    check(StringFromIID(id, &text));
    TaskMemory held(text);
    std::wstring name(text);
    for (wchar_t& c : name)
        c = static_cast<wchar_t>(std::towupper(c));
    UINT message = RegisterWindowMessageW(name.c_str());
    if (!message)
        throwLastError();
    return message;
}

ULONGLONG usedSpace(IStorage* storage) {
    ComPtr<IEnumSTATSTG> elements;
    check(storage->EnumElements(0, nullptr, 0, &elements));
    ULONGLONG sum = 0;
    STATSTG element;
    while (elements->Next(1, &element, nullptr) == S_OK) {
        TaskMemory name(element.pwcsName);
        sum += kEntryBytes;
        if (!element.pwcsName)
            continue;
        const ULONGLONG size = element.cbSize.QuadPart;
        if (element.pwcsName[0] == L'\x0005')
            sum += size;
        else if (size != 0)
            sum += size / kSector * kSector + kSector;
        if (element.type == STGTY_STORAGE) {
            ComPtr<IStorage> child;
            check(storage->OpenStorage(element.pwcsName, nullptr,
                                       STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0, &child));
            sum += usedSpace(child.Get());
        }
    }
    return sum;
}

void analyse(DefragContext& context) {
    WIN32_FILE_ATTRIBUTE_DATA file;
    checkLastError(GetFileAttributesExW(context.path.c_str(), GetFileExInfoStandard, &file));
    const ULONGLONG size = (ULONGLONG{file.nFileSizeHigh} << 32) | file.nFileSizeLow;
    context.usableSize = size - kFixedBytes;
    context.usedSize = MeasureUsedSpace(context.path);
    if (context.usedSize > context.usableSize)
        context.usedSize = context.usableSize;
    context.analysed = true;
}

void defragment(DefragContext& context) {
    ComPtr<IStorageServer> root = createRoot();
    notNull(root.Get());
    checkServerCall(root->DefragmentStorage(makeBstr(context.path).get()), root.Get());
    root.Reset();
    context.defragmented = true;
}

// One step's worker. The storage is frozen for the work when the user had not
// frozen it, and thawed again whatever happened; the dialog stays at least two
// seconds on screen.
struct Step {
    HWND DefragContext::*window;
    void (*work)(DefragContext&);
    const wchar_t* failurePrefix;
};
constexpr Step kAnalysis{&DefragContext::analysisWindow, &analyse,
                         L"Unable to analyse the storage"};
constexpr Step kDefragmentation{&DefragContext::defragWindow, &defragment,
                                L"Unable to defragment storage"};

template <const Step& step> unsigned __stdcall stepThread(void* argument) {
    auto& context = *static_cast<DefragContext*>(argument);
    const HRESULT initialised = CoInitialize(nullptr);
    HRESULT hr = S_OK;
    if (!context.frozenAtStart)
        hr = guarded([&] { FreezeStorage(context.path, true); });
    if (SUCCEEDED(hr))
        hr = guarded([&] { step.work(context); });
    if (!context.frozenAtStart)
        guarded([&] { FreezeStorage(context.path, false); });
    Sleep(2000);
    HWND window = context.*step.window;
    if (FAILED(hr))
        PostMessageW(window, context.failedMessage, static_cast<WPARAM>(hr),
                     reinterpret_cast<LPARAM>(step.failurePrefix));
    else
        PostMessageW(window, context.doneMessage, 0, 0);
    if (SUCCEEDED(initialised))
        CoUninitialize();
    return 0;
}

template <const Step& step>
INT_PTR stepHandler(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam, void* argument) {
    auto& context = *static_cast<DefragContext*>(argument);
    if (message == WM_INITDIALOG) {
        context.*step.window = dialog;
        context.worker.reset(reinterpret_cast<HANDLE>(
            _beginthreadex(nullptr, 0, &stepThread<step>, &context, 0, nullptr)));
        // Without a worker the dialog would wait for ever: it fails at once.
        if (!context.worker)
            PostMessageW(dialog, context.failedMessage,
                         static_cast<WPARAM>(HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY)),
                         reinterpret_cast<LPARAM>(step.failurePrefix));
        return TRUE;
    }
    if (message == context.doneMessage) {
        EndDialog(dialog, 0);
        return TRUE;
    }
    if (message == context.failedMessage) {
        server::showError(dialog, static_cast<DWORD>(wParam),
                          reinterpret_cast<const wchar_t*>(lParam));
        EndDialog(dialog, 0);
        return TRUE;
    }
    return FALSE;
}

void runStep(HWND owner, DefragContext& context, ui::WaitDialogRequest request) {
    ui::WaitDialog(owner, request);
    // The worker has posted its message: it only ends now.
    if (context.worker)
        WaitForSingleObject(context.worker.get(), INFINITE);
    context.worker.reset();
}

// The fragmentation in percent: the share of the usable bytes not in use.
ULONGLONG fragmentation(const DefragContext& context) {
    if (context.usableSize == 0)
        return 0;
    return 100 - (context.usedSize * 100) / (context.usableSize + 1);
}

} // namespace

DefragContext::DefragContext(std::wstring storagePath) : path(std::move(storagePath)) {
    ComPtr<IStorageObject> storage = server::openStorage(createRoot().Get(), path);
    frozenAtStart = IsStorageFrozen(storage.Get(), path);
    doneMessage = registerPrivateMessage();
    failedMessage = registerPrivateMessage();
}

DefragContext::~DefragContext() {
    if (worker)
        WaitForSingleObject(worker.get(), INFINITE);
}

void AnalyseAndDefragment(HWND owner, const std::wstring& path) {
    try {
        DefragContext context(path);
        HMODULE library = module::instance();
        runStep(owner, context,
                {L"Analysis in progress",
                 L"Please wait several minutes until analysis process will finish...",
                 IDR_AVI_ANALYSE, library, &stepHandler<kAnalysis>, &context});
        if (!context.analysed)
            return;

        const ULONGLONG percent = fragmentation(context);
        std::string message = "Storage is fragmented on " + std::to_string(percent) + "%.\n";
        UINT style;
        if (percent <= 25) {
            message += "It does not need deframentation.";
            style = MB_OK | MB_ICONINFORMATION;
        } else {
            message += "To start defragmentation press OK.\n\nNote: The storage will be temporary "
                       "frozen.";
            style = MB_YESNO | MB_ICONEXCLAMATION;
        }
        const std::wstring text(message.begin(), message.end()); // ASCII
        if (MessageBoxW(owner, text.c_str(), kMessageCaption, style) != IDYES)
            return;

        runStep(owner, context,
                {L"Defragmentation is in progress...",
                 L"Please wait several minutes until defragmentation will finish...",
                 IDR_AVI_DEFRAGMENT, library, &stepHandler<kDefragmentation>, &context});
        if (context.defragmented)
            MessageBoxW(owner, L"Defragmentation has finished successfully", kMessageCaption,
                        MB_ICONINFORMATION);
    } catch (...) {
        server::showCurrentException(owner, L"Unable to complete operation.");
    }
}

ULONGLONG MeasureUsedSpace(const std::wstring& path) {
    ComPtr<IStorage> storage;
    check(StgOpenStorageEx(path.c_str(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE, STGFMT_DOCFILE, 0,
                           nullptr, nullptr, IID_IStorage,
                           reinterpret_cast<void**>(storage.GetAddressOf())));
    return usedSpace(storage.Get());
}

} // namespace cfx::storagefile
