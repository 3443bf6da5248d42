// Thread mailboxes, the message loop, forwarded calls and the storage thread
// that serves them, exercised with real threads of the test program.
#include "folder/ThreadMailbox.h"
#include "common/Exceptions.h"
#include "common/Handles.h"
#include "server/StorageThread.h"
#include "support/TestText.h"

#include <windows.h>
#include <comdef.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

namespace cfx {
namespace {

using test::hex;
using test::hrIs;

// A wait that only ends early when something is broken: a deadlock fails the
// test instead of hanging the run. Nothing is asserted about speed.
constexpr DWORD kHangGuardMs = 30000;

// Where no event marks the moment a wrong implementation would misbehave (a
// post returning before its message was taken, a second package starting),
// the test gives it this long to do so. A correct one never does.
constexpr DWORD kChanceMs = 300;

// A manual-reset event.
class Event {
public:
    Event() : handle_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    void set() const { SetEvent(handle_.get()); }
    bool isSet() const { return WaitForSingleObject(handle_.get(), 0) == WAIT_OBJECT_0; }
    // True when set within the time given.
    bool wait(DWORD patience = kHangGuardMs) const {
        return WaitForSingleObject(handle_.get(), patience) == WAIT_OBJECT_0;
    }
    HANDLE get() const { return handle_.get(); }

private:
    KernelHandle handle_;
};

bool signalled(HANDLE handle, DWORD patience = kHangGuardMs) {
    return WaitForSingleObject(handle, patience) == WAIT_OBJECT_0;
}

// A thread of the test. A Windows thread rather than std::thread: the test
// keeps its handle after it ended, may terminate it, and lets it end itself.
// One still running when the test lets go of it is a hang: it fails the test
// and is terminated.
class Thread {
public:
    explicit Thread(std::function<void()> body) : body_(std::move(body)) {
        handle_.reset(CreateThread(nullptr, 0, &Thread::main, this, 0, &id_));
        if (!handle_)
            ADD_FAILURE() << "CreateThread failed: " << GetLastError();
    }
    ~Thread() {
        if (handle_ && !finished()) {
            ADD_FAILURE() << "thread " << id_ << " is stuck; terminating it";
            TerminateThread(handle_.get(), 1);
        }
    }
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    DWORD id() const { return id_; }
    HANDLE handle() const { return handle_.get(); }
    bool finished(DWORD patience = kHangGuardMs) const {
        return signalled(handle_.get(), patience);
    }

