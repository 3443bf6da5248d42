// storage_bench.exe: what moving a 64 MiB file through the storage server
// costs a client in another process, in 4096-byte calls as the library
// makes them, next to the same through an unencrypted compound-file stream
// in process (the floor of the container format), and what one call across
// processes costs by itself. Prints MiB/s and microseconds; not a test.
//
// Then the engine alone in process: the same file through a container, and
// small files stored the way the library stores them, with and without
// flushed commits.
//
// It registers cfxstore.exe (beside the program) in the prefix it runs in.
#include "storeserver/StoreTestSupport.h"

#include "common/ErrorObjectHook.h"
#include "common/Exceptions.h"
#include "common/Handles.h"

#include "common/Base64.h"
#include "BenchClock.h"
#include "BenchSetup.h"

#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include "cfxstorage.h"

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace {

using namespace cfx::bench;

constexpr ULONGLONG kFileSize = 64ull << 20;
constexpr ULONG kBlock = 4096;
constexpr long kCalls = 5000;

std::wstring temporaryFile(const wchar_t* name) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    std::wstring path = std::wstring(folder) + name;
    DeleteFileW(path.c_str());
    return path;
}

void registerServer() {
    std::wstring command = L"\"" + folderOfProgram() + L"cfxstore.exe\" /RegServer";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        cfx::throwLastError();
    cfx::KernelHandle thread(process.hThread), running(process.hProcess);
    WaitForSingleObject(running.get(), INFINITE);
}

// Writes the file in blocks, then reads it back; prints both rates.
void moveThrough(const char* label, IStream* stream) {
    std::vector<BYTE> block(kBlock);
    for (ULONG i = 0; i < kBlock; ++i)
        block[i] = static_cast<BYTE>(i * 7 + 3);
    const double mib = static_cast<double>(kFileSize) / (1 << 20);

    double start = seconds();
    for (ULONGLONG at = 0; at < kFileSize; at += kBlock)
        check(stream->Write(block.data(), kBlock, nullptr));
    check(stream->Commit(STGC_DEFAULT));
    const double written = seconds() - start;

    LARGE_INTEGER zero{};
    check(stream->Seek(zero, STREAM_SEEK_SET, nullptr));
    start = seconds();
    ULONGLONG total = 0;
    for (;;) {
        ULONG read = 0;
        check(stream->Read(block.data(), kBlock, &read));
        if (read == 0)
            break;
        total += read;
    }
    const double readTime = seconds() - start;
    if (total != kFileSize)
        cfx::raise(E_UNEXPECTED);
    std::printf("%-44s write %7.2f MiB/s   read %7.2f MiB/s   (%.0f / %.0f us per call)\n", label,
                mib / written, mib / readTime, written * 1e6 / (kFileSize / kBlock),
                readTime * 1e6 / (kFileSize / kBlock));
}

void throughServer() {
    ComPtr<IStorageServer> server;
    check(
        CoCreateInstance(CLSID_StorageServer, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&server)));
    const cfx::store::test::KeyCertificate& certificate = cfx::store::test::firstCertificate();
    const std::wstring path = temporaryFile(L"storage_bench.demo-coffrex");
    cfx::Bstr bstrPath(SysAllocString(path.c_str()));
    ComPtr<IStorageObject> storage;
    check(server->CreateStorage(bstrPath.get(), static_cast<ULONG>(certificate.encoded.size()),
                                certificate.encoded.data(), &storage));
    ComPtr<IStorageFolder> root;
    check(storage.As(&root));
    ComPtr<IStorageFile> file;
    cfx::Bstr name(SysAllocString(L"big.bin"));
    check(root->OpenFile(name.get(), VARIANT_TRUE, &file));
    ComPtr<IStream> stream;
    check(file->OpenStream(&stream));
    moveThrough("Through the server, from another process", stream.Get());

    // One call with nothing to do: the cost of crossing the processes.
    DWORD processId = 0;
    LONG roots = 0;
    double start = seconds();
    for (long i = 0; i < kCalls; ++i)
        check(server->GetServerInfo(&processId, &roots));
    std::printf("%-44s %7.0f us per call\n", "One call across processes",
                (seconds() - start) * 1e6 / kCalls);

    stream.Reset();
    file.Reset();
    root.Reset();
    storage.Reset();
    server->ReleaseStorage(bstrPath.get());
    DeleteFileW(path.c_str());
}

