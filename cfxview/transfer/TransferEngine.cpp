#include "transfer/TransferEngine.h"

#include "common/Exceptions.h"
#include "common/Handles.h"
#include "common/Text.h"
#include "common/Variant.h"
#include "folder/StorageFolder.h"
#include "module/Module.h"
#include "server/ErrorReport.h"
#include "server/ServerCall.h"
#include "transfer/ChangeNotify.h"
#include "transfer/DataObjectHelpers.h"
#include "transfer/StorageFileStream.h"
#include "ui/ProgressDialogHost.h"
#include "ui/ProgressKind.h"
#include "ui/resource.h"

#include <rpc.h>
#include <shlwapi.h>
#include <wrl/client.h>

#include <cstdio>
#include <iterator>
#include <memory>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace cfx::transfer {

using server::checkServerCall;
using server::kMessageCaption;

namespace {

// The import steps' two private success values besides S_OK (created new).
constexpr HRESULT kReplacedOrKept = S_FALSE; // a file replaced or kept, a folder merged
constexpr HRESULT kCancelled = 0x7FFFFFFF;   // not written: the operation was cancelled

constexpr DWORD kBlockSize = 4096;

// Appended to the name of a file while its bytes are being written.
constexpr wchar_t kPartialSuffix[] = L".cfxpartial";

// What every step of one operation shares.
struct TransferContext {
    HWND window = nullptr; // the progress dialog's; owns every box of the operation
    bool isMove = false;
    std::wstring conflictKey; // names the overwrite question's remembered answer
    std::uint64_t totalBytes = 0;
    std::uint64_t doneBytes = 0;
    std::uint64_t totalItems = 0;
    std::uint64_t doneItems = 0;
    ui::ProgressDialog* dialog = nullptr;
    ui::CancelSink* cancelSink = nullptr;
    std::int64_t position = 0; // the bar's, ahead of what it was last told
    // A file the user kept or a cancel: a move then reports nothing moved,
    // so that the source keeps what did not arrive.
    bool incomplete = false;
};

bool cancelled(const TransferContext& context) {
    return context.dialog && context.dialog->IsCancelled();
}

// Moves the bar on by bytes or items. Within a file it is told only when its
// percentage changes: each position is a message to the dialog's thread,
// which per 4 KiB block cost as much as the block's own server call.
void advance(TransferContext& context, std::uint64_t by, bool always = false) {
    if (!context.dialog)
        return;
    const std::int64_t shown = context.dialog->GetPos();
    const std::int64_t position = context.position += static_cast<std::int64_t>(by);
    std::int64_t minimum = 0, maximum = 0;
    context.dialog->GetRange(minimum, maximum);
    if (always || ui::ProgressDialog::percentOf(position, minimum, maximum) !=
                      ui::ProgressDialog::percentOf(shown, minimum, maximum))
        context.dialog->SetPos(position);
}

std::wstring lastComponent(const std::wstring& path) {
    return PathFindFileNameW(path.c_str());
}

std::wstring newConflictKey() {
    UUID id{};
    if (UuidCreate(&id) != RPC_S_OK)
        raise(E_FAIL);
    return guidText(id);
}

std::wstring checksumText(const BYTE (&checksum)[16]) {
    GUID asGuid;
    std::memcpy(&asGuid, checksum, sizeof asGuid);
    std::wstring text = guidText(asGuid);
    CharUpperW(text.data());
    return text;
}

// The shell's message box with "do not ask again", remembered under a key.
using MessageBoxCheck = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT, int, LPCWSTR);
MessageBoxCheck messageBoxCheck() {
    static const auto function = reinterpret_cast<MessageBoxCheck>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"shlwapi.dll"), MAKEINTRESOURCEA(191))));
    return function;
}

