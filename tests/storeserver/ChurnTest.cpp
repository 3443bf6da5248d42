// cfxstore.exe under churn, as Explorer treats it: client processes one after
// the other, many arriving just as the server leaves (three seconds after its
// last client), then several at once. Nothing hangs, every write is there
// afterwards, and the storages check clean.
// And what a storage keeps from anyone who reads its file without the key:
// none of its names, contents, comments or attached key file in the clear
// (UTF-8 or UTF-16) in the container or in any file left in the temporary
// folders, nor any run of the key file's bytes or of its private key. One
// exception, in the container only: the attached key's Base64 text, which the
// header keeps readable for a client without an installed key
// (docs/storage-format.md, sections 2 and 7); its own password protects it.
#include "RemoteStorage.h"
#include "ToolProcess.h"

#include "common/Base64.h"
#include "support/LoadedLibrary.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>

namespace cfx::store::test {
namespace {

// A healthy client takes a second or two, most of it Wine starting a server.
constexpr DWORD kClientLimitMs = 60000;
constexpr int kClientsInARow = 100;
constexpr int kClientsAtOnce = 8;

class ServerChurn : public testing::Test {
protected:
    std::wstring newStorage(const std::wstring& name) {
        createStorage(connectServer().Get(), scratch_.file(name));
        return scratch_.file(name);
    }

    // A client that copies file number n into the storage's folder "In".
    std::unique_ptr<ToolProcess> put(const std::wstring& storage, int n) {
        const std::wstring local = scratch_.file(std::to_wstring(n) + L".bin");
        putFileBytes(local, patternBytes(1000 + n, static_cast<unsigned>(n)));
        return std::make_unique<ToolProcess>(L"put " + quotedArgument(storage) + L" " +
                                                 quotedArgument(local) + L" In",
                                             scratch_.file(L"out-" + std::to_wstring(n) + L".txt"));
    }

    // Files first..first+count-1 are in the storage with their bytes, and it checks clean.
    void expectFiles(const std::wstring& storage, int first, int count) {
        ComPtr<IStorageServer> server = connectServer();
        ComPtr<IStorageFolder> root = openStorage(server.Get(), storage);
        unlock(root.Get());
        ComPtr<IStorageFolder> inside = folder(root.Get(), L"In", false);
        EXPECT_EQ(static_cast<size_t>(count), listNames(inside.Get()).size());
        for (int n = first; n < first + count; ++n)
            EXPECT_EQ(patternBytes(1000 + n, static_cast<unsigned>(n)),
                      readFile(file(inside.Get(), std::to_wstring(n) + L".bin", false).Get()))
                << n;
        ToolRun checked =
            runTool(L"check " + quotedArgument(storage), scratch_.file(L"c.txt"), kClientLimitMs);
        EXPECT_TRUE(checked.ended && checked.exitCode == 0) << checked.output;
    }

