// transfer_bench.exe: what a file costs going into a storage and coming out
// through the library, against a bare client of the storage server moving the
// same 4 KiB blocks - the file dropped on the storage folder's drop target
// versus OpenFile, OpenStream and Write calls; read back through the storage
// data object's "FileContents" stream versus OpenStream and Read calls - and
// how much the importing process's peak working set grows (no file is ever
// held whole). Prints the times, the ratios and the growth. Not a test.
//
//   transfer_bench.exe [MiB]   (default 128, about four minutes under Wine;
//                               256 takes twice as long)
//
// It registers cfxstore.exe (beside the program) in the prefix it runs in and
// installs the test key bin/testkeys/first.pfx for the current user.
#include "Container.h"

#include "common/Exceptions.h"
#include "common/Handles.h"
#include "common/PfxImport.h"
#include "common/Variant.h"
#include "idl/cfxview_classes.h"

#include "BenchClock.h"
#include "BenchSetup.h"

#include <windows.h>
#include <objbase.h>
#include <psapi.h>
#include <shlobj.h>
#include <wrl/client.h>

#include "cfxstorage.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace cfx::bench;

ULONGLONG kMiB = 128; // or the first argument
constexpr ULONG kBlock = 4096;

std::wstring tempFolder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return temp;
}

// The source file, written block by block: never whole in memory here either.
std::wstring makeSource(const std::wstring& folder) {
    const std::wstring path = folder + L"\\source.bin";
    cfx::FileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    std::vector<BYTE> block(1 << 20);
    for (ULONGLONG mib = 0; mib < kMiB; ++mib) {
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<BYTE>(mib * 31 + i * 7);
        DWORD written = 0;
        cfx::checkLastError(
            file && WriteFile(file.get(), block.data(), DWORD(block.size()), &written, nullptr));
    }
    return path;
}

SIZE_T peakWorkingSet() {
    PROCESS_MEMORY_COUNTERS counters{sizeof counters};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PeakWorkingSetSize;
}

// The shell's way in: Wine's shell's data object for the file, dropped.
double dropThroughTheLibrary(IShellFolder2* storageFolder, const std::wstring& sourceFolder) {
    ComPtr<IShellFolder> desktop, parent;
    check(SHGetDesktopFolder(&desktop));
    cfx::UniqueHandle<LPITEMIDLIST, &ILFree> list(ILCreateFromPathW(sourceFolder.c_str()));
    check(desktop->BindToObject(list.get(), nullptr, IID_PPV_ARGS(&parent)));
    LPITEMIDLIST item = nullptr;
    check(parent->ParseDisplayName(nullptr, nullptr, const_cast<LPWSTR>(L"source.bin"), nullptr,
                                   &item, nullptr));
    cfx::UniqueHandle<LPITEMIDLIST, &ILFree> held(item);
    LPCITEMIDLIST items[] = {item};
    ComPtr<IDataObject> data;
    check(parent->GetUIObjectOf(nullptr, 1, items, IID_IDataObject, nullptr, &data));
    ComPtr<IDropTarget> target;
    check(storageFolder->GetUIObjectOf(nullptr, 0, nullptr, IID_IDropTarget, nullptr, &target));
    const double start = cfx::bench::seconds();
    DWORD effect = DROPEFFECT_COPY;
    check(target->Drop(data.Get(), MK_LBUTTON, {0, 0}, &effect));
    if (effect != DROPEFFECT_COPY)
        cfx::raise(E_FAIL);
    return cfx::bench::seconds() - start;
}

