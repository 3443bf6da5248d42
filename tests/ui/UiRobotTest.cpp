// The robot that answers message boxes and dialogs for the other tests, tried
// on real MessageBoxW boxes and a dialog built in memory.
#include "support/UiRobot.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using cfx::test::Box;
using cfx::test::BoxRecord;
using cfx::test::Icon;
using cfx::test::UiRobot;
using namespace std::chrono_literals;

constexpr wchar_t kCaption[] = L"Coffrex";

testing::AssertionResult contains(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "\"" << text << "\" does not contain \"" << part << "\"";
}

std::wstring label(const BoxRecord& box, int id) {
    const cfx::test::BoxButton* button = box.button(id);
    if (!button)
        return L"(none)";
    std::wstring shown;
    for (wchar_t c : button->label) {
        if (c != L'&')
            shown += c;
    }
    return shown;
}

// What robot.verify() reports, caught instead of failing this test.
std::vector<std::string> reportedBy(UiRobot& robot) {
    testing::TestPartResultArray results;
    {
        testing::ScopedFakeTestPartResultReporter reporter(
            testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
        robot.verify();
    }
    std::vector<std::string> messages;
    for (int i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results.GetTestPartResult(i).type(), testing::TestPartResult::kNonFatalFailure);
        messages.push_back(results.GetTestPartResult(i).message());
    }
    return messages;
}

// --- Matching, without windows ---

BoxRecord errorBox() {
    BoxRecord box;
    box.messageBox = true;
    box.caption = kCaption;
    box.text = L"Unable to freeze the storage.\n\nAccess is denied.";
    box.icon = Icon::Error;
    box.buttons = {{nullptr, IDOK, L"OK", true}};
    box.owner = reinterpret_cast<HWND>(0x1234);
    box.thread = 42;
    return box;
}

TEST(BoxMatcher, MatchesEveryConditionThatIsSet) {
    BoxRecord box = errorBox();
    EXPECT_TRUE(Box().matches(box));
    EXPECT_TRUE(Box()
                    .caption(kCaption)
                    .text(L"Unable to freeze the storage.\n\nAccess is denied.")
                    .textContaining(L"freeze")
                    .icon(Icon::Error)
                    .buttons({IDOK})
                    .owner(reinterpret_cast<HWND>(0x1234))
                    .thread(42)
                    .messageBox()
                    .where([](const BoxRecord& b) { return b.buttons.size() == 1; })
                    .matches(box));
}

TEST(BoxMatcher, RejectsEachDifference) {
    BoxRecord box = errorBox();
    EXPECT_FALSE(Box().caption(L"coffrex").matches(box));
    EXPECT_FALSE(Box().text(L"Unable to freeze the storage.").matches(box));
    EXPECT_FALSE(Box().textContaining(L"unfreeze").matches(box));
    EXPECT_FALSE(Box().icon(Icon::Warning).matches(box));
    EXPECT_FALSE(Box().buttons({IDOK, IDCANCEL}).matches(box));
    EXPECT_FALSE(Box().buttons({IDCANCEL}).matches(box));
    EXPECT_FALSE(Box().owner(nullptr).matches(box));
    EXPECT_FALSE(Box().thread(43).matches(box));
    EXPECT_FALSE(Box().messageBox(false).matches(box));
    EXPECT_FALSE(Box().where([](const BoxRecord&) { return false; }).matches(box));
}

TEST(BoxMatcher, TakesButtonsInAnyOrder) {
    BoxRecord box = errorBox();
    box.buttons = {{nullptr, IDYES, L"&Yes", true}, {nullptr, IDNO, L"&No", true}};
    EXPECT_TRUE(Box().buttons({IDNO, IDYES}).matches(box));
    EXPECT_TRUE(Box().buttons({IDYES, IDNO}).matches(box));
    EXPECT_FALSE(Box().buttons({IDYES}).matches(box));
}

TEST(BoxMatcher, DescribesBoxesForFailureMessages) {
    std::string described = errorBox().describe();
    EXPECT_TRUE(contains(described, "message box \"Coffrex\""));
    EXPECT_TRUE(contains(described, "\"Unable to freeze the storage.\\n\\nAccess is denied.\""));
    EXPECT_TRUE(contains(described, "icon error"));
    EXPECT_TRUE(contains(described, "\"OK\" (1)"));
    std::string wanted =
        Box().caption(kCaption).icon(Icon::Question).buttons({IDNO, IDYES}).describe();
    EXPECT_TRUE(contains(wanted, "caption \"Coffrex\""));
    EXPECT_TRUE(contains(wanted, "icon question"));
    EXPECT_TRUE(contains(wanted, "buttons [Yes, No]"));
}