// Where the shell keeps the answers of ticked boxes, by the names it was given.
constexpr wchar_t kRememberedAnswers[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DontShowMeThisDialogAgain";

// Wine: the check-box box stores a ticked answer with SHRegSetUSValueW, which
// under Wine 8 does not create a missing key, so the answer would be lost
// until the key exists. Windows makes the key itself; making it first changes
// nothing there.
void makeRememberedAnswersKey() noexcept {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kRememberedAnswers, 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, &key, nullptr) == ERROR_SUCCESS)
        RegCloseKey(key);
}

bool overwriteAnswered(const TransferContext& context, const std::wstring& name) {
    const std::wstring text = L"File '" + name + L"' already exists.\nOverwrite it?";
    int answer = IDNO;
    if (context.totalItems > 1) {
        makeRememberedAnswersKey();
        if (MessageBoxCheck ask = messageBoxCheck())
            answer = ask(context.window, text.c_str(), kMessageCaption, MB_YESNO | MB_ICONQUESTION,
                         IDYES, context.conflictKey.c_str());
    } else {
        answer =
            MessageBoxW(context.window, text.c_str(), kMessageCaption, MB_YESNO | MB_ICONQUESTION);
    }
    // Wine's check-box box answers Yes with IDOK (No with IDCANCEL); on
    // Windows a Yes/No box never answers IDOK, so only Wine takes that branch.
    return answer == IDYES || answer == IDOK;
}

void updateTransferText(TransferContext& context, const std::wstring& source,
                        const std::wstring& destination) {
    if (!context.dialog)
        return;
    const std::wstring line1 = std::wstring(context.isMove ? L"Moving" : L"Copying") + L" from '" +
                               lastComponent(source) + L"' to '" + lastComponent(destination) +
                               L"'";
    const std::uint64_t left = context.totalItems - context.doneItems;
    const std::wstring line2 =
        std::to_wstring(left) + (left == 1 ? L" item remaining" : L" items remaining");
    context.dialog->SetLine1(line1.c_str());
    context.dialog->SetLine2(line2.c_str());
}

std::wstring nameOf(IStorageFolder* folder) {
    BSTR name = nullptr;
    checkServerCall(folder->GetName(&name), folder);
    Bstr held(name);
    return fromBstr(name);
}

bool calculateSourceSize(const std::wstring& path, std::uint64_t& bytes, std::uint64_t& items) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    items += 1;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
            return false;
        bytes += (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
        return true;
    }
    WIN32_FIND_DATAW entry{};
    FindHandle search(FindFirstFileW((path + L"\\*").c_str(), &entry));
    if (!search)
        return false;
    // The first entry is the folder's own ".".
    while (FindNextFileW(search.get(), &entry)) {
        const bool folder = entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
        if (folder && std::wcscmp(entry.cFileName, L"..") == 0)
            continue;
        const std::wstring below = path + L"\\" + entry.cFileName;
        if (folder) {
            if (!calculateSourceSize(below, bytes, items))
                return false;
        } else {
            bytes += (std::uint64_t{entry.nFileSizeHigh} << 32) | entry.nFileSizeLow;
            items += 1;
        }
    }
    return true;
}

HRESULT importFile(TransferContext& context, IStorageFolder* destination,
                   const std::wstring& source);
HRESULT importFolder(TransferContext& context, IStorageFolder* destination,
                     const std::wstring& source);

// The item's import, its failures as an HRESULT.
template <class Step> HRESULT importStep(Step&& step) noexcept {
    return guarded(std::forward<Step>(step));
}

// A file being written: unless kept, it goes on every way out (cancel, read
// or write error, a dead server), its stream and file released first. A
// failure of the delete leaves the first failure the one reported.
struct PartialFile {
    PartialFile(IStorageFolder* in, const Bstr& named) : folder(in), name(named) {}
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;
    ~PartialFile() {
        stream.Reset();
        file.Reset();
        if (!kept) {
            folder->DeleteItem(name.get());
            SetErrorInfo(0, nullptr);
        }
    }
    void keep() noexcept { kept = true; }

