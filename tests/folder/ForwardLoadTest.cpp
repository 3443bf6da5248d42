// Many shell threads forwarding to the storage thread at once: every result
// and every failure must come back to the thread that asked, each thread's
// calls must run in the order it made them, and nothing may wait for ever.
#include "folder/ThreadMailbox.h"
#include "common/Exceptions.h"
#include "common/Handles.h"
#include "server/StorageThread.h"

#include <windows.h>
#include <comdef.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

namespace cfx {
namespace {

constexpr int kRequesters = 8;
constexpr int kCallsEach = 500;

// Several times what the whole run takes on a slow machine; reached only by a
// deadlock.
constexpr DWORD kHangGuardMs = 60000;

// What each forwarded call does on the storage thread.
enum class Kind {
    Result,        // writes a value into the requester's storage
    CallBack,      // calls back into the requester, which contributes to the value
    CallBackFails, // calls back into the requester, which raises _com_error
    ComError,      // raises _com_error with an HRESULT of its own
    WindowsError,  // raises cfx::win_except
    ThrownHresult, // throws a bare HRESULT
};
constexpr Kind kMix[] = {Kind::Result,       Kind::CallBack,      Kind::ComError,
                         Kind::WindowsError, Kind::Result,        Kind::CallBackFails,
                         Kind::CallBack,     Kind::ThrownHresult, Kind::ComError,
                         Kind::Result,       Kind::WindowsError};
constexpr size_t kMixSize = sizeof kMix / sizeof kMix[0];

Kind kindOf(int requester, int call) {
    return kMix[(static_cast<size_t>(call) * 7 + static_cast<size_t>(requester) * 3) % kMixSize];
}

// Distinct for every call of every requester.
HRESULT failureOf(int requester, int call) {
    return MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x1000 + requester * kCallsEach + call);
}

long valueOf(int requester, int call) {
    return 1000000L * (requester + 1) + call;
}

constexpr DWORD kWindowsErrors[] = {ERROR_CANCELLED, ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND,
                                    ERROR_INVALID_DATA, ERROR_SHARING_VIOLATION};

DWORD windowsErrorOf(int requester, int call) {
    return kWindowsErrors[static_cast<size_t>(requester + call) %
                          (sizeof kWindowsErrors / sizeof kWindowsErrors[0])];
}

// Kept by the storage thread only: what it saw of the calls it ran.
struct StorageLedger {
    std::array<int, kRequesters> lastCall;
    std::vector<int> running; // requesters whose calls have begun and not ended
    int outOfOrder = 0;
    int interleaved = 0;
    int offThread = 0;

    StorageLedger() { lastCall.fill(-1); }
};

// What one requester found wrong; the first few complaints are kept.
struct Findings {
    int wrong = 0;
    std::vector<std::string> complaints;
    std::atomic<int> done{0};

