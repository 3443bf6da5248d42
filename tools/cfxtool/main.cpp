// cfxtool.exe: a command-line client of the storage server. It reaches the
// server through COM only, as the shell extension does, and unlocks storages
// with the current user's certificates or a key file.
#include "Certificates.h"
#include "Console.h"
#include "PropertyText.h"
#include "StorageSession.h"
#include "ToolError.h"
#include "Transfer.h"

#include "common/ErrorObjectHook.h"

#include "StoreError.h"
#include "common/Base64.h"

#include <objbase.h>

#include <optional>
#include <string>
#include <vector>

namespace cfx::tool {

using store::quoted;

namespace {

const wchar_t kUsage[] = LR"(Usage: cfxtool <command> <storage> [arguments] [options]

Storages:
  create <storage> --pfx <file> [--password <p>]
                              make a storage for the certificate of a key file
  create <storage> --key-id <base64> | --subject <text>
                              ... or for one of the current user's "MY" store
  install <pfx file> [--password <p>]
                              add a key file's certificates and keys to "MY"
  attach <storage> <pfx file> keep a key file inside the storage
  freeze <storage>            freeze the storage (its contents are refused)
  unfreeze <storage>          thaw it
  state <storage>             show the server's state of it and Frozen
  defrag <storage>            rewrite the storage compactly

Contents (unlocked with the key first):
  list <storage> [<folder>] [-r]        list items (-r: everything below)
  put <storage> <local file or folder> [<folder>]
                                        copy in, with checksums
  get <storage> <path> [<local path>]   copy out
  mkdir <storage> <path>                make folders
  rename <storage> <path> <new name>
  remove <storage> <path>               delete a file or a folder tree
  props <storage> [<path>]              show every property of an item
  check <storage> [<path>]              compare files with their checksums
  corrupt <storage> <path>              damage a file behind its checksum

Options:
  --pfx <file> [--password <p>]  unlock with this key file instead of the
                                 current user's "MY" store
  -r, --recursive
  --                             only arguments follow

Paths inside a storage are separated by "\" or "/"; "" or "\" is the root.
Exit codes: 0 success, 1 failure, 2 bad usage, 3 storage server unavailable,
4 no key for the storage or access denied.
)";

enum Option : unsigned {
    kPfx = 1,
    kPassword = 2,
    kKeyId = 4,
    kSubject = 8,
    kRecursive = 16,
};

struct Arguments {
    std::wstring command;
    std::vector<std::wstring> values; // after the command
    std::optional<std::wstring> pfx, password, keyId, subject;
    bool recursive = false;
    unsigned given = 0;

    const std::wstring& at(size_t index) const { return values.at(index); }
    std::wstring optional(size_t index) const {
        return index < values.size() ? values[index] : std::wstring();
    }
    KeySource key() const { return KeySource{pfx.value_or(std::wstring()), password}; }
};

Arguments parse(int argc, wchar_t** argv) {
    Arguments args;
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        auto value = [&](std::optional<std::wstring>& into, unsigned option) {
            if (i + 1 >= argc)
                throw UsageError(arg + L" needs a value");
            into = argv[++i];
            args.given |= option;
        };
        if (optionsEnd || arg.size() < 2 || arg[0] != L'-')
            (args.command.empty() ? args.command : args.values.emplace_back()) = arg;
        else if (arg == L"--")
            optionsEnd = true;
        else if (arg == L"--pfx")
            value(args.pfx, kPfx);
        else if (arg == L"--password")
            value(args.password, kPassword);
        else if (arg == L"--key-id")
            value(args.keyId, kKeyId);
        else if (arg == L"--subject")
            value(args.subject, kSubject);
        else if (arg == L"-r" || arg == L"--recursive")
            args.recursive = true, args.given |= kRecursive;
        else
            throw UsageError(L"unknown option " + arg);
    }
    return args;
}

std::wstring bytesText(ULONGLONG bytes) {
    return std::to_wstring(bytes) + (bytes == 1 ? L" byte" : L" bytes");
}

std::wstring countText(ULONGLONG count, const wchar_t* one, const wchar_t* many) {
    return std::to_wstring(count) + L" " + (count == 1 ? one : many);
}

// A session with the storage open and, for commands on its contents, unlocked.
struct Opened {
    StorageSession session;
    Opened(const Arguments& args, bool unlock) {
        session.open(args.at(0));
        if (unlock)
            session.unlock(args.key());
    }
};

// ---- storages --------------------------------------------------------------

