// The progress dialogs shown for real under a display: the dialog runs on a
// thread of its own, the test looks at its window and plays the user. The
// modern dialog runs here (Wine reports Windows 7); the classic one in a
// second run of this program that Wine tells it is Windows XP.
#include "support/LoadedLibrary.h"
#include "support/UiRobot.h"
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

namespace {

using cfx::KernelHandle;
using namespace cfx::test;
using namespace cfx::ui;

struct Variant {
    DWORD majorVersion;
    int templateId, line1, line2;
};

class RecordingSink : public CancelSink {
public:
    void OnCancel() override {
        ++calls;
        SetEvent(called.get());
    }
    std::atomic<int> calls{0};
    KernelHandle called{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

std::wstring textOf(HWND window) {
    wchar_t text[512] = L"";
    return std::wstring(text, GetWindowTextW(window, text, 512));
}

class ProgressDialogTest : public testing::TestWithParam<Variant> {
protected:
    void SetUp() override {
        if (reportedMajorVersion() != GetParam().majorVersion) {
            ASSERT_FALSE(isWindowsXpChild()) << "started to see Windows XP, but does not";
            GTEST_SKIP() << "this dialog shows under another Windows version";
        }
        ASSERT_NE(library_.handle(), nullptr);
        params_.module = library_.handle();
        params_.kind = CopyMany;
        params_.icon = IconHandle::fromResource(library_.handle(), 1);
        params_.title = L"Copying...";
        params_.line1 = L"Calculating source size";
        params_.line2 = L"2 items remaining";
        params_.header = L"Copying 2 items";
    }
    // The dialog of params_, once the robot has seen it.
    std::shared_ptr<ProgressDialogHost> show() {
        robot_.expect(Box().messageBox(false)).leaveOpen();
        auto host = ProgressDialogHost::create(params_);
        EXPECT_TRUE(host && host->dialog() && host->window() && robot_.waitForBox());
        return host;
    }

    LoadedLibrary library_{L"cfxview.dll"};
    ProgressDialogParams params_;
    UiRobot robot_;
};

TEST_P(ProgressDialogTest, OpensItsTemplateShowsWhatItsSettersStoreAndSetPosAsPercent) {
    auto host = show();
    ASSERT_TRUE(host->window());
    ProgressDialog& dialog = *host->dialog();
    EXPECT_EQ(dialog.GetTemplateId(), GetParam().templateId);
    const BoxRecord box = robot_.boxes().at(0);
    EXPECT_NE(box.thread, GetCurrentThreadId()) << "the dialog runs on a thread of its own";
    const BoxControl* line1 = box.control(GetParam().line1);
    const BoxControl* line2 = box.control(GetParam().line2);
    const BoxControl* animation = box.control(IDC_PROGRESS_ANIMATION);
    const BoxControl* bar = box.control(IDC_PROGRESS_BAR);
    ASSERT_TRUE(line1 && line2 && animation && bar && box.button(IDCANCEL));
    EXPECT_EQ(line1->text, L"Calculating source size");
    EXPECT_EQ(line2->text, L"2 items remaining");
    EXPECT_EQ(animation->className, L"SysAnimate32");
    // Version 6 of the common controls (the library's activation context)
    // brings its own buttons; without it they would be user32's.
    HMODULE buttons = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(GetWindowLongPtrW(box.button(IDCANCEL)->window, GWLP_WNDPROC)),
        &buttons);
    EXPECT_NE(buttons, GetModuleHandleW(L"user32.dll"));
    EXPECT_NE(SendMessageW(host->window(), WM_GETICON, ICON_BIG, 0), 0);

    std::wstring text;
    dialog.SetTitle(L"Moving...");
    dialog.SetLine1(L"Moving 'report.txt'");
    dialog.SetHeader(L"Moving 1 item");
    EXPECT_EQ(textOf(host->window()), L"Moving...");
    EXPECT_EQ(textOf(line1->window), L"Moving 'report.txt'");
    dialog.GetHeader(text);
    EXPECT_EQ(text, GetParam().majorVersion == 6 ? L"Moving 1 item" : L"");
    dialog.SetLine1(L"");
    EXPECT_EQ(textOf(line1->window), L"") << "nothing stays of a longer text before it";

    // Truncated, not rounded; from the minimum; kept to the bar's range;
    // nothing for an empty range; 64-bit sizes. SetRange only stores.
    const std::int64_t cases[][4] = {
        {0, 200, 50, 25},
        {0, 3, 1, 33},
        {0, 4096, 4095, 99},
        {100, 300, 150, 75},
        {0, 100, 250, 100},
        {0, 0, 7, 0},
        {0, 0x7FFFFFFFFFFF, 0x3FFFFFFFFFFF, 49},
    };
    for (const auto& [minimum, maximum, pos, percent] : cases) {
        dialog.SetRange(0, 200);
        dialog.SetPos(50);
        dialog.SetRange(minimum, maximum);
        EXPECT_EQ(SendMessageW(bar->window, PBM_GETPOS, 0, 0), 25) << "SetRange only stores";
        dialog.SetPos(pos);
        EXPECT_EQ(SendMessageW(bar->window, PBM_GETPOS, 0, 0), percent)
            << minimum << ".." << maximum;
        EXPECT_EQ(dialog.GetPos(), pos);
    }
}

// Cancel, or the close box (also with Cancel disabled): the sink hears it
// once, the window ends on its own, and the setters only store then.
TEST_P(ProgressDialogTest, CancelAndTheCloseBoxCancelAndTheWindowEndsOnItsOwn) {
    for (bool closeBox : {false, true}) {
        RecordingSink sink;
        params_.cancelDisabled = closeBox;
        params_.cancelSink = &sink;
        auto host = show();
        ASSERT_TRUE(host->window());
        KernelHandle thread(
            OpenThread(SYNCHRONIZE, FALSE, GetWindowThreadProcessId(host->window(), nullptr)));
        EXPECT_EQ(robot_.boxes().back().button(IDCANCEL)->enabled, !closeBox);
        if (closeBox)
            PostMessageW(host->window(), WM_SYSCOMMAND, SC_CLOSE, 0); // what Alt+F4 sends too
        else
            robot_.press(host->window(), IDCANCEL);
        ASSERT_EQ(WaitForSingleObject(sink.called.get(), 15000), WAIT_OBJECT_0);
        ASSERT_EQ(WaitForSingleObject(thread.get(), 15000), WAIT_OBJECT_0) << "did not close";
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

// A kind above CheckMany has no animation, and a template that cannot be
// found no dialog: the host has no window, its setters only store.
TEST_P(ProgressDialogTest, WithoutAnimationOrTemplateTheHostHasNoWindow) {
    for (std::uint32_t kind : {8u, 0xFFFFFFFFu, 0u}) {
        if (kind == 0)
            params_.module = GetModuleHandleW(nullptr); // this program has no dialogs
        params_.kind = kind;
        auto host = ProgressDialogHost::create(params_); // the robot fails a window that shows
        ASSERT_TRUE(host && host->dialog());
        EXPECT_FALSE(host->window() && IsWindowVisible(host->window()));
        host->dialog()->SetRange(0, 1);
        host->dialog()->SetPos(1);
        EXPECT_EQ(host->dialog()->GetPos(), 1);
        EXPECT_FALSE(host->dialog()->IsCancelled());
    }
}

// Over the animation of the modern dialog only, 30 pixels in.
TEST_P(ProgressDialogTest, HeaderIsDrawnOverTheAnimationOfTheModernDialogOnly) {
    params_.header.clear();
    auto host = show();
    HWND animation = GetDlgItem(host->window(), IDC_PROGRESS_ANIMATION);
    SendMessageW(animation, ACM_STOP, 0, 0); // a still picture to read
    auto headerPixels = [&](long& leftOfHeader) {
        const cfx::test::Picture picture = captureWindow(animation, false);
        long count = leftOfHeader = 0;
        for (int y = 0; y < picture.height; ++y)
            for (int x = 0; x < picture.width; ++x)
                if (picture.at(x, y) == pictureColor(RGB(224, 255, 255)))
                    ++count, leftOfHeader += x < 30;
        return count;
    };
    long left = 0;
    EXPECT_EQ(headerPixels(left), 0);
    host->dialog()->SetHeader(L"Copying 2 items");
    const long drawn = headerPixels(left);
    EXPECT_EQ(drawn > 20, GetParam().majorVersion == 6) << drawn << " header pixels";
    EXPECT_EQ(left, 0) << "the header starts 30 pixels in";
}

INSTANTIATE_TEST_SUITE_P(Modern, ProgressDialogTest,
                         testing::Values(Variant{6, IDD_PROGRESS_MODERN, IDC_PROGRESS_LINE1,
                                                 IDC_PROGRESS_LINE2}));
INSTANTIATE_TEST_SUITE_P(Classic, ProgressDialogTest,
                         testing::Values(Variant{5, IDD_PROGRESS_CLASSIC,
                                                 IDC_PROGRESS_CLASSIC_LINE1,
                                                 IDC_PROGRESS_CLASSIC_LINE2}));

TEST(ProgressKinds, CountItems) {
    EXPECT_EQ(progressKind(CopySingle, 1), CopySingle);
    EXPECT_EQ(progressKind(DeleteSingle, 0), DeleteMany);
}

// Each copy holds a duplicate of its own; each is destroyed once.
TEST(IconHandles, CopiesOwnDuplicatesOfTheIcon) {
    static std::atomic<int> duplicated{0}, destroyed{0};
    auto duplicate = [](HICON icon) { return ++duplicated, IconHandle::duplicateIcon(icon); };
    auto destroy = [](HICON icon) { ++destroyed, IconHandle::destroyIcon(icon); };
    {
        IconHandle first(IconHandle::duplicateIcon(LoadIconW(nullptr, IDI_APPLICATION)), duplicate,
                         destroy);
        IconHandle second(first), third;
        third = second;
        EXPECT_TRUE(second.get() && second.get() != first.get() && third.get() != second.get());
        IconHandle moved(std::move(third));
        EXPECT_EQ(third.get(), nullptr);
    }
    EXPECT_EQ(duplicated, 2);
    EXPECT_EQ(destroyed, 3);
}

// The classic dialog's tests again, in a run that Wine tells it is Windows XP.
TEST(ClassicVariant, RunsWhereWindowsXpIsReported) {
    if (reportedMajorVersion() == 5)
        GTEST_SKIP() << "this is the run that reports Windows XP";
    std::string problem;
    EXPECT_EQ(runAgainAsWindowsXp(L"--gtest_filter=Classic/*Opens*:Classic/*Header*", problem), 0)
        << problem;
}

} // namespace