    // Ends a thread found stuck, so that the test can report it and go on.
    void terminate() const {
        if (!finished(0))
            TerminateThread(handle_.get(), 1);
    }

private:
    static DWORD WINAPI main(void* self) {
        try {
            static_cast<Thread*>(self)->body_();
        } catch (const std::exception& e) {
            ADD_FAILURE() << "uncaught exception on a test thread: " << e.what();
        } catch (const _com_error& e) {
            ADD_FAILURE() << "uncaught _com_error on a test thread: " << hex(e.Error());
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
class LoopThread {
public:
    LoopThread() : thread_([] { runMessageLoop(); }) {}
    ~LoopThread() {
        if (!thread_.finished(0))
            post(thread_.id(), kMessageDone, 0, kHangGuardMs);
    }

    DWORD id() const { return thread_.id(); }
    HANDLE handle() const { return thread_.handle(); }
    bool finished(DWORD patience = kHangGuardMs) const { return thread_.finished(patience); }

private:
    Thread thread_;
};

// The outcome of an operation that was forwarded, as a requester sees it.
struct Outcome {
    enum Kind { Returned, ComError, RuntimeError, WindowsError, Other } kind = Other;
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
    } catch (const cfx::win_except& e) {
        outcome.kind = Outcome::WindowsError;
        outcome.text = e.what();
    } catch (const std::runtime_error& e) {
        // Only a runtime_error exactly: a subclass would mean the original
        // exception came back.
        outcome.kind =
            typeid(e) == typeid(std::runtime_error) ? Outcome::RuntimeError : Outcome::Other;
        outcome.text = e.what();
    } catch (...) {
        outcome.kind = Outcome::Other;
    }
    return outcome;
}

// ---------------------------------------------------------------------------
// Post and receive

TEST(Mailbox, PostReturnsOnlyOnceTheReceiverHasTakenTheMessage) {
    Event posting, postReturned;
    bool returnedEarly = true;
    std::optional<ThreadMessage> got;
    Thread receiver([&] {
        posting.wait();
        // A post that does not wait for the receiver returns in this time.
        returnedEarly = postReturned.wait(kChanceMs);
        got = receive();
    });

    const DWORD me = GetCurrentThreadId();
    posting.set();
    EXPECT_TRUE(post(receiver.id(), 0x1234, 0xABCD));
    postReturned.set();
    ASSERT_TRUE(receiver.finished());

    EXPECT_FALSE(returnedEarly) << "post returned before the receiver took the message";
    ASSERT_TRUE(got);
    EXPECT_EQ(got->sender, me);
    EXPECT_EQ(got->message, 0x1234u);
    EXPECT_EQ(got->reserved, 0u);
    EXPECT_EQ(got->parameter, 0xABCDu);
}

TEST(Mailbox, MessagesFromOneSenderArriveInOrder) {
    constexpr UINT_PTR kCount = 200;
    std::vector<ThreadMessage> got;
    Thread receiver([&] {
        for (UINT_PTR i = 0; i < kCount; ++i)
            got.push_back(*receive());
    });
    for (UINT_PTR i = 0; i < kCount; ++i)
        ASSERT_TRUE(post(receiver.id(), 0x2000 + static_cast<UINT>(i % 3), i));
    ASSERT_TRUE(receiver.finished());

    ASSERT_EQ(got.size(), kCount);
    for (UINT_PTR i = 0; i < kCount; ++i) {
        EXPECT_EQ(got[i].parameter, i);
        EXPECT_EQ(got[i].message, 0x2000 + static_cast<UINT>(i % 3));
        EXPECT_EQ(got[i].sender, GetCurrentThreadId());
    }
}

TEST(Mailbox, SendersToOneMailboxTakeTurnsAndLoseNothing) {
    constexpr int kSenders = 4;
    constexpr UINT_PTR kEach = 100;
    std::vector<ThreadMessage> got;
    Thread receiver([&] {
        for (UINT_PTR i = 0; i < kSenders * kEach; ++i)
            got.push_back(*receive());
    });

    Event go;
    std::vector<DWORD> senderIds(kSenders);
    std::atomic<int> undelivered{0};
    {
        std::vector<std::unique_ptr<Thread>> senders;
        for (int s = 0; s < kSenders; ++s) {
            senders.push_back(std::make_unique<Thread>([&, s] {
                go.wait();
                for (UINT_PTR i = 0; i < kEach; ++i)
                    if (!post(receiver.id(), 0x3000 + s, i))
                        ++undelivered;
            }));
            senderIds[s] = senders.back()->id();
        }
        go.set();
        for (auto& sender : senders)
            EXPECT_TRUE(sender->finished());
    }
    ASSERT_TRUE(receiver.finished());
    EXPECT_EQ(undelivered, 0);

    // Each message arrives whole (its sender matches the one it names) and
    // each sender's messages arrive once each, in order.
    std::vector<UINT_PTR> next(kSenders, 0);
    for (const auto& message : got) {
        ASSERT_GE(message.message, 0x3000u);
        ASSERT_LT(message.message, 0x3000u + kSenders);
        int s = static_cast<int>(message.message - 0x3000);
        EXPECT_EQ(message.sender, senderIds[s]);
        EXPECT_EQ(message.parameter, next[s]) << "sender " << s;
        next[s] = message.parameter + 1;
    }
    for (int s = 0; s < kSenders; ++s)
        EXPECT_EQ(next[s], kEach) << "sender " << s;
}

TEST(Mailbox, PostToAnEndedThreadIsNotDelivered) {
    Thread ended([] {});
    ASSERT_TRUE(ended.finished());
    // The handle kept by the test keeps the thread's id from being reused.
    EXPECT_FALSE(post(ended.id(), 0x1234, 1));
    EXPECT_FALSE(post(ended.id(), kMessageDone, 0, 100));
}

TEST(Mailbox, PostThatRunsOutOfPatienceLeavesNothingBehind) {
    Event go;
    std::vector<ThreadMessage> got;
    Thread receiver([&] {
        go.wait();
        got.push_back(*receive());
        got.push_back(*receive());
    });

    // The receiver is alive but not receiving: the post gives up.
    EXPECT_FALSE(post(receiver.id(), 0x4001, 1, 200));
    EXPECT_FALSE(receiver.finished(0));

    // What the receiver takes later is what is sent later, not the message
    // that was given up.
    go.set();
    EXPECT_TRUE(post(receiver.id(), 0x4002, 2));
    EXPECT_TRUE(post(receiver.id(), 0x4003, 3));
    ASSERT_TRUE(receiver.finished());
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].message, 0x4002u);
    EXPECT_EQ(got[0].parameter, 2u);
    EXPECT_EQ(got[1].message, 0x4003u);
    EXPECT_EQ(got[1].parameter, 3u);
}

TEST(Mailbox, UnboundedPostWaitsForALateReceiverAndDeliversOnce) {
    Event posting, postReturned;
    bool returnedEarly = true;
    std::vector<ThreadMessage> got;
    Thread receiver([&] {
        posting.wait();
        // The receiver is late by more than the one-second retry period: the
        // lateness is what is tested.
        Sleep(1500);
        returnedEarly = postReturned.isSet();
        got.push_back(*receive());
        got.push_back(*receive());
    });

    bool delivered = false, second = false;
    DWORD start = 0, took = 0;
    Thread sender([&] {
        posting.set();
        start = GetTickCount();
        delivered = post(receiver.id(), 0x5001, 1);
        took = GetTickCount() - start;
        postReturned.set();
        second = post(receiver.id(), 0x5002, 2);
    });
    ASSERT_TRUE(sender.finished());
    ASSERT_TRUE(receiver.finished());
    std::printf("post to a late receiver returned after %lu ms\n",
                static_cast<unsigned long>(took));

    EXPECT_FALSE(returnedEarly) << "the post did not wait for the late receiver";
    EXPECT_TRUE(delivered);
    EXPECT_TRUE(second);
    // Delivered once: the second message is the second one sent, not a copy
    // of the first left behind by a retry.
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].message, 0x5001u);
    EXPECT_EQ(got[0].parameter, 1u);
    EXPECT_EQ(got[1].message, 0x5002u);
    EXPECT_EQ(got[1].parameter, 2u);
}