    void complain(int call, const std::string& what) {
        if (wrong++ < 5)
            complaints.push_back("call " + std::to_string(call) + ": " + what);
    }
};

void runRequester(int requester, StorageLedger& ledger, Findings& findings,
                  const std::map<DWORD, std::string>& texts) {
    const DWORD me = GetCurrentThreadId();
    for (int call = 0; call < kCallsEach; ++call) {
        const Kind kind = kindOf(requester, call);
        long result = 0; // the requester's storage for the result
        bool calledBack = false;
        try {
            storage_thread::run([&] {
                if (!storage_thread::isCurrent())
                    ++ledger.offThread;
                if (ledger.lastCall[requester] != call - 1)
                    ++ledger.outOfOrder;
                ledger.lastCall[requester] = call;
                if (!ledger.running.empty())
                    ++ledger.interleaved;
                ledger.running.push_back(requester);
                struct Leave {
                    StorageLedger& ledger;
                    ~Leave() { ledger.running.pop_back(); }
                } leave{ledger};

                switch (kind) {
                case Kind::Result:
                    result = valueOf(requester, call);
                    break;
                case Kind::CallBack:
                    forward(me, [&] {
                        calledBack = GetCurrentThreadId() == me;
                        result = valueOf(requester, call);
                    });
                    result += 1;
                    break;
                case Kind::CallBackFails:
                    forward(me, [&] {
                        calledBack = GetCurrentThreadId() == me;
                        throw _com_error(failureOf(requester, call));
                    });
                    break;
                case Kind::ComError:
                    throw _com_error(failureOf(requester, call));
                case Kind::WindowsError:
                    throw cfx::win_except(windowsErrorOf(requester, call));
                case Kind::ThrownHresult:
                    throw failureOf(requester, call);
                }
            });
            switch (kind) {
            case Kind::Result:
                if (result != valueOf(requester, call))
                    findings.complain(call, "wrong result " + std::to_string(result));
                break;
            case Kind::CallBack:
                if (result != valueOf(requester, call) + 1)
                    findings.complain(call, "wrong result " + std::to_string(result));
                if (!calledBack)
                    findings.complain(call, "the callback did not run on the requester");
                break;
            default:
                findings.complain(call, "returned instead of failing");
            }
        } catch (const _com_error& e) {
            bool expected = kind == Kind::ComError || kind == Kind::CallBackFails ||
                            kind == Kind::ThrownHresult;
            if (!expected || e.Error() != failureOf(requester, call))
                findings.complain(call, "unexpected _com_error " + std::to_string(e.Error()));
            if (kind == Kind::CallBackFails && !calledBack)
                findings.complain(call, "the failing callback did not run on the requester");
        } catch (const cfx::win_except& e) {
            findings.complain(call, std::string("a Windows error came back: ") + e.what());
        } catch (const std::runtime_error& e) {
            if (kind != Kind::WindowsError || typeid(e) != typeid(std::runtime_error) ||
                e.what() != texts.at(windowsErrorOf(requester, call)))
                findings.complain(call, std::string("unexpected runtime_error: ") + e.what());
        } catch (...) {
            findings.complain(call, "unexpected exception");
        }
        ++findings.done;
    }
}

DWORD WINAPI requesterMain(void* start) {
    (*static_cast<std::function<void()>*>(start))();
    return 0;
}

TEST(ForwardLoad, ManyRequestersGetTheirOwnResultsInOrder) {
    storage_thread::startOrStop(true);
    ASSERT_NE(storage_thread::id(), 0u);

    // The texts a Windows error's runtime_error must carry, made here once.
    std::map<DWORD, std::string> texts;
    for (DWORD code : kWindowsErrors)
        texts[code] = cfx::win_except(code).what();

    StorageLedger ledger;
    std::array<Findings, kRequesters> findings;
    std::vector<std::function<void()>> bodies;
    for (int r = 0; r < kRequesters; ++r)
        bodies.push_back([&, r] { runRequester(r, ledger, findings[r], texts); });

    const DWORD start = GetTickCount();
    std::vector<KernelHandle> threads;
    for (auto& body : bodies) {
        threads.emplace_back(CreateThread(nullptr, 0, &requesterMain, &body, 0, nullptr));
        ASSERT_TRUE(threads.back());
    }
    std::vector<HANDLE> handles;
    for (auto& thread : threads)
        handles.push_back(thread.get());
    DWORD waited = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE,
                                          kHangGuardMs);
    const DWORD took = GetTickCount() - start;

    if (waited == WAIT_TIMEOUT) {
        std::string progress;
        for (auto& f : findings)
            progress += " " + std::to_string(f.done.load());
        ADD_FAILURE() << "deadlock: calls finished per requester:" << progress;
        // Ending the storage thread releases every requester waiting on it.
        // Not through a stop: that posts to the storage thread's mailbox, whose
        // sender lock a requester may hold while it waits.
        KernelHandle storage(OpenThread(THREAD_TERMINATE, FALSE, storage_thread::id()));
        TerminateThread(storage.get(), 1);
        for (HANDLE thread : handles)
            if (WaitForSingleObject(thread, 10000) == WAIT_TIMEOUT)
                TerminateThread(thread, 1);
        storage_thread::startOrStop(false);
        return;
    }
    ASSERT_EQ(waited, WAIT_OBJECT_0);
    std::printf("%d requesters x %d forwarded calls took %lu ms (%.0f us per call)\n", kRequesters,
                kCallsEach, static_cast<unsigned long>(took),
                took * 1000.0 / (kRequesters * kCallsEach));

    for (int r = 0; r < kRequesters; ++r) {
        SCOPED_TRACE("requester " + std::to_string(r));
        EXPECT_EQ(findings[r].done, kCallsEach);
        EXPECT_EQ(findings[r].wrong, 0);
        for (const auto& complaint : findings[r].complaints)
            ADD_FAILURE() << complaint;
        EXPECT_EQ(ledger.lastCall[r], kCallsEach - 1);
    }
    EXPECT_EQ(ledger.offThread, 0) << "calls that did not run on the storage thread";
    EXPECT_EQ(ledger.outOfOrder, 0) << "calls that ran out of their requester's order";
    EXPECT_EQ(ledger.interleaved, 0) << "calls that began inside another requester's call";
    EXPECT_TRUE(ledger.running.empty());

    storage_thread::startOrStop(false);
    EXPECT_EQ(storage_thread::id(), 0u);
}

} // namespace
} // namespace cfx
