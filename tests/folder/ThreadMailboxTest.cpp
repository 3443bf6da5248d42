// Thread mailboxes, the message loop, forwarded calls and the storage thread
// that serves them, exercised with real threads of the test program, alone
// and under the load of many shell threads at once.
#include "folder/ThreadMailbox.h"
#include "common/Exceptions.h"
#include "common/Handles.h"
#include "server/StorageThread.h"
#include "support/TestText.h"

#include <windows.h>
#include <comdef.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

namespace cfx {
namespace {

using namespace cfx::folder;
using namespace cfx::server;

using test::hrIs;

// Only a deadlock waits this long: it fails the test instead of hanging the run.
constexpr DWORD kHangGuardMs = 30000;
// Where no event marks the moment a wrong implementation would misbehave (a
// post returning early, a second package starting), it gets this long to do so.
constexpr DWORD kChanceMs = 300;

class Event {
public:
    Event() : handle_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    void set() const { SetEvent(handle_.get()); }
    bool isSet() const { return wait(0); }
    bool wait(DWORD patience = kHangGuardMs) const {
        return WaitForSingleObject(handle_.get(), patience) == WAIT_OBJECT_0;
    }

private:
    KernelHandle handle_;
};

bool signalled(HANDLE handle, DWORD patience = kHangGuardMs) {
    return WaitForSingleObject(handle, patience) == WAIT_OBJECT_0;
}

// A Windows thread of the test: its handle outlives it (its id is not reused)
// and it can be ended by force. One still running at its end is a hang.
class Thread {
public:
    explicit Thread(std::function<void()> body) : body_(std::move(body)) {
        handle_.reset(CreateThread(nullptr, 0, &Thread::main, this, 0, &id_));
    }
    ~Thread() {
        if (handle_ && !finished()) {
            ADD_FAILURE() << "thread " << id_ << " is stuck; terminating it";
            TerminateThread(handle_.get(), 1);
        }
    }
    DWORD id() const { return id_; }
    HANDLE handle() const { return handle_.get(); }
    bool finished(DWORD patience = kHangGuardMs) const { return signalled(handle(), patience); }

private:
    static DWORD WINAPI main(void* self) {
        try {
            static_cast<Thread*>(self)->body_();
        } catch (...) {
            ADD_FAILURE() << "uncaught exception on a test thread";
        }
        return 0;
    }
    std::function<void()> body_;
    KernelHandle handle_;
    DWORD id_ = 0;
};

// A thread that serves forwarded calls until told it is done.
class LoopThread : public Thread {
public:
    LoopThread() : Thread([] { runMessageLoop(); }) {}
    ~LoopThread() {
        if (!finished(0))
            post(id(), kMessageDone, 0, kHangGuardMs);
    }
};

// The outcome of a forwarded operation, as its requester sees it.
struct Outcome {
    enum Kind { Returned, ComError, RuntimeError, Other } kind = Other;
    HRESULT hresult = S_OK;
    std::string text;
};

Outcome forwardedOutcome(DWORD target, std::function<void()> operation) {
    Outcome outcome;
    try {
        forward(target, std::move(operation));
        outcome.kind = Outcome::Returned;
    } catch (const _com_error& e) {
        outcome.kind = Outcome::ComError;
        outcome.hresult = e.Error();
    } catch (const std::runtime_error& e) {
        // Exactly a runtime_error: a subclass would be the original exception.
        outcome.kind =
            typeid(e) == typeid(std::runtime_error) ? Outcome::RuntimeError : Outcome::Other;
        outcome.text = e.what();
    } catch (...) {
    }
    return outcome;
}

// --- Post and receive --------------------------------------------------------

TEST(Mailbox, SendersToOneMailboxTakeTurnsAndLoseNothing) {
    constexpr int kSenders = 4;
    constexpr UINT_PTR kEach = 100;
    std::vector<ThreadMessage> got;
    Thread receiver([&] {
        for (UINT_PTR i = 0; i < kSenders * kEach; ++i)
            got.push_back(*receive());
    });
    Event go;
    std::vector<DWORD> senderIds;
    std::atomic<int> undelivered{0};
    {
        std::vector<std::unique_ptr<Thread>> senders;
        for (int s = 0; s < kSenders; ++s) {
            senders.push_back(std::make_unique<Thread>([&, s] {
                go.wait();
                for (UINT_PTR i = 0; i < kEach; ++i)
                    undelivered += !post(receiver.id(), 0x3000 + s, i);
            }));
            senderIds.push_back(senders.back()->id());
        }
        go.set();
    }
    ASSERT_TRUE(receiver.finished());
    EXPECT_EQ(undelivered, 0);
    // Each message whole, each sender's once each and in order.
    std::vector<UINT_PTR> next(kSenders, 0);
    for (const auto& message : got) {
        const int s = static_cast<int>(message.message - 0x3000);
        ASSERT_TRUE(s >= 0 && s < kSenders);
        EXPECT_EQ(message.sender, senderIds[s]);
        EXPECT_EQ(message.parameter, next[s]++) << "sender " << s;
    }
    for (int s = 0; s < kSenders; ++s)
        EXPECT_EQ(next[s], kEach) << "sender " << s;
}

TEST(Mailbox, AnEndedThreadTakesNothingAndEndsAWaitForIt) {
    Thread ended([] {});
    ASSERT_TRUE(ended.finished());
    EXPECT_FALSE(post(ended.id(), 0x1234, 1));
    EXPECT_FALSE(post(ended.id(), kMessageDone, 0, 100));
    EXPECT_FALSE(receive(ended.handle()));
}

TEST(Mailbox, PostThatRunsOutOfPatienceLeavesNothingBehind) {
    Event go;
    std::vector<ThreadMessage> got;
    Thread receiver([&] {
        go.wait();
        got.push_back(*receive());
        got.push_back(*receive());
    });
    EXPECT_FALSE(post(receiver.id(), 0x4001, 1, 200));
    go.set();
    EXPECT_TRUE(post(receiver.id(), 0x4002, 2));
    EXPECT_TRUE(post(receiver.id(), 0x4003, 3));
    ASSERT_TRUE(receiver.finished());
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].parameter, 2u) << "the message given up was delivered";
    EXPECT_EQ(got[1].parameter, 3u);
}