// A post that gives up must not have been delivered after all, and one that
// reports delivery must have been taken: a receiver that arrives just as the
// sender's patience runs out sees each message once and only if post said so.
TEST(Mailbox, GivingUpAndTakingDoNotOverlap) {
    constexpr UINT_PTR kAttempts = 1000;
    constexpr UINT kEnd = 0x6FFF;
    std::vector<UINT_PTR> got;
    Thread receiver([&] {
        unsigned seed = 12345;
        for (;;) {
            ThreadMessage message = *receive();
            if (message.message == kEnd)
                break;
            got.push_back(message.parameter);
            // Arrives again at varying moments around the sender's patience.
            seed = seed * 1103515245u + 12345u;
            DWORD until = GetTickCount() + (seed >> 16) % 3;
            while (static_cast<LONG>(GetTickCount() - until) < 0)
                YieldProcessor();
        }
    });
    std::vector<UINT_PTR> delivered;
    for (UINT_PTR i = 0; i < kAttempts; ++i)
        if (post(receiver.id(), 0x6000, i, 1))
            delivered.push_back(i);
    ASSERT_TRUE(post(receiver.id(), kEnd, 0));
    ASSERT_TRUE(receiver.finished());
    std::printf("%zu of %zu posts delivered\n", delivered.size(), static_cast<size_t>(kAttempts));

    // Compared message by message: both lists are in sending order.
    std::vector<UINT_PTR> takenThoughGivenUp, reportedButNotTaken;
    size_t g = 0, d = 0;
    while (g < got.size() || d < delivered.size()) {
        if (d == delivered.size() || (g < got.size() && got[g] < delivered[d]))
            takenThoughGivenUp.push_back(got[g++]);
        else if (g == got.size() || delivered[d] < got[g])
            reportedButNotTaken.push_back(delivered[d++]);
        else
            ++g, ++d;
    }
    EXPECT_TRUE(takenThoughGivenUp.empty())
        << takenThoughGivenUp.size() << " messages were taken although post gave them up, first "
        << takenThoughGivenUp.front();
    EXPECT_TRUE(reportedButNotTaken.empty())
        << reportedButNotTaken.size() << " messages were reported delivered but never taken, first "
        << reportedButNotTaken.front();
}

TEST(Mailbox, ReceiveGivesUpWhenTheWatchedThreadEnds) {
    Thread ended([] {});
    ASSERT_TRUE(ended.finished());
    EXPECT_FALSE(receive(ended.handle()));
}

// ---------------------------------------------------------------------------
// The message loop