    ScratchFolder scratch_;
};

TEST_F(ServerChurn, ClientsInARowArrivingAsTheServerLeavesAllWrite) {
    const std::wstring storage = newStorage(L"row.demo-coffrex");
    std::set<DWORD> servers;
    const ULONGLONG start = GetTickCount64();
    for (int n = 0; n < kClientsInARow; ++n) {
        // Every fifth waits about the server's linger, to arrive as it leaves.
        Sleep(n % 5 == 4 ? 2600 + (n / 5 % 4) * 200 : 0);
        ToolRun run = put(storage, n)->finish(GetTickCount64() + kClientLimitMs);
        ASSERT_TRUE(run.ended && run.exitCode == 0) << "client " << n << ": " << run.output;
        for (DWORD server : serverProcesses())
            servers.insert(server);
    }
    std::printf("%d clients in a row took %llu s and met %zu server processes\n", kClientsInARow,
                (GetTickCount64() - start) / 1000, servers.size());
    // The server left and came back; between clients close together, it stayed.
    EXPECT_LT(1u, servers.size());
    EXPECT_GT(static_cast<size_t>(kClientsInARow / 2), servers.size());
    expectFiles(storage, 0, kClientsInARow);
}

TEST_F(ServerChurn, ClientsAtOnceWriteIntoOneStorageAndIntoSeveral) {
    std::vector<std::wstring> storages{newStorage(L"shared.demo-coffrex")};
    for (int n = 0; n < kClientsAtOnce; ++n)
        storages.push_back(newStorage(std::to_wstring(n) + L".demo-coffrex"));
    for (bool together : {true, false}) {
        std::vector<std::unique_ptr<ToolProcess>> clients;
        for (int n = 0; n < kClientsAtOnce; ++n)
            clients.push_back(put(storages[together ? 0 : n + 1], n));
        const ULONGLONG deadline = GetTickCount64() + kClientLimitMs;
        for (auto& client : clients) {
            ToolRun run = client->finish(deadline);
            EXPECT_TRUE(run.ended && run.exitCode == 0) << run.output;
        }
    }
    expectFiles(storages[0], 0, kClientsAtOnce);
    for (int n = 0; n < kClientsAtOnce; ++n)
        expectFiles(storages[n + 1], n, 1);
}

const std::wstring kNames[] = {L"Quarterly budget Zephyr.xlsx", L"Geheimprojekt Xylophon",
                               L"\u041f\u0430\u0440\u043e\u043b\u0438.txt"};
const std::wstring kContent = L"The vault opens with 8675309-ZEBRA-QUASAR at midnight.\n";
const std::wstring kComment = L"Meet agent Marigold by the old mill";

using Secrets = std::vector<std::pair<std::string, std::vector<BYTE>>>;

std::vector<BYTE> utf16(const std::wstring& text) {
    const auto* bytes = reinterpret_cast<const BYTE*>(text.data());
    return {bytes, bytes + text.size() * sizeof(wchar_t)};
}

std::vector<BYTE> utf8(const std::wstring& text) {
    const std::string narrowed = narrow(text);
    return {narrowed.begin(), narrowed.end()};
}

// Every 16-byte run of the bytes, reversed too when asked (a number's bytes
// may be stored the other way round): a chance match is out of the question.
void addRuns(Secrets& secrets, const std::string& what, std::vector<BYTE> bytes, bool reversed) {
    for (int pass = 0; pass < (reversed ? 2 : 1); ++pass, std::reverse(bytes.begin(), bytes.end()))
        for (size_t at = 0; at + 16 <= bytes.size(); at += 16)
            secrets.push_back({what + " bytes " + std::to_string(at) + (pass ? " reversed" : ""),
                               {bytes.begin() + at, bytes.begin() + at + 16}});
}

// The private half of the key file's RSA key as CryptoAPI exports it: what
// follows BLOBHEADER and RSAPUBKEY (20 bytes) and the modulus.
std::vector<BYTE> privateKeyOf(std::vector<BYTE> pfx) {
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), pfx.data()};
    CertificateStore store(PFXImportCertStore(&blob, L"", CRYPT_EXPORTABLE | CRYPT_USER_KEYSET));
    Certificate certificate(store ? CertEnumCertificatesInStore(store.get(), nullptr) : nullptr);
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE provider = 0;
    DWORD keyKind = 0, size = 0;
    BOOL owned = FALSE;
    CryptKey key;
    // The test keys are key-exchange keys; Wine names no usable key kind here.
    EXPECT_TRUE(certificate && CryptAcquireCertificatePrivateKey(certificate.get(), 0, nullptr,
                                                                 &provider, &keyKind, &owned));
    CryptProvider held(owned ? provider : 0);
    EXPECT_TRUE(CryptGetUserKey(provider, AT_KEYEXCHANGE, key.put()) &&
                CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &size));
    std::vector<BYTE> exported(size);
    EXPECT_TRUE(CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, exported.data(), &size));
    const size_t publicEnd = exported.size() > 20
                                 ? 20 + reinterpret_cast<const RSAPUBKEY*>(&exported[8])->bitlen / 8
                                 : 0;
    EXPECT_LT(publicEnd, exported.size()) << "the key file's private key: " << GetLastError();
    return {exported.begin() + std::min(publicEnd, exported.size()), exported.end()};
}

void collectFiles(const std::wstring& folder, std::vector<std::wstring>& files) {
    WIN32_FIND_DATAW found;
    FindHandle search(FindFirstFileW((folder + L"\\*").c_str(), &found));
    for (bool more = bool(search); more; more = FindNextFileW(search.get(), &found)) {
        const std::wstring name = found.cFileName, path = folder + L"\\" + name;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            files.push_back(path);
        else if (name != L"." && name != L"..")
            collectFiles(path, files);
    }
}