// --- Message boxes ---

TEST(UiRobot, RecordsAnErrorBoxExactly) {
    UiRobot robot;
    const wchar_t* text = L"Unable to freeze the storage.\n\nAccess is denied.";
    robot.expect(Box().caption(kCaption).text(text).icon(Icon::Error).buttons({IDOK})).answer(IDOK);

    EXPECT_EQ(MessageBoxW(nullptr, text, kCaption, MB_ICONERROR), IDOK);

    std::vector<BoxRecord> boxes = robot.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    const BoxRecord& box = boxes[0];
    EXPECT_TRUE(box.messageBox);
    EXPECT_EQ(box.caption, kCaption);
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.icon, Icon::Error);
    EXPECT_EQ(box.buttonIds(), std::vector<int>{IDOK});
    EXPECT_EQ(label(box, IDOK), L"OK");
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_EQ(box.thread, GetCurrentThreadId());
    EXPECT_TRUE(box.expected);
    EXPECT_EQ(box.answer, IDOK);
    EXPECT_TRUE(box.complaint.empty());
    EXPECT_FALSE(IsWindow(box.window));
}

TEST(UiRobot, AnswersAWarningPromptYes) {
    UiRobot robot;
    robot
        .expect(Box()
                    .caption(kCaption)
                    .text(L"Attach the key?")
                    .icon(Icon::Warning)
                    .buttons({IDYES, IDNO}))
        .answer(IDYES);

    EXPECT_EQ(MessageBoxW(nullptr, L"Attach the key?", kCaption, MB_YESNO | MB_ICONWARNING), IDYES);

    std::vector<BoxRecord> boxes = robot.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].icon, Icon::Warning);
    EXPECT_EQ(boxes[0].buttonIds(), (std::vector<int>{IDYES, IDNO}));
    EXPECT_EQ(label(boxes[0], IDYES), L"Yes");
    EXPECT_EQ(label(boxes[0], IDNO), L"No");
}

TEST(UiRobot, AnswersAWarningPromptNo) {
    UiRobot robot;
    robot
        .expect(Box()
                    .caption(kCaption)
                    .text(L"Attach the key?")
                    .icon(Icon::Warning)
                    .buttons({IDYES, IDNO}))
        .answer(IDNO);

    EXPECT_EQ(MessageBoxW(nullptr, L"Attach the key?", kCaption, MB_YESNO | MB_ICONWARNING), IDNO);
}

TEST(UiRobot, TellsAQuestionFromAWarning) {
    UiRobot robot;
    const wchar_t* text = L"The file \"a.txt\" already exists. Overwrite it?";
    robot.expect(Box().caption(kCaption).text(text).icon(Icon::Question).buttons({IDYES, IDNO}))
        .answer(IDYES);

    EXPECT_EQ(MessageBoxW(nullptr, text, kCaption, MB_YESNO | MB_ICONQUESTION), IDYES);

    std::vector<BoxRecord> boxes = robot.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].icon, Icon::Question);
}

TEST(UiRobot, RecordsAnInformationBoxAndAnswersCancel) {
    UiRobot robot;
    robot
        .expect(Box()
                    .caption(kCaption)
                    .text(L"Defragmentation finished.")
                    .icon(Icon::Information)
                    .buttons({IDOK, IDCANCEL}))
        .answer(IDCANCEL);

    EXPECT_EQ(MessageBoxW(nullptr, L"Defragmentation finished.", kCaption,
                          MB_OKCANCEL | MB_ICONINFORMATION),
              IDCANCEL);

    std::vector<BoxRecord> boxes = robot.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].icon, Icon::Information);
    EXPECT_EQ(boxes[0].buttonIds(), (std::vector<int>{IDOK, IDCANCEL}));
    EXPECT_EQ(label(boxes[0], IDOK), L"OK");
    EXPECT_EQ(label(boxes[0], IDCANCEL), L"Cancel");
    EXPECT_EQ(boxes[0].answer, IDCANCEL);
}

TEST(UiRobot, RecordsABoxWithoutIcon) {
    UiRobot robot;
    robot.expect(Box().text(L"Plain").icon(Icon::None)).answer(IDOK);
    EXPECT_EQ(MessageBoxW(nullptr, L"Plain", kCaption, MB_OK), IDOK);
}