TEST(MessageLoop, RunsPackagesAndReportsHowTheyEnded) {
    LoopThread loop;
    const DWORD me = GetCurrentThreadId();

    struct Case {
        const char* name;
        std::function<void()> operation;
        CallPackage::Status status;
        HRESULT hresult;
        std::string text;
    };
    const Case cases[] = {
        {"completes", [] {}, CallPackage::Completed, S_OK, ""},
        {"_com_error", [] { throw _com_error(E_ACCESSDENIED); }, CallPackage::Failed,
         E_ACCESSDENIED, ""},
        {"HRESULT", [] { throw HRESULT(STG_E_FILENOTFOUND); }, CallPackage::Failed,
         STG_E_FILENOTFOUND, ""},
        {"standard exception", [] { throw std::logic_error("out of order"); },
         CallPackage::StandardException, S_OK, "out of order"},
        {"Windows error", [] { throw cfx::win_except(ERROR_CANCELLED); },
         CallPackage::StandardException, S_OK, cfx::win_except(ERROR_CANCELLED).what()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DWORD ranOn = 0;
        CallPackage package;
        package.operation = [&] {
            ranOn = GetCurrentThreadId();
            c.operation();
        };
        package.requester = me;
        ASSERT_TRUE(post(loop.id(), kMessageRunPackage, reinterpret_cast<UINT_PTR>(&package)));
        std::optional<ThreadMessage> done = receive(loop.handle());
        ASSERT_TRUE(done);
        EXPECT_EQ(done->message, kMessageDone);
        EXPECT_EQ(done->sender, loop.id());
        EXPECT_EQ(ranOn, loop.id());
        EXPECT_EQ(package.status, c.status);
        EXPECT_TRUE(hrIs(c.hresult, package.hresult));
        EXPECT_EQ(package.text, c.text);
    }
}

TEST(MessageLoop, IgnoresOtherMessagesAndEndsOnDone) {
    LoopThread loop;
    for (UINT message : {0u, 1u, 0x1234u, 0x7FEFu, 0x7FF2u, 0xFFFFFFFFu})
        EXPECT_TRUE(post(loop.id(), message, 0)) << message;

    // Still serving.
    bool ran = false;
    forward(loop.id(), [&] { ran = true; });
    EXPECT_TRUE(ran);

    EXPECT_TRUE(post(loop.id(), kMessageDone, 0));
    EXPECT_TRUE(loop.finished());
}

// A requester that is gone by the time its package ends (its thread was ended
// by force) cannot be told; the loop must go on serving everyone else.
TEST(MessageLoop, KeepsServingWhenARequesterIsGone) {
    LoopThread loop;
    DWORD goneId = 0;
    {
        Thread gone([] {});
        ASSERT_TRUE(gone.finished());
        goneId = gone.id();
    } // its last handle is closed: the thread id no longer opens

    bool ran = false;
    CallPackage package;
    package.operation = [&] { ran = true; };
    package.requester = goneId;
    ASSERT_TRUE(post(loop.id(), kMessageRunPackage, reinterpret_cast<UINT_PTR>(&package)));

    // The next forward is served only after that package has been run.
    int value = 0;
    Outcome outcome = forwardedOutcome(loop.id(), [&] { value = 5; });
    EXPECT_TRUE(ran);
    EXPECT_EQ(outcome.kind, Outcome::Returned) << "the loop ended";
    EXPECT_EQ(value, 5);
    EXPECT_FALSE(loop.finished(0));
}

// ---------------------------------------------------------------------------
// Forwarded calls

TEST(Forward, RunsTheOperationOnTheTargetAndWaitsForIt) {
    LoopThread target;
    DWORD ranOn = 0;
    int result = 0;
    forward(target.id(), [&] {
        ranOn = GetCurrentThreadId();
        result = 42;
    });
    EXPECT_EQ(ranOn, target.id());
    EXPECT_EQ(result, 42);

    // One after another, with each result written before forward returns.
    for (int i = 0; i < 50; ++i) {
        forward(target.id(), [&] { result = i * 3; });
        ASSERT_EQ(result, i * 3);
    }
}

TEST(Forward, ComErrorComesBackWithItsHresult) {
    LoopThread target;
    Outcome outcome = forwardedOutcome(target.id(), [] { throw _com_error(E_ACCESSDENIED); });
    EXPECT_EQ(outcome.kind, Outcome::ComError);
    EXPECT_TRUE(hrIs(E_ACCESSDENIED, outcome.hresult));

    // Through the library's own helper, and at an entry point.
    EXPECT_TRUE(hrIs(STG_E_REVERTED,
                     guarded([&] { forward(target.id(), [] { raise(STG_E_REVERTED); }); })));
    EXPECT_TRUE(hrIs(E_ACCESSDENIED, guarded([&] {
                         forward(target.id(), [] { throw _com_error(E_ACCESSDENIED); });
                     })));
}

TEST(Forward, ThrownHresultComesBackAsComError) {
    LoopThread target;
    const HRESULT failure = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x1234);
    Outcome outcome = forwardedOutcome(target.id(), [&] { throw failure; });
    EXPECT_EQ(outcome.kind, Outcome::ComError);
    EXPECT_TRUE(hrIs(failure, outcome.hresult));
}

TEST(Forward, WindowsErrorComesBackAsRuntimeErrorWithItsText) {
    LoopThread target;
    const std::string text = cfx::win_except(ERROR_CANCELLED).what();
    ASSERT_FALSE(text.empty());

    Outcome outcome = forwardedOutcome(target.id(), [] { throw cfx::win_except(ERROR_CANCELLED); });
    EXPECT_EQ(outcome.kind, Outcome::RuntimeError) << "the Windows error itself came back";
    EXPECT_EQ(outcome.text, text);

    // The code does not travel: an entry point answers E_UNEXPECTED, not
    // HRESULT_FROM_WIN32(ERROR_CANCELLED).
    EXPECT_TRUE(hrIs(E_UNEXPECTED, guarded([&] {
                         forward(target.id(), [] { throw cfx::win_except(ERROR_CANCELLED); });
                     })));
    EXPECT_TRUE(hrIs(E_UNEXPECTED, guarded([&] {
                         forward(target.id(), [] {
                             SetLastError(ERROR_ACCESS_DENIED);
                             cfx::throwLastError();
                         });
                     })));
}

TEST(Forward, OtherStandardExceptionsComeBackAsRuntimeErrors) {
    LoopThread target;
    Outcome outOfMemory = forwardedOutcome(target.id(), [] { throw std::bad_alloc(); });
    EXPECT_EQ(outOfMemory.kind, Outcome::RuntimeError);
    EXPECT_EQ(outOfMemory.text, std::bad_alloc().what());
    // Not E_OUTOFMEMORY: it is no longer a bad_alloc.
    EXPECT_TRUE(
        hrIs(E_UNEXPECTED, guarded([&] { forward(target.id(), [] { throw std::bad_alloc(); }); })));

    Outcome logic = forwardedOutcome(target.id(), [] { throw std::invalid_argument("bad key"); });
    EXPECT_EQ(logic.kind, Outcome::RuntimeError);
    EXPECT_EQ(logic.text, "bad key");
}

