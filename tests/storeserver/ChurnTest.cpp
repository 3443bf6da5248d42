// cfxstore.exe under churn, as Explorer treats it: client processes one after
// the other, many arriving just as the server leaves (three seconds after its
// last client), then several at once. Nothing hangs, every write is there
// afterwards, and the storages check clean.
#include "RemoteStorage.h"
#include "ToolProcess.h"

#include <cstdio>
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
    EXPECT_LT(1u, servers.size()); // the server left and came back
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

} // namespace
} // namespace cfx::store::test