TEST(UiRobot, AnswersBoxesInSequence) {
    UiRobot robot;
    robot.expect(Box().text(L"First").icon(Icon::Error)).answer(IDOK);
    robot.expect(Box().text(L"Second").icon(Icon::Warning)).answer(IDYES);
    robot.expect(Box().text(L"Third").icon(Icon::Question)).answer(IDNO);

    EXPECT_EQ(MessageBoxW(nullptr, L"First", kCaption, MB_ICONERROR), IDOK);
    EXPECT_EQ(MessageBoxW(nullptr, L"Second", kCaption, MB_YESNO | MB_ICONWARNING), IDYES);
    EXPECT_EQ(MessageBoxW(nullptr, L"Third", kCaption, MB_YESNO | MB_ICONQUESTION), IDNO);

    for (const wchar_t* text : {L"First", L"Second", L"Third"}) {
        std::optional<BoxRecord> box = robot.waitForBox(0ms);
        ASSERT_TRUE(box);
        EXPECT_EQ(box->text, text);
    }
    EXPECT_FALSE(robot.waitForBox(0ms));
    EXPECT_EQ(robot.boxes().size(), 3u);
}

TEST(UiRobot, UsesExpectationsInAnyOrder) {
    UiRobot robot;
    robot.expect(Box().text(L"Second")).answer(IDNO);
    robot.expect(Box().text(L"First")).answer(IDYES);

    EXPECT_EQ(MessageBoxW(nullptr, L"First", kCaption, MB_YESNO), IDYES);
    EXPECT_EQ(MessageBoxW(nullptr, L"Second", kCaption, MB_YESNO), IDNO);
}

TEST(UiRobot, AnswersABoxOfAnotherThread) {
    UiRobot robot;
    robot.expect(Box().caption(kCaption).text(L"From a worker").icon(Icon::Warning)).answer(IDYES);

    int result = 0;
    DWORD worker = 0;
    std::thread thread([&] {
        worker = GetCurrentThreadId();
        result = MessageBoxW(nullptr, L"From a worker", kCaption, MB_YESNO | MB_ICONWARNING);
    });
    std::optional<BoxRecord> box = robot.waitForBox();
    thread.join();

    ASSERT_TRUE(box);
    EXPECT_EQ(box->thread, worker);
    EXPECT_NE(box->thread, GetCurrentThreadId());
    EXPECT_EQ(box->answer, IDYES);
    EXPECT_EQ(result, IDYES);
}

TEST(UiRobot, AnswersBoxesOpenAtTheSameTime) {
    UiRobot robot;
    robot.expect(Box().text(L"Left")).answer(IDYES);
    robot.expect(Box().text(L"Right")).answer(IDNO);

    int left = 0;
    int right = 0;
    std::thread leftThread([&] { left = MessageBoxW(nullptr, L"Left", kCaption, MB_YESNO); });
    std::thread rightThread([&] { right = MessageBoxW(nullptr, L"Right", kCaption, MB_YESNO); });
    EXPECT_TRUE(robot.waitForBox());
    EXPECT_TRUE(robot.waitForBox());
    leftThread.join();
    rightThread.join();

    EXPECT_EQ(left, IDYES);
    EXPECT_EQ(right, IDNO);
}

TEST(UiRobot, RecordsTheOwnerWindow) {
    UiRobot robot;
    HWND owner = CreateWindowExW(0, L"STATIC", L"Owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10,
                                 200, 100, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(owner, nullptr);
    robot.expect(Box().owner(owner).text(L"Owned").icon(Icon::Error)).answer(IDOK);

    EXPECT_EQ(MessageBoxW(owner, L"Owned", kCaption, MB_ICONERROR), IDOK);

    std::vector<BoxRecord> boxes = robot.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, owner);
    EXPECT_EQ(boxes[0].thread, GetCurrentThreadId());
    DestroyWindow(owner);
}