TEST(Forward, TargetStillServesAfterFailures) {
    LoopThread target;
    for (int i = 0; i < 20; ++i) {
        Outcome outcome = forwardedOutcome(target.id(), [i] {
            if (i % 2)
                throw _com_error(E_FAIL);
            throw std::runtime_error("odd");
        });
        EXPECT_NE(outcome.kind, Outcome::Returned);
        int value = 0;
        forward(target.id(), [&] { value = i; });
        EXPECT_EQ(value, i);
    }
}

TEST(Forward, TargetCanCallBackIntoTheRequester) {
    LoopThread target;
    const DWORD requester = GetCurrentThreadId();
    std::vector<DWORD> trail;
    forward(target.id(), [&] {
        trail.push_back(GetCurrentThreadId());
        forward(requester, [&] { trail.push_back(GetCurrentThreadId()); });
        trail.push_back(GetCurrentThreadId());
    });
    EXPECT_EQ(trail, (std::vector<DWORD>{target.id(), requester, target.id()}));
}

TEST(Forward, CallbacksNestTwoLevelsDeep) {
    LoopThread target;
    const DWORD requester = GetCurrentThreadId();
    std::vector<DWORD> trail;
    auto mark = [&] { trail.push_back(GetCurrentThreadId()); };
    forward(target.id(), [&] {
        mark();
        forward(requester, [&] {
            mark();
            forward(target.id(), [&] {
                mark();
                forward(requester, [&] { mark(); });
                mark();
            });
            mark();
        });
        mark();
    });
    const DWORD t = target.id(), r = requester;
    EXPECT_EQ(trail, (std::vector<DWORD>{t, r, t, r, t, r, t}));
}

TEST(Forward, FailureInACallbackTravelsBackThroughBothThreads) {
    LoopThread target;
    const DWORD requester = GetCurrentThreadId();
    bool targetSawIt = false;
    Outcome outcome = forwardedOutcome(target.id(), [&] {
        try {
            forward(requester, [] { throw _com_error(E_ACCESSDENIED); });
        } catch (const _com_error& e) {
            targetSawIt = e.Error() == E_ACCESSDENIED;
            throw;
        }
    });
    EXPECT_TRUE(targetSawIt);
    EXPECT_EQ(outcome.kind, Outcome::ComError);
    EXPECT_TRUE(hrIs(E_ACCESSDENIED, outcome.hresult));
}

TEST(Forward, ConcurrentRequestersAreServedOneAfterTheOther) {
    LoopThread target;
    std::vector<std::string> trail; // touched on the target only
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    Event firstInside, secondInside;
    auto enter = [&](const char* who) {
        if (++inside > 1)
            ++overlaps;
        trail.push_back(std::string(who) + " begins");
    };
    auto leave = [&](const char* who) {
        trail.push_back(std::string(who) + " ends");
        --inside;
    };

    Thread first([&] {
        forward(target.id(), [&] {
            enter("first");
            firstInside.set();
            // A target that ran the second package now would start it here.
            secondInside.wait(kChanceMs);
            leave("first");
        });
    });
    Thread second([&] {
        firstInside.wait();
        forward(target.id(), [&] {
            enter("second");
            secondInside.set();
            leave("second");
        });
    });
    ASSERT_TRUE(first.finished());
    ASSERT_TRUE(second.finished());
    EXPECT_EQ(overlaps, 0);
    EXPECT_EQ(trail, (std::vector<std::string>{"first begins", "first ends", "second begins",
                                               "second ends"}));
}

// While a package calls back into its requester, the target waits in a nested
// loop. A package of another requester that arrives then must wait its turn:
// it may not start inside the unfinished package.
TEST(Forward, AnotherRequesterWaitsWhileAPackageCallsBack) {
    LoopThread target;
    std::vector<std::string> trail; // touched on the target only
    Event callingBack, handedOver;
    DWORD secondRanOn = 0;

    Thread first([&] {
        const DWORD requester = GetCurrentThreadId();
        forward(target.id(), [&] {
            trail.push_back("first begins");
            forward(requester, [&] {
                callingBack.set();
                // The other package is handed to the target's nested loop.
                handedOver.wait();
            });
            trail.push_back("first ends");
        });
    });
    Thread second([&] {
        callingBack.wait();
        // A forward taken apart, to know when the target took the package.
        CallPackage package;
        package.operation = [&] {
            secondRanOn = GetCurrentThreadId();
            trail.push_back("second runs");
        };
        package.requester = GetCurrentThreadId();
        if (!post(target.id(), kMessageRunPackage, reinterpret_cast<UINT_PTR>(&package))) {
            ADD_FAILURE() << "the package was not delivered";
            return;
        }
        handedOver.set();
        for (;;) {
            std::optional<ThreadMessage> message = receive(target.handle());
            if (!message || message->message == kMessageDone)
                break;
        }
        EXPECT_EQ(package.status, CallPackage::Completed);
    });
    ASSERT_TRUE(first.finished());
    ASSERT_TRUE(second.finished());
    EXPECT_EQ(secondRanOn, target.id());
    EXPECT_EQ(trail, (std::vector<std::string>{"first begins", "first ends", "second runs"}));
}

