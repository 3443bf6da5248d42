// The input dialog and the key password prompt, shown for real under a
// display: the robot reads them and answers them while the test's thread runs
// the modal dialog.
#include "support/LoadedLibrary.h"
#include "support/UiRobot.h"
#include "ui/ProcessObjects.h"
#include "ui/WindowCapture.h"

#include "common/Exceptions.h"
#include "ui/InputDialog.h"
#include "ui/PromptKeyPassword.h"
#include "ui/dialog_ids.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>

namespace {

using namespace cfx::test;
using namespace cfx::ui;
using namespace std::chrono_literals;

constexpr wchar_t kCaption[] = L"Coffrex";
constexpr wchar_t kPrompt[] = L"Please, input key password:";
constexpr wchar_t kEmptyWarning[] = L"Empty result is not allowed.";

// The edit a box shows; 0 when it shows none or more than one.
int shownEdit(const BoxRecord& box) {
    int shown = 0;
    for (const BoxControl& control : box.controls) {
        if (lstrcmpiW(control.className.c_str(), L"Edit") == 0 && control.visible) {
            if (shown)
                return 0;
            shown = control.id;
        }
    }
    return shown;
}

bool hasIcon(HWND window) {
    DWORD_PTR icon = 0;
    return SendMessageTimeoutW(window, WM_GETICON, ICON_BIG, 0, SMTO_NORMAL, 2000, &icon) && icon;
}

HWND focusOf(const BoxRecord& box) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    return GetGUIThreadInfo(box.thread, &info) ? info.hwndFocus : nullptr;
}

// Acts on a dialog the test's thread is running modally.
class Helper {
public:
    template <class Body> explicit Helper(Body body) : thread_(std::move(body)) {}
    ~Helper() { thread_.join(); }
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

private:
    std::thread thread_;
};

class InputDialogTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_NE(library_.handle(), nullptr); }

    HMODULE module() const { return library_.handle(); }

    LoadedLibrary library_{L"cfxview.dll"};
};

// One password edit with the focus, the prompt, an icon, the version 6
// common controls' buttons (user32's otherwise); OK gives what was entered.
TEST_F(InputDialogTest, PasswordPromptShowsOnePasswordEditAndReturnsWhatWasEntered) {
    HWND owner = CreateWindowExW(0, L"Static", L"owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 20, 20,
                                 200, 100, nullptr, nullptr, nullptr, nullptr);
    UiRobot robot;
    std::optional<BoxRecord> seen;
    std::wstring buttonModule;
    robot
        .expect(Box()
                    .caption(kCaption)
                    .text(kPrompt)
                    .messageBox(false)
                    .buttons({IDOK, IDCANCEL})
                    .owner(owner)
                    .thread(GetCurrentThreadId())
                    .where(
                        [&seen, &buttonModule](const BoxRecord& box) {
                            seen = box; // read while the box is open
                            if (const BoxButton* ok = box.button(IDOK))
                                buttonModule = windowProcedureModule(ok->window);
                            const BoxControl* edit = box.control(IDC_INPUT_PASSWORD);
                            return hasIcon(box.window) && edit && focusOf(box) == edit->window;
                        },
                        "an icon, and the focus in the password edit"))
        .fill(IDC_INPUT_PASSWORD, L"s3cret pass")
        .answer(IDOK);
    std::wstring password = L"unchanged";
    EXPECT_TRUE(PromptKeyPassword(module(), owner, password));
    EXPECT_EQ(password, L"s3cret pass");
    robot.verify();
    ASSERT_TRUE(seen);
    EXPECT_EQ(shownEdit(*seen), IDC_INPUT_PASSWORD);
    EXPECT_TRUE(seen->control(IDC_INPUT_PASSWORD)->style & ES_PASSWORD);
    EXPECT_EQ(buttonModule, L"comctl32.dll");
    DestroyWindow(owner);
}

TEST_F(InputDialogTest, CancelAndTheCloseBoxReturnFalseAndLeaveThePasswordAlone) {
    for (bool closeBox : {false, true}) {
        UiRobot robot;
        robot.expect(Box().caption(kCaption)).leaveOpen();
        Helper user([&robot, closeBox] {
            if (std::optional<BoxRecord> box = robot.waitForBox(10s)) {
                UiRobot::setControlText(box->window, IDC_INPUT_PASSWORD, L"typed");
                if (closeBox)
                    PostMessageW(box->window, WM_SYSCOMMAND, SC_CLOSE, 0);
                else
                    robot.press(box->window, IDCANCEL);
            }
        });
        std::wstring password = L"unchanged";
        EXPECT_FALSE(PromptKeyPassword(module(), nullptr, password));
        EXPECT_EQ(password, L"unchanged");
    }
}

TEST_F(InputDialogTest, EmptyPasswordIsRefusedWithAWarningAndTheDialogStaysOpen) {
    UiRobot robot;
    robot.expect(Box().caption(kCaption).messageBox(false)).leaveOpen();
    robot
        .expect(Box()
                    .messageBox()
                    .caption(kCaption)
                    .text(kEmptyWarning)
                    .icon(Icon::Warning)
                    .buttons({IDOK}))
        .answer(IDOK);
    HWND dialog = nullptr;
    std::optional<BoxRecord> warning;
    Helper user([&] {
        std::optional<BoxRecord> box = robot.waitForBox(10s);
        if (!box)
            return;
        dialog = box->window;
        robot.press(dialog, IDOK); // nothing entered
        warning = robot.waitForBox(10s);
        // The same dialog takes a second try.
        UiRobot::setControlText(dialog, IDC_INPUT_PASSWORD, L"second try");
        robot.press(dialog, IDOK);
    });
    std::wstring password = L"unchanged";
    EXPECT_TRUE(PromptKeyPassword(module(), nullptr, password));
    EXPECT_EQ(password, L"second try");
    robot.verify();
    ASSERT_TRUE(warning) << "no warning came";
    EXPECT_TRUE(warning->messageBox);
    EXPECT_EQ(warning->owner, dialog) << "the warning belongs to the dialog";
}

