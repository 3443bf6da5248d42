// The progress dialogs driven for real under a display: each test opens a
// dialog through ProgressDialogHost, looks at its window from the test's
// thread while the dialog runs on its own, and plays the user with the robot.
// Every test runs for both variants: the modern one in this program (Wine
// reports Windows 7), the classic one in a second run of this program that
// Wine tells it is Windows XP (ClassicVariant.RunsWhereWindowsXpIsReported).
#include "support/LoadedLibrary.h"
#include "support/UiRobot.h"
#include "ui/ProcessObjects.h"
#include "ui/WindowCapture.h"
#include "ui/WindowsXpRun.h"

#include "common/Handles.h"
#include "ui/ProgressDialogHost.h"
#include "ui/ProgressKind.h"
#include "ui/dialog_ids.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using cfx::KernelHandle;
using cfx::test::Box;
using cfx::test::BoxRecord;
using cfx::test::UiRobot;
using cfx::test::windowProcedureModule;
using cfx::ui::CancelSink;
using cfx::ui::IconHandle;
using cfx::ui::ProgressDialog;
using cfx::ui::ProgressDialogHost;
using cfx::ui::ProgressDialogParams;
using namespace std::chrono_literals;

// The longest a test waits for something that must happen (a second's close
// timer, a click's effect); only a broken dialog takes that long.
constexpr DWORD kPatienceMs = 15000;

constexpr wchar_t kTitle[] = L"Copying...";
constexpr wchar_t kLine1[] = L"Calculating source size";
constexpr wchar_t kLine2[] = L"2 items remaining";
constexpr wchar_t kHeader[] = L"Copying 2 items";

struct Variant {
    const char* name;
    DWORD majorVersion;
    int templateId;
    int line1;
    int line2;
};

void PrintTo(const Variant& variant, std::ostream* out) {
    *out << variant.name;
}

const Variant kModern{"modern", 6, IDD_PROGRESS_MODERN, IDC_PROGRESS_LINE1, IDC_PROGRESS_LINE2};
const Variant kClassic{"classic", 5, IDD_PROGRESS_CLASSIC, IDC_PROGRESS_CLASSIC_LINE1,
                       IDC_PROGRESS_CLASSIC_LINE2};

// Counts its calls and signals each one.
class RecordingSink : public CancelSink {
public:
    RecordingSink() : called_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    void OnCancel() override {
        ++calls;
        SetEvent(called_.get());
    }

    bool waitForCall() const {
        return WaitForSingleObject(called_.get(), kPatienceMs) == WAIT_OBJECT_0;
    }

    std::atomic<int> calls{0};

private:
    KernelHandle called_;
};

std::wstring textOf(HWND window) {
    wchar_t text[512] = L"";
    int length = GetWindowTextW(window, text, 512);
    return std::wstring(text, static_cast<std::size_t>(length > 0 ? length : 0));
}

// The dialog's thread, to wait for the window to end on its own.
KernelHandle threadOf(HWND window) {
    DWORD thread = GetWindowThreadProcessId(window, nullptr);
    return KernelHandle(OpenThread(SYNCHRONIZE, FALSE, thread));
}

bool ended(const KernelHandle& thread) {
    return WaitForSingleObject(thread.get(), kPatienceMs) == WAIT_OBJECT_0;
}

// Destroys the hosts all at once, each on a thread of its own: every host's
// window stays a second after it is asked to close, and they need not wait
// for each other.
void closeTogether(std::vector<std::shared_ptr<ProgressDialogHost>>& hosts) {
    std::vector<std::thread> closers;
    for (auto& host : hosts)
        closers.emplace_back([doomed = std::move(host)]() mutable { doomed.reset(); });
    hosts.clear();
    for (std::thread& closer : closers)
        closer.join();
}

void pumpMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