void throughCompoundFile() {
    const std::wstring path = temporaryFile(L"storage_bench.docfile");
    ComPtr<IStorage> storage;
    check(StgCreateStorageEx(path.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                             STGFMT_DOCFILE, 0, nullptr, nullptr, IID_PPV_ARGS(&storage)));
    ComPtr<IStream> stream;
    check(storage->CreateStream(L"big.bin", STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                                0, &stream));
    moveThrough("Compound-file stream in process, plain", stream.Get());
    stream.Reset();
    storage.Reset();
    DeleteFileW(path.c_str());
}

// The engine in process: a container's file in blocks, then small files made,
// written, committed and given their checksum as a property, one by one.
void throughEngine() {
    using namespace cfx::store;
    using namespace cfx::store::test;
    ScratchFolder folder;
    auto storage = newContainer(folder.file(L"speed.demo-coffrex"));
    Item file = *storage->root().openFile(L"big.bin", true);
    FileStream stream = file.openStream();
    std::vector<BYTE> block = patternBytes(kBlock, 1);
    double start = seconds();
    for (ULONGLONG at = 0; at < kFileSize; at += kBlock)
        stream.write(at, block.data(), kBlock);
    stream.commit();
    const double written = seconds() - start;
    start = seconds();
    for (ULONGLONG at = 0; at < kFileSize; at += kBlock)
        stream.read(at, block.data(), kBlock);
    const double read = seconds() - start;
    start = seconds();
    file.checksum();
    const double checksum = seconds() - start;
    const double mib = static_cast<double>(kFileSize) / (1 << 20);
    std::printf("%-44s write %7.2f MiB/s   read %7.2f MiB/s   checksum %7.2f MiB/s\n",
                "The engine in process", mib / written, mib / read, mib / checksum);

    const std::vector<BYTE> bytes = patternBytes(3000, 2);
    for (bool durable : {true, false}) {
        auto small =
            newContainer(folder.file(durable ? L"durable.demo-coffrex" : L"cached.demo-coffrex"),
                         Container::Options{durable});
        constexpr int kFiles = 100;
        start = seconds();
        for (int i = 0; i < kFiles; ++i) {
            Item made = *small->root().openFile(L"file" + std::to_wstring(i), true);
            FileStream content = made.openStream();
            content.write(0, bytes.data(), static_cast<ULONG>(bytes.size()));
            content.commit();
            auto digest = made.checksum();
            made.setProperty(
                StorageProperty_Checksum,
                cfx::Variant(std::wstring(cfx::toBase64(digest.data(), digest.size()))).get());
        }
        std::printf("%-44s %7.0f files/s\n",
                    durable ? "Small files, flushed commits" : "Small files, cached commits",
                    kFiles / (seconds() - start));
    }
}

} // namespace

int main() {
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 1;
    int result = 0;
    try {
        cfx::carryErrorObjectsUnderWine();
        registerServer();
        std::printf("A %llu MiB file in %lu-byte calls\n", kFileSize >> 20,
                    static_cast<unsigned long>(kBlock));
        throughCompoundFile();
        throughServer();
        throughEngine();
    } catch (const _com_error& e) {
        std::fprintf(stderr, "failed: 0x%08lX\n", static_cast<unsigned long>(e.Error()));
        result = 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "failed: %s\n", e.what());
        result = 1;
    }
    CoUninitialize();
    return result;
}
