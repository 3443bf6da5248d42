// What a storage keeps from anyone who reads its file without the key: once
// it holds known names, contents, comments and an attached key file, none of
// them appears in the clear (as UTF-8 or UTF-16) in the container or in any
// file the server left in the temporary folders, and neither does any run of
// the key file's bytes or of its private key; nor does a name renamed away,
// or bytes written over others.
//
// The attached key's Base64 text is the one exception, in the container only:
// the header keeps it readable while the storage is locked, because a client
// without an installed key unlocks with it (docs/storage-format.md, sections
// 2 and 7). The key file's own password is what protects it there.
#include "RemoteStorage.h"
#include "ToolProcess.h"

#include "common/Base64.h"
#include "common/Handles.h"

#include "support/LoadedLibrary.h"

#include <wincrypt.h>

#include <algorithm>
#include <functional>

namespace cfx::store::test {
namespace {

const std::wstring kNames[] = {L"Quarterly budget Zephyr.xlsx", L"Geheimprojekt Xylophon",
                               L"\u041f\u0430\u0440\u043e\u043b\u0438 \u0438 \u043a\u043b\u044e"
                               L"\u0447\u0438.txt"};
const std::wstring kContent = L"The vault opens with 8675309-ZEBRA-QUASAR at midnight.\n";
const std::wstring kComment = L"Meet agent Marigold by the old mill";
// A name renamed away and bytes written over others leave nothing either.
const std::wstring kOldName = L"Draft Tangerine plan.txt";
const std::wstring kRewrite = L"Rewritten in place: HELIOTROPE 4f1c9a";

struct Secret {
    std::string what;
    std::vector<BYTE> bytes;
};

std::vector<BYTE> utf16(const std::wstring& text) {
    const auto* bytes = reinterpret_cast<const BYTE*>(text.data());
    return {bytes, bytes + text.size() * sizeof(wchar_t)};
}

std::vector<BYTE> utf8(const std::wstring& text) {
    const std::string narrowed = narrow(text);
    return {narrowed.begin(), narrowed.end()};
}

void addText(std::vector<Secret>& secrets, const std::string& what, const std::wstring& text) {
    secrets.push_back({what + " (UTF-16)", utf16(text)});
    secrets.push_back({what + " (UTF-8)", utf8(text)});
}

// Every 16-byte run of the bytes (and of them reversed, as a number's bytes
// may be stored the other way round): a chance match is out of the question.
void addRuns(std::vector<Secret>& secrets, const std::string& what, std::vector<BYTE> bytes,
             bool reversedToo) {
    constexpr size_t kRun = 16;
    for (int pass = 0; pass < (reversedToo ? 2 : 1); ++pass) {
        for (size_t at = 0; at + kRun <= bytes.size(); at += kRun)
            secrets.push_back({what + " bytes " + std::to_string(at) + (pass ? " reversed" : ""),
                               {bytes.begin() + at, bytes.begin() + at + kRun}});
        std::reverse(bytes.begin(), bytes.end());
    }
}

// The private half of the key file's RSA key, as CryptoAPI exports it:
// primes, exponents, coefficient and private exponent.
std::vector<BYTE> privateKeyOf(std::vector<BYTE> pfx) {
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), pfx.data()};
    CertificateStore store(PFXImportCertStore(&blob, L"", CRYPT_EXPORTABLE | CRYPT_USER_KEYSET));
    Certificate certificate(store ? CertEnumCertificatesInStore(store.get(), nullptr) : nullptr);
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE provider = 0;
    DWORD spec = 0, size = 0;
    BOOL owned = FALSE;
    CryptProvider held;
    CryptKey key;
    std::vector<BYTE> exported;
    // The test keys are key-exchange keys; Wine names no usable key spec here.
    if (certificate && CryptAcquireCertificatePrivateKey(certificate.get(), 0, nullptr, &provider,
                                                         &spec, &owned)) {
        if (owned)
            held.reset(provider);
        if (CryptGetUserKey(provider, AT_KEYEXCHANGE, key.put()) &&
            CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &size)) {
            exported.resize(size);
            if (!CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, exported.data(), &size))
                exported.clear();
        }
    }
    constexpr size_t kHeader = sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
    const size_t publicEnd = std::min(
        exported.size(),
        exported.size() > kHeader
            ? kHeader +
                  reinterpret_cast<const RSAPUBKEY*>(&exported[sizeof(BLOBHEADER)])->bitlen / 8
            : 0);
    EXPECT_LT(publicEnd, exported.size()) << "the key file's private key: " << GetLastError();
    return {exported.begin() + static_cast<ptrdiff_t>(publicEnd), exported.end()};
}

void collectFiles(const std::wstring& folder, std::vector<std::wstring>& files) {
    WIN32_FIND_DATAW found;
    FindHandle search(FindFirstFileW((folder + L"\\*").c_str(), &found));
    for (bool more = bool(search); more; more = FindNextFileW(search.get(), &found)) {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            collectFiles(folder + L"\\" + name, files);
        else
            files.push_back(folder + L"\\" + name);
    }
}