int create(const Arguments& args) {
    unsigned sources = args.given & (kPfx | kKeyId | kSubject);
    if (sources != kPfx && sources != kKeyId && sources != kSubject)
        throw UsageError(L"create takes one of --pfx, --key-id and --subject");
    CertificateStore store;
    Certificate certificate;
    if (args.pfx) {
        store = importPfx(*args.pfx, args.password, PKCS12_NO_PERSIST_KEY);
        certificate = certificateWithKey(store.get(), *args.pfx);
    } else {
        store = openMyStore();
        certificate = args.keyId ? findByKeyId(store.get(), *args.keyId)
                                 : findBySubject(store.get(), *args.subject);
    }
    StorageSession session;
    std::wstring path = fullPath(args.at(0));
    ComPtr<IStorageObject> storage;
    check(session.server()->CreateStorage(makeBstr(path).get(), certificate.get()->cbCertEncoded,
                                          certificate.get()->pbCertEncoded, &storage),
          L"making " + quoted(path));
    out(L"made " + quoted(path) + L" for " + quoted(subjectOf(certificate.get())) + L" (key id " +
        keyIdOf(certificate.get()) + L")\n");
    return kExitSuccess;
}

int install(const Arguments& args) {
    for (const auto& certificate : installPfx(args.at(0), args.password))
        out(L"installed " + quoted(subjectOf(certificate.get())) + L" (key id " +
            keyIdOf(certificate.get()) + L")\n");
    return kExitSuccess;
}

int attach(const Arguments& args) {
    std::vector<BYTE> bytes = readFileBytes(args.at(1));
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(bytes.size()), bytes.data()};
    if (!PFXIsPFXBlob(&blob))
        fail(L"attaching " + quoted(args.at(1)), CRYPT_E_BAD_ENCODE,
             L"The file is not a PKCS#12 (.pfx) key file.");
    Opened opened(args, false);
    IStorageObject* storage = opened.session.storage();
    const std::wstring action = L"attaching a key to " + opened.session.shownStorage();
    setProperty(storage, StorageProperty_AttachedKey, Variant(toBase64(bytes)), action);
    Variant flags;
    getProperty(storage, StorageProperty_Flags, flags, action);
    ULONGLONG value = 0;
    if (flags.get().vt != VT_EMPTY) {
        Variant number;
        check(VariantChangeType(number.put(), const_cast<VARIANT*>(&flags.get()), 0, VT_UI8),
              action);
        value = number.get().ullVal;
    }
    setProperty(storage, StorageProperty_Flags, Variant(ULONGLONG{value | 1}), action);
    out(L"attached " + quoted(args.at(1)) + L" (" + bytesText(bytes.size()) + L") to " +
        opened.session.shownStorage() + L"\n");
    return kExitSuccess;
}

int freeze(const Arguments& args) {
    Opened opened(args, false);
    StorageSession& session = opened.session;
    setProperty(session.storage(), StorageProperty_Frozen, Variant(true),
                L"freezing " + session.shownStorage());
    // The server releases the file and keeps it closed.
    session.close();
    check(session.server()->ReleaseStorage(makeBstr(session.path()).get()),
          L"releasing " + session.shownStorage());
    check(session.server()->SetStorageFrozen(makeBstr(session.path()).get(), 1),
          L"freezing " + session.shownStorage());
    out(L"frozen " + session.shownStorage() + L"\n");
    return kExitSuccess;
}

int unfreeze(const Arguments& args) {
    StorageSession session;
    std::wstring path = fullPath(args.at(0));
    const std::wstring action = L"thawing " + quoted(path);
    // A storage the server holds frozen must be let go before it opens.
    LONG state = StorageStateUnknown;
    check(session.server()->GetStorageState(makeBstr(path).get(), &state), action);
    if (state == StorageStateFrozen)
        check(session.server()->SetStorageFrozen(makeBstr(path).get(), 0), action);
    session.open(path);
    setProperty(session.storage(), StorageProperty_Frozen, Variant(false), action);
    if (state != StorageStateFrozen)
        check(session.server()->SetStorageFrozen(makeBstr(path).get(), 0), action);
    out(L"thawed " + session.shownStorage() + L"\n");
    return kExitSuccess;
}

