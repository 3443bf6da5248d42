// The progress dialogs driven for real under a display: each test opens a
// dialog through ProgressDialogHost, looks at its window from the test's
// thread while the dialog runs on its own, and plays the user with the robot.
// Tests run for both variants: the modern one in this program (Wine reports
// Windows 7), the classic one in a second run of this program that Wine tells
// it is Windows XP (ClassicVariant.RunsWhereWindowsXpIsReported).
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
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using cfx::KernelHandle;
using namespace cfx::test;
using namespace cfx::ui;
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

void pumpMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

// A plain top-level window of the test's thread.
struct TestWindow {
    explicit TestWindow(const wchar_t* title)
        : window(CreateWindowExW(0, L"Static", title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 300,
                                 200, nullptr, nullptr, nullptr, nullptr)) {}
    ~TestWindow() { DestroyWindow(window); }
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;
    HWND get() const { return window; }

    HWND window;
};

class ProgressDialogTest : public testing::TestWithParam<Variant> {
protected:
    void SetUp() override {
        DWORD major = reportedMajorVersion();
        if (major != GetParam().majorVersion) {
            if (isWindowsXpChild())
                FAIL() << "Started to see Windows XP, but Wine reports major version " << major;
            GTEST_SKIP() << "The " << GetParam().name << " dialog needs Windows major version "
                         << GetParam().majorVersion << "; this run reports " << major;
        }
        ASSERT_NE(library_.handle(), nullptr);
    }