// Two requesters whose packages both call back. The first callback ends while
// the second package waits on its own callback; each forward must still end
// with its own package's answer, and nothing may wait for ever.
TEST(Forward, CallbacksOfTwoRequestersDoNotCrossAnswers) {
    LoopThread target;
    Event firstCallingBack, secondStarted, firstCallbackDone;
    Outcome firstOutcome, secondOutcome;
    // Kept here rather than in the operations' frames, so that a callback
    // answered too early cannot write into a frame that is gone.
    int firstFromCallback = 0, secondFromCallback = 0;
    int firstValue = 0, secondValue = 0;

    Thread first([&] {
        const DWORD requester = GetCurrentThreadId();
        firstOutcome = forwardedOutcome(target.id(), [&] {
            forward(requester, [&] {
                firstCallingBack.set();
                // Gives the second package the chance to start on the target.
                secondStarted.wait(kChanceMs);
                firstFromCallback = 1;
            });
            firstCallbackDone.set();
            firstValue = firstFromCallback + 10;
        });
    });
    Thread second([&] {
        const DWORD requester = GetCurrentThreadId();
        firstCallingBack.wait();
        secondOutcome = forwardedOutcome(target.id(), [&] {
            secondStarted.set();
            forward(requester, [&] {
                // Still running when the first callback's answer arrives.
                firstCallbackDone.wait(kChanceMs);
                secondFromCallback = 2;
            });
            secondValue = secondFromCallback + 20;
        });
    });
    // Both end well within this when nothing is wrong.
    if (!first.finished(10000) || !second.finished(10000)) {
        first.terminate();
        second.terminate();
        FAIL() << "deadlock: the requesters still wait for their answers";
    }
    EXPECT_EQ(firstOutcome.kind, Outcome::Returned);
    EXPECT_EQ(secondOutcome.kind, Outcome::Returned);
    EXPECT_EQ(firstValue, 11);
    EXPECT_EQ(secondValue, 22);
}

TEST(Forward, ToAnEndedThreadFails) {
    {
        Thread ended([] {});
        ASSERT_TRUE(ended.finished());
        Outcome outcome = forwardedOutcome(ended.id(), [] {});
        EXPECT_EQ(outcome.kind, Outcome::ComError);
        EXPECT_TRUE(hrIs(kForwardTargetGone, outcome.hresult));
    }
    // A loop thread that was told it is done.
    DWORD id = 0;
    KernelHandle kept;
    {
        LoopThread loop;
        id = loop.id();
        kept.reset(OpenThread(SYNCHRONIZE, FALSE, id));
        ASSERT_TRUE(post(id, kMessageDone, 0));
        ASSERT_TRUE(loop.finished());
    }
    bool ran = false;
    Outcome outcome = forwardedOutcome(id, [&] { ran = true; });
    EXPECT_FALSE(ran);
    EXPECT_EQ(outcome.kind, Outcome::ComError);
    EXPECT_TRUE(hrIs(kForwardTargetGone, outcome.hresult));
    EXPECT_TRUE(hrIs(kForwardTargetGone, guarded([&] { forward(id, [] {}); })));
}

TEST(Forward, FailsWhenTheTargetIsTerminatedDuringTheCall) {
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
    EXPECT_EQ(outcome.kind, Outcome::ComError);
    EXPECT_TRUE(hrIs(kForwardTargetGone, outcome.hresult));
    EXPECT_TRUE(target.finished(0));
}

TEST(Forward, FailsWhenTheOperationEndsTheTarget) {
    LoopThread target;
    Outcome outcome = forwardedOutcome(target.id(), [] { ExitThread(7); });
    EXPECT_EQ(outcome.kind, Outcome::ComError);
    EXPECT_TRUE(hrIs(kForwardTargetGone, outcome.hresult));
    ASSERT_TRUE(target.finished());
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(target.handle(), &code));
    EXPECT_EQ(code, 7u);
}

// ---------------------------------------------------------------------------
// The storage thread. It is one per process: each test starts what it needs
// and stops it again.

// Tells whether a thread's apartment was shut down (CoUninitialize), which a
// thread ended by force never does.
class UninitializeSpy : public IInitializeSpy {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IInitializeSpy) {
            *out = static_cast<IInitializeSpy*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    // Lives as long as the program: COM may still hold it for a thread that
    // was terminated.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP PreInitialize(DWORD, DWORD) override { return S_OK; }
    STDMETHODIMP PostInitialize(HRESULT hr, DWORD, DWORD) override { return hr; }
    STDMETHODIMP PreUninitialize(DWORD) override { return S_OK; }
    STDMETHODIMP PostUninitialize(DWORD) override {
        uninitialized_.set();
        return S_OK;
    }

    const Event& uninitialized() const { return uninitialized_; }

private:
    Event uninitialized_;
};

class StorageThreadTest : public testing::Test {
protected:
    void SetUp() override { storage_thread::startOrStop(true); }
    void TearDown() override { storage_thread::startOrStop(false); }
};