int state(const Arguments& args) {
    StorageSession session;
    std::wstring path = fullPath(args.at(0));
    LONG state = StorageStateUnknown;
    check(session.server()->GetStorageState(makeBstr(path).get(), &state),
          L"reading the state of " + quoted(path));
    const wchar_t* names[] = {L"frozen", L"open", L"unknown"};
    out(L"state: " + std::to_wstring(state) + L" (" +
        (state >= 0 && state <= 2 ? names[state] : L"?") + L")\n");
    // Opening a storage the server holds frozen would undo the hold.
    if (state == StorageStateFrozen) {
        out(L"frozen: true\n");
        return kExitSuccess;
    }
    session.open(path);
    Variant frozen;
    getProperty(session.storage(), StorageProperty_Frozen, frozen,
                L"reading Frozen of " + session.shownStorage());
    bool isFrozen = frozen.get().vt == VT_BOOL && frozen.get().boolVal != VARIANT_FALSE;
    out(std::wstring(L"frozen: ") + (isFrozen ? L"true" : L"false") + L"\n");
    // A storage the server had no state for is left closed, as it was found.
    if (state == StorageStateUnknown) {
        session.close();
        check(session.server()->ReleaseStorage(makeBstr(path).get()),
              L"releasing " + session.shownStorage());
    }
    return kExitSuccess;
}