// The worker's box disables its owner, a window of this thread, with sent
// messages: waiting for the box must keep answering them.
TEST(UiRobot, AnswersAWorkersBoxOwnedByAWindowOfTheTestThread) {
    UiRobot robot;
    HWND owner = CreateWindowExW(0, L"STATIC", L"Owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10,
                                 200, 100, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(owner, nullptr);
    robot.expect(Box().owner(owner).text(L"Owned by another thread")).answer(IDYES);

    int result = 0;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread thread([&] {
        result =
            MessageBoxW(owner, L"Owned by another thread", kCaption, MB_YESNO | MB_ICONWARNING);
        SetEvent(done);
    });
    std::optional<BoxRecord> box = robot.waitForBox();
    // Closing the box re-enables the owner: this thread must serve that too.
    EXPECT_TRUE(cfx::test::waitServingSentMessages(done, 5s));
    thread.join();
    CloseHandle(done);

    ASSERT_TRUE(box);
    EXPECT_EQ(box->owner, owner);
    EXPECT_NE(box->thread, GetCurrentThreadId());
    EXPECT_EQ(result, IDYES);
    DestroyWindow(owner);
}

TEST(UiRobot, AllowsBoxesAnyNumberOfTimes) {
    UiRobot robot;
    robot.allow(Box().icon(Icon::Error)).answer(IDOK);
    EXPECT_TRUE(reportedBy(robot).empty()); // none is fine

    robot.allow(Box().icon(Icon::Error)).answer(IDOK);
    EXPECT_EQ(MessageBoxW(nullptr, L"One", kCaption, MB_ICONERROR), IDOK);
    EXPECT_EQ(MessageBoxW(nullptr, L"Two", kCaption, MB_ICONERROR), IDOK);
    EXPECT_TRUE(reportedBy(robot).empty());
}

TEST(UiRobot, PrefersAnExpectationOverAnAllowance) {
    UiRobot robot;
    robot.allow(Box()).answer(IDYES);
    robot.expect(Box().text(L"Expected")).answer(IDNO);

    EXPECT_EQ(MessageBoxW(nullptr, L"Expected", kCaption, MB_YESNO), IDNO);
    EXPECT_EQ(MessageBoxW(nullptr, L"Other", kCaption, MB_YESNO), IDYES);
}

// --- Failures ---

TEST(UiRobot, ClosesAnUnexpectedBoxAndNamesIt) {
    UiRobot robot;

    // No prompt is expected: the robot says no rather than leave the test hanging.
    EXPECT_EQ(MessageBoxW(nullptr, L"Nobody expects this.", kCaption, MB_YESNO | MB_ICONWARNING),
              IDNO);

    std::vector<std::string> failures = robot.failures();
    ASSERT_EQ(failures.size(), 1u);
    std::vector<std::string> reported = reportedBy(robot);
    ASSERT_EQ(reported.size(), 1u);
    for (const std::string& message : reported) {
        EXPECT_TRUE(contains(message, "Unexpected box"));
        EXPECT_TRUE(contains(message, "\"Coffrex\""));
        EXPECT_TRUE(contains(message, "\"Nobody expects this.\""));
        EXPECT_TRUE(contains(message, "icon warning"));
        EXPECT_TRUE(contains(message, "\"Yes\" (6), \"No\" (7)"));
        EXPECT_TRUE(contains(message, "closed with No"));
    }
    EXPECT_TRUE(robot.failures().empty());
    EXPECT_TRUE(reportedBy(robot).empty());

    std::vector<BoxRecord> boxes = robot.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_FALSE(boxes[0].expected);
    EXPECT_EQ(boxes[0].answer, IDNO);
}

TEST(UiRobot, ClosesUnexpectedBoxesWithCancelOrOk) {
    UiRobot robot;
    EXPECT_EQ(MessageBoxW(nullptr, L"Cancel me", kCaption, MB_OKCANCEL | MB_ICONINFORMATION),
              IDCANCEL);
    EXPECT_EQ(MessageBoxW(nullptr, L"Only OK", kCaption, MB_ICONERROR), IDOK);
    EXPECT_EQ(MessageBoxW(nullptr, L"Three", kCaption, MB_YESNOCANCEL), IDCANCEL);
    EXPECT_EQ(reportedBy(robot).size(), 3u);
}

TEST(UiRobot, ReportsAnExpectationNeverMet) {
    UiRobot robot;
    robot.expect(Box().caption(kCaption).text(L"Never shown")).answer(IDOK);

    std::vector<std::string> reported = reportedBy(robot);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_TRUE(contains(reported[0], "never came"));
    EXPECT_TRUE(contains(reported[0], "text \"Never shown\""));
}

TEST(UiRobot, ReportsTooFewBoxes) {
    UiRobot robot;
    robot.expect(Box().text(L"Twice")).times(2).answer(IDOK);
    EXPECT_EQ(MessageBoxW(nullptr, L"Twice", kCaption, MB_OK), IDOK);

    std::vector<std::string> reported = reportedBy(robot);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_TRUE(contains(reported[0], "seen 1 of 2"));
}

TEST(UiRobot, ReportsAnExpectationMetOnlyOnce) {
    UiRobot robot;
    robot.expect(Box().text(L"Once")).answer(IDOK);
    EXPECT_EQ(MessageBoxW(nullptr, L"Once", kCaption, MB_OK), IDOK);
    EXPECT_EQ(MessageBoxW(nullptr, L"Once", kCaption, MB_OKCANCEL), IDCANCEL);

    std::vector<std::string> reported = reportedBy(robot);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_TRUE(contains(reported[0], "Unexpected box"));
}

TEST(UiRobot, ReportsABoxThatDiffersFromTheExpectedOne) {
    UiRobot robot;
    robot.expect(Box().text(L"Expected text").icon(Icon::Warning)).answer(IDYES);

    EXPECT_EQ(MessageBoxW(nullptr, L"Expected text", kCaption, MB_YESNO | MB_ICONQUESTION), IDNO);

    std::vector<std::string> reported = reportedBy(robot);
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_TRUE(contains(reported[0], "Unexpected box"));
    EXPECT_TRUE(contains(reported[0], "icon question"));
    EXPECT_TRUE(contains(reported[1], "never came"));
    EXPECT_TRUE(contains(reported[1], "icon warning"));
}

TEST(UiRobot, ReportsAScriptedButtonTheBoxLacks) {
    UiRobot robot;
    robot.expect(Box().text(L"Yes or no")).answer(IDCANCEL);

    EXPECT_EQ(MessageBoxW(nullptr, L"Yes or no", kCaption, MB_YESNO), IDNO);

    std::vector<std::string> reported = reportedBy(robot);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_TRUE(contains(reported[0], "No Cancel button"));
    EXPECT_TRUE(contains(reported[0], "closed with No"));
}

TEST(UiRobot, LeavesABoxOpenForTheTest) {
    UiRobot robot;
    robot.expect(Box().text(L"Keep me")).leaveOpen();

    int result = 0;
    std::thread thread([&] { result = MessageBoxW(nullptr, L"Keep me", kCaption, MB_YESNO); });
    std::optional<BoxRecord> box = robot.waitForBox();
    ASSERT_TRUE(box);
    EXPECT_TRUE(IsWindowVisible(box->window));
    EXPECT_EQ(box->answer, 0);
    EXPECT_TRUE(robot.press(box->window, IDYES));
    thread.join();

    EXPECT_EQ(result, IDYES);
    EXPECT_FALSE(robot.press(box->window, IDYES));
    EXPECT_EQ(robot.boxes().at(0).answer, IDYES);
}

TEST(UiRobot, ClosesABoxLeftOpenWhenItStops) {
    int result = 0;
    std::thread thread;
    bool appeared = false;
    testing::TestPartResultArray results;
    {
        testing::ScopedFakeTestPartResultReporter reporter(
            testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
        UiRobot robot;
        robot.expect(Box().text(L"Forgotten")).leaveOpen();
        thread =
            std::thread([&] { result = MessageBoxW(nullptr, L"Forgotten", kCaption, MB_YESNO); });
        appeared = robot.waitForBox().has_value();
    }
    thread.join();

    EXPECT_TRUE(appeared);
    EXPECT_EQ(result, IDNO);
    ASSERT_EQ(results.size(), 1);
    EXPECT_TRUE(contains(results.GetTestPartResult(0).message(), "still open"));
    EXPECT_TRUE(contains(results.GetTestPartResult(0).message(), "\"Forgotten\""));
}

TEST(UiRobot, WaitingForABoxTimesOut) {
    UiRobot robot;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(robot.waitForBox(100ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 90ms);
}

// --- Dialogs ---

constexpr int kNameEdit = 1001;

// A DLGTEMPLATE in memory: a caption, a label, an edit field, OK and Cancel.
class RenameTemplate {
public:
    RenameTemplate() {
        dword(DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU);
        dword(0);
        word(4); // items
        rect(0, 0, 200, 70);
        word(0); // no menu
        word(0); // the dialog class
        text(L"Rename");
        item(WS_CHILD | WS_VISIBLE | SS_LEFT, 7, 7, 186, 10, 0xFFFF, 0x0082, L"New name:");
        item(WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 7, 20, 186, 14,
             kNameEdit, 0x0081, L"");
        item(WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 89, 48, 50, 14, IDOK, 0x0080,
             L"OK");
        item(WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 143, 48, 50, 14, IDCANCEL, 0x0080,
             L"Cancel");
    }
    const DLGTEMPLATE* get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

private:
    void word(WORD value) { words_.push_back(value); }
    void dword(DWORD value) {
        word(LOWORD(value));
        word(HIWORD(value));
    }
    void rect(short x, short y, short cx, short cy) {
        for (short value : {x, y, cx, cy})
            word(static_cast<WORD>(value));
    }
    void text(const wchar_t* value) {
        for (; *value; ++value)
            word(*value);
        word(0);
    }
    void item(DWORD style, short x, short y, short cx, short cy, WORD id, WORD atom,
              const wchar_t* title) {
        if (words_.size() % 2)
            word(0); // items start on a DWORD boundary
        dword(style);
        dword(0);
        rect(x, y, cx, cy);
        word(id);
        word(0xFFFF);
        word(atom);
        text(title);
        word(0); // no creation data
    }

    std::vector<WORD> words_;
};

struct RenameState {
    bool okNeedsName = true;
    std::wstring name;
};

INT_PTR CALLBACK renameProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<RenameState*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG:
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        EnableWindow(GetDlgItem(dialog, IDOK), FALSE);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == kNameEdit && HIWORD(wParam) == EN_CHANGE) {
            bool hasName = GetWindowTextLengthW(GetDlgItem(dialog, kNameEdit)) > 0;
            EnableWindow(GetDlgItem(dialog, IDOK), hasName || !state->okNeedsName);
        } else if (LOWORD(wParam) == IDOK) {
            wchar_t name[256] = L"";
            GetDlgItemTextW(dialog, kNameEdit, name, 256);
            state->name = name;
            EndDialog(dialog, IDOK);
        } else if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, IDCANCEL);
        }
        return TRUE;
    }
    return FALSE;
}