TEST_F(StorageThreadTest, RunWithoutAThreadRaisesInvalidThreadId) {
    storage_thread::startOrStop(false);
    ASSERT_EQ(storage_thread::id(), 0u);
    EXPECT_FALSE(storage_thread::isCurrent());
    bool ran = false;
    try {
        storage_thread::run([&] { ran = true; });
        ADD_FAILURE() << "run returned without a storage thread";
    } catch (const cfx::win_except& e) {
        EXPECT_EQ(e.code(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    } catch (...) {
        ADD_FAILURE() << "not a Windows error";
    }
    EXPECT_FALSE(ran);
    EXPECT_TRUE(hrIs(HRESULT(0x800705A4), guarded([] { storage_thread::run([] {}); })));
}

TEST_F(StorageThreadTest, StartingAgainKeepsTheOneThread) {
    const DWORD first = storage_thread::id();
    ASSERT_NE(first, 0u);
    EXPECT_NE(first, GetCurrentThreadId());
    EXPECT_FALSE(storage_thread::isCurrent());

    storage_thread::startOrStop(true);
    EXPECT_EQ(storage_thread::id(), first);

    // Also when several threads start it at once.
    Event go;
    std::vector<DWORD> seen(4);
    {
        std::vector<std::unique_ptr<Thread>> starters;
        for (size_t i = 0; i < seen.size(); ++i)
            starters.push_back(std::make_unique<Thread>([&, i] {
                go.wait();
                storage_thread::startOrStop(true);
                seen[i] = storage_thread::id();
            }));
        go.set();
    }
    for (DWORD id : seen)
        EXPECT_EQ(id, first);

    DWORD ranOn = 0;
    storage_thread::run([&] { ranOn = GetCurrentThreadId(); });
    EXPECT_EQ(ranOn, first);
}

TEST_F(StorageThreadTest, RunFromAnotherThreadIsForwarded) {
    const DWORD storage = storage_thread::id();
    DWORD ranOn = 0;
    bool wasCurrent = false;
    storage_thread::run([&] {
        ranOn = GetCurrentThreadId();
        wasCurrent = storage_thread::isCurrent();
    });
    EXPECT_EQ(ranOn, storage);
    EXPECT_TRUE(wasCurrent);

    // What crosses threads arrives the way forwarded failures do.
    EXPECT_TRUE(hrIs(E_ACCESSDENIED, guarded([] {
                         storage_thread::run([] { throw _com_error(E_ACCESSDENIED); });
                     })));
    EXPECT_TRUE(hrIs(E_UNEXPECTED, guarded([] {
                         storage_thread::run([] { throw cfx::win_except(ERROR_CANCELLED); });
                     })));

    // The storage thread's apartment is single-threaded.
    HRESULT again = S_OK;
    storage_thread::run([&] {
        again = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (SUCCEEDED(again))
            CoUninitialize();
    });
    EXPECT_TRUE(hrIs(S_FALSE, again));
}

TEST_F(StorageThreadTest, RunOnTheStorageThreadRunsDirectly) {
    const DWORD storage = storage_thread::id();
    DWORD innerRanOn = 0, deepestRanOn = 0;
    bool innerDone = false;
    bool windowsErrorKept = false;
    storage_thread::run([&] {
        storage_thread::run([&] {
            innerRanOn = GetCurrentThreadId();
            storage_thread::run([&] { deepestRanOn = GetCurrentThreadId(); });
        });
        innerDone = true;
        // Run directly, the exception is the original one; a forward would
        // have made a runtime_error of it.
        try {
            storage_thread::run([] { throw cfx::win_except(ERROR_CANCELLED); });
        } catch (const cfx::win_except& e) {
            windowsErrorKept = e.code() == ERROR_CANCELLED;
        } catch (...) {
        }
    });
    EXPECT_EQ(innerRanOn, storage);
    EXPECT_EQ(deepestRanOn, storage);
    EXPECT_TRUE(innerDone);
    EXPECT_TRUE(windowsErrorKept);
}

TEST_F(StorageThreadTest, ServesCallbacksIntoTheRequester) {
    const DWORD requester = GetCurrentThreadId();
    std::vector<DWORD> trail;
    storage_thread::run([&] {
        trail.push_back(GetCurrentThreadId());
        forward(requester, [&] {
            trail.push_back(GetCurrentThreadId());
            storage_thread::run([&] { trail.push_back(GetCurrentThreadId()); });
        });
    });
    const DWORD s = storage_thread::id();
    EXPECT_EQ(trail, (std::vector<DWORD>{s, requester, s}));
}

TEST_F(StorageThreadTest, StopEndsAnIdleThreadAndClearsItsId) {
    UninitializeSpy spy;
    ULARGE_INTEGER cookie{};
    HRESULT registered = E_FAIL;
    storage_thread::run([&] { registered = CoRegisterInitializeSpy(&spy, &cookie); });
    ASSERT_TRUE(hrIs(S_OK, registered));

    const DWORD id = storage_thread::id();
    KernelHandle thread(OpenThread(SYNCHRONIZE, FALSE, id));
    ASSERT_TRUE(thread);

    const DWORD start = GetTickCount();
    storage_thread::startOrStop(false);
    std::printf("stopping an idle storage thread took %lu ms\n",
                static_cast<unsigned long>(GetTickCount() - start));
    EXPECT_EQ(storage_thread::id(), 0u);
    EXPECT_TRUE(signalled(thread.get(), 0)) << "the storage thread still runs";
    // It left its loop and shut its apartment down: it was not terminated.
    EXPECT_TRUE(spy.uninitialized().isSet());

    // Stopping again does nothing; running needs a new start.
    storage_thread::startOrStop(false);
    EXPECT_TRUE(hrIs(HRESULT(0x800705A4), guarded([] { storage_thread::run([] {}); })));
    storage_thread::startOrStop(true);
    EXPECT_NE(storage_thread::id(), 0u);
    DWORD ranOn = 0;
    storage_thread::run([&] { ranOn = GetCurrentThreadId(); });
    EXPECT_EQ(ranOn, storage_thread::id());
}

TEST_F(StorageThreadTest, StopEndsAThreadBlockedInALongOperation) {
    UninitializeSpy spy;
    ULARGE_INTEGER cookie{};
    storage_thread::run([&] { CoRegisterInitializeSpy(&spy, &cookie); });

    const DWORD id = storage_thread::id();
    KernelHandle thread(OpenThread(SYNCHRONIZE, FALSE, id));
    ASSERT_TRUE(thread);

    Event blocked, never;
    Outcome outcome;
    Thread requester([&] {
        outcome = forwardedOutcome(id, [&] {
            blocked.set();
            never.wait(INFINITE);
        });
    });
    ASSERT_TRUE(blocked.wait());

    const DWORD start = GetTickCount();
    storage_thread::startOrStop(false);
    std::printf("stopping a blocked storage thread took %lu ms\n",
                static_cast<unsigned long>(GetTickCount() - start));
    EXPECT_EQ(storage_thread::id(), 0u);
    EXPECT_TRUE(signalled(thread.get(), 0)) << "the storage thread still runs";
    EXPECT_FALSE(spy.uninitialized().isSet()) << "the thread was not ended by force";

    // The requester waiting on it is released with a failure.
    ASSERT_TRUE(requester.finished());
    EXPECT_EQ(outcome.kind, Outcome::ComError);
    EXPECT_TRUE(hrIs(kForwardTargetGone, outcome.hresult));

    // A new storage thread serves again.
    storage_thread::startOrStop(true);
    DWORD ranOn = 0;
    storage_thread::run([&] { ranOn = GetCurrentThreadId(); });
    EXPECT_NE(ranOn, 0u);
    EXPECT_EQ(ranOn, storage_thread::id());
}

// Unloading must not wait for ever on a storage thread that is stuck, also when
// another thread is waiting to forward to it at that moment.
TEST_F(StorageThreadTest, StopIsNotHeldUpByAThreadWaitingToForward) {
    const DWORD id = storage_thread::id();
    KernelHandle thread(OpenThread(SYNCHRONIZE | THREAD_TERMINATE, FALSE, id));
    ASSERT_TRUE(thread);

    Event blocked, never, secondForwarding;
    Outcome first, second;
    bool secondRan = false;
    Thread firstRequester([&] {
        first = forwardedOutcome(id, [&] {
            blocked.set();
            never.wait(INFINITE);
        });
    });
    ASSERT_TRUE(blocked.wait());
    Thread secondRequester([&] {
        secondForwarding.set();
        second = forwardedOutcome(id, [&] { secondRan = true; });
    });
    ASSERT_TRUE(secondForwarding.wait());
    // Nothing marks the second call waiting at the storage thread's mailbox;
    // this gives it the time to get there.
    Sleep(kChanceMs);

    Event stopped;
    const DWORD start = GetTickCount();
    Thread stopper([&] {
        storage_thread::startOrStop(false);
        stopped.set();
    });
    // Stop gives the thread one second; ten mean it is stuck.
    const bool returned = stopped.wait(10000);
    if (!returned)
        TerminateThread(thread.get(), 1); // what stop should have done; frees it
    ASSERT_TRUE(stopper.finished());
    std::printf("stopping took %lu ms\n", static_cast<unsigned long>(GetTickCount() - start));
    EXPECT_TRUE(returned) << "stop waited for the thread that waits to forward";
    EXPECT_TRUE(signalled(thread.get(), 0)) << "the storage thread still runs";
    EXPECT_EQ(storage_thread::id(), 0u);

    ASSERT_TRUE(firstRequester.finished());
    ASSERT_TRUE(secondRequester.finished());
    EXPECT_EQ(first.kind, Outcome::ComError);
    EXPECT_TRUE(hrIs(kForwardTargetGone, first.hresult));
    EXPECT_EQ(second.kind, Outcome::ComError);
    EXPECT_TRUE(hrIs(kForwardTargetGone, second.hresult));
    EXPECT_FALSE(secondRan);
}

} // namespace
} // namespace cfx