// A plain top-level window of the test's thread.
class TestWindow {
public:
    explicit TestWindow(const wchar_t* title) {
        static const ATOM windowClass = [] {
            WNDCLASSW description{};
            description.lpfnWndProc = &DefWindowProcW;
            description.hInstance = GetModuleHandleW(nullptr);
            description.lpszClassName = L"cfx progress test window";
            return RegisterClassW(&description);
        }();
        window_ =
            CreateWindowExW(0, MAKEINTATOM(windowClass), title, WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                            40, 40, 300, 200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    }
    ~TestWindow() { DestroyWindow(window_); }
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    HWND get() const { return window_; }

private:
    HWND window_ = nullptr;
};

// Watches the dialog's thread take the close timer from its queue (a
// WH_GETMESSAGE hook on that thread) and notes how the window looked then.
class CloseTimerWatch {
public:
    explicit CloseTimerWatch(HWND dialog) {
        dialog_ = dialog;
        seen_ = false;
        hook_ = SetWindowsHookExW(WH_GETMESSAGE, &CloseTimerWatch::onMessage, nullptr,
                                  GetWindowThreadProcessId(dialog, nullptr));
    }
    ~CloseTimerWatch() {
        if (hook_)
            UnhookWindowsHookEx(hook_);
    }
    CloseTimerWatch(const CloseTimerWatch&) = delete;
    CloseTimerWatch& operator=(const CloseTimerWatch&) = delete;

    bool hooked() const { return hook_ != nullptr; }
    bool seen() const { return seen_; }
    bool visibleThen() const { return visible_; }
    bool cancelEnabledThen() const { return cancelEnabled_; }

private:
    static LRESULT CALLBACK onMessage(int code, WPARAM wParam, LPARAM lParam) {
        const MSG* message = reinterpret_cast<const MSG*>(lParam);
        if (code == HC_ACTION && wParam == PM_REMOVE && message->hwnd == dialog_ &&
            message->message == WM_TIMER && message->wParam == 16 && !seen_) {
            visible_ = IsWindowVisible(dialog_) != FALSE;
            cancelEnabled_ = IsWindowEnabled(GetDlgItem(dialog_, IDCANCEL)) != FALSE;
            seen_ = true;
        }
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }

    HHOOK hook_ = nullptr;
    // The hook procedure has no context of its own; one watch at a time.
    static inline HWND dialog_ = nullptr;
    static inline std::atomic<bool> seen_{false};
    static inline std::atomic<bool> visible_{false};
    static inline std::atomic<bool> cancelEnabled_{true};
};

class ProgressDialogTest : public testing::TestWithParam<Variant> {
protected:
    void SetUp() override {
        DWORD major = cfx::test::reportedMajorVersion();
        if (major != GetParam().majorVersion) {
            if (cfx::test::isWindowsXpChild())
                FAIL() << "Started to see Windows XP, but Wine reports major version " << major;
            GTEST_SKIP() << "The " << GetParam().name << " dialog needs Windows major version "
                         << GetParam().majorVersion << "; this run reports " << major;
        }
        ASSERT_NE(library_.handle(), nullptr);
    }

    ProgressDialogParams params(std::uint32_t kind = cfx::ui::CopyMany) const {
        ProgressDialogParams params;
        params.module = library_.handle();
        params.kind = kind;
        params.icon = IconHandle::fromResource(library_.handle(), 1);
        params.title = kTitle;
        params.line1 = kLine1;
        params.line2 = kLine2;
        params.header = kHeader;
        return params;
    }

    bool modern() const { return GetParam().majorVersion == 6; }

