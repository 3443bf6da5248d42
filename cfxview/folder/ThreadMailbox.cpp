#include "folder/ThreadMailbox.h"

#include "common/Exceptions.h"

#include <comdef.h>

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <stdexcept>

namespace cfx::folder {

namespace {

KernelHandle createAutoResetEvent() {
    KernelHandle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!event)
        throwLastError();
    return event;
}

bool isAlive(HANDLE thread) {
    DWORD code = 0;
    if (!GetExitCodeThread(thread, &code))
        throwLastError();
    return code == STILL_ACTIVE && WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
}

KernelHandle openThread(DWORD threadId, DWORD access) {
    KernelHandle thread(OpenThread(access, FALSE, threadId));
    if (!thread)
        throwLastError();
    return thread;
}

// Runs a package on the receiving thread and tells the requester it is done.
void runPackage(CallPackage& package) {
    try {
        package.operation();
    } catch (...) {
        // A standard exception travels as its text, anything else as its HRESULT.
        CaughtException caught = caughtException();
        if (caught.standard) {
            package.status = CallPackage::StandardException;
            package.text = std::move(caught.what);
        } else {
            package.status = CallPackage::Failed;
            package.hresult = caught.hr;
        }
    }
    try {
        post(package.requester, kMessageDone, reinterpret_cast<UINT_PTR>(&package));
    } catch (...) {
        // The requester has gone: nobody waits for the answer.
    }
}

// Packages that arrived from other threads while this thread waited for a
// forward of its own; they run once it is back in its message loop.
// A plain pointer: a thread_local with a destructor misbehaves on threads the
// C++ runtime did not start (winpthreads' exit hooks), such as the shell's.
thread_local std::deque<CallPackage*>* t_deferred = nullptr;

std::deque<CallPackage*>& deferred() {
    if (!t_deferred)
        t_deferred = new std::deque<CallPackage*>;
    return *t_deferred;
}
thread_local bool t_quitRequested = false;

struct MutexHold {
    HANDLE mutex;
    ~MutexHold() { ReleaseMutex(mutex); }
};

} // namespace

ThreadMailbox::ThreadMailbox()
    : filled_(createAutoResetEvent()), taken_(createAutoResetEvent()),
      senderLock_(CreateMutexW(nullptr, FALSE, nullptr)) {
    if (!senderLock_)
        throwLastError();
}

ThreadMailbox& ThreadMailbox::of(DWORD threadId) {
    static CriticalSection mapLock;
    // Mailboxes are never removed, so references to them stay valid; the map
    // itself is leaked on purpose so that no thread finds it destroyed at exit.
    static auto* mailboxes = new std::map<DWORD, std::unique_ptr<ThreadMailbox>>;
    CriticalSection::Lock lock(mapLock);
    auto& mailbox = (*mailboxes)[threadId];
    if (!mailbox)
        mailbox.reset(new ThreadMailbox);
    return *mailbox;
}

bool post(DWORD targetThread, UINT message, UINT_PTR parameter, DWORD patience) {
    KernelHandle thread = openThread(targetThread, THREAD_ALL_ACCESS);
    if (!isAlive(thread.get()))
        return false;

    ThreadMailbox& mailbox = ThreadMailbox::of(targetThread);
    // An abandoned lock (a sender ended by force) is still the lock.
    DWORD locked = WaitForSingleObject(mailbox.senderLock_.get(), patience);
    if (locked == WAIT_FAILED)
        throwLastError();
    if (locked == WAIT_TIMEOUT)
        return false;
    MutexHold hold{mailbox.senderLock_.get()};

    mailbox.slot_ = ThreadMessage{GetCurrentThreadId(), message, 0, parameter};
    InterlockedExchange(&mailbox.state_, ThreadMailbox::Posted);
    const DWORD retry = std::min<DWORD>(patience, 1000);
    DWORD waited = retry;
    DWORD result = SignalObjectAndWait(mailbox.filled_.get(), mailbox.taken_.get(), retry, FALSE);
    // After a timeout the message stays in the slot with the filled event set:
    // signalling again could hand it over twice, so only the wait is repeated.
    while (result == WAIT_TIMEOUT) {
        if (!isAlive(thread.get()) || (patience != INFINITE && waited >= patience)) {
            if (InterlockedCompareExchange(&mailbox.state_, ThreadMailbox::Empty,
                                           ThreadMailbox::Posted) == ThreadMailbox::Posted)
                return false; // withdrawn: the receiver will not take it
            // The receiver claimed it just now; its taken signal follows.
            result = WaitForSingleObject(mailbox.taken_.get(), INFINITE);
            break;
        }
        result = WaitForSingleObject(mailbox.taken_.get(), retry);
        waited += retry;
    }
    if (result == WAIT_FAILED)
        throwLastError();
    return true;
}