    IStorageFolder* folder;
    const Bstr& name;
    ComPtr<IStorageFile> file;
    ComPtr<IStream> stream;
    bool kept = false;
};

HRESULT importFile(TransferContext& context, IStorageFolder* destination,
                   const std::wstring& source) {
    return importStep([&]() -> HRESULT {
        updateTransferText(context, source, nameOf(destination));
        const DWORD attributes = GetFileAttributesW(source.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return E_INVALIDARG;
        // A file that cannot be opened (in use, access denied) is reported with
        // the system's reason rather than as an unexpected failure.
        FileHandle input(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!input)
            throwLastError();
        LARGE_INTEGER openedSize{};
        if (!GetFileSizeEx(input.get(), &openedSize))
            throwLastError();

        const Bstr name = makeBstr(lastComponent(source));
        bool replaced = false;
        {
            ComPtr<IStorageFile> existing;
            const HRESULT hr = destination->OpenFile(name.get(), VARIANT_FALSE, &existing);
            if (hr == STG_E_FILENOTFOUND)
                SetErrorInfo(0, nullptr);
            else
                checkServerCall(hr, destination);
            if (SUCCEEDED(hr) && existing) {
                existing.Reset();
                if (!overwriteAnswered(context, lastComponent(source))) {
                    context.incomplete = true;
                    return kReplacedOrKept;
                }
                const HRESULT deleted = destination->DeleteItem(name.get());
                if (deleted != STG_E_FILENOTFOUND)
                    checkServerCall(deleted, destination);
                replaced = true;
            }
        }

        // The bytes go into a file of a name of its own that takes the real name
        // only once whole: the server makes a file at once but its contents
        // only as they are committed, so a server that dies in the middle
        // would otherwise leave an empty file under the real name. A partial
        // file left by such a death is emptied and reused by the next import.
        const Bstr partial = makeBstr(lastComponent(source) + kPartialSuffix);
        PartialFile written(destination, partial);
        checkServerCall(destination->OpenFile(partial.get(), VARIANT_TRUE, &written.file),
                        destination);
        IStorageFile* file = notNull(written.file.Get());
        {
            ComPtr<IStream> serverStream;
            checkServerCall(file->OpenStream(&serverStream), file);
            // Taken over as it comes: WRL's Attach of this SDK adds a reference.
            *written.stream.ReleaseAndGetAddressOf() =
                StorageFileStream::wrap(notNull(serverStream.Detach()));
        }
        IStream* stream = written.stream.Get();
        checkServerCall(stream->SetSize(ULARGE_INTEGER{}), stream);
        BYTE block[kBlockSize];
        std::uint64_t copied = 0;
        for (;;) {
            if (cancelled(context)) {
                context.incomplete = true;
                return kCancelled;
            }
            DWORD got = 0;
            // A read error is not the end of the file: it stops the operation.
            if (!ReadFile(input.get(), block, kBlockSize, &got, nullptr))
                throwLastError();
            if (got == 0)
                break;
            checkServerCall(stream->Write(block, got, nullptr), stream);
            copied += got;
            context.doneBytes += got;
            advance(context, got);
        }
        // A file that shrank while it was copied ended early: not a whole copy.
        if (copied < static_cast<std::uint64_t>(openedSize.QuadPart))
            throw win_except(ERROR_HANDLE_EOF);
        written.stream.Reset();
        BYTE checksum[16] = {};
        checkServerCall(file->ComputeChecksum(checksum), file);
        checkServerCall(
            file->SetProperty(StorageProperty_Checksum, Variant(checksumText(checksum)).get()),
            file);
        written.file.Reset();
        checkServerCall(destination->RenameItem(partial.get(), name.get()), destination);
        written.keep();
        advance(context, 1, true);
        context.doneItems += 1;
        return replaced ? kReplacedOrKept : S_OK;
    });
}

HRESULT importFolder(TransferContext& context, IStorageFolder* destination,
                     const std::wstring& source) {
    return importStep([&]() -> HRESULT {
        updateTransferText(context, source, nameOf(destination));
        const Bstr name = makeBstr(lastComponent(source));
        ComPtr<IStorageFolder> target;
        bool existed =
            SUCCEEDED(destination->OpenFolder(name.get(), VARIANT_FALSE, &target)) && target;
        if (!existed) {
            SetErrorInfo(0, nullptr);
            checkServerCall(destination->OpenFolder(name.get(), VARIANT_TRUE, &target),
                            destination);
            notNull(target.Get());
        }
        WIN32_FIND_DATAW entry{};
        FindHandle search(FindFirstFileW((source + L"\\*.*").c_str(), &entry));
        if (!search)
            return E_UNEXPECTED;
        HRESULT result = S_OK;
        while (FindNextFileW(search.get(), &entry)) {
            const bool folder = entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
            if (std::wcscmp(entry.cFileName, L"..") == 0)
                continue;
            if (cancelled(context)) {
                context.incomplete = true;
                result = kReplacedOrKept;
                break;
            }
            const std::wstring below = source + L"\\" + entry.cFileName;
            result = folder ? importFolder(context, target.Get(), below)
                            : importFile(context, target.Get(), below);
            if (FAILED(result))
                break;
        }
        search.reset();
        if (FAILED(result))
            return result;
        if (!cancelled(context)) {
            advance(context, 1, true);
            context.doneItems += 1;
        }
        return existed ? kReplacedOrKept : result;
    });
}

void notifyImported(folder::StorageFolder& folder, IStorageFolder* destination,
                    const std::wstring& path, ChangeKind kind) {
    const Bstr name = makeBstr(lastComponent(path));
    ComPtr<IStorageItem> info;
    checkServerCall(destination->GetItemInfo(name.get(), &info), destination);
    folder::ItemIdList id;
    folder::makeItemId(notNull(info.Get()), id.put());
    notifyItemChange(kind, folder.ownList(), id.get());
}

} // namespace

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
        std::uint64_t below; // 0: no bound
        double divisor;
        const wchar_t* name;
    };
    static constexpr Unit kUnits[] = {
        {1ull << 20, 1024.0, L"Kb"},
        {1ull << 30, 1048576.0, L"Mb"},
        {1ull << 40, 1073741824.0, L"Gb"},
        {0, 1099511627776.0, L"Tb"},
    };
    for (const Unit& unit : kUnits) {
        if (unit.below == 0 || count < unit.below) {
            wchar_t text[64];
            std::swprintf(text, std::size(text), L"%.2f %ls",
                          static_cast<double>(count) / unit.divisor, unit.name);
            return text;
        }
    }
    return {};
}