// A post returns only once the receiver has taken the message, however late.
TEST(Mailbox, UnboundedPostWaitsForALateReceiverAndDeliversOnce) {
    Event posting, postReturned;
    bool returnedEarly = true;
    std::vector<ThreadMessage> got;
    Thread receiver([&] {
        posting.wait();
        Sleep(1500); // later than the one-second retry: the lateness is what is tested
        returnedEarly = postReturned.isSet();
        got.push_back(*receive());
        got.push_back(*receive());
    });
    bool delivered = false, second = false;
    Thread sender([&] {
        posting.set();
        delivered = post(receiver.id(), 0x5001, 1);
        postReturned.set();
        second = post(receiver.id(), 0x5002, 2);
    });
    ASSERT_TRUE(sender.finished());
    ASSERT_TRUE(receiver.finished());
    EXPECT_FALSE(returnedEarly) << "the post did not wait for the late receiver";
    EXPECT_TRUE(delivered && second);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].sender, sender.id());
    EXPECT_EQ(got[0].message, 0x5001u);
    EXPECT_EQ(got[0].reserved, 0u);
    EXPECT_EQ(got[0].parameter, 1u);
    EXPECT_EQ(got[1].parameter, 2u) << "a retry left a copy of the first message";
}

// A receiver arriving just as the sender's patience runs out sees each message
// once, and only if post said it was delivered.
TEST(Mailbox, GivingUpAndTakingDoNotOverlap) {
    constexpr UINT kEnd = 0x6FFF;
    std::vector<UINT_PTR> got, delivered;
    Thread receiver([&] {
        unsigned seed = 12345;
        for (ThreadMessage m; (m = *receive()).message != kEnd;) {
            got.push_back(m.parameter);
            seed = seed * 1103515245u + 12345u;
            const DWORD until = GetTickCount() + (seed >> 16) % 3;
            while (static_cast<LONG>(GetTickCount() - until) < 0)
                YieldProcessor();
        }
    });
    for (UINT_PTR i = 0; i < 1000; ++i)
        if (post(receiver.id(), 0x6000, i, 1))
            delivered.push_back(i);
    ASSERT_TRUE(post(receiver.id(), kEnd, 0));
    ASSERT_TRUE(receiver.finished());
    EXPECT_EQ(got, delivered);
}