    cfx::test::LoadedLibrary library_{L"cfxview.dll"};
};

TEST_P(ProgressDialogTest, OpensItsTemplateWithTheTextsAndTheIcon) {
    UiRobot robot;
    robot.expect(Box().caption(kTitle).messageBox(false)).leaveOpen();
    auto host = ProgressDialogHost::create(params());
    ASSERT_TRUE(host && host->dialog());
    EXPECT_EQ(host->dialog()->GetTemplateId(), GetParam().templateId);
    HWND window = host->window();
    ASSERT_NE(window, nullptr);

    std::optional<BoxRecord> box = robot.waitForBox();
    ASSERT_TRUE(box);
    EXPECT_EQ(box->window, window);
    EXPECT_EQ(box->owner, nullptr);
    EXPECT_NE(box->thread, GetCurrentThreadId()) << "the dialog runs on a thread of its own";
    const cfx::test::BoxControl* line1 = box->control(GetParam().line1);
    const cfx::test::BoxControl* line2 = box->control(GetParam().line2);
    const cfx::test::BoxControl* animation = box->control(IDC_PROGRESS_ANIMATION);
    const cfx::test::BoxControl* bar = box->control(IDC_PROGRESS_BAR);
    ASSERT_TRUE(line1 && line2 && animation && bar);
    EXPECT_EQ(line1->text, kLine1);
    EXPECT_EQ(line2->text, kLine2);
    EXPECT_EQ(animation->className, L"SysAnimate32");
    EXPECT_EQ(bar->className, L"msctls_progress32");
    ASSERT_TRUE(box->button(IDCANCEL));
    EXPECT_TRUE(box->button(IDCANCEL)->enabled);

    EXPECT_EQ(SendMessageW(bar->window, PBM_GETRANGE, TRUE, 0), 0);
    EXPECT_EQ(SendMessageW(bar->window, PBM_GETRANGE, FALSE, 0), 100);
    EXPECT_NE(SendMessageW(window, WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_NE(SendMessageW(window, WM_GETICON, ICON_SMALL, 0), 0);

    std::wstring header;
    host->dialog()->GetHeader(header);
    EXPECT_EQ(header, modern() ? kHeader : L"");
    EXPECT_FALSE(host->dialog()->IsCancelled());
}

TEST_P(ProgressDialogTest, AnswersItsRegisteredMessagesAndCarriesItsProperties) {
    UiRobot robot;
    robot.expect(Box().messageBox(false)).leaveOpen();
    auto host = ProgressDialogHost::create(params());
    ASSERT_TRUE(host && host->window());
    HWND window = host->window();
    HWND animation = GetDlgItem(window, IDC_PROGRESS_ANIMATION);
    EXPECT_EQ(GetPropW(window, L"{F1C6E8A3-49B2-4D7C-A5E0-3D82B7C19F64}"), host.get());
    HANDLE subclass = GetPropW(animation, L"{0E9B4F62-7C1A-4D25-B3E8-6A4F21D9C07E}");
    EXPECT_EQ(subclass != nullptr, modern()) << "only the modern animation is subclassed";

    // The forward message: any thread has the dialog's thread send a message.
    UINT forward = RegisterWindowMessageW(L"{D4A7C2E1-5B3F-4E80-9A16-C7E2F05B8D31}");
    HWND line2 = GetDlgItem(window, GetParam().line2);
    const wchar_t text[] = L"forwarded";
    MSG call{line2, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text), 0, {0, 0}};
    // The dialog answers with the forwarded message's own result.
    EXPECT_EQ(SendMessageW(window, forward, 0, reinterpret_cast<LPARAM>(&call)), TRUE);
    EXPECT_EQ(textOf(line2), L"forwarded");

    // The close message: Cancel goes grey and the window ends on its timer,
    // without cancelling.
    KernelHandle dialogThread = threadOf(window);
    UINT close = RegisterWindowMessageW(L"{A53C18F7-E2D4-4B96-8F01-B47D93E6A2C5}");
    SendMessageW(window, close, 0, 0);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window, IDCANCEL)));
    ASSERT_TRUE(ended(dialogThread));
    EXPECT_FALSE(host->dialog()->IsCancelled());
}

TEST_P(ProgressDialogTest, RunsWithTheVersion6CommonControls) {
    UiRobot robot;
    robot.expect(Box().messageBox(false)).leaveOpen();
    auto host = ProgressDialogHost::create(params());
    ASSERT_TRUE(host && host->window());
    // Version 6 brings its own (themed) buttons; without the library's
    // activation context the button would be the system's own, from user32.
    EXPECT_EQ(windowProcedureModule(GetDlgItem(host->window(), IDCANCEL)), L"comctl32.dll");
}

