// cfxstore.exe under churn, as Explorer treats it: client processes one after
// the other, many arriving just as the server leaves (it stays three seconds
// after its last client), then several at once. Nothing hangs, every write is
// there afterwards, and the storages check clean.
#include "RemoteStorage.h"
#include "ToolProcess.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>

namespace cfx::store::test {
namespace {

// A healthy client takes a second or two, most of it Wine starting a server.
constexpr DWORD kClientLimitMs = 60000;
constexpr int kClientsInARow = 100;
// What the row waits before each client in turn, in milliseconds: every fifth
// waits about the server's linger, so that it arrives while the server leaves.
constexpr DWORD kWaitsBefore[] = {0, 0, 0, 0, 2600, 0, 0, 0, 0, 2800,
                                  0, 0, 0, 0, 3000, 0, 0, 0, 0, 3200};
constexpr int kClientsAtOnce = 8;

class ServerChurn : public testing::Test {
protected:
    // A storage for the first certificate, made by this process.
    std::wstring newStorage(const std::wstring& name) {
        const std::wstring path = scratch_.file(name);
        createStorage(connectServer().Get(), path);
        return path;
    }

    // The command that copies file number n into the storage's folder.
    std::wstring putCommand(const std::wstring& storage, int n, const std::wstring& folder) {
        const std::wstring local = scratch_.file(L"file-" + std::to_wstring(n) + L".bin");
        putFileBytes(local, patternBytes(1000 + n, static_cast<unsigned>(n)));
        return L"put " + quotedArgument(storage) + L" " + quotedArgument(local) + L" " + folder;
    }

    std::wstring outputFile(int n) { return scratch_.file(L"out-" + std::to_wstring(n) + L".txt"); }

    // Every file of the numbers is in the storage's folder with its bytes,
    // and the storage's checksums all match.
    void expectFiles(const std::wstring& storage, const std::wstring& folderName, int first,
                     int count) {
        ComPtr<IStorageServer> server = connectServer();
        ComPtr<IStorageFolder> root = openStorage(server.Get(), storage);
        unlock(root.Get());
        ComPtr<IStorageFolder> inside = folder(root.Get(), folderName, false);
        EXPECT_EQ(static_cast<size_t>(count), listNames(inside.Get()).size());
        for (int n = first; n < first + count; ++n)
            EXPECT_EQ(
                patternBytes(1000 + n, static_cast<unsigned>(n)),
                readFile(file(inside.Get(), L"file-" + std::to_wstring(n) + L".bin", false).Get()))
                << "file " << n;
        ToolRun checked = runTool(L"check " + quotedArgument(storage), outputFile(-1), 60000);
        EXPECT_TRUE(checked.ended && checked.exitCode == 0) << checked.output;
    }

    ScratchFolder scratch_;
};

TEST_F(ServerChurn, ClientsInARowArrivingAsTheServerLeavesAllWrite) {
    const std::wstring storage = newStorage(L"row.demo-coffrex");
    std::set<DWORD> servers;
    const ULONGLONG start = GetTickCount64();
    for (int n = 0; n < kClientsInARow; ++n) {
        Sleep(kWaitsBefore[n % std::size(kWaitsBefore)]);
        ToolRun put = runTool(putCommand(storage, n, L"Row"), outputFile(n), kClientLimitMs);
        ASSERT_TRUE(put.ended) << "client " << n << " did not end: " << put.output;
        ASSERT_EQ(0u, put.exitCode) << "client " << n << ": " << put.output;
        for (DWORD server : serverProcesses())
            servers.insert(server);
    }
    std::printf("%d clients in a row took %llu s and met %zu server processes\n", kClientsInARow,
                (GetTickCount64() - start) / 1000, servers.size());
    // The waits had the server leave and come back.
    EXPECT_LT(1u, servers.size());
    expectFiles(storage, L"Row", 0, kClientsInARow);
}

TEST_F(ServerChurn, ClientsAtOnceWriteIntoOneStorageAndIntoSeveral) {
    const std::wstring shared = newStorage(L"shared.demo-coffrex");
    std::vector<std::wstring> own;
    for (int n = 0; n < kClientsAtOnce; ++n)
        own.push_back(newStorage(L"own-" + std::to_wstring(n) + L".demo-coffrex"));
    // First all into one storage, then each into its own.
    for (bool together : {true, false}) {
        std::vector<std::unique_ptr<ToolProcess>> clients;
        for (int n = 0; n < kClientsAtOnce; ++n)
            clients.push_back(std::make_unique<ToolProcess>(
                putCommand(together ? shared : own[static_cast<size_t>(n)], n, L"Together"),
                outputFile(n)));
        const ULONGLONG deadline = GetTickCount64() + kClientLimitMs;
        for (int n = 0; n < kClientsAtOnce; ++n) {
            ToolRun put = clients[static_cast<size_t>(n)]->finish(deadline);
            EXPECT_TRUE(put.ended && put.exitCode == 0) << "client " << n << ": " << put.output;
        }
    }
    expectFiles(shared, L"Together", 0, kClientsAtOnce);
    for (int n = 0; n < kClientsAtOnce; ++n)
        expectFiles(own[static_cast<size_t>(n)], L"Together", n, 1);
}

} // namespace
} // namespace cfx::store::test
