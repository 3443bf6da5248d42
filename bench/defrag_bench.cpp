// defrag_bench.exe: what analysing and defragmenting a 100 MiB storage costs,
// the work of the two workers of the "Defragmentation..." command without
// their wait dialogs: freeze, measure the compound file (or have the server
// rewrite it), thaw. The storage holds 200 files of 512 KiB, every second one
// deleted again, so half of it is free. Prints seconds; not a test.
#include "storeserver/RemoteStorage.h"

#include "storagefile/Defragmentation.h"
#include "storagefile/StorageFreeze.h"

#include "BenchClock.h"

#include <cstdio>

namespace cfx::store::test {
namespace {

using cfx::bench::seconds;
using storagefile::FreezeStorage;
using storagefile::MeasureUsedSpace;

TEST(DefragBench, HundredMebibytes) {
    ScratchFolder scratch;
    const std::wstring path = scratch.file(L"bench.demo-coffrex");
    ComPtr<IStorageServer> server = connectServer();
    ComPtr<IStorageFolder> root = createStorage(server.Get(), path);
    const std::vector<BYTE> bytes = patternBytes(512 << 10, 3);
    double start = seconds();
    for (int i = 0; i < 200; ++i)
        writeFile(file(root.Get(), L"f" + std::to_wstring(i), true).Get(), bytes, 64 << 10);
    for (int i = 0; i < 200; i += 2)
        check(root->DeleteItem(bstr(L"f" + std::to_wstring(i)).get()));
    check(server->CommitStorage(bstr(path).get()));
    root.Reset();
    std::printf("filled %.1f MiB in %.2f s\n", fileSize(path) / 1048576.0, seconds() - start);

    start = seconds();
    FreezeStorage(path, true);
    const ULONGLONG used = MeasureUsedSpace(path);
    FreezeStorage(path, false);
    std::printf("analysis: %.1f MiB in use, %.3f s\n", used / 1048576.0, seconds() - start);

    start = seconds();
    FreezeStorage(path, true);
    check(server->DefragmentStorage(bstr(path).get()));
    FreezeStorage(path, false);
    std::printf("defragmentation: %.1f MiB left, %.3f s\n", fileSize(path) / 1048576.0,
                seconds() - start);
}

} // namespace
} // namespace cfx::store::test
