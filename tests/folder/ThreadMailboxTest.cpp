// Thread mailboxes, forwarded calls and the storage thread that serves them,
// with real threads of the test program.
#include "folder/ThreadMailbox.h"
#include "common/Exceptions.h"
#include "common/Handles.h"
#include "server/StorageThread.h"
#include "support/TestText.h"

#include <comdef.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <typeinfo>

namespace cfx {
namespace {

using namespace cfx::folder;
using namespace cfx::server;
using test::hrIs;

// Only a deadlock waits this long: it fails the test instead of hanging the run.
constexpr DWORD kHangGuardMs = 30000;

bool signalled(HANDLE handle, DWORD patience = kHangGuardMs) {
    return WaitForSingleObject(handle, patience) == WAIT_OBJECT_0;
}

struct Event {
    KernelHandle handle{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    void set() const { SetEvent(handle.get()); }
    bool wait(DWORD patience = kHangGuardMs) const { return signalled(handle.get(), patience); }
};

// A thread of the test; its handle keeps its id. One running at its end hangs.
struct Thread {
    explicit Thread(std::function<void()> run) : body(std::move(run)) {}
    ~Thread() {
        if (!finished() && TerminateThread(handle.get(), 1))
            ADD_FAILURE() << "thread " << id << " was stuck";
    }
    bool finished(DWORD patience = kHangGuardMs) const { return signalled(handle.get(), patience); }
    std::function<void()> body;
    DWORD id = 0;
    KernelHandle handle{CreateThread(
        nullptr, 0, [](void* self) -> DWORD { return static_cast<Thread*>(self)->body(), 0; }, this,
        0, &id)};
};

// A thread that serves forwarded calls until told it is done.
struct LoopThread : Thread {
    LoopThread() : Thread(runMessageLoop) {}
    ~LoopThread() {
        if (!finished(0))
            post(id, kMessageDone, 0, kHangGuardMs);
    }
};

// What the requester gets: a _com_error's HRESULT, or exactly a runtime_error's text.
using Outcome = std::pair<HRESULT, std::string>;
Outcome forwardedOutcome(DWORD target, std::function<void()> operation) {
    try {
        forward(target, std::move(operation));
        return {};
    } catch (const _com_error& e) {
        return {e.Error(), ""};
    } catch (const std::runtime_error& e) {
        return {S_OK, typeid(e) == typeid(std::runtime_error) ? e.what() : "a subclass"};
    }
}

// Each message arrives once, in its sender's order, however late the receiver.
TEST(Mailbox, SendersToOneMailboxTakeTurnsAndLoseNothing) {
    constexpr UINT_PTR kSenders = 4, kEach = 100;
    std::vector<ThreadMessage> got;
    Event go;
    Thread receiver([&] {
        go.wait();
        Sleep(1500); // later than the one-second retry: the lateness is what is tested
        for (UINT_PTR i = 0; i < kSenders * kEach; ++i)
            got.push_back(*receive());
    });
    std::vector<std::unique_ptr<Thread>> senders;
    std::vector<int> undelivered(kSenders, 0);
    for (UINT_PTR s = 0; s < kSenders; ++s)
        senders.push_back(std::make_unique<Thread>([&, s] {
            for (UINT_PTR i = 0; i < kEach; ++i)
                undelivered[s] += !post(receiver.id, UINT(0x3000 + s), i);
        }));
    go.set();
    senders.clear();
    ASSERT_TRUE(receiver.finished());
    EXPECT_EQ(undelivered, std::vector<int>(kSenders, 0));
    std::vector<UINT_PTR> next(kSenders, 0);
    for (const ThreadMessage& message : got) {
        const UINT_PTR s = message.message - 0x3000;
        ASSERT_LT(s, kSenders);
        EXPECT_EQ(message.parameter, next[s]++) << "sender " << s;
    }
    EXPECT_EQ(next, std::vector<UINT_PTR>(kSenders, kEach));
}

// A post given up leaves nothing behind; an ended thread takes nothing.
TEST(Mailbox, APostGivenUpOrToAnEndedThreadDeliversNothing) {
    Event go;
    std::vector<UINT_PTR> got;
    Thread receiver([&] {
        go.wait();
        got = {receive()->parameter, receive()->parameter};
    });
    EXPECT_FALSE(post(receiver.id, 0x4001, 1, 200));
    go.set();
    EXPECT_TRUE(post(receiver.id, 0x4002, 2));
    EXPECT_TRUE(post(receiver.id, 0x4003, 3));
    ASSERT_TRUE(receiver.finished());
    EXPECT_EQ(got, (std::vector<UINT_PTR>{2, 3})) << "the message given up was delivered";
    EXPECT_FALSE(post(receiver.id, 0x1234, 1));
    EXPECT_FALSE(post(receiver.id, kMessageDone, 0, 100));
    EXPECT_FALSE(receive(receiver.handle.get()));
}

// The loop ignores other messages and survives a requester gone; failures
// come back as their kind, also from a call-back into the requester.
TEST(Forward, FailuresComeBackAsTheirKindAndTheTargetServesOn) {
    LoopThread target;
    for (UINT message : {0u, 0x1234u, 0x7FEFu, 0x7FF2u, 0xFFFFFFFFu})
        EXPECT_TRUE(post(target.id, message, 0)) << message;
    CallPackage package;
    bool ran = false;
    package.operation = [&] { ran = true; };
    package.requester = Thread([] {}).id;
    ASSERT_TRUE(post(target.id, kMessageRunPackage, reinterpret_cast<UINT_PTR>(&package)));
    const HRESULT itf = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x1234);
    const DWORD me = GetCurrentThreadId();
    const std::pair<std::function<void()>, Outcome> cases[] = {
        {[] { throw _com_error(E_ACCESSDENIED); }, {E_ACCESSDENIED, ""}},
        {[&] { throw itf; }, {itf, ""}},
        // A failure of a call-back into the requester, carried through the target.
        {[&] { forward(me, [] { raise(STG_E_REVERTED); }); }, {STG_E_REVERTED, ""}},
        // The code of a Windows error does not travel, nor does bad_alloc stay one.
        {[] { throw win_except(ERROR_CANCELLED); }, {S_OK, win_except(ERROR_CANCELLED).what()}},
        {[] { throw std::bad_alloc(); }, {S_OK, std::bad_alloc().what()}},
        {[] { throw std::invalid_argument("bad key"); }, {S_OK, "bad key"}},
    };
    for (const auto& [operation, expected] : cases)
        EXPECT_EQ(forwardedOutcome(target.id, operation), expected);
    DWORD ranOn = 0;
    forward(target.id, [&] { ranOn = GetCurrentThreadId(); });
    EXPECT_EQ(ranOn, target.id);
    EXPECT_TRUE(ran);
    EXPECT_TRUE(post(target.id, kMessageDone, 0));
    EXPECT_TRUE(target.finished());
    EXPECT_EQ(forwardedOutcome(target.id, [] {}), Outcome(kForwardTargetGone, "")) << "ended";
}

// Tells whether a thread shut its apartment down, which one ended by force never
// does; COM asks it for IInitializeSpy only.
class UninitializeSpy : public IInitializeSpy {
public:
    STDMETHODIMP QueryInterface(REFIID, void** out) override { return *out = this, S_OK; }
    // Lives as long as the program: COM may hold it for a terminated thread.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP PreInitialize(DWORD, DWORD) override { return S_OK; }
    STDMETHODIMP PostInitialize(HRESULT hr, DWORD, DWORD) override { return hr; }
    STDMETHODIMP PreUninitialize(DWORD) override { return Sleep(holdMs), S_OK; }
    STDMETHODIMP PostUninitialize(DWORD) override { return uninitialized.set(), S_OK; }
    Event uninitialized;
    DWORD holdMs = 0; // how long the thread's apartment shutdown takes
};

// The storage thread, one per process: each test starts and stops it.
class StorageThreadTest : public testing::Test {
protected:
    void SetUp() override { startOrStopStorageThread(true); }
    void TearDown() override { startOrStopStorageThread(false); }
};

// A run is forwarded from other threads, made directly on the storage thread
// (its exception the original one), in a single-threaded apartment.
TEST_F(StorageThreadTest, RunForwardsFromOtherThreadsAndRunsDirectlyOnItself) {
    const DWORD storage = storageThreadId(), requester = GetCurrentThreadId();
    std::vector<DWORD> trail;
    auto mark = [&] { trail.push_back(GetCurrentThreadId()); };
    bool windowsErrorKept = false;
    HRESULT apartment = S_OK;
    runOnStorageThread([&] {
        mark(), runOnStorageThread(mark);
        forward(requester, [&] { mark(), runOnStorageThread(mark); });
        try {
            runOnStorageThread([] { throw win_except(ERROR_CANCELLED); });
        } catch (const win_except& e) {
            windowsErrorKept = e.code() == ERROR_CANCELLED;
        }
        apartment = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (SUCCEEDED(apartment))
            CoUninitialize();
    });
    EXPECT_EQ(trail, (std::vector<DWORD>{storage, storage, requester, storage}));
    EXPECT_TRUE(windowsErrorKept);
    EXPECT_TRUE(hrIs(S_FALSE, apartment));
}

// An idle thread ends cleanly; one not ended a second after quitting (its
// apartment's shutdown takes three) is ended by force.
TEST_F(StorageThreadTest, StopEndsAnIdleThreadCleanlyAndASlowOneByForce) {
    static UninitializeSpy spies[2]; // COM may call them after the test
    spies[1].holdMs = 3000;
    for (UninitializeSpy& spy : spies) {
        startOrStopStorageThread(true);
        ULARGE_INTEGER cookie{};
        runOnStorageThread([&] { CoRegisterInitializeSpy(&spy, &cookie); });
        KernelHandle thread(OpenThread(SYNCHRONIZE, FALSE, storageThreadId()));
        startOrStopStorageThread(false);
        EXPECT_EQ(storageThreadId(), 0u);
        EXPECT_TRUE(signalled(thread.get(), 0)) << "the storage thread still runs";
        EXPECT_EQ(spy.uninitialized.wait(0), spy.holdMs == 0) << "ended by force, or not";
    }
}

// A stop ends a stuck storage thread; both requesters fail.
TEST_F(StorageThreadTest, StopEndsAThreadBlockedInALongOperation) {
    const DWORD id = storageThreadId();
    KernelHandle thread(OpenThread(SYNCHRONIZE | THREAD_TERMINATE, FALSE, id));
    Event blocked, secondForwarding, stopped;
    Outcome first, second;
    Thread firstRequester(
        [&] { first = forwardedOutcome(id, [&] { blocked.set(), Sleep(INFINITE); }); });
    ASSERT_TRUE(blocked.wait());
    Thread secondRequester([&] {
        secondForwarding.set();
        second = forwardedOutcome(id, [] { ADD_FAILURE() << "ran after the stop"; });
    });
    ASSERT_TRUE(secondForwarding.wait());
    Sleep(300); // nothing marks the second call waiting at the mailbox
    Thread stopper([&] { startOrStopStorageThread(false), stopped.set(); });
    const bool returned = stopped.wait(10000); // stop gives the thread one second
    if (!returned)
        TerminateThread(thread.get(), 1);
    EXPECT_TRUE(returned && signalled(thread.get(), 0)) << "stop waited for a stuck thread";
    ASSERT_TRUE(firstRequester.finished() && secondRequester.finished());
    EXPECT_TRUE(hrIs(kForwardTargetGone, first.first));
    EXPECT_EQ(first, second);
}

} // namespace
} // namespace cfx