TEST_P(ProgressDialogTest, SettersStoreTheirTextsAndShowThem) {
    UiRobot robot;
    robot.expect(Box().messageBox(false)).leaveOpen();
    auto host = ProgressDialogHost::create(params());
    ASSERT_TRUE(host && host->dialog() && host->window());
    ProgressDialog& dialog = *host->dialog();
    HWND window = host->window();
    HWND line1 = GetDlgItem(window, GetParam().line1);
    HWND line2 = GetDlgItem(window, GetParam().line2);

    dialog.SetTitle(L"Moving...");
    EXPECT_EQ(textOf(window), L"Moving...");
    dialog.SetLine1(L"Moving 'report.txt'");
    EXPECT_EQ(textOf(line1), L"Moving 'report.txt'");
    EXPECT_EQ(textOf(line2), kLine2);
    dialog.SetLine2(L"1 item remaining");
    EXPECT_EQ(textOf(line1), L"Moving 'report.txt'");
    EXPECT_EQ(textOf(line2), L"1 item remaining");
    dialog.SetHeader(L"Moving 1 item");

    std::wstring text;
    dialog.GetTitle(text);
    EXPECT_EQ(text, L"Moving...");
    dialog.GetLine1(text);
    EXPECT_EQ(text, L"Moving 'report.txt'");
    dialog.GetLine2(text);
    EXPECT_EQ(text, L"1 item remaining");
    text = L"left over";
    dialog.GetHeader(text);
    EXPECT_EQ(text, modern() ? L"Moving 1 item" : L"");

    // Nothing stays of a longer text before it.
    dialog.SetLine1(L"");
    EXPECT_EQ(textOf(line1), L"");
}

TEST_P(ProgressDialogTest, SetPosShowsThePositionAsAPercentageOfTheRange) {
    UiRobot robot;
    robot.expect(Box().messageBox(false)).leaveOpen();
    auto host = ProgressDialogHost::create(params());
    ASSERT_TRUE(host && host->dialog() && host->window());
    ProgressDialog& dialog = *host->dialog();
    HWND bar = GetDlgItem(host->window(), IDC_PROGRESS_BAR);
    auto shown = [bar] { return SendMessageW(bar, PBM_GETPOS, 0, 0); };

    struct Case {
        std::int64_t minimum, maximum, pos;
        LRESULT percent;
    };
    const Case cases[] = {
        {0, 200, 50, 25},     {0, 3, 1, 33}, // truncated
        {0, 4096, 4095, 99},                 // not rounded up
        {0, 1000, 1000, 100}, {0, 10, 0, 0},
        {100, 300, 150, 75}, // the position is not taken from the minimum
        {0, 100, 250, 100},  // the bar keeps to its range
        {0, 0, 0, 0},        // an empty range shows nothing
        {0, 0, 7, 0},         {0, 0x7FFFFFFFFFFF, 0x3FFFFFFFFFFF, 49}, // 64-bit sizes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "range " << c.minimum << ".." << c.maximum << ", pos " << c.pos);
        dialog.SetPos(0);
        dialog.SetRange(c.minimum, c.maximum);
        dialog.SetPos(c.pos);
        EXPECT_EQ(shown(), c.percent);
        std::int64_t minimum = -1, maximum = -1;
        dialog.GetRange(minimum, maximum);
        EXPECT_EQ(minimum, c.minimum);
        EXPECT_EQ(maximum, c.maximum);
        EXPECT_EQ(dialog.GetPos(), c.pos);
    }

    // SetRange only stores: the bar moves at the next SetPos.
    dialog.SetRange(0, 200);
    dialog.SetPos(100);
    ASSERT_EQ(shown(), 50);
    dialog.SetRange(0, 400);
    EXPECT_EQ(shown(), 50);
    dialog.SetPos(100);
    EXPECT_EQ(shown(), 25);
}

TEST_P(ProgressDialogTest, CancelButtonCancelsAndTheWindowEndsOnItsOwn) {
    RecordingSink sink;
    ProgressDialogParams withSink = params();
    withSink.cancelSink = &sink;
    UiRobot robot;
    robot.expect(Box().caption(kTitle).messageBox(false)).answer(IDCANCEL);
    auto host = ProgressDialogHost::create(withSink);
    ASSERT_TRUE(host && host->dialog() && host->window());
    HWND window = host->window();
    KernelHandle dialogThread = threadOf(window);
    ASSERT_TRUE(dialogThread);

    ASSERT_TRUE(sink.waitForCall()) << "Cancel did not reach the sink";
    // The dialog's thread finishes WM_CLOSE before it takes this message.
    SendMessageW(window, WM_NULL, 0, 0);
    EXPECT_TRUE(host->dialog()->IsCancelled());
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window, IDCANCEL)));

    // The host still lives: the window closes by itself.
    ASSERT_TRUE(ended(dialogThread)) << "the window did not close after Cancel";
    EXPECT_EQ(host->window(), nullptr);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(sink.calls, 1);
    EXPECT_TRUE(host->dialog()->IsCancelled());

    // The operation goes on for a while: its setters only store now.
    ProgressDialog& dialog = *host->dialog();
    dialog.SetTitle(L"Copying... (cancelled)");
    dialog.SetLine1(L"Copying 'last.txt'");
    dialog.SetLine2(L"0 items remaining");
    dialog.SetHeader(L"Copying 1 item");
    dialog.SetRange(0, 10);
    dialog.SetPos(10);
    std::wstring text;
    dialog.GetLine1(text);
    EXPECT_EQ(text, L"Copying 'last.txt'");
    EXPECT_EQ(dialog.GetPos(), 10);
    host.reset();
    EXPECT_EQ(sink.calls, 1);
}