std::optional<ThreadMessage> receive(HANDLE watchedThread) {
    ThreadMailbox& mailbox = ThreadMailbox::of(GetCurrentThreadId());
    // The mailbox comes first: a message that arrives as the watched thread
    // ends is still taken.
    HANDLE handles[] = {mailbox.filled_.get(), watchedThread};
    for (;;) {
        DWORD result = WaitForMultipleObjects(watchedThread ? 2 : 1, handles, FALSE, INFINITE);
        if (result == WAIT_FAILED)
            throwLastError();
        if (result != WAIT_OBJECT_0)
            return std::nullopt;
        // A message its sender has withdrawn leaves a stale signal behind.
        if (InterlockedCompareExchange(&mailbox.state_, ThreadMailbox::Claimed,
                                       ThreadMailbox::Posted) != ThreadMailbox::Posted)
            continue;
        ThreadMessage message = mailbox.slot_;
        InterlockedExchange(&mailbox.state_, ThreadMailbox::Empty);
        SetEvent(mailbox.taken_.get());
        return message;
    }
}

void runMessageLoop() {
    for (;;) {
        while (t_deferred && !t_deferred->empty()) {
            CallPackage* package = t_deferred->front();
            t_deferred->pop_front();
            runPackage(*package);
        }
        if (t_quitRequested) {
            t_quitRequested = false;
            return;
        }
        ThreadMessage message = *receive();
        if (message.message == kMessageDone) {
            if (!message.parameter)
                return;
            reinterpret_cast<CallPackage*>(message.parameter)->finished = true;
        } else if (message.message == kMessageRunPackage) {
            runPackage(*reinterpret_cast<CallPackage*>(message.parameter));
        }
    }
}

void forward(DWORD targetThread, std::function<void()> operation) {
    CallPackage package;
    package.operation = std::move(operation);
    package.requester = GetCurrentThreadId();

    // Watching the target lets a forward to a thread that has ended, or ends
    // while the call runs, fail instead of waiting for ever.
    KernelHandle target(OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION, FALSE, targetThread));
    if (!target || !post(targetThread, kMessageRunPackage, reinterpret_cast<UINT_PTR>(&package)))
        raise(kForwardTargetGone);

    // Serve calls forwarded back by the target until it answers this one.
    while (!package.finished) {
        std::optional<ThreadMessage> message = receive(target.get());
        if (!message)
            raise(kForwardTargetGone);
        auto* other = reinterpret_cast<CallPackage*>(message->parameter);
        if (message->message == kMessageDone) {
            if (other)
                other->finished = true;
            else
                t_quitRequested = true; // honoured once back in the message loop
        } else if (message->message == kMessageRunPackage) {
            if (message->sender == targetThread)
                runPackage(*other);
            else
                deferred().push_back(other);
        }
    }

    switch (package.status) {
    case CallPackage::Completed:
        return;
    case CallPackage::Failed:
        raise(package.hresult);
    case CallPackage::StandardException:
        throw std::runtime_error(package.text);
    }
}

} // namespace cfx::folder