INT_PTR showRename(RenameState& state) {
    RenameTemplate dialog;
    return DialogBoxIndirectParamW(GetModuleHandleW(nullptr), dialog.get(), nullptr, renameProc,
                                   reinterpret_cast<LPARAM>(&state));
}

TEST(UiRobot, FillsADialogAndPressesOk) {
    UiRobot robot;
    robot.expect(Box().messageBox(false).caption(L"Rename").buttons({IDOK, IDCANCEL}))
        .fill(kNameEdit, L"Report 2024.txt")
        .answer(IDOK);

    RenameState state;
    EXPECT_EQ(showRename(state), IDOK);
    EXPECT_EQ(state.name, L"Report 2024.txt");

    std::vector<BoxRecord> boxes = robot.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_FALSE(boxes[0].messageBox);
    EXPECT_EQ(boxes[0].text, L"New name:");
    EXPECT_EQ(boxes[0].icon, Icon::None);
    const cfx::test::BoxControl* edit = boxes[0].control(kNameEdit);
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(edit->className, L"Edit");
    EXPECT_EQ(edit->text, L"");
    // OK was disabled when the dialog appeared; the robot pressed it once the name was in.
    ASSERT_NE(boxes[0].button(IDOK), nullptr);
    EXPECT_EQ(boxes[0].answer, IDOK);
}

TEST(UiRobot, RefusesToPressADisabledButton) {
    UiRobot robot;
    robot.expect(Box().caption(L"Rename")).answer(IDOK);

    RenameState state;
    EXPECT_EQ(showRename(state), IDCANCEL);

    std::vector<std::string> reported = reportedBy(robot);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_TRUE(contains(reported[0], "OK button disabled"));
    EXPECT_TRUE(contains(reported[0], "dialog \"Rename\""));
    EXPECT_TRUE(contains(reported[0], "closed with Cancel"));
}

TEST(UiRobot, ReportsAControlMissingFromADialog) {
    UiRobot robot;
    robot.expect(Box().caption(L"Rename")).fill(4242, L"x").dismiss();

    RenameState state;
    EXPECT_EQ(showRename(state), IDCANCEL);

    std::vector<std::string> reported = reportedBy(robot);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_TRUE(contains(reported[0], "No control 4242"));
}

} // namespace