double writeAsABareClient(IStorageFolder* root, const std::wstring& source) {
    const double start = cfx::bench::seconds();
    cfx::FileHandle input(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ComPtr<IStorageFile> file;
    check(root->OpenFile(makeBstr(L"bare.bin").get(), VARIANT_TRUE, &file));
    ComPtr<IStream> stream;
    check(file->OpenStream(&stream));
    BYTE block[kBlock];
    for (DWORD got = 0; ReadFile(input.get(), block, kBlock, &got, nullptr) && got;)
        check(stream->Write(block, got, nullptr));
    stream.Reset();
    BYTE checksum[16];
    check(file->ComputeChecksum(checksum));
    check(file->SetProperty(StorageProperty_Checksum,
                            cfx::Variant(L"{00000000-0000-0000-0000-000000000000}").get()));
    return cfx::bench::seconds() - start;
}

ULONGLONG drain(IStream* stream, double& seconds, ULONGLONG& sum) {
    const double start = cfx::bench::seconds();
    BYTE block[kBlock];
    ULONGLONG total = 0;
    for (ULONG got = 0; SUCCEEDED(stream->Read(block, kBlock, &got)) && got; total += got)
        for (ULONG i = 0; i < got; i += 512)
            sum += block[i];
    seconds += cfx::bench::seconds() - start;
    return total;
}

// The drop target's way out: the descriptor, then the file's "FileContents".
double readThroughTheLibrary(IShellFolder2* storageFolder, ULONGLONG& sum) {
    LPITEMIDLIST item = nullptr;
    check(storageFolder->ParseDisplayName(nullptr, nullptr, const_cast<LPWSTR>(L"source.bin"),
                                          nullptr, &item, nullptr));
    cfx::UniqueHandle<LPITEMIDLIST, &ILFree> held(item);
    LPCITEMIDLIST items[] = {item};
    double seconds = 0;
    const double start = cfx::bench::seconds();
    ComPtr<IDataObject> data;
    check(storageFolder->GetUIObjectOf(nullptr, 1, items, IID_IDataObject, nullptr, &data));
    FORMATETC group{CLIPFORMAT(RegisterClipboardFormatW(CFSTR_FILEDESCRIPTORW)), nullptr,
                    DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    FORMATETC contents{CLIPFORMAT(RegisterClipboardFormatW(CFSTR_FILECONTENTS)), nullptr,
                       DVASPECT_CONTENT, 0, TYMED_ISTREAM};
    STGMEDIUM medium{};
    check(data->GetData(&group, &medium));
    ReleaseStgMedium(&medium);
    check(data->GetData(&contents, &medium));
    seconds += cfx::bench::seconds() - start;
    if (drain(medium.pstm, seconds, sum) != kMiB << 20)
        cfx::raise(E_FAIL);
    ReleaseStgMedium(&medium);
    return seconds;
}

double readAsABareClient(IStorageFolder* root, ULONGLONG& sum) {
    double seconds = 0;
    const double start = cfx::bench::seconds();
    ComPtr<IStorageFile> file;
    check(root->OpenFile(makeBstr(L"source.bin").get(), VARIANT_FALSE, &file));
    ComPtr<IStream> stream;
    check(file->OpenStream(&stream));
    seconds += cfx::bench::seconds() - start;
    if (drain(stream.Get(), seconds, sum) != kMiB << 20)
        cfx::raise(E_FAIL);
    return seconds;
}

int run() {
    check(OleInitialize(nullptr));
    runAndWait(L"\"" + folderOfProgram() + L"cfxstore.exe\" /RegServer");
    const std::vector<BYTE> certificate = installTestKey();
    const std::wstring storagePath = tempFolder() + L"transfer_bench.demo-coffrex";
    const std::wstring sourceFolder = tempFolder() + L"transfer_bench";
    DeleteFileW(storagePath.c_str());
    CreateDirectoryW(sourceFolder.c_str(), nullptr);
    cfx::store::Container::create(storagePath, certificate.data(), certificate.size(),
                                  cfx::store::Container::Options{false})
        ->close();
    const std::wstring source = makeSource(sourceFolder);
    std::fprintf(stderr, "storage and a %llu MiB source made\n", kMiB);

    ComPtr<IShellFolder2> folder = cfx::bench::openStorageFolder(storagePath);

    ComPtr<IStorageFolder> root = cfx::bench::openServerRoot(storagePath);
    // One object of each interface held for the run (see folder_bench: Wine's
    // server apartment deadlocks when an interface loses its last stub while a
    // call waits).
    ComPtr<IStorageFile> heldFile;
    check(root->OpenFile(makeBstr(L"held.bin").get(), VARIANT_TRUE, &heldFile));
    ComPtr<IStream> heldStream;
    check(heldFile->OpenStream(&heldStream));
    ComPtr<IStorageItem> heldItem;
    check(root->GetItemInfo(makeBstr(L"held.bin").get(), &heldItem));

    // Two rounds, each way in either order (the container file's pages are
    // warmer for whichever runs second); the faster of each counts.
    const SIZE_T peakBefore = peakWorkingSet();
    double dropped = 1e9, written = 1e9, readViaLibrary = 1e9, readBare = 1e9;
    auto drop = [&] {
        dropped = std::min(dropped, dropThroughTheLibrary(folder.Get(), sourceFolder));
        std::fprintf(stderr, "dropped in %.2f s\n", dropped);
    };
    auto write = [&] {
        written = std::min(written, writeAsABareClient(root.Get(), source));
        std::fprintf(stderr, "bare client wrote in %.2f s\n", written);
    };
    drop();
    const SIZE_T peakAfter = peakWorkingSet();
    write();
    for (const wchar_t* name : {L"source.bin", L"bare.bin"})
        check(root->DeleteItem(makeBstr(name).get()));
    write();
    drop();
    ULONGLONG librarySum = 0, bareSum = 0;
    for (int round = 0; round < 2; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            if ((round + turn) % 2 == 0)
                readViaLibrary =
                    std::min(readViaLibrary, readThroughTheLibrary(folder.Get(), librarySum));
            else
                readBare = std::min(readBare, readAsABareClient(root.Get(), bareSum));
        }
        std::fprintf(stderr, "read through FileContents in %.2f s, bare in %.2f s\n",
                     readViaLibrary, readBare);
    }
    if (librarySum != bareSum)
        cfx::raise(E_FAIL);

    const double mib = static_cast<double>(kMiB);
    std::printf("a %llu MiB file in 4096-byte blocks through cfxstore.exe, best of two\n", kMiB);
    std::printf("  in:  dropped on the storage folder %8.2f s %7.2f MiB/s\n", dropped,
                mib / dropped);
    std::printf("       bare client writes           %8.2f s %7.2f MiB/s  ratio %.3f\n", written,
                mib / written, dropped / written);
    std::printf("  out: FileContents stream reads    %8.2f s %7.2f MiB/s\n", readViaLibrary,
                mib / readViaLibrary);
    std::printf("       bare client reads            %8.2f s %7.2f MiB/s  ratio %.3f\n", readBare,
                mib / readBare, readViaLibrary / readBare);
    std::printf("  peak working set growth of the import: %.2f MiB\n",
                static_cast<double>(peakAfter - peakBefore) / 1048576.0);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1)
        kMiB = std::strtoull(argv[1], nullptr, 10);
    return runBenchmark("transfer_bench", run);
}