TEST_P(ProgressDialogTest, CloseBoxCancelsAlsoWhenCancelIsDisabled) {
    RecordingSink sink;
    ProgressDialogParams renaming = params(cfx::ui::CheckSingle);
    renaming.cancelDisabled = TRUE;
    renaming.cancelSink = &sink;
    UiRobot robot;
    robot
        .expect(Box().messageBox(false).where(
            [](const BoxRecord& box) {
                const cfx::test::BoxButton* cancel = box.button(IDCANCEL);
                return cancel && !cancel->enabled;
            },
            "Cancel disabled"))
        .leaveOpen();
    auto host = ProgressDialogHost::create(renaming);
    ASSERT_TRUE(host && host->dialog() && host->window());
    HWND window = host->window();
    KernelHandle dialogThread = threadOf(window);
    ASSERT_TRUE(robot.waitForBox());

    // What the close box (and Alt+F4) sends.
    PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    ASSERT_TRUE(sink.waitForCall()) << "the close box did not reach the sink";
    ASSERT_TRUE(ended(dialogThread)) << "the window did not close after the close box";
    EXPECT_TRUE(host->dialog()->IsCancelled());
    EXPECT_EQ(sink.calls, 1);
}

TEST_P(ProgressDialogTest, ClosingKeepsTheWindowUntilTheTimerThenActivatesTheOwner) {
    // The owner, and another window of this thread in front of it that would
    // be activated instead if the dialog did not hand the foreground back.
    TestWindow owner(L"owner");
    TestWindow other(L"other");
    ASSERT_TRUE(owner.get() && other.get());
    SetForegroundWindow(owner.get());
    SetForegroundWindow(other.get());
    pumpMessages();
    ASSERT_EQ(GetForegroundWindow(), other.get());

    ProgressDialogParams withOwner = params();
    withOwner.ownerWindow = owner.get();
    UiRobot robot;
    robot.expect(Box().messageBox(false)).leaveOpen();
    auto host = ProgressDialogHost::create(withOwner);
    ASSERT_TRUE(host && host->window());
    HWND window = host->window();
    ASSERT_TRUE(robot.waitForBox());

    CloseTimerWatch watch(window);
    ASSERT_TRUE(watch.hooked());
    host.reset(); // the operation is done
    EXPECT_FALSE(IsWindow(window));
    ASSERT_TRUE(watch.seen()) << "the window did not end with the close timer";
    EXPECT_TRUE(watch.visibleThen()) << "the window was gone before the timer";
    EXPECT_FALSE(watch.cancelEnabledThen()) << "Cancel stayed enabled while closing";

    // The activation comes to this thread as posted messages.
    pumpMessages();
    EXPECT_EQ(GetForegroundWindow(), owner.get());
}