bool importDataObject(folder::StorageFolder& folder, HWND owner, IDataObject* data, DWORD* effect) {
    DWORD requested = 0;
    if (effect)
        requested = *effect;
    else if (!getDataObjectDword(data, DwordFormat::PreferredDropEffect, requested))
        requested = 0;
    const bool isMove = requested & DROPEFFECT_MOVE;
    const DWORD performed = isMove ? DROPEFFECT_MOVE : DROPEFFECT_COPY;
    auto report = [&](bool succeeded) {
        if (effect)
            *effect = succeeded ? performed : DROPEFFECT_NONE;
        return succeeded;
    };

    if (!data || isOwnDataObject(data))
        return report(false);
    std::vector<std::wstring> paths;
    try {
        folder::ItemIdList parent;
        std::vector<folder::ItemIdList> items;
        if (!readShellIdList(data, parent, items) || items.empty())
            return report(false);
        shellIdListToPaths(parent.get(), items, paths);
    } catch (...) {
        return report(false);
    }
    if (paths.empty())
        return report(false);

    bool failed = false, sized = true;
    TransferContext context;
    try {
        ui::ProgressDialogParams params;
        params.module = module::instance();
        params.kind = ui::progressKind(isMove ? ui::MoveSingle : ui::CopySingle, paths.size());
        params.icon = ui::IconHandle::fromResource(module::instance(), IDI_DOCUMENT);
        params.ownerWindow = owner;
        params.cancelSink = folder.cancelSink();
        params.title = isMove ? L"Moving..." : L"Copying...";
        params.line1 = L"Calculating source size";
        std::shared_ptr<ui::ProgressDialogHost> progress = ui::ProgressDialogHost::create(params);
        ui::ProgressDialog* dialog = progress->dialog();
        const HWND window = progress->window();

        std::uint64_t totalBytes = 0, totalItems = 0;
        for (const std::wstring& path : paths) {
            if (!calculateSourceSize(path, totalBytes, totalItems)) {
                sized = false;
                break;
            }
        }
        if (!sized) {
            const std::wstring text =
                std::wstring(
                    L"Unable to calculate source size.\nProbably the objects you try to ") +
                (isMove ? L"move" : L"copy") +
                L" into storage are not file system objects or an access is denied due to "
                L"security reasons.";
            MessageBoxW(window, text.c_str(), kMessageCaption, MB_ICONHAND);
        } else {
            if (dialog) {
                dialog->SetLine1(L"Start transferring");
                const std::wstring header = params.title + L" " + std::to_wstring(totalItems) +
                                            (totalItems == 1 ? L" item (" : L" items (") +
                                            formatByteSize(totalBytes, 2) + L")";
                dialog->SetHeader(header.c_str());
                dialog->SetRange(0, static_cast<std::int64_t>(totalBytes + totalItems));
            }
            context.window = window;
            context.isMove = isMove;
            context.conflictKey = newConflictKey();
            context.totalBytes = totalBytes;
            context.totalItems = totalItems;
            context.dialog = dialog;
            context.cancelSink = folder.cancelSink();
            ComPtr<IStorageFolder> destination = folder.folderHere();

            for (const std::wstring& path : paths) {
                const DWORD attributes = GetFileAttributesW(path.c_str());
                HRESULT hr = STG_E_FILENOTFOUND;
                const bool isFolder = attributes != INVALID_FILE_ATTRIBUTES &&
                                      (attributes & FILE_ATTRIBUTE_DIRECTORY);
                if (attributes != INVALID_FILE_ATTRIBUTES)
                    hr = isFolder ? importFolder(context, destination.Get(), path)
                                  : importFile(context, destination.Get(), path);
                if (FAILED(hr)) {
                    const std::wstring prefix = std::wstring(L"Unable to ") +
                                                (isMove ? L"move '" : L"copy '") + path + L"'";
                    server::showError(window, static_cast<DWORD>(hr), prefix.c_str());
                    failed = true;
                    break;
                }
                if (hr == S_OK)
                    notifyImported(folder, destination.Get(), path, ChangeKind::Created);
                else if (hr == kReplacedOrKept && !isFolder)
                    notifyImported(folder, destination.Get(), path, ChangeKind::Updated);
            }
        }
        progress.reset();
    } catch (...) {
        server::showCurrentException(owner, L"Unable to complete operation");
        failed = true;
    }
    // The operation's remembered answer is of no use to any later one.
    if (!context.conflictKey.empty())
        SHDeleteValueW(HKEY_CURRENT_USER, kRememberedAnswers, context.conflictKey.c_str());
    folder.refreshView();

    const bool succeeded = sized && !failed && !(isMove && context.incomplete);
    if (succeeded) {
        setDataObjectDword(data, DwordFormat::PerformedDropEffect, performed);
        setDataObjectDword(data, DwordFormat::PasteSucceeded, performed);
    }
    return report(succeeded);
}

} // namespace cfx::transfer