TEST_F(InputDialogTest, TemplateThatCannotBeFoundRaisesTheWindowsError) {
    std::wstring password;
    EXPECT_THROW(PromptKeyPassword(GetModuleHandleW(nullptr), nullptr, password), cfx::win_except);
}

// An allowed empty result ends with OK and keeps the old result.
TEST_F(InputDialogTest, FlagsChooseTheEditAndWhetherEmptyIsAccepted) {
    struct Case {
        std::uint32_t flags;
        int edit;
        bool password;
        const wchar_t* typed;
    };
    const Case cases[] = {
        {kInputPassword, IDC_INPUT_PASSWORD, true, L"report.txt"},
        {kInputPasswordOther, IDC_INPUT_PASSWORD_OTHER, true, L"report.txt"},
        {kInputPassword | kInputPasswordOther, IDC_INPUT_PASSWORD, true, L"report.txt"},
        {kInputEmptyAllowed, IDC_INPUT_TEXT, false, L"report.txt"},
        {kInputEmptyAllowed, IDC_INPUT_TEXT, false, L""},
        {8, IDC_INPUT_TEXT, false, L"report.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "flags " << c.flags << ", typed \"" << c.typed << "\"");
        InputDialogRequest request;
        request.module = module();
        request.prompt = L"New name:";
        request.caption = L"Rename";
        request.flags = c.flags;
        request.result = L"old name";
        UiRobot robot;
        std::optional<BoxRecord> seen;
        robot
            .expect(
                Box().caption(L"Rename").text(L"New name:").where([&seen](const BoxRecord& box) {
                    seen = box;
                    return true;
                }))
            .fill(c.edit, c.typed)
            .answer(IDOK);
        EXPECT_EQ(InputDialog(nullptr, request), 1);
        EXPECT_EQ(request.result, *c.typed ? c.typed : L"old name");
        robot.verify();
        ASSERT_TRUE(seen);
        EXPECT_EQ(shownEdit(*seen), c.edit);
        ASSERT_TRUE(seen->control(c.edit));
        EXPECT_EQ(request.edit, seen->control(c.edit)->window);
        EXPECT_EQ((seen->control(c.edit)->style & ES_PASSWORD) != 0, c.password);
    }
}

TEST_F(InputDialogTest, PaintsAWhiteBandDownToTheSeparator) {
    UiRobot robot;
    robot.expect(Box().caption(kCaption)).leaveOpen();
    cfx::test::Picture picture;
    RECT separator{}, prompt{};
    Helper user([&] {
        std::optional<BoxRecord> box = robot.waitForBox(10s);
        if (!box)
            return;
        HWND dialog = box->window;
        // Paint everything now, then read it back.
        RedrawWindow(dialog, nullptr, nullptr,
                     RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        picture = captureWindow(dialog, false);
        GetWindowRect(GetDlgItem(dialog, IDC_BAND_SEPARATOR), &separator);
        MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&separator), 2);
        GetWindowRect(GetDlgItem(dialog, IDC_INPUT_PROMPT), &prompt);
        MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&prompt), 2);
        robot.press(dialog, IDCANCEL);
    });
    std::wstring password;
    EXPECT_FALSE(PromptKeyPassword(module(), nullptr, password));
    ASSERT_GT(picture.width, 0);
    ASSERT_GT(separator.top, 10);

    const std::uint32_t white = 0xFFFFFF;
    const std::uint32_t face = pictureColor(GetSysColor(COLOR_BTNFACE));
    ASSERT_NE(face, white);
    EXPECT_EQ(picture.at(2, 2), white);
    EXPECT_EQ(picture.at(picture.width - 3, separator.top - 2), white);
    EXPECT_EQ(picture.at(2, separator.top + 6), face);
    EXPECT_EQ(picture.at(picture.width - 3, picture.height - 3), face);
    // The prompt lies on the band, on white: its right end holds no text.
    EXPECT_EQ(picture.at(prompt.right - 3, (prompt.top + prompt.bottom) / 2), white);
}

TEST_F(InputDialogTest, OpeningAndClosingGivesBackEverythingItTakes) {
    UiRobot robot;
    robot.allow(Box().caption(kCaption)).fill(IDC_INPUT_PASSWORD, L"pass").answer(IDOK);
    std::wstring password;
    // The first dialog loads the controls and fonts for good.
    ASSERT_TRUE(PromptKeyPassword(module(), nullptr, password));
    ProcessObjects before = countProcessObjects();
    constexpr int kCycles = 30;
    for (int i = 0; i < kCycles; ++i)
        ASSERT_TRUE(PromptKeyPassword(module(), nullptr, password));
    ProcessObjects after = countProcessObjects();
    // One object kept per dialog would add 30.
    EXPECT_LE(after.kernel, before.kernel + 2) << before << " -> " << after;
    EXPECT_LE(after.gdi, before.gdi + 2) << before << " -> " << after;
    EXPECT_LE(after.user, before.user + 2) << before << " -> " << after;
    EXPECT_EQ(robot.boxes().size(), static_cast<std::size_t>(kCycles + 1));
}

} // namespace