TEST_P(ProgressDialogTest, KindAboveCheckManyLeavesAHostWithoutAWindow) {
    for (std::uint32_t kind : {8u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(testing::Message() << "kind " << kind);
        RecordingSink sink;
        ProgressDialogParams noAnimation = params(kind);
        noAnimation.cancelSink = &sink;
        UiRobot robot; // expects nothing: a window that shows fails the test
        auto host = ProgressDialogHost::create(noAnimation);
        ASSERT_TRUE(host && host->dialog());
        HWND window = host->window();
        EXPECT_FALSE(window && IsWindowVisible(window));

        ProgressDialog& dialog = *host->dialog();
        dialog.SetTitle(L"Deleting");
        dialog.SetLine1(L"Deleting 'a.txt'");
        dialog.SetLine2(L"1 item remaining");
        dialog.SetHeader(L"Deleting 1 item");
        dialog.SetRange(0, 1);
        dialog.SetPos(1);
        std::wstring text;
        dialog.GetLine2(text);
        EXPECT_EQ(text, L"1 item remaining");
        dialog.GetTitle(text);
        EXPECT_EQ(text, L"Deleting");
        EXPECT_EQ(dialog.GetPos(), 1);
        EXPECT_FALSE(dialog.IsCancelled());
        host.reset();
        EXPECT_EQ(sink.calls, 0);
        EXPECT_TRUE(robot.boxes().empty());
    }
}

TEST_P(ProgressDialogTest, TemplateThatCannotBeFoundLeavesAHostWithoutAWindow) {
    ProgressDialogParams elsewhere = params();
    elsewhere.module = GetModuleHandleW(nullptr); // this program has no dialogs
    UiRobot robot;
    auto host = ProgressDialogHost::create(elsewhere);
    ASSERT_TRUE(host && host->dialog());
    EXPECT_EQ(host->window(), nullptr);
    host->dialog()->SetLine1(L"nowhere");
    host->dialog()->SetPos(3);
    std::wstring text;
    host->dialog()->GetLine1(text);
    EXPECT_EQ(text, L"nowhere");
    host.reset();
    EXPECT_TRUE(robot.boxes().empty());
}

TEST_P(ProgressDialogTest, EveryKindOpensWithItsAnimation) {
    UiRobot robot;
    robot.expect(Box().messageBox(false)).times(8).leaveOpen();
    std::vector<std::shared_ptr<ProgressDialogHost>> hosts;
    for (std::uint32_t kind = cfx::ui::CopySingle; kind <= cfx::ui::CheckMany; ++kind) {
        ProgressDialogParams each = params(kind);
        each.title = L"Kind " + std::to_wstring(kind);
        hosts.push_back(ProgressDialogHost::create(each));
        ASSERT_TRUE(hosts.back()->window()) << "kind " << kind << " did not open";
        EXPECT_TRUE(robot.waitForBox()) << "kind " << kind << " did not show";
    }
    closeTogether(hosts);
}

TEST_P(ProgressDialogTest, HeaderIsDrawnOverTheAnimationOfTheModernDialogOnly) {
    ProgressDialogParams noHeader = params();
    noHeader.header.clear();
    UiRobot robot;
    robot.expect(Box().messageBox(false)).leaveOpen();
    auto host = ProgressDialogHost::create(noHeader);
    ASSERT_TRUE(host && host->window());
    ASSERT_TRUE(robot.waitForBox());
    HWND animation = GetDlgItem(host->window(), IDC_PROGRESS_ANIMATION);
    // A still picture to read: the clip stops at its current frame.
    SendMessageW(animation, ACM_STOP, 0, 0);

    const std::uint32_t headerColor = cfx::test::pictureColor(RGB(224, 255, 255));
    auto headerPixels = [&](long& leftOfHeader) {
        cfx::test::Picture picture = cfx::test::captureWindow(animation, false);
        EXPECT_GT(picture.width, 0);
        long count = 0;
        leftOfHeader = 0;
        for (int y = 0; y < picture.height; ++y) {
            for (int x = 0; x < picture.width; ++x) {
                if (picture.at(x, y) == headerColor) {
                    ++count;
                    leftOfHeader += x < 30;
                }
            }
        }
        return count;
    };
    long left = 0;
    EXPECT_EQ(headerPixels(left), 0);

    host->dialog()->SetHeader(L"Copying 2 items");
    long drawn = headerPixels(left);
    if (modern()) {
        EXPECT_GT(drawn, 20) << "no header over the animation";
        EXPECT_EQ(left, 0) << "the header starts 30 pixels in";
    } else {
        EXPECT_EQ(drawn, 0) << "the classic dialog has no header";
    }
}

TEST_P(ProgressDialogTest, LinesSitOnTheWhitePanelOfTheModernDialog) {
    ProgressDialogParams shortLines = params();
    shortLines.line1 = L"a";
    shortLines.line2 = L"b";
    UiRobot robot;
    robot.expect(Box().messageBox(false)).leaveOpen();
    auto host = ProgressDialogHost::create(shortLines);
    ASSERT_TRUE(host && host->window());
    ASSERT_TRUE(robot.waitForBox());
    HWND window = host->window();
    RedrawWindow(window, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    // Read the lines' right ends, where their short texts leave the background.
    for (int id : {GetParam().line1, GetParam().line2}) {
        HWND line = GetDlgItem(window, id);
        cfx::test::Picture picture = cfx::test::captureWindow(line, false);
        ASSERT_GT(picture.width, 4);
        std::uint32_t background = picture.at(picture.width - 2, picture.height / 2);
        std::uint32_t expected =
            modern() ? 0xFFFFFFu : cfx::test::pictureColor(GetSysColor(COLOR_BTNFACE));
        EXPECT_EQ(background, expected) << "line " << id;
    }
}

TEST_P(ProgressDialogTest, OpeningAndClosingGivesBackEverythingItTakes) {
    RecordingSink sink;
    ProgressDialogParams full = params();
    full.cancelSink = &sink;
    auto cycle = [&full] {
        auto host = ProgressDialogHost::create(full);
        if (host && host->dialog()) {
            host->dialog()->SetLine1(L"Copying 'a.txt'");
            host->dialog()->SetHeader(L"Copying 1 item");
            host->dialog()->SetRange(0, 10);
            host->dialog()->SetPos(5);
        }
    };
    // 30 dialogs, 6 at a time.
    constexpr int kThreads = 6;
    constexpr int kCyclesEach = 5;
    auto run = [&cycle](int cyclesEach) {
        std::vector<std::thread> workers;
        for (int t = 0; t < kThreads; ++t) {
            workers.emplace_back([&cycle, cyclesEach] {
                for (int i = 0; i < cyclesEach; ++i)
                    cycle();
            });
        }
        for (std::thread& worker : workers)
            worker.join();
    };
    // The first dialogs load the common controls, the fonts and the clip
    // decoder for good, and the system's caches grow to what six windows at a
    // time need.
    run(1);
    cfx::test::ProcessObjects before = cfx::test::countProcessObjects();
    run(kCyclesEach);
    cfx::test::ProcessObjects after = cfx::test::countProcessObjects();
    // One object kept per dialog would add 30. The system's caches may keep
    // a few more after windows that painted at the same time.
    constexpr long kSlack = kThreads * kCyclesEach / 3;
    EXPECT_LE(after.kernel, before.kernel + kSlack) << before << " -> " << after;
    EXPECT_LE(after.gdi, before.gdi + kSlack) << before << " -> " << after;
    EXPECT_LE(after.user, before.user + kSlack) << before << " -> " << after;
    EXPECT_EQ(sink.calls, 0);
}

INSTANTIATE_TEST_SUITE_P(Modern, ProgressDialogTest, testing::Values(kModern));
INSTANTIATE_TEST_SUITE_P(Classic, ProgressDialogTest, testing::Values(kClassic));

TEST(ProgressDialogVariant, FollowsTheWindowsMajorVersion) {
    cfx::test::LoadedLibrary library(L"cfxview.dll");
    ProgressDialogParams params;
    params.module = library.handle();
    params.kind = 99; // no window needed
    auto host = ProgressDialogHost::create(params);
    ASSERT_TRUE(host && host->dialog());
    DWORD major = cfx::test::reportedMajorVersion();
    EXPECT_EQ(host->dialog()->GetTemplateId(),
              major == 6 ? IDD_PROGRESS_MODERN : IDD_PROGRESS_CLASSIC);
}

TEST(ProgressPercent, IsThePositionOverAHundredthOfTheRangeInSixteenBits) {
    using cfx::ui::ProgressDialog;
    EXPECT_EQ(ProgressDialog::percentOf(50, 0, 200), 25u);
    EXPECT_EQ(ProgressDialog::percentOf(1, 0, 3), 33u);
    EXPECT_EQ(ProgressDialog::percentOf(150, 100, 300), 75u);
    EXPECT_EQ(ProgressDialog::percentOf(0, 0, 0), 0u);
    EXPECT_EQ(ProgressDialog::percentOf(5, 0, 0), 0u);
    EXPECT_EQ(ProgressDialog::percentOf(-5, 0, 0), 0u);
    EXPECT_EQ(ProgressDialog::percentOf(-5, 0, 100), 0xFFFBu);
    EXPECT_EQ(ProgressDialog::percentOf(70000, 0, 100), 70000u & 0xFFFF);
    EXPECT_EQ(ProgressDialog::percentOf(std::numeric_limits<std::int64_t>::max(), 0, 1), 0u);
}

TEST(ProgressKinds, ChooseTheirClipsAndCountItems) {
    using namespace cfx::ui;
    const WORD modern[] = {103, 106, 103, 106, 107, 107, 105, 105};
    const WORD classic[] = {109, 110, 109, 110, 112, 112, 111, 111};
    for (std::uint32_t kind = CopySingle; kind <= CheckMany; ++kind) {
        EXPECT_EQ(progressAnimation(kind).modern, modern[kind]) << "kind " << kind;
        EXPECT_EQ(progressAnimation(kind).classic, classic[kind]) << "kind " << kind;
    }
    EXPECT_EQ(progressAnimation(8).modern, 0);
    EXPECT_EQ(progressAnimation(8).classic, 0);
    EXPECT_EQ(progressKind(CopySingle, 1), CopySingle);
    EXPECT_EQ(progressKind(CopySingle, 2), CopyMany);
    EXPECT_EQ(progressKind(DeleteSingle, 0), DeleteMany);
    EXPECT_EQ(progressKind(MoveSingle, 1), MoveSingle);
}

TEST(IconHandles, CopiesOwnDuplicatesOfTheIcon) {
    static std::atomic<int> duplicated{0}, destroyed{0};
    auto duplicate = [](HICON icon) {
        ++duplicated;
        return IconHandle::duplicateIcon(icon);
    };
    auto destroy = [](HICON icon) {
        ++destroyed;
        IconHandle::destroyIcon(icon);
    };
    HICON original = IconHandle::duplicateIcon(LoadIconW(nullptr, MAKEINTRESOURCEW(32512)));
    ASSERT_NE(original, nullptr);
    {
        IconHandle first(original, duplicate, destroy);
        IconHandle second(first);
        EXPECT_NE(second.get(), nullptr);
        EXPECT_NE(second.get(), first.get());
        IconHandle third;
        third = second;
        EXPECT_NE(third.get(), second.get());
        IconHandle moved(std::move(third));
        EXPECT_EQ(third.get(), nullptr);
        EXPECT_EQ(duplicated, 2);
        EXPECT_EQ(destroyed, 0);
    }
    EXPECT_EQ(destroyed, 3);
    IconHandle empty;
    IconHandle emptyCopy(empty);
    EXPECT_FALSE(emptyCopy);
    EXPECT_EQ(duplicated, 2);
}

// The classic dialog shows only where Windows XP is reported: run the
// Classic/ tests (and the variant choice) again in a program that Wine tells
// it is Windows XP.
TEST(ClassicVariant, RunsWhereWindowsXpIsReported) {
    if (cfx::test::reportedMajorVersion() == 5)
        GTEST_SKIP() << "This run is the one that reports Windows XP";
    wchar_t folder[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, folder), 0u);
    std::wstring report = std::wstring(folder) + L"classic-progress-dialogs.xml";
    DeleteFileW(report.c_str());
    std::string problem;
    long code = cfx::test::runAgainAsWindowsXp(
        L"--gtest_filter=Classic/*:ProgressDialogVariant.* --gtest_output=xml:\"" + report + L"\"",
        problem);
    EXPECT_EQ(code, 0) << (problem.empty() ? "the classic dialog tests failed" : problem);

    // The run must have run tests, not skipped them all.
    std::ifstream file{std::filesystem::path(report)};
    std::stringstream text;
    text << file.rdbuf();
    std::string xml = text.str();
    std::size_t at = xml.find("<testsuites tests=\"");
    ASSERT_NE(at, std::string::npos) << "no test report from the classic run";
    int tests = std::stoi(xml.substr(at + 19));
    EXPECT_GE(tests, 9);
    EXPECT_EQ(xml.find("result=\"skipped\""), std::string::npos) << "classic tests were skipped";
    DeleteFileW(report.c_str());
}

} // namespace
