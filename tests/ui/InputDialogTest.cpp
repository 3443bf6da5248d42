// The input dialog and the key password prompt shown for real under a
// display: the robot reads and answers them while the test's thread runs the
// modal dialog.
#include "support/LoadedLibrary.h"
#include "support/UiRobot.h"

#include "common/Exceptions.h"
#include "ui/InputDialog.h"
#include "ui/PromptKeyPassword.h"
#include "ui/dialog_ids.h"

#include <gtest/gtest.h>
#include <winternl.h>

#include <cstdint>
#include <thread>

namespace {

using namespace cfx::test;
using namespace cfx::ui;
using namespace std::chrono_literals;

constexpr wchar_t kCaption[] = L"Coffrex";

// The edit a box shows; 0 when it shows none or more than one.
int shownEdit(const BoxRecord& box) {
    int shown = 0;
    for (const BoxControl& control : box.controls)
        if (lstrcmpiW(control.className.c_str(), L"Edit") == 0 && control.visible)
            shown = shown ? -1 : control.id;
    return shown > 0 ? shown : 0;
}

// GDI objects of this process; under Wine 8 (no GetGuiResources) the used entries of
// the GDI table it maps (x64 PEB at 0xF8; 24-byte entries, type at 14, 0 when free).
long gdiObjects() {
    SetLastError(0);
    const DWORD count = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    if (count || GetLastError() != ERROR_CALL_NOT_IMPLEMENTED)
        return long(count);
    using Query = NTSTATUS(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    PROCESS_BASIC_INFORMATION info{};
    query(GetCurrentProcess(), ProcessBasicInformation, &info, sizeof info, nullptr);
    const auto* table = *reinterpret_cast<const unsigned char* const*>(
        reinterpret_cast<const unsigned char*>(info.PebBaseAddress) + 0xF8);
    long used = 0;
    for (std::size_t i = 0; i < 0x10000; ++i)
        used += *reinterpret_cast<const std::uint16_t*>(table + 24 * i + 14) != 0;
    return used;
}

class InputDialogTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_NE(library_.handle(), nullptr); }

    LoadedLibrary library_{L"cfxview.dll"};
    UiRobot robot_;
};

// Its owner's, with an icon and the focus in its one edit, a password edit: OK
// gives what was entered; Cancel and the close box leave the password alone.
TEST_F(InputDialogTest, PasswordPromptGivesWhatWasEnteredOnOkOnly) {
    HWND owner = CreateWindowExW(0, L"Static", L"owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 20, 20,
                                 200, 100, nullptr, nullptr, nullptr, nullptr);
    auto focusInThePasswordEdit = [](const BoxRecord& box) {
        GUITHREADINFO info{sizeof info};
        DWORD_PTR icon = 0;
        const BoxControl* edit = box.control(IDC_INPUT_PASSWORD);
        return edit && (edit->style & ES_PASSWORD) && shownEdit(box) == IDC_INPUT_PASSWORD &&
               GetGUIThreadInfo(box.thread, &info) && info.hwndFocus == edit->window &&
               SendMessageTimeoutW(box.window, WM_GETICON, ICON_BIG, 0, SMTO_NORMAL, 2000, &icon) &&
               icon;
    };
    robot_
        .expect(Box()
                    .caption(kCaption)
                    .text(L"Please, input key password:")
                    .buttons({IDOK, IDCANCEL})
                    .owner(owner)
                    .where(focusInThePasswordEdit, "an icon, the focus in the one password edit"))
        .fill(IDC_INPUT_PASSWORD, L"s3cret pass")
        .answer(IDOK);
    robot_.expect(Box().caption(kCaption)).fill(IDC_INPUT_PASSWORD, L"typed").answer(IDCANCEL);
    // Typed into and closed in one step: a fill after the close could find it gone.
    robot_
        .expect(Box().caption(kCaption).where(
            [](const BoxRecord& box) {
                return SetDlgItemTextW(box.window, IDC_INPUT_PASSWORD, L"typed") &&
                       PostMessageW(box.window, WM_SYSCOMMAND, SC_CLOSE, 0);
            },
            "typed into, then closed by its close box"))
        .leaveOpen();
    std::wstring password = L"unchanged";
    EXPECT_TRUE(PromptKeyPassword(library_.handle(), owner, password));
    EXPECT_EQ(password, L"s3cret pass");
    EXPECT_FALSE(PromptKeyPassword(library_.handle(), owner, password));
    EXPECT_FALSE(PromptKeyPassword(library_.handle(), owner, password));
    EXPECT_EQ(password, L"s3cret pass");
    DestroyWindow(owner);
}

