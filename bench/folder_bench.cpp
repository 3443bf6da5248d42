// folder_bench.exe: what listing a large storage folder costs through the
// library, as the shell's view lists it - EnumObjects, then GetDetailsOf of
// every column of every item - against a bare client that makes the same
// storage server calls per item (EnumItems; Next, GetType, GetName, GetSize;
// GetItem and the Comment property). Both run in this process on the same
// storage of cfxstore.exe; prints both times and their ratio. Not a test.
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

int kItems = 10000; // or the first argument
constexpr int kRounds = 2;

// A locked storage with kItems files of a few sizes, made in process.
std::wstring makeStorage(const std::vector<BYTE>& certificate) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring path = std::wstring(temp) + L"folder_bench.demo-coffrex";
    DeleteFileW(path.c_str());
    auto storage = cfx::store::Container::create(path, certificate.data(), certificate.size(),
                                                 cfx::store::Container::Options{false});
    cfx::store::Item root = storage->root();
    for (int i = 0; i < kItems; ++i)
        root.openFile(L"item " + std::to_wstring(i) + (i % 3 ? L".bin" : L".txt"), true);
    storage->close();
    return path;
}

// The shell's way: the view's listing and every cell of it.
double throughTheLibrary(IShellFolder2* folder, size_t& cells) {
    const double start = cfx::bench::seconds();
    ComPtr<IEnumIDList> items;
    check(folder->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS, &items));
    cells = 0;
    for (LPITEMIDLIST item = nullptr; items->Next(1, &item, nullptr) == S_OK;) {
        for (UINT column = 0; column < 4; ++column) {
            SHELLDETAILS details{};
            check(folder->GetDetailsOf(item, column, &details));
            if (details.str.uType == STRRET_WSTR)
                CoTaskMemFree(details.str.pOleStr);
            ++cells;
        }
        if (cells % 4000 == 0)
            std::fprintf(stderr, "  %zu items\n", cells / 4);
        CoTaskMemFree(item);
    }
    return cfx::bench::seconds() - start;
}

// The same server calls, made directly.
double bareClient(IStorageFolder* root, size_t& items) {
    const double start = cfx::bench::seconds();
    ComPtr<IStorageEnum> listing;
    check(root->EnumItems(&listing));
    items = 0;
    for (;;) {
        ComPtr<IStorageItem> item;
        check(listing->Next(&item));
        if (!item)
            break;
        LONG type = 0;
        ULONGLONG size = 0;
        cfx::Bstr name;
        check(item->GetType(&type));
        check(item->GetName(name.put()));
        check(item->GetSize(&size));
        ComPtr<IStorageObject> object;
        check(root->GetItem(name.get(), &object));
        cfx::Variant comment;
        check(object->GetProperty(StorageProperty_Comment, comment.put()));
        if (++items % 1000 == 0)
            std::fprintf(stderr, "  %zu items\n", items);
    }
    return cfx::bench::seconds() - start;
}

int run() {
    check(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    runAndWait(L"\"" + folderOfProgram() + L"cfxstore.exe\" /RegServer");
    const std::wstring path = makeStorage(installTestKey());
    std::fprintf(stderr, "storage made\n");

    ComPtr<IShellFolder2> folder = cfx::bench::openStorageFolder(path);
    std::fprintf(stderr, "unlocked\n");

    ComPtr<IStorageFolder> root = cfx::bench::openServerRoot(path);

    // Wine 8's COM deadlocks a server in a single-threaded apartment when the
    // last stub of an interface goes while a call on it waits for that
    // apartment (the server's RemRelease unregisters the interface and waits
    // for the call). One object of each interface is held for the run, so no
    // interface loses its last stub between the listings.
    ComPtr<IStorageEnum> heldListing;
    check(root->EnumItems(&heldListing));
    ComPtr<IStorageItem> heldItem;
    check(heldListing->Next(&heldItem));
    ComPtr<IStorageObject> heldObject;
    cfx::Bstr heldName;
    check(heldItem->GetName(heldName.put()));
    check(root->GetItem(heldName.get(), &heldObject));

    // Alternating rounds; the faster of each, against the noise of a shared machine.
    double viaLibrary = 1e9, bare = 1e9;
    size_t cells = 0, items = 0;
    for (int round = 0; round < kRounds; ++round) {
        bare = std::min(bare, bareClient(root.Get(), items));
        std::fprintf(stderr, "bare client %zu items\n", items);
        viaLibrary = std::min(viaLibrary, throughTheLibrary(folder.Get(), cells));
        std::fprintf(stderr, "library %zu cells\n", cells);
    }
    std::printf("listing %d items, every column of every item (%zu cells)\n", kItems, cells);
    std::printf("  through the library (EnumObjects, GetDetailsOf): %8.2f s  %6.1f us/item\n",
                viaLibrary, viaLibrary * 1e6 / kItems);
    std::printf("  bare client, the same server calls (%zu items):   %8.2f s  %6.1f us/item\n",
                items, bare, bare * 1e6 / kItems);
    std::printf("  ratio library / bare client: %.3f\n", viaLibrary / bare);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1)
        kItems = std::atoi(argv[1]);
    return runBenchmark("folder_bench", run);
}