// --- The message loop ----------------------------------------------------------

TEST(MessageLoop, IgnoresOtherMessagesAndEndsOnDone) {
    LoopThread loop;
    for (UINT message : {0u, 1u, 0x1234u, 0x7FEFu, 0x7FF2u, 0xFFFFFFFFu})
        EXPECT_TRUE(post(loop.id(), message, 0)) << message;
    bool ran = false;
    forward(loop.id(), [&] { ran = true; });
    EXPECT_TRUE(ran) << "the loop stopped serving";
    EXPECT_TRUE(post(loop.id(), kMessageDone, 0));
    EXPECT_TRUE(loop.finished());
}

// A requester gone by the time its package ends cannot be told; the loop must
// go on serving everyone else.
TEST(MessageLoop, KeepsServingWhenARequesterIsGone) {
    LoopThread loop;
    DWORD goneId = 0;
    {
        Thread gone([] {});
        ASSERT_TRUE(gone.finished());
        goneId = gone.id();
    }
    bool ran = false;
    CallPackage package;
    package.operation = [&] { ran = true; };
    package.requester = goneId;
    ASSERT_TRUE(post(loop.id(), kMessageRunPackage, reinterpret_cast<UINT_PTR>(&package)));
    Outcome outcome = forwardedOutcome(loop.id(), [] {});
    EXPECT_TRUE(ran);
    EXPECT_EQ(outcome.kind, Outcome::Returned) << "the loop ended";
}

// --- Forwarded calls -------------------------------------------------------------

TEST(Forward, FailuresComeBackAsTheirKindAndTheTargetServesOn) {
    LoopThread target;
    const HRESULT itf = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x1234);
    const struct {
        const char* name;
        std::function<void()> operation;
        Outcome::Kind kind;
        HRESULT hresult;
        std::string text;
        HRESULT atEntryPoint; // what guarded() makes of it
    } cases[] = {
        {"_com_error", [] { throw _com_error(E_ACCESSDENIED); }, Outcome::ComError, E_ACCESSDENIED,
         "", E_ACCESSDENIED},
        {"raise", [] { raise(STG_E_REVERTED); }, Outcome::ComError, STG_E_REVERTED, "",
         STG_E_REVERTED},
        {"HRESULT", [&] { throw itf; }, Outcome::ComError, itf, "", itf},
        // The code of a Windows error does not travel, nor does bad_alloc stay one.
        {"win_except", [] { throw cfx::win_except(ERROR_CANCELLED); }, Outcome::RuntimeError, S_OK,
         cfx::win_except(ERROR_CANCELLED).what(), E_UNEXPECTED},
        {"bad_alloc", [] { throw std::bad_alloc(); }, Outcome::RuntimeError, S_OK,
         std::bad_alloc().what(), E_UNEXPECTED},
        {"invalid_argument", [] { throw std::invalid_argument("bad key"); }, Outcome::RuntimeError,
         S_OK, "bad key", E_UNEXPECTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Outcome outcome = forwardedOutcome(target.id(), c.operation);
        EXPECT_EQ(outcome.kind, c.kind);
        EXPECT_TRUE(hrIs(c.hresult, outcome.hresult));
        EXPECT_EQ(outcome.text, c.text);
        EXPECT_TRUE(hrIs(c.atEntryPoint, guarded([&] { forward(target.id(), c.operation); })));
        DWORD ranOn = 0;
        forward(target.id(), [&] { ranOn = GetCurrentThreadId(); });
        EXPECT_EQ(ranOn, target.id());
    }
}