// The secrets found in a file.
std::vector<std::string> secretsIn(const std::vector<BYTE>& bytes,
                                   const std::vector<Secret>& secrets) {
    std::vector<std::string> found;
    for (const Secret& secret : secrets) {
        std::boyer_moore_horspool_searcher searcher(secret.bytes.begin(), secret.bytes.end());
        if (std::search(bytes.begin(), bytes.end(), searcher) != bytes.end())
            found.push_back(secret.what);
    }
    return found;
}

// Every file in the user's and the system's temporary folders.
std::vector<std::wstring> temporaryFiles() {
    wchar_t user[MAX_PATH], windows[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, user);
    GetWindowsDirectoryW(windows, MAX_PATH);
    std::vector<std::wstring> files;
    collectFiles(std::wstring(user, length && user[length - 1] == L'\\' ? length - 1 : length),
                 files);
    collectFiles(std::wstring(windows) + L"\\Temp", files);
    return files;
}

void setComment(IStorageObject* item, const std::wstring& comment) {
    // As the library sends a comment: Base64 text (of text it has enciphered).
    const Variant value(toBase64(utf16(comment)));
    check(item->SetProperty(StorageProperty_Comment, value.get()));
}

TEST(StorageSecrecy, NoNameContentCommentOrKeyInTheClearInTheFileOrInTemporaryFiles) {
    ScratchFolder scratch;
    const std::wstring path = scratch.file(L"secrets.demo-coffrex");
    const std::wstring keyFile = cfx::test::programFolder() + L"testkeys\\first.pfx";
    const std::vector<BYTE> pfx = fileBytes(keyFile);
    std::wstring content;
    for (int i = 0; i < 300; ++i)
        content += kContent;

    std::vector<Secret> secrets;
    for (const std::wstring& name : kNames)
        addText(secrets, "name " + narrow(name), name);
    addText(secrets, "content", kContent);
    addText(secrets, "comment", kComment);
    addText(secrets, "comment as sent", toBase64(utf16(kComment)));
    addText(secrets, "old name", kOldName);
    addText(secrets, "rewrite", kRewrite);
    addRuns(secrets, "key file", pfx, false);
    addRuns(secrets, "private key", privateKeyOf(pfx), true);
    std::vector<Secret> outsideTheHeader = secrets;
    addRuns(outsideTheHeader, "key file as sent (UTF-16)", utf16(toBase64(pfx)), false);
    addRuns(outsideTheHeader, "key file as sent (UTF-8)", utf8(toBase64(pfx)), false);
    // The search finds what is there.
    ASSERT_FALSE(secretsIn(pfx, secrets).empty());

    {
        ComPtr<IStorageServer> server = connectServer();
        ComPtr<IStorageFolder> root = createStorage(server.Get(), path);
        ComPtr<IStorageFolder> inside = folder(root.Get(), kNames[1], true);
        setComment(inside.Get(), kComment);
        for (const std::wstring& name : {kNames[0], kNames[2]}) {
            ComPtr<IStorageFile> made = file(inside.Get(), name, true);
            writeFile(made.Get(), utf8(content));
            setComment(made.Get(), kComment);
        }
        writeFile(file(inside.Get(), kOldName, true).Get(), utf8(kContent)); // a small one too
        check(inside->RenameItem(bstr(kOldName).get(), bstr(L"renamed.txt").get()));
        ComPtr<IStream> stream;
        check(file(inside.Get(), kNames[0], false)->OpenStream(&stream));
        LARGE_INTEGER at{};
        at.QuadPart = 100;
        const std::vector<BYTE> rewrite = utf8(kRewrite);
        check(stream->Seek(at, STREAM_SEEK_SET, nullptr));
        check(stream->Write(rewrite.data(), static_cast<ULONG>(rewrite.size()), nullptr));
    }
    ToolRun attached = runTool(L"attach " + quotedArgument(path) + L" " + quotedArgument(keyFile),
                               scratch.file(L"attach.txt"), 60000);
    ASSERT_TRUE(attached.ended && attached.exitCode == 0) << attached.output;

    // Everything is in the storage...
    {
        ComPtr<IStorageServer> server = connectServer();
        ComPtr<IStorageFolder> root = openStorage(server.Get(), path);
        unlock(root.Get());
        EXPECT_EQ(toBase64(pfx), textProperty(root.Get(), StorageProperty_AttachedKey));
        ComPtr<IStorageFolder> inside = folder(root.Get(), kNames[1], false);
        EXPECT_EQ(toBase64(utf16(kComment)), textProperty(inside.Get(), StorageProperty_Comment));
        EXPECT_EQ(utf8(content), readFile(file(inside.Get(), kNames[2], false).Get()));
        check(server->ReleaseStorage(bstr(path).get()));
    }
    // ...and nothing of it in the clear, once the server has let go of everything.
    ASSERT_TRUE(waitForServerExit());
    const std::vector<std::wstring> files = temporaryFiles();
    ASSERT_NE(files.end(), std::find(files.begin(), files.end(), path)) << "the container";
    for (const std::wstring& scanned : files) {
        std::vector<std::string> found =
            secretsIn(fileBytes(scanned), scanned == path ? secrets : outsideTheHeader);
        if (!found.empty())
            ADD_FAILURE() << narrow(scanned) << " holds " << found.size()
                          << " secrets in the clear, the first: " << found.front();
    }
}

} // namespace
} // namespace cfx::store::test