TEST(StorageSecrecy, NoNameContentCommentOrKeyInTheClearInTheFileOrInTemporaryFiles) {
    ScratchFolder scratch;
    const std::wstring path = scratch.file(L"secrets.demo-coffrex");
    const std::wstring keyFile = cfx::test::programFolder() + L"testkeys\\first.pfx";
    const std::vector<BYTE> pfx = fileBytes(keyFile);
    std::wstring content;
    for (int i = 0; i < 300; ++i)
        content += kContent;
    Secrets secrets;
    for (const std::wstring& text :
         {kNames[0], kNames[1], kNames[2], kContent, kComment, toBase64(utf16(kComment))}) {
        secrets.push_back({narrow(text) + " (UTF-16)", utf16(text)});
        secrets.push_back({narrow(text) + " (UTF-8)", utf8(text)});
    }
    addRuns(secrets, "key file", pfx, false);
    addRuns(secrets, "private key", privateKeyOf(pfx), true);
    Secrets outsideTheHeader = secrets;
    addRuns(outsideTheHeader, "key file as sent (UTF-16)", utf16(toBase64(pfx)), false);
    addRuns(outsideTheHeader, "key file as sent (UTF-8)", utf8(toBase64(pfx)), false);
    // As the library sends a comment: Base64 text (of text it has enciphered).
    const Variant comment(toBase64(utf16(kComment)));
    {
        ComPtr<IStorageServer> server = connectServer();
        ComPtr<IStorageFolder> inside =
            folder(createStorage(server.Get(), path).Get(), kNames[1], true);
        check(inside->SetProperty(StorageProperty_Comment, comment.get()));
        for (const std::wstring& name : {kNames[0], kNames[2]}) {
            ComPtr<IStorageFile> made = file(inside.Get(), name, true);
            writeFile(made.Get(), utf8(content));
            check(made->SetProperty(StorageProperty_Comment, comment.get()));
        }
    }
    ToolRun attached = runTool(L"attach " + quotedArgument(path) + L" " + quotedArgument(keyFile),
                               scratch.file(L"attach.txt"), 60000);
    ASSERT_TRUE(attached.ended && attached.exitCode == 0) << attached.output;
    {
        ComPtr<IStorageServer> server = connectServer();
        ComPtr<IStorageFolder> root = openStorage(server.Get(), path);
        unlock(root.Get());
        EXPECT_EQ(toBase64(pfx), textProperty(root.Get(), StorageProperty_AttachedKey));
        ComPtr<IStorageFolder> inside = folder(root.Get(), kNames[1], false);
        EXPECT_EQ(comment.text(), textProperty(inside.Get(), StorageProperty_Comment));
        EXPECT_EQ(utf8(content), readFile(file(inside.Get(), kNames[2], false).Get()));
        check(server->ReleaseStorage(bstr(path).get()));
    }
    // Nothing of it in the clear once the server has let go of everything.
    ASSERT_TRUE(waitForServerExit());
    wchar_t user[MAX_PATH], windows[MAX_PATH];
    std::vector<std::wstring> files;
    collectFiles(std::wstring(user, GetTempPathW(MAX_PATH, user) - 1), files);
    collectFiles(std::wstring(windows, GetWindowsDirectoryW(windows, MAX_PATH)) + L"\\Temp", files);
    ASSERT_NE(files.end(), std::find(files.begin(), files.end(), path)) << "the container";
    files.push_back(keyFile); // the search finds what is there
    for (const std::wstring& scanned : files) {
        const std::vector<BYTE> bytes = fileBytes(scanned);
        std::vector<std::string> found;
        for (const auto& [what, secret] : scanned == path ? secrets : outsideTheHeader)
            if (std::search(bytes.begin(), bytes.end(),
                            std::boyer_moore_horspool_searcher(secret.begin(), secret.end())) !=
                bytes.end())
                found.push_back(what);
        EXPECT_EQ(scanned != keyFile, found.empty())
            << narrow(scanned) << " holds " << found.size() << " in the clear, the first "
            << (found.empty() ? "" : found[0]);
    }
}

} // namespace
} // namespace cfx::store::test