TEST(Forward, CallbacksIntoTheRequesterNestAndCarryTheirFailures) {
    LoopThread target;
    const DWORD t = target.id(), r = GetCurrentThreadId();
    std::vector<DWORD> trail;
    auto mark = [&] { trail.push_back(GetCurrentThreadId()); };
    forward(t, [&] {
        mark();
        forward(r, [&] {
            mark();
            forward(t, [&] {
                mark();
                forward(r, mark);
                mark();
            });
            mark();
        });
        mark();
    });
    EXPECT_EQ(trail, (std::vector<DWORD>{t, r, t, r, t, r, t}));

    bool targetSawIt = false;
    Outcome outcome = forwardedOutcome(t, [&] {
        try {
            forward(r, [] { throw _com_error(E_ACCESSDENIED); });
        } catch (const _com_error& e) {
            targetSawIt = e.Error() == E_ACCESSDENIED;
            throw;
        }
    });
    EXPECT_TRUE(targetSawIt);
    EXPECT_EQ(outcome.kind, Outcome::ComError);
    EXPECT_TRUE(hrIs(E_ACCESSDENIED, outcome.hresult));
}

TEST(Forward, ATargetThatEndsBeforeOrDuringTheCallFailsIt) {
    {
        Thread ended([] {});
        ASSERT_TRUE(ended.finished());
        EXPECT_TRUE(hrIs(kForwardTargetGone, forwardedOutcome(ended.id(), [] {}).hresult));
    }
    {
        LoopThread told;
        ASSERT_TRUE(post(told.id(), kMessageDone, 0));
        ASSERT_TRUE(told.finished());
        bool ran = false;
        EXPECT_TRUE(
            hrIs(kForwardTargetGone, guarded([&] { forward(told.id(), [&] { ran = true; }); })));
        EXPECT_FALSE(ran);
    }
    {
        LoopThread target;
        Event running, never;
        Thread terminator([&] {
            running.wait();
            TerminateThread(target.handle(), 0);
        });
        Outcome outcome = forwardedOutcome(target.id(), [&] {
            running.set();
            never.wait(INFINITE);
        });
        EXPECT_TRUE(hrIs(kForwardTargetGone, outcome.hresult)) << "terminated";
    }
    {
        LoopThread target;
        Outcome outcome = forwardedOutcome(target.id(), [] { ExitThread(7); });
        EXPECT_TRUE(hrIs(kForwardTargetGone, outcome.hresult)) << "ended by the operation";
    }
}

// --- The storage thread (one per process: each test starts and stops it) ---------

// Tells whether a thread shut its apartment down, which one ended by force never does.
class UninitializeSpy : public IInitializeSpy {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        *out = iid == IID_IUnknown || iid == IID_IInitializeSpy ? this : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    // Lives as long as the program: COM may hold it for a terminated thread.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP PreInitialize(DWORD, DWORD) override { return S_OK; }
    STDMETHODIMP PostInitialize(HRESULT hr, DWORD, DWORD) override { return hr; }
    STDMETHODIMP PreUninitialize(DWORD) override {
        Sleep(holdMs);
        return S_OK;
    }
    STDMETHODIMP PostUninitialize(DWORD) override {
        uninitialized.set();
        return S_OK;
    }
    Event uninitialized;
    DWORD holdMs = 0; // how long the thread's apartment shutdown takes
};

class StorageThreadTest : public testing::Test {
protected:
    void SetUp() override { server::startOrStopStorageThread(true); }
    void TearDown() override { server::startOrStopStorageThread(false); }

    // The storage thread's handle, with the spy registered on it.
    KernelHandle watch(UninitializeSpy& spy) {
        ULARGE_INTEGER cookie{};
        server::runOnStorageThread([&] { CoRegisterInitializeSpy(&spy, &cookie); });
        return KernelHandle(OpenThread(SYNCHRONIZE, FALSE, server::storageThreadId()));
    }
};

TEST_F(StorageThreadTest, WithoutAThreadRunRaisesInvalidThreadId) {
    server::startOrStopStorageThread(false);
    EXPECT_EQ(server::storageThreadId(), 0u);
    bool ran = false;
    DWORD code = 0;
    try {
        server::runOnStorageThread([&] { ran = true; });
    } catch (const cfx::win_except& e) {
        code = e.code();
    }
    EXPECT_FALSE(ran);
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
}

