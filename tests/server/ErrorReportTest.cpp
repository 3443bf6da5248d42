// How a failure becomes a message box: the error text of a code, the error
// box and its owner, the box for a storage server that cannot be reached,
// and the lock that lets one error box be built at a time.
#include "server/ServerTestSupport.h"

#include "support/UiRobot.h"

#include "common/Exceptions.h"
#include "common/Handles.h"
#include "server/ErrorReport.h"

#include <windows.h>
#include <comdef.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace cfx::test {
namespace {

using namespace std::chrono_literals;

constexpr wchar_t kNoPrefix[] = L"An error has occured:\n\n";
constexpr wchar_t kServerNotFound[] =
    L"Unable to open storage. Coffrex RPC server was not found.\n\nPlease restart the "
    L"computer. If the same error will occur again then try to reinstall the program.";

// The system's message for a code in one language, or nothing.
std::optional<std::wstring> systemMessage(DWORD code, LANGID language) {
    wchar_t* buffer = nullptr;
    DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
                       language, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    LocalMemory holder(buffer);
    if (!length || !buffer)
        return std::nullopt;
    return std::wstring(buffer, length);
}

// Language 0 makes FormatMessage try every language it knows of.
bool unknownToTheSystem(DWORD code) {
    return !systemMessage(code, 0) && !systemMessage(code, GetUserDefaultLangID()) &&
           !systemMessage(code, GetSystemDefaultLangID());
}

// The error box: caption, icon and one OK button are always the same.
Box errorBox(const std::wstring& text) {
    return Box().messageBox().caption(kMessageCaption).text(text).icon(Icon::Error).buttons({IDOK});
}

// A top-level window of the calling thread to own boxes.
class TestWindow {
public:
    explicit TestWindow(bool visible = false)
        : window_(CreateWindowExW(0, L"STATIC", L"Owner", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                                  nullptr, nullptr, nullptr, nullptr)) {
        if (visible && window_)
            ShowWindow(window_, SW_SHOW);
    }
    ~TestWindow() {
        if (window_)
            DestroyWindow(window_);
    }
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    HWND get() const { return window_; }

private:
    HWND window_;
};

// A thread that is joined when it goes out of scope.
struct JoinedThread {
    std::thread thread;
    ~JoinedThread() {
        if (thread.joinable())
            thread.join();
    }
};

// Visible message boxes with the library's caption, other than the one given.
// Nothing is sent to the windows: their threads may be busy.
std::vector<HWND> otherCaptionedBoxes(HWND except) {
    struct Search {
        HWND except;
        std::vector<HWND> found;
    } search{except, {}};
    EnumWindows(
        [](HWND window, LPARAM parameter) {
            auto& s = *reinterpret_cast<Search*>(parameter);
            DWORD process = 0;
            GetWindowThreadProcessId(window, &process);
            wchar_t className[16] = L"", caption[32] = L"";
            GetClassNameW(window, className, 16);
            GetWindowTextW(window, caption, 32);
            if (window != s.except && process == GetCurrentProcessId() && IsWindowVisible(window) &&
                std::wstring(className) == L"#32770" && std::wstring(caption) == kMessageCaption)
                s.found.push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Tests that show boxes on this thread.
class BoxTest : public testing::Test {
protected:
    void SetUp() override { lookAtMessageQueue(); }
};
using ErrorBox = BoxTest;
using ServerNotFound = BoxTest;

// --- Error text ---

TEST(ErrorText, KnownCodeGivesTheSystemsMessage) {
    for (DWORD code : {DWORD{ERROR_ACCESS_DENIED}, DWORD{ERROR_FILE_NOT_FOUND},
                       static_cast<DWORD>(E_OUTOFMEMORY)}) {
        SCOPED_TRACE(hex(code));
        std::optional<std::wstring> expected = systemMessage(code, GetUserDefaultLangID());
        if (!expected)
            expected = systemMessage(code, GetSystemDefaultLangID());
        ASSERT_TRUE(expected) << "the system has no text for the code";
        EXPECT_EQ(errorText(code), *expected);
    }
    // Different codes, different texts: the code reaches FormatMessage.
    EXPECT_NE(errorText(ERROR_ACCESS_DENIED), errorText(ERROR_FILE_NOT_FOUND));
}

TEST(ErrorText, UnknownCodeIsNamedInUpperCaseHexadecimal) {
    // Customer-defined codes (bit 29) are no system's; nor is 0xFFFF.
    const struct {
        DWORD code;
        const wchar_t* text;
    } cases[] = {
        {0x2000001F, L"Undefined error #2000001F"},
        {0x2000ABCD, L"Undefined error #2000ABCD"}, // upper case
        {0x0000FFFF, L"Undefined error #FFFF"},     // no leading zeros, no prefix
        {0xE00BEEF1, L"Undefined error #E00BEEF1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(hex(c.code));
        ASSERT_TRUE(unknownToTheSystem(c.code)) << "the system knows the code";
        EXPECT_EQ(errorText(c.code), c.text);
    }
}

// --- The error box ---

TEST_F(ErrorBox, WithoutPrefixNamesTheErrorInGeneral) {
    TestWindow owner;
    ASSERT_TRUE(owner.get());
    UiRobot robot;
    robot
        .expect(errorBox(kNoPrefix + errorText(ERROR_ACCESS_DENIED))
                    .owner(owner.get())
                    .thread(GetCurrentThreadId()))
        .answer(IDOK);
    showError(owner.get(), ERROR_ACCESS_DENIED);
    robot.verify();
}

TEST_F(ErrorBox, PrefixNamesTheFailedAction) {
    TestWindow owner;
    ASSERT_TRUE(owner.get());
    UiRobot robot;
    robot
        .expect(errorBox(L"Unable to freeze the storage.\n\n" + errorText(ERROR_ACCESS_DENIED))
                    .owner(owner.get()))
        .answer(IDOK);
    showError(owner.get(), ERROR_ACCESS_DENIED, L"Unable to freeze the storage.");
    robot.verify();
}

TEST_F(ErrorBox, UnknownCodeAndNoOwner) {
    UiRobot robot;
    robot
        .expect(
            errorBox(L"Unable to defragment storage\n\nUndefined error #2000001F").owner(nullptr))
        .answer(IDOK);
    showError(nullptr, 0x2000001F, L"Unable to defragment storage");
    robot.verify();
}

TEST_F(ErrorBox, OwnedByTheActiveWindow) {
    TestWindow window(true);
    ASSERT_TRUE(window.get());
    SetActiveWindow(window.get());
    ASSERT_EQ(ownerWindow(), window.get());
    UiRobot robot;
    robot.expect(errorBox(kNoPrefix + errorText(ERROR_FILE_NOT_FOUND)).owner(window.get()))
        .answer(IDOK);
    showError(ownerWindow(), ERROR_FILE_NOT_FOUND);
    robot.verify();
    EXPECT_TRUE(IsWindowEnabled(window.get())) << "the owner stayed disabled";
}

struct RaisedCase {
    const char* name;
    std::function<void()> raise;
    HRESULT shown;
};

TEST_F(ErrorBox, CurrentExceptionShowsItsHresult) {
    const RaisedCase cases[] = {
        {"_com_error", [] { throw _com_error(E_ACCESSDENIED); }, E_ACCESSDENIED},
        {"HRESULT", [] { throw HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION); },
         HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION)},
        {"win_except", [] { throw cfx::win_except(ERROR_CANCELLED); },
         HRESULT_FROM_WIN32(ERROR_CANCELLED)},
        // A code that is already an HRESULT is shown as it is.
        {"win_except with an HRESULT", [] { throw cfx::win_except(NTE_BAD_KEYSET); },
         NTE_BAD_KEYSET},
        {"bad_alloc", [] { throw std::bad_alloc(); }, E_OUTOFMEMORY},
        {"runtime_error", [] { throw std::runtime_error("elsewhere"); }, E_UNEXPECTED},
        {"int", [] { throw 42; }, E_UNEXPECTED},
    };
    const wchar_t prefix[] = L"Unable to complete operation";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UiRobot robot;
        robot
            .expect(
                errorBox(std::wstring(prefix) + L"\n\n" + errorText(static_cast<DWORD>(c.shown))))
            .answer(IDOK);
        try {
            c.raise();
            ADD_FAILURE() << "nothing was raised";
        } catch (...) {
            showCurrentException(nullptr, prefix);
        }
        robot.verify();
    }
}

TEST_F(ErrorBox, CurrentExceptionTextsTellTheCasesApart) {
    // Otherwise the test above could not see a wrong mapping.
    std::vector<std::wstring> texts;
    for (HRESULT hr : {E_ACCESSDENIED, HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION), NTE_BAD_KEYSET,
                       HRESULT_FROM_WIN32(NTE_BAD_KEYSET & 0xFFFF), E_OUTOFMEMORY, E_UNEXPECTED})
        texts.push_back(errorText(static_cast<DWORD>(hr)));
    for (size_t i = 0; i < texts.size(); ++i)
        for (size_t j = i + 1; j < texts.size(); ++j)
            EXPECT_NE(texts[i], texts[j]) << narrow(texts[i]);
}

TEST_F(ErrorBox, OneErrorBoxAtATime) {
    const std::wstring text = errorText(ERROR_ACCESS_DENIED);
    // Declared before the robot, so that they are joined after it has closed
    // any box left open.
    JoinedThread first, second;
    UiRobot robot;
    robot.expect(errorBox(L"First\n\n" + text)).leaveOpen();
    robot
        .expect(
            errorBox(L"Second\n\n" + text)
                .where([](const BoxRecord& box) { return otherCaptionedBoxes(box.window).empty(); },
                       "no other error box open"))
        .answer(IDOK);

    first.thread = std::thread([] { showError(nullptr, ERROR_ACCESS_DENIED, L"First"); });
    std::optional<BoxRecord> firstBox = robot.waitForBox(10s);
    ASSERT_TRUE(firstBox);
    ASSERT_EQ(firstBox->text, L"First\n\n" + text);

    KernelHandle calling(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    second.thread = std::thread([&] {
        SetEvent(calling.get());
        showError(nullptr, ERROR_ACCESS_DENIED, L"Second");
    });
    WaitForSingleObject(calling.get(), INFINITE);
    // The second thread waits for the lock as long as the first box is open;
    // without the lock its box would be there within milliseconds.
    std::optional<BoxRecord> early = robot.waitForBox(1500ms);
    EXPECT_FALSE(early) << "a second box while the first is open: " << early->describe();

    EXPECT_TRUE(robot.press(firstBox->window, IDOK));
    std::optional<BoxRecord> secondBox = early ? early : robot.waitForBox(10s);
    ASSERT_TRUE(secondBox);
    EXPECT_EQ(secondBox->text, L"Second\n\n" + text);
    first.thread.join();
    second.thread.join();
    robot.verify();
}

// --- The owner window ---

TEST(OwnerWindow, TheActiveWindowOfTheCallingThread) {
    TestWindow first(true), second(true);
    ASSERT_TRUE(first.get() && second.get());
    SetActiveWindow(first.get());
    EXPECT_EQ(ownerWindow(), first.get());
    SetActiveWindow(second.get());
    EXPECT_EQ(ownerWindow(), second.get());
    EXPECT_EQ(ownerWindow(), GetActiveWindow());

    // Another thread's active window owns nothing here.
    HWND elsewhere = reinterpret_cast<HWND>(1);
    HWND activeThere = reinterpret_cast<HWND>(1);
    onNewThread([&] {
        elsewhere = ownerWindow();
        activeThere = GetActiveWindow();
    });
    EXPECT_EQ(elsewhere, nullptr);
    EXPECT_EQ(activeThere, nullptr);
}

TEST(OwnerWindow, NoneWithoutAnActiveWindow) {
    HWND owner = reinterpret_cast<HWND>(1);
    onNewThread([&] {
        // A hidden window is not activated.
        TestWindow hidden;
        owner = ownerWindow();
    });
    EXPECT_EQ(owner, nullptr);
}

// --- The storage server cannot be reached ---

TEST_F(ServerNotFound, ShowsTheBoxForEveryFailure) {
    TestWindow owner;
    ASSERT_TRUE(owner.get());
    for (HRESULT hr : {REGDB_E_CLASSNOTREG, CO_E_SERVER_EXEC_FAILURE, RPC_E_DISCONNECTED,
                       HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), E_FAIL}) {
        SCOPED_TRACE(hex(static_cast<unsigned long>(hr)));
        UiRobot robot;
        robot.expect(errorBox(kServerNotFound).owner(owner.get())).answer(IDOK);
        showServerNotFound(owner.get(), hr);
        robot.verify();
    }
}

TEST_F(ServerNotFound, SilentInsideAnInputSynchronousCall) {
    UiRobot robot;
    // The call returns only once a box it showed is closed, and the robot
    // closes only boxes it has seen.
    showServerNotFound(nullptr, RPC_E_CANTCALLOUT_ININPUTSYNCCALL);
    EXPECT_TRUE(robot.boxes().empty());
    robot.verify();
}

} // namespace
} // namespace cfx::test