    ProgressDialogParams params(std::uint32_t kind = CopyMany) const {
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

    LoadedLibrary library_{L"cfxview.dll"};
};

TEST_P(ProgressDialogTest, OpensItsTemplateAndShowsWhatItsSettersStore) {
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
    const BoxControl* lines[] = {box->control(GetParam().line1), box->control(GetParam().line2)};
    const BoxControl* animation = box->control(IDC_PROGRESS_ANIMATION);
    const BoxControl* bar = box->control(IDC_PROGRESS_BAR);
    ASSERT_TRUE(lines[0] && lines[1] && animation && bar);
    EXPECT_EQ(lines[0]->text, kLine1);
    EXPECT_EQ(lines[1]->text, kLine2);
    EXPECT_EQ(animation->className, L"SysAnimate32");
    EXPECT_EQ(bar->className, L"msctls_progress32");
    ASSERT_TRUE(box->button(IDCANCEL));
    EXPECT_TRUE(box->button(IDCANCEL)->enabled);
    // Version 6 of the common controls (the library's activation context)
    // brings its own buttons; without it the button would be user32's.
    EXPECT_EQ(windowProcedureModule(box->button(IDCANCEL)->window), L"comctl32.dll");

    EXPECT_EQ(SendMessageW(bar->window, PBM_GETRANGE, TRUE, 0), 0);
    EXPECT_EQ(SendMessageW(bar->window, PBM_GETRANGE, FALSE, 0), 100);
    EXPECT_NE(SendMessageW(window, WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_NE(SendMessageW(window, WM_GETICON, ICON_SMALL, 0), 0);

    EXPECT_FALSE(host->dialog()->IsCancelled());

    // The setters store their texts and show them, each its own line.
    ProgressDialog& dialog = *host->dialog();
    HWND line1 = lines[0]->window, line2 = lines[1]->window;
    std::wstring text;
    dialog.GetHeader(text);
    EXPECT_EQ(text, modern() ? kHeader : L"");
    dialog.SetTitle(L"Moving...");
    EXPECT_EQ(textOf(window), L"Moving...");
    dialog.SetLine1(L"Moving 'report.txt'");
    dialog.SetLine2(L"1 item remaining");
    EXPECT_EQ(textOf(line1), L"Moving 'report.txt'");
    EXPECT_EQ(textOf(line2), L"1 item remaining");
    dialog.SetHeader(L"Moving 1 item");
    dialog.GetTitle(text);
    EXPECT_EQ(text, L"Moving...");
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
    // Truncated, not rounded; from the minimum; kept to the bar's range;
    // nothing for an empty range; 64-bit sizes.
    const Case cases[] = {{0, 200, 50, 25},    {0, 3, 1, 33},
                          {0, 4096, 4095, 99}, {0, 1000, 1000, 100},
                          {100, 300, 150, 75}, {0, 100, 250, 100},
                          {0, 0, 7, 0},        {0, 0x7FFFFFFFFFFF, 0x3FFFFFFFFFFF, 49}};
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

// Cancel, or the close box (also with Cancel disabled): the sink hears it
// once, the window ends on its own, and the host's setters only store then.
TEST_P(ProgressDialogTest, CancelAndTheCloseBoxCancelAndTheWindowEndsOnItsOwn) {
    for (bool closeBox : {false, true}) {
        SCOPED_TRACE(closeBox ? "close box" : "Cancel");
        RecordingSink sink;
        ProgressDialogParams withSink = params(closeBox ? CheckSingle : CopyMany);
        withSink.cancelDisabled = closeBox;
        withSink.cancelSink = &sink;
        UiRobot robot;
        robot
            .expect(Box().caption(kTitle).messageBox(false).where(
                [closeBox](const BoxRecord& box) {
                    return box.button(IDCANCEL) && box.button(IDCANCEL)->enabled != closeBox;
                },
                "Cancel enabled or not"))
            .leaveOpen();
        auto host = ProgressDialogHost::create(withSink);
        ASSERT_TRUE(host && host->dialog() && host->window());
        HWND window = host->window();
        KernelHandle dialogThread = threadOf(window);
        std::optional<BoxRecord> box = robot.waitForBox();
        ASSERT_TRUE(box);
        if (closeBox)
            PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0); // what Alt+F4 sends too
        else
            robot.press(window, IDCANCEL);
        ASSERT_TRUE(sink.waitForCall()) << "the sink heard nothing";
        ASSERT_TRUE(ended(dialogThread)) << "the window did not close";
        EXPECT_EQ(host->window(), nullptr);
        EXPECT_TRUE(host->dialog()->IsCancelled());
        host->dialog()->SetLine1(L"Copying 'last.txt'");
        std::wstring text;
        host->dialog()->GetLine1(text);
        EXPECT_EQ(text, L"Copying 'last.txt'");
        host.reset();
        EXPECT_EQ(sink.calls, 1);
    }
}

TEST_P(ProgressDialogTest, ClosingHandsTheForegroundBackToTheOwner) {
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

    host.reset(); // the operation is done: the window goes on its close timer
    EXPECT_FALSE(IsWindow(window));
    // The activation comes to this thread as posted messages.
    pumpMessages();
    EXPECT_EQ(GetForegroundWindow(), owner.get());
}

// A kind above CheckMany has no animation, and a template that cannot be
// found no dialog: the host has no window, its setters only store.
TEST_P(ProgressDialogTest, WithoutAnimationOrTemplateTheHostHasNoWindow) {
    for (int variant = 0; variant < 3; ++variant) {
        SCOPED_TRACE(variant);
        RecordingSink sink;
        ProgressDialogParams noWindow = params(variant == 0 ? 8u : variant == 1 ? 0xFFFFFFFFu : 0u);
        if (variant == 2)
            noWindow.module = GetModuleHandleW(nullptr); // this program has no dialogs
        noWindow.cancelSink = &sink;
        UiRobot robot; // expects nothing: a window that shows fails the test
        auto host = ProgressDialogHost::create(noWindow);
        ASSERT_TRUE(host && host->dialog());
        EXPECT_FALSE(host->window() && IsWindowVisible(host->window()));
        ProgressDialog& dialog = *host->dialog();
        dialog.SetLine2(L"1 item remaining");
        dialog.SetRange(0, 1);
        dialog.SetPos(1);
        std::wstring text;
        dialog.GetLine2(text);
        EXPECT_EQ(text, L"1 item remaining");
        EXPECT_EQ(dialog.GetPos(), 1);
        EXPECT_FALSE(dialog.IsCancelled());
        host.reset();
        EXPECT_EQ(sink.calls, 0);
    }
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

    const std::uint32_t headerColor = pictureColor(RGB(224, 255, 255));
    auto headerPixels = [&](long& leftOfHeader) {
        cfx::test::Picture picture = captureWindow(animation, false);
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
    ProcessObjects before = countProcessObjects();
    run(kCyclesEach);
    ProcessObjects after = countProcessObjects();
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

TEST(ProgressKinds, CountItems) {
    using namespace cfx::ui;
    EXPECT_EQ(progressKind(CopySingle, 1), CopySingle);
    EXPECT_EQ(progressKind(CopySingle, 2), CopyMany);
    EXPECT_EQ(progressKind(DeleteSingle, 0), DeleteMany);
    EXPECT_EQ(progressKind(MoveSingle, 1), MoveSingle);
}

// Each copy holds a duplicate of its own; each is destroyed once.
TEST(IconHandles, CopiesOwnDuplicatesOfTheIcon) {
    static std::atomic<int> duplicated{0}, destroyed{0};
    auto duplicate = [](HICON icon) { return ++duplicated, IconHandle::duplicateIcon(icon); };
    auto destroy = [](HICON icon) { ++destroyed, IconHandle::destroyIcon(icon); };
    {
        IconHandle first(IconHandle::duplicateIcon(LoadIconW(nullptr, MAKEINTRESOURCEW(32512))),
                         duplicate, destroy);
        ASSERT_TRUE(first);
        IconHandle second(first), third;
        third = second;
        EXPECT_TRUE(second.get() && second.get() != first.get() && third.get() != second.get());
        IconHandle moved(std::move(third));
        EXPECT_EQ(third.get(), nullptr);
        const IconHandle empty;
        EXPECT_FALSE(IconHandle(empty));
    }
    EXPECT_EQ(duplicated, 2);
    EXPECT_EQ(destroyed, 3);
}

// The classic dialog shows only where Windows XP is reported: run the
// Classic/ tests of what it does its own way (its template and lines, no
// header) again in a program that Wine tells it is Windows XP. The
// rest it shares with the modern dialog.
TEST(ClassicVariant, RunsWhereWindowsXpIsReported) {
    if (reportedMajorVersion() == 5)
        GTEST_SKIP() << "This run is the one that reports Windows XP";
    wchar_t folder[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, folder), 0u);
    std::wstring report = std::wstring(folder) + L"classic-progress-dialogs.xml";
    DeleteFileW(report.c_str());
    std::string problem;
    long code = runAgainAsWindowsXp(L"--gtest_filter=Classic/*Opens*:Classic/*Header* "
                                    L"--gtest_output=xml:\"" +
                                        report + L"\"",
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
    EXPECT_GE(tests, 2);
    EXPECT_EQ(xml.find("result=\"skipped\""), std::string::npos) << "classic tests were skipped";
    DeleteFileW(report.c_str());
}

} // namespace
