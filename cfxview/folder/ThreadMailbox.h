// Thread mailboxes and forwarded calls: how work moves to and from the storage
// thread. Every thread that takes part has a one-slot mailbox; a sender hands a
// message over only when the receiver has taken it, and a forwarded call runs
// an operation on another thread, serving calls addressed back to the caller
// while it waits. Windows messages are not involved.
#pragma once

#include "common/Handles.h"

#include <windows.h>

#include <functional>
#include <optional>
#include <string>

namespace cfx::folder {

enum : UINT {
    // A forwarded call has finished: the parameter is the address of its
    // CallPackage, so that each waiting forward knows its own answer. With
    // parameter 0 it asks the thread's message loop to quit.
    kMessageDone = 0x7FF0,
    kMessageRunPackage = 0x7FF1, // the parameter is the address of a CallPackage
};

// The mailbox slot. The parameter is pointer-sized: it carries a package address.
struct ThreadMessage {
    DWORD sender;
    UINT message;
    DWORD reserved;
    UINT_PTR parameter;
};

class ThreadMailbox {
public:
    // The mailbox of a thread, made on first use and kept until the process ends.
    static ThreadMailbox& of(DWORD threadId);

    ThreadMailbox(const ThreadMailbox&) = delete;
    ThreadMailbox& operator=(const ThreadMailbox&) = delete;

private:
    ThreadMailbox();

    friend bool post(DWORD, UINT, UINT_PTR, DWORD);
    friend std::optional<ThreadMessage> receive(HANDLE);

    // Who owns the slot's message: a sender that gives up withdraws it and the
    // receiver claims it, each with one compare-and-swap, so exactly one wins.
    enum SlotState : LONG { Empty = 0, Posted = 1, Claimed = 2 };

    ThreadMessage slot_{};
    volatile LONG state_ = Empty;
    KernelHandle filled_;     // a sender has put a message in the slot
    KernelHandle taken_;      // the receiver has copied the slot
    KernelHandle senderLock_; // a mutex: a sender with patience must not wait for ever
};

// One forwarded call; lives on the requester's stack while the call runs.
struct CallPackage {
    enum Status { Completed = 0, StandardException = 1, Failed = 2 };

    std::function<void()> operation;
    DWORD requester = 0;
    Status status = Completed;
    std::string text;       // the exception's message (StandardException)
    HRESULT hresult = S_OK; // the failure (Failed)
    bool finished = false;  // the target has answered
};

// Hands a message to a thread's mailbox and returns once the thread has taken
// it: true when delivered, false when the thread has ended. While the thread
// lives but does not receive, the hand-off is retried every second, for ever
// or until patience (in milliseconds) runs out.
bool post(DWORD targetThread, UINT message, UINT_PTR parameter, DWORD patience = INFINITE);

// Waits for the calling thread's next message. With a thread handle to watch,
// gives up (empty result) when that thread ends first.
std::optional<ThreadMessage> receive(HANDLE watchedThread = nullptr);

// Receives and runs forwarded calls until a kMessageDone with parameter 0
// (the quit message) arrives.
void runMessageLoop();

// The HRESULT of a forward whose target thread has ended (or ends before it
// answers): the storage objects it served are gone with it.
inline constexpr HRESULT kForwardTargetGone = RPC_E_DISCONNECTED;

// Runs the operation on the target thread and returns when it has finished.
// A _com_error or HRESULT raised there is raised again here as _com_error; any
// other standard exception comes back as std::runtime_error with its text.
// While it waits the calling thread runs the calls its target forwards back to
// it; calls from other threads wait until the thread is back in its own loop,
// so that a thread runs one package at a time apart from call-backs.
void forward(DWORD targetThread, std::function<void()> operation);

} // namespace cfx::folder