TEST_F(InputDialogTest, EmptyPasswordIsRefusedWithAWarningAndTheDialogStaysOpen) {
    robot_.expect(Box().caption(kCaption).messageBox(false)).answer(IDOK); // nothing entered
    robot_
        .expect(Box()
                    .messageBox()
                    .caption(kCaption)
                    .text(L"Empty result is not allowed.")
                    .icon(Icon::Warning)
                    .buttons({IDOK}))
        .answer(IDOK);
    std::optional<BoxRecord> dialog, warning;
    std::thread user([&] {
        dialog = robot_.waitForBox(10s);
        warning = robot_.waitForBox(10s);
        for (int i = 0; warning && IsWindow(warning->window) && i < 1000; ++i)
            Sleep(5);
        // The same dialog takes a second try.
        SetDlgItemTextW(dialog->window, IDC_INPUT_PASSWORD, L"second try");
        robot_.press(dialog->window, IDOK);
    });
    std::wstring password = L"unchanged";
    EXPECT_TRUE(PromptKeyPassword(library_.handle(), nullptr, password));
    user.join();
    EXPECT_EQ(password, L"second try");
    ASSERT_TRUE(dialog && warning);
    EXPECT_EQ(warning->owner, dialog->window) << "the warning belongs to the dialog";
}

TEST_F(InputDialogTest, TemplateThatCannotBeFoundRaisesTheWindowsError) {
    std::wstring password;
    EXPECT_THROW(PromptKeyPassword(GetModuleHandleW(nullptr), nullptr, password), cfx::win_except);
}

// An allowed empty result ends with OK and keeps the old result.
TEST_F(InputDialogTest, FlagsChooseTheEditAndWhetherEmptyIsAccepted) {
    const struct {
        std::uint32_t flags;
        int edit;
        const wchar_t* typed;
    } cases[] = {
        {kInputPassword, IDC_INPUT_PASSWORD, L"report.txt"},
        {kInputPasswordOther, IDC_INPUT_PASSWORD_OTHER, L"report.txt"},
        {kInputPassword | kInputPasswordOther, IDC_INPUT_PASSWORD, L"report.txt"},
        {kInputEmptyAllowed, IDC_INPUT_TEXT, L"report.txt"},
        {kInputEmptyAllowed, IDC_INPUT_TEXT, L""},
        {8, IDC_INPUT_TEXT, L"report.txt"},
    };
    for (const auto& c : cases) {
        InputDialogRequest request{library_.handle(), L"New name:", L"Rename", c.flags};
        request.result = L"old name";
        robot_.expect(Box().caption(L"Rename").text(L"New name:"))
            .fill(c.edit, c.typed)
            .answer(IDOK);
        EXPECT_EQ(InputDialog(nullptr, request), 1) << c.flags;
        EXPECT_EQ(request.result, *c.typed ? c.typed : L"old name");
        const BoxRecord seen = robot_.boxes().back();
        EXPECT_EQ(shownEdit(seen), c.edit);
        ASSERT_TRUE(seen.control(c.edit));
        EXPECT_EQ(request.edit, seen.control(c.edit)->window);
        EXPECT_EQ((seen.control(c.edit)->style & ES_PASSWORD) != 0, c.edit != IDC_INPUT_TEXT);
    }
}

TEST_F(InputDialogTest, OpeningAndClosingGivesBackEverythingItTakes) {
    robot_.allow(Box().caption(kCaption)).fill(IDC_INPUT_PASSWORD, L"pass").answer(IDOK);
    std::wstring password;
    // The first dialog loads the controls and fonts for good.
    ASSERT_TRUE(PromptKeyPassword(library_.handle(), nullptr, password));
    const long before = gdiObjects();
    for (int i = 0; i < 30; ++i)
        ASSERT_TRUE(PromptKeyPassword(library_.handle(), nullptr, password));
    EXPECT_LE(gdiObjects(), before + 2) << "one object kept per dialog would add 30";
}

} // namespace
