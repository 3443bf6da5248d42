// cfxstore.exe as its clients see it: started by activation, shared by root
// objects (and by client processes: the churn tests), gone a few seconds after
// its last client, and a killed server losing nothing committed.
#include "RemoteStorage.h"

namespace cfx::store::test {
namespace {

using cfx::check;

TEST(ServerProcess, OneProcessServesEveryRootObjectAndLingersAfterTheLast) {
    ASSERT_TRUE(waitForServerExit(15000));
    ComPtr<IStorageServer> first = connectServer(), second = connectServer();
    DWORD processId = 0;
    LONG roots = 0;
    ASSERT_EQ(S_OK, first->GetServerInfo(&processId, &roots));
    EXPECT_NE(GetCurrentProcessId(), processId);
    EXPECT_EQ(2, roots);
    EXPECT_EQ(processId, serverProcessOf(second.Get()));
    EXPECT_EQ(std::vector<DWORD>{processId}, serverProcesses());
    KernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    first.Reset();
    second.Reset();
    // A client that makes one root object per operation finds it still there.
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(process.get(), 500));
    EXPECT_EQ(processId, serverProcessOf(connectServer().Get()));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.get(), 20000));
}

// Wine's COM keeps the class registration of a killed server: later
// activations in the same Wine session reach the dead process
// (RPC_S_SERVER_UNAVAILABLE), so this runs as a program of its own. More is
// overwritten than the journal holds in memory, so that uncommitted bytes have
// reached the file when the server dies; the next open must roll them back.
TEST(ServerKilled, LosesNothingCommittedBefore) {
    ScratchFolder scratch;
    const std::wstring path = scratch.file(L"killed.demo-coffrex");
    const std::vector<BYTE> kept = patternBytes(10 << 20, 7);
    {
        ComPtr<IStorageServer> server = connectServer();
        ComPtr<IStorageFolder> root = createStorage(server.Get(), path);
        writeFile(file(root.Get(), L"kept.bin", true).Get(), kept, 1 << 20);
        ComPtr<IStream> stream;
        ASSERT_EQ(S_OK, file(root.Get(), L"kept.bin", false)->OpenStream(&stream));
        std::vector<BYTE> other = patternBytes(1 << 20, 8);
        for (int i = 0; i < 10; ++i)
            ASSERT_EQ(S_OK, stream->Write(other.data(), 1 << 20, nullptr));
        KernelHandle process(
            OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, serverProcessOf(server.Get())));
        ASSERT_TRUE(TerminateProcess(process.get(), 9));
        WaitForSingleObject(process.get(), 10000);
        EXPECT_TRUE(FAILED(stream->Write(other.data(), 4096, nullptr)));
    }
    // Read as the next server would read it.
    auto container = Container::open(path);
    unlockWithInstalledKey(*container);
    FileStream stream = container->root().item(L"kept.bin").openStream();
    std::vector<BYTE> read(static_cast<size_t>(stream.size()));
    read.resize(stream.read(0, read.data(), static_cast<ULONG>(read.size())));
    EXPECT_TRUE(kept == read);
}

} // namespace
} // namespace cfx::store::test
