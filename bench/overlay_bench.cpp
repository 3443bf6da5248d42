// overlay_bench.exe: what the shell pays for the icon overlays of one storage
// file - IsMemberOf of each overlay, through the library's class objects as
// Explorer makes them - next to one storage server call across processes,
// and IsMemberOf for a file of another type, which makes no server call.
// Prints microseconds per call; not a test.
#include "storeserver/RemoteStorage.h"

#include "server/StorageProperties.h"
#include "support/LoadedLibrary.h"

#include "BenchClock.h"
#include "idl/cfxview_classes.h"

#include <shlobj.h>

#include <cstdio>

namespace cfx::store::test {
namespace {

using cfx::bench::seconds;

// Mean microseconds per call over at least 200 calls and two seconds.
template <class Call> double perCall(Call&& call) {
    for (int i = 0; i < 20; ++i)
        call();
    long calls = 0;
    const double start = seconds();
    do {
        for (int i = 0; i < 20; ++i)
            call();
        calls += 20;
    } while (calls < 200 || seconds() - start < 2.0);
    return (seconds() - start) * 1e6 / static_cast<double>(calls);
}

TEST(OverlayBench, IsMemberOfNextToOneServerCall) {
    ScratchFolder scratch;
    const std::wstring path = scratch.file(L"bench.demo-coffrex");
    const std::wstring other = scratch.file(L"bench.txt");
    ComPtr<IStorageServer> server = connectServer();
    auto root = createStorage(server.Get(), path);
    Variant flags(ULONGLONG(server::kKeyAttached));
    check(root->SetProperty(StorageProperty_Flags, flags.get()));
    check(server->CommitStorage(bstr(path).get()));
    root.Reset();
    CloseHandle(CreateFileW(other.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));

    DWORD process = 0;
    LONG roots = 0;
    const double call = perCall([&] { check(server->GetServerInfo(&process, &roots)); });
    std::printf("one server call across processes: %.0f us\n", call);

    cfx::test::LoadedLibrary library(L"cfxview.dll");
    const struct {
        const char* name;
        const CLSID* clsid;
        HRESULT expected;
    } overlays[] = {{"frozen", &CLSID_FrozenOverlay, S_FALSE},
                    {"inaccessible", &CLSID_InaccessibleOverlay, S_FALSE},
                    {"key", &CLSID_KeyOverlay, S_OK}};
    for (const auto& overlay : overlays) {
        ComPtr<IClassFactory> factory;
        ComPtr<IShellIconOverlayIdentifier> handler;
        check(library.getClassObject(*overlay.clsid, IID_PPV_ARGS(&factory)));
        check(factory->CreateInstance(nullptr, IID_IShellIconOverlayIdentifier,
                                      reinterpret_cast<void**>(handler.GetAddressOf())));
        ASSERT_EQ(overlay.expected, handler->IsMemberOf(path.c_str(), 0));
        const double storage = perCall([&] { handler->IsMemberOf(path.c_str(), 0); });
        const double plain = perCall([&] { handler->IsMemberOf(other.c_str(), 0); });
        std::printf("IsMemberOf, %s overlay: %.0f us for a storage file (%.1f server calls), "
                    "%.2f us for another file\n",
                    overlay.name, storage, storage / call, plain);
    }
}

} // namespace
} // namespace cfx::store::test