TEST_F(StorageThreadTest, StartingAgainAlsoAtOnceFromManyThreadsKeepsTheOneThread) {
    const DWORD first = server::storageThreadId();
    ASSERT_NE(first, 0u);
    EXPECT_FALSE(server::isStorageThread());
    Event go;
    std::vector<DWORD> seen(4);
    {
        std::vector<std::unique_ptr<Thread>> starters;
        for (size_t i = 0; i < seen.size(); ++i)
            starters.push_back(std::make_unique<Thread>([&, i] {
                go.wait();
                server::startOrStopStorageThread(true);
                seen[i] = server::storageThreadId();
            }));
        go.set();
    }
    EXPECT_EQ(seen, std::vector<DWORD>(4, first));
}

TEST_F(StorageThreadTest, RunForwardsFromOtherThreadsAndRunsDirectlyOnItself) {
    const DWORD storage = server::storageThreadId();
    const DWORD requester = GetCurrentThreadId();
    std::vector<DWORD> trail;
    bool windowsErrorKept = false;
    HRESULT apartment = S_OK;
    server::runOnStorageThread([&] {
        trail.push_back(GetCurrentThreadId());
        server::runOnStorageThread([&] { trail.push_back(GetCurrentThreadId()); });
        forward(requester, [&] {
            trail.push_back(GetCurrentThreadId());
            server::runOnStorageThread([&] { trail.push_back(GetCurrentThreadId()); });
        });
        // Run directly, the exception is the original one.
        try {
            server::runOnStorageThread([] { throw cfx::win_except(ERROR_CANCELLED); });
        } catch (const cfx::win_except& e) {
            windowsErrorKept = e.code() == ERROR_CANCELLED;
        }
        // A single-threaded apartment.
        apartment = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (SUCCEEDED(apartment))
            CoUninitialize();
    });
    EXPECT_EQ(trail, (std::vector<DWORD>{storage, storage, requester, storage}));
    EXPECT_TRUE(windowsErrorKept);
    EXPECT_TRUE(hrIs(S_FALSE, apartment));
    EXPECT_TRUE(hrIs(E_UNEXPECTED, guarded([] {
                         server::runOnStorageThread([] { throw cfx::win_except(ERROR_CANCELLED); });
                     })));
}

TEST_F(StorageThreadTest, StopEndsAnIdleThreadCleanlyAndAStartMakesANewOne) {
    UninitializeSpy spy;
    KernelHandle thread = watch(spy);
    server::startOrStopStorageThread(false);
    EXPECT_EQ(server::storageThreadId(), 0u);
    EXPECT_TRUE(signalled(thread.get(), 0)) << "the storage thread still runs";
    EXPECT_TRUE(spy.uninitialized.isSet()) << "it was terminated, not stopped";
    server::startOrStopStorageThread(false);
    server::startOrStopStorageThread(true);
    DWORD ranOn = 0;
    server::runOnStorageThread([&] { ranOn = GetCurrentThreadId(); });
    EXPECT_NE(ranOn, 0u);
    EXPECT_EQ(ranOn, server::storageThreadId());
}

// A thread that takes the quit message but does not end within a second (here
// its apartment's shutdown takes three) is ended by force.
TEST_F(StorageThreadTest, StopEndsAThreadThatDoesNotEndAfterQuitting) {
    static UninitializeSpy spy; // COM may call it after the test
    spy.holdMs = 3000;
    KernelHandle thread = watch(spy);
    server::startOrStopStorageThread(false);
    EXPECT_TRUE(signalled(thread.get(), 0)) << "the storage thread still runs";
    EXPECT_FALSE(spy.uninitialized.isSet()) << "it was not ended by force";
}

