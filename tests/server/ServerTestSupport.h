// What the server access tests share: readable HRESULT assertions, BSTR
// helpers, the program's apartment, and running a piece of a test on the
// storage thread or on a thread of its own.
#pragma once

#include "common/Handles.h"
#include "support/TestText.h"

#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace cfx::test {

Bstr text(const std::wstring& value);
std::wstring fromBstr(BSTR value);

// The HRESULT and the description of the _com_error the action raises;
// S_OK when it raises nothing. Anything else it raises fails the test.
struct RaisedComError {
    HRESULT hr = S_OK;
    std::wstring description;
};
RaisedComError comErrorOf(const std::function<void()>& action);

// Wine counts a thread that has not looked at its message queue for five
// seconds as hung, and SendMessageTimeout with SMTO_ABORTIFHUNG, which the
// robot reads a box's texts with, then gives up at once: a box shown by such
// a thread before its modal loop has started is recorded without texts. A
// test thread that is about to show a box looks at its queue first.
void lookAtMessageQueue();

// Runs the action on a new thread and waits for it. With apartment set the
// thread joins a single-threaded apartment of its own for the action.
void onNewThread(const std::function<void()>& action, bool apartment = false);

} // namespace cfx::test