ULONGLONG localSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (ULONGLONG{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

int defrag(const Arguments& args) {
    StorageSession session;
    std::wstring path = fullPath(args.at(0));
    ULONGLONG before = localSize(path);
    check(session.server()->DefragmentStorage(makeBstr(path).get()),
          L"defragmenting " + quoted(path));
    out(L"defragmented " + quoted(path) + L": " + bytesText(before) + L" before, " +
        bytesText(localSize(path)) + L" after\n");
    return kExitSuccess;
}

// ---- contents --------------------------------------------------------------

void printEntry(const std::wstring& path, LONG type, ULONGLONG size, const ItemTimes& times) {
    out(padRight(type == StorageItemFolder ? L"folder" : L"file", 6) + L" " +
        padLeft(std::to_wstring(size), 14) + L"  " + timeText(times.write) + L"  " + path + L"\n");
}

int list(const Arguments& args) {
    Opened opened(args, true);
    std::wstring path = normalItemPath(args.optional(1));
    ComPtr<IStorageObject> item = opened.session.item(path);
    ComPtr<IStorageFolder> folder;
    if (SUCCEEDED(item.As(&folder))) {
        const size_t below = path.empty() ? 0 : path.size() + 1;
        forEachItem(folder.Get(), path, args.recursive,
                    [&](IStorageFolder*, const ChildInfo& child, const std::wstring& childPath) {
                        printEntry(childPath.substr(below), child.type, child.size, child.times);
                    });
        return kExitSuccess;
    }
    const std::wstring action = L"reading " + quoted(path);
    LONG type = 0;
    ULONGLONG size = 0;
    ItemTimes times{};
    check(item->GetType(&type), action);
    check(item->GetSize(&size), action);
    check(item->GetTimes(&times), action);
    printEntry(path, type, size, times);
    return kExitSuccess;
}

int put(const Arguments& args) {
    Opened opened(args, true);
    TransferCount count = putItem(opened.session, args.at(1), args.optional(2));
    check(opened.session.server()->CommitStorage(makeBstr(opened.session.path()).get()),
          L"committing " + opened.session.shownStorage());
    out(L"copied " + countText(count.files, L"file", L"files") + L" (" + bytesText(count.bytes) +
        L") and " + countText(count.folders, L"folder", L"folders") + L" in\n");
    return kExitSuccess;
}

int get(const Arguments& args) {
    Opened opened(args, true);
    TransferCount count = getItem(opened.session, args.at(1), args.optional(2));
    out(L"copied " + countText(count.files, L"file", L"files") + L" (" + bytesText(count.bytes) +
        L") and " + countText(count.folders, L"folder", L"folders") + L" out\n");
    return kExitSuccess;
}

int mkdir(const Arguments& args) {
    Opened opened(args, true);
    std::wstring path = normalItemPath(args.at(1));
    if (path.empty())
        throw UsageError(L"mkdir needs the path of a folder to make");
    opened.session.folder(path, true);
    out(L"made folder " + quoted(path) + L"\n");
    return kExitSuccess;
}

int rename(const Arguments& args) {
    Opened opened(args, true);
    auto [folder, name] = opened.session.parentOf(args.at(1));
    std::wstring path = normalItemPath(args.at(1));
    check(folder->RenameItem(makeBstr(name).get(), makeBstr(args.at(2)).get()),
          L"renaming " + quoted(path) + L" to " + quoted(args.at(2)));
    out(L"renamed " + quoted(path) + L" to " + quoted(args.at(2)) + L"\n");
    return kExitSuccess;
}

int remove(const Arguments& args) {
    Opened opened(args, true);
    auto [folder, name] = opened.session.parentOf(args.at(1));
    std::wstring path = normalItemPath(args.at(1));
    check(folder->DeleteItem(makeBstr(name).get()), L"deleting " + quoted(path));
    out(L"deleted " + quoted(path) + L"\n");
    return kExitSuccess;
}

// Flips the bits of a file's first byte through its stream and leaves its
// stored checksum alone: a file damaged behind its checksum, for integrity
// checks to find.
int corrupt(const Arguments& args) {
    Opened opened(args, true);
    auto [folder, name] = opened.session.parentOf(args.at(1));
    const std::wstring path = normalItemPath(args.at(1));
    const std::wstring action = L"corrupting " + quoted(path);
    ComPtr<IStorageFile> file = openFile(folder.Get(), name, path, false);
    ComPtr<IStream> stream;
    check(file->OpenStream(&stream), action);
    BYTE first = 0;
    ULONG done = 0;
    check(stream->Read(&first, 1, &done), action);
    if (done != 1)
        fail(action, E_INVALIDARG, L"An empty file has no contents to damage.");
    first = static_cast<BYTE>(~first);
    check(stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr), action);
    check(stream->Write(&first, 1, &done), action);
    out(L"corrupted " + quoted(path) + L"\n");
    return kExitSuccess;
}

int props(const Arguments& args) {
    std::wstring path = normalItemPath(args.optional(1));
    Opened opened(args, false);
    // The storage object's own properties answer while it is locked; with
    // the key, its root folder's properties show too. A key file named on
    // the command line is meant to work, so its failures show.
    if (!path.empty() || args.pfx) {
        opened.session.unlock(args.key());
    } else {
        try {
            opened.session.unlock(args.key());
        } catch (const ToolError& e) {
            if (e.exitCode() != kExitKeyUnavailable)
                throw;
        }
    }
    ComPtr<IStorageObject> item = opened.session.item(path);
    const std::wstring action = L"reading the properties of " +
                                (path.empty() ? opened.session.shownStorage() : quoted(path));
    ULONG count = 0;
    GUID* ids = nullptr;
    check(item->ListProperties(&count, &ids), action);
    TaskMemory holder(ids);
    for (ULONG i = 0; i < count; ++i) {
        Variant value;
        getProperty(item.Get(), ids[i], value, action);
        out(padRight(propertyName(ids[i]), 12) + L" " + padRight(typeName(value.get().vt), 8) +
            L" " + valueText(ids[i], value.get()) + L"\n");
    }
    return kExitSuccess;
}

struct CheckCount {
    ULONGLONG ok = 0, mismatched = 0, missing = 0;
};

void checkFile(IStorageFile* file, const std::wstring& path, CheckCount& count) {
    BYTE checksum[16] = {};
    check(file->ComputeChecksum(checksum), L"computing the checksum of " + quoted(path));
    Variant stored;
    getProperty(file, StorageProperty_Checksum, stored, L"reading the checksum of " + quoted(path));
    if (stored.get().vt == VT_EMPTY) {
        out(L"NO CHECKSUM  " + path + L"\n");
        count.missing += 1;
    } else if (CompareStringOrdinal(stored.text().c_str(), -1, checksumText(checksum).c_str(), -1,
                                    TRUE) == CSTR_EQUAL) {
        out(L"OK           " + path + L"\n");
        count.ok += 1;
    } else {
        out(L"MISMATCH     " + path + L"\n");
        count.mismatched += 1;
    }
}

int checkCommand(const Arguments& args) {
    Opened opened(args, true);
    std::wstring path = normalItemPath(args.optional(1));
    ComPtr<IStorageObject> item = opened.session.item(path);
    CheckCount count;
    ComPtr<IStorageFile> file;
    ComPtr<IStorageFolder> folder;
    if (SUCCEEDED(item.As(&file))) {
        checkFile(file.Get(), path, count);
    } else {
        check(item.As(&folder), L"opening " + quoted(path));
        forEachItem(folder.Get(), path, true,
                    [&](IStorageFolder* parent, const ChildInfo& child, const std::wstring& at) {
                        if (child.type == StorageItemFile)
                            checkFile(openFile(parent, child.name, at, false).Get(), at, count);
                    });
    }
    out(countText(count.ok + count.mismatched + count.missing, L"file", L"files") + L": " +
        std::to_wstring(count.ok) + L" OK, " + std::to_wstring(count.mismatched) +
        L" mismatched, " + std::to_wstring(count.missing) + L" without checksum\n");
    return count.mismatched ? kExitFailed : kExitSuccess;
}

// ---- dispatch --------------------------------------------------------------

struct Command {
    const wchar_t* name;
    size_t least, most; // arguments after the command
    unsigned options;
    int (*run)(const Arguments&);
    const wchar_t* synopsis;
};

constexpr unsigned kKeyFile = kPfx | kPassword;

const Command kCommands[] = {
    {L"create", 1, 1, kPfx | kPassword | kKeyId | kSubject, create,
     L"create <storage> (--pfx <file> [--password <p>] | --key-id <base64> | --subject <text>)"},
    {L"install", 1, 1, kPassword, install, L"install <pfx file> [--password <p>]"},
    {L"attach", 2, 2, 0, attach, L"attach <storage> <pfx file>"},
    {L"freeze", 1, 1, 0, freeze, L"freeze <storage>"},
    {L"unfreeze", 1, 1, 0, unfreeze, L"unfreeze <storage>"},
    {L"state", 1, 1, 0, state, L"state <storage>"},
    {L"defrag", 1, 1, 0, defrag, L"defrag <storage>"},
    {L"list", 1, 2, kKeyFile | kRecursive, list, L"list <storage> [<folder>] [-r]"},
    {L"put", 2, 3, kKeyFile, put, L"put <storage> <local file or folder> [<folder>]"},
    {L"get", 2, 3, kKeyFile, get, L"get <storage> <path> [<local path>]"},
    {L"mkdir", 2, 2, kKeyFile, mkdir, L"mkdir <storage> <path>"},
    {L"rename", 3, 3, kKeyFile, rename, L"rename <storage> <path> <new name>"},
    {L"remove", 2, 2, kKeyFile, remove, L"remove <storage> <path>"},
    {L"props", 1, 2, kKeyFile, props, L"props <storage> [<path>]"},
    {L"corrupt", 2, 2, kKeyFile, corrupt, L"corrupt <storage> <path>"},
    {L"check", 1, 2, kKeyFile, checkCommand, L"check <storage> [<path>]"},
};

int run(const Arguments& args) {
    for (const auto& command : kCommands) {
        if (args.command != command.name)
            continue;
        if (args.values.size() < command.least || args.values.size() > command.most)
            throw UsageError(std::wstring(L"usage: cfxtool ") + command.synopsis);
        if (args.given & ~command.options)
            throw UsageError(std::wstring(L"an option does not apply; usage: cfxtool ") +
                             command.synopsis);
        if ((args.given & kPassword) && !(args.given & kPfx) && args.command != L"install")
            throw UsageError(L"--password goes with --pfx");
        return command.run(args);
    }
    throw UsageError(L"unknown command " + quoted(args.command));
}

// COM for the thread, apartment-threaded as the shell's threads are.
class ComScope {
public:
    ComScope() : hr_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {
        if (FAILED(hr_))
            fail(L"starting COM", hr_);
    }
    ~ComScope() { CoUninitialize(); }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    HRESULT hr_;
};

} // namespace

} // namespace cfx::tool

int wmain(int argc, wchar_t** argv) {
    using namespace cfx::tool;
    try {
        Arguments args = parse(argc, argv);
        if (args.command.empty() || args.command == L"help" || args.command == L"-h" ||
            args.command == L"/?") {
            out(kUsage);
            return args.command.empty() ? kExitUsage : kExitSuccess;
        }
        ComScope com;
        // Under Wine, error objects cross from the server only through this hook.
        cfx::carryErrorObjectsUnderWine();
        return run(args);
    } catch (const UsageError& e) {
        err(L"cfxtool: " + e.message() + L"\nRun \"cfxtool help\" for the usage.\n");
        return kExitUsage;
    } catch (const ToolError& e) {
        err(L"cfxtool: " + e.action() + L": " + e.description() + L" (" + hexCode(e.hr()) + L")\n");
        return e.exitCode();
    } catch (...) {
        std::wstring description;
        HRESULT hr = cfx::store::describeCurrentException(description);
        err(L"cfxtool: " + description + L" (" + hexCode(hr) + L")\n");
        return kExitFailed;
    }
}