// Unloading must not wait for ever on a stuck storage thread, nor on another
// thread waiting to forward to it; both requesters are released with a failure.
TEST_F(StorageThreadTest, StopEndsAThreadBlockedInALongOperation) {
    UninitializeSpy spy;
    KernelHandle thread = watch(spy);
    const DWORD id = server::storageThreadId();
    Event blocked, never, secondForwarding;
    Outcome first, second;
    Thread firstRequester([&] {
        first = forwardedOutcome(id, [&] {
            blocked.set();
            never.wait(INFINITE);
        });
    });
    ASSERT_TRUE(blocked.wait());
    Thread secondRequester([&] {
        secondForwarding.set();
        second = forwardedOutcome(id, [] { ADD_FAILURE() << "ran after the stop"; });
    });
    ASSERT_TRUE(secondForwarding.wait());
    Sleep(kChanceMs); // nothing marks the second call waiting at the mailbox

    Event stopped;
    Thread stopper([&] {
        server::startOrStopStorageThread(false);
        stopped.set();
    });
    const bool returned = stopped.wait(10000); // stop gives the thread one second
    if (!returned)
        TerminateThread(thread.get(), 1);
    EXPECT_TRUE(returned) << "stop waited for a stuck thread";
    EXPECT_TRUE(signalled(thread.get(), 0)) << "the storage thread still runs";
    EXPECT_FALSE(spy.uninitialized.isSet()) << "the thread was not ended by force";
    EXPECT_EQ(server::storageThreadId(), 0u);
    ASSERT_TRUE(firstRequester.finished() && secondRequester.finished());
    EXPECT_TRUE(hrIs(kForwardTargetGone, first.hresult));
    EXPECT_TRUE(hrIs(kForwardTargetGone, second.hresult));
}

// Many shell threads forwarding at once, each mixing results, call-backs and
// failures: every answer reaches the thread that asked (also while other
// packages call back), each thread's calls run in its order, one at a time
// (no package starts inside another's call-back), on the storage thread.
TEST_F(StorageThreadTest, ManyRequestersGetTheirOwnAnswersInOrder) {
    constexpr int kRequesters = 8, kCalls = 300;
    std::array<int, kRequesters> lastCall;
    lastCall.fill(-1);
    int running = 0, wrongPlace = 0; // kept by the storage thread only
    std::array<int, kRequesters> wrong{};
    std::vector<std::unique_ptr<Thread>> requesters;
    for (int r = 0; r < kRequesters; ++r) {
        requesters.push_back(std::make_unique<Thread>([&, r] {
            const DWORD me = GetCurrentThreadId();
            for (int call = 0; call < kCalls; ++call) {
                const int kind = (call * 7 + r * 3) % 5;
                const HRESULT failure =
                    MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x1000 + r * kCalls + call);
                long result = 0;
                Outcome outcome = forwardedOutcome(server::storageThreadId(), [&] {
                    wrongPlace +=
                        !server::isStorageThread() || lastCall[r] != call - 1 || running++ != 0;
                    lastCall[r] = call;
                    struct Leave {
                        int& running;
                        ~Leave() { --running; }
                    } leave{running};
                    switch (kind) {
                    case 0:
                        result = r * 100000L + call;
                        break;
                    case 1:
                        forward(me, [&] {
                            result = GetCurrentThreadId() == me ? r * 100000L + call : -1;
                        });
                        break;
                    case 2:
                        forward(me, [&] { throw _com_error(failure); });
                        break;
                    case 3:
                        throw failure;
                    default:
                        throw cfx::win_except(ERROR_ACCESS_DENIED);
                    }
                });
                const bool right =
                    kind < 2   ? outcome.kind == Outcome::Returned && result == r * 100000L + call
                    : kind < 4 ? outcome.kind == Outcome::ComError && outcome.hresult == failure
                               : outcome.kind == Outcome::RuntimeError;
                wrong[r] += !right;
            }
        }));
    }
    for (auto& requester : requesters)
        ASSERT_TRUE(requester->finished(60000)) << "deadlock";
    requesters.clear();
    EXPECT_EQ(wrongPlace, 0) << "calls off the storage thread, out of order or interleaved";
    for (int r = 0; r < kRequesters; ++r) {
        EXPECT_EQ(wrong[r], 0) << "requester " << r;
        EXPECT_EQ(lastCall[r], kCalls - 1) << "requester " << r;
    }
}

} // namespace
} // namespace cfx
