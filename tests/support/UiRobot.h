// A robot that plays the user for the boxes and dialogs a test makes the
// library show: from a thread of its own it records each top-level dialog of
// the process (caption, text, icon, buttons, owner, thread), answers it as the
// test scripted, and turns every box nobody expected, and every expected box
// that never came, into a test failure. Queue expectations before the action
// that shows the box; one robot at a time.
//
// It polls EnumWindows: Wine 8 raises no show or dialog-start win event, and a
// dialog becomes visible only after WM_INITDIALOG, with its texts in place.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace cfx::test {

// The standard icons of a message box (MB_ICONERROR, ...); Other is any other.
enum class Icon { None, Error, Warning, Question, Information, Other };

struct BoxControl {
    HWND window = nullptr;
    int id = 0;
    std::wstring className;
    std::wstring text;
    LONG style = 0;
    bool visible = false;
};

struct BoxButton {
    HWND window = nullptr;
    int id = 0;
    bool enabled = true;
};

// What the robot saw of one box and what it did with it.
struct BoxRecord {
    HWND window = nullptr; // no longer a window once the box has closed
    HWND owner = nullptr;
    DWORD thread = 0;
    bool messageBox = false;
    std::wstring caption;
    std::wstring text; // a message box's message; else its visible static texts, one a line
    Icon icon = Icon::None;
    std::vector<BoxButton> buttons;   // visible push buttons
    std::vector<BoxControl> controls; // every child window
    bool expected = false;
    int answer = 0; // the button the robot pressed; 0 when it left the box open

    const BoxButton* button(int id) const;
    const BoxControl* control(int id) const;
    std::string describe() const; // one line, for failure messages
};

// Which box an expectation is for: every condition set must hold.
class Box {
public:
    Box& caption(const std::wstring& caption);
    Box& text(const std::wstring& text);
    Box& textContaining(const std::wstring& part);
    Box& icon(Icon icon);
    Box& buttons(std::vector<int> ids); // exactly these, in any order
    Box& owner(HWND owner);
    Box& thread(DWORD thread);
    Box& messageBox(bool isMessageBox = true); // or another dialog
    // Runs on the robot's thread; it must not call the robot.
    Box& where(std::function<bool(const BoxRecord&)> predicate,
               std::string description = "a condition of the test");

    bool matches(const BoxRecord& box) const;
    std::string describe() const;

private:
    std::vector<std::pair<std::function<bool(const BoxRecord&)>, std::string>> conditions_;
};

// Waits for a kernel object while serving the messages other threads send to
// this thread's windows (a box owned by a window of this thread disables its
// owner that way), without dispatching posted ones. True when signalled.
bool waitServingSentMessages(HANDLE object, std::chrono::milliseconds timeout);

class UiRobot {
    struct Expectation;

public:
    // What the robot does with the box of one expectation; finish it with
    // answer(), dismiss() or leaveOpen() (dropped unfinished, it dismisses).
    class [[nodiscard]] Script {
    public:
        Script(Script&& other) noexcept = default;
        ~Script() { queue(); }

        Script& fill(int controlId, std::wstring text); // before the button is pressed
        Script& times(int count);                       // boxes expected, 1 unless told
        void answer(int buttonId);                      // must be there and enabled
        void dismiss();                                 // Cancel, No, Abort, OK, Close or any
        void leaveOpen();                               // the test closes it (press())

    private:
        friend class UiRobot;
        Script(UiRobot& robot, std::unique_ptr<Expectation> expectation);
        void queue();

        UiRobot* robot_;
        std::unique_ptr<Expectation> expectation_;
    };

    UiRobot();
    ~UiRobot(); // stops watching, closes boxes left open, then verify()
    UiRobot(const UiRobot&) = delete;
    UiRobot& operator=(const UiRobot&) = delete;

    Script expect(Box box); // must appear
    Script allow(Box box);  // may appear any number of times

    // The next box not yet returned here, once handled; nullopt after the
    // timeout. Serves sent messages while it waits.
    std::optional<BoxRecord>
    waitForBox(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    std::vector<BoxRecord> boxes() const;

    // Reports every unexpected or mishandled box and every expectation not
    // met as failures of the running test, then forgets them.
    void verify();

    // For boxes left open: a click on a button (recorded as the answer), and
    // a control's text (WM_SETTEXT). False when the window is missing.
    bool press(HWND box, int buttonId);
    static bool setControlText(HWND box, int controlId, const std::wstring& text);

private:
    enum class Action { Answer, Dismiss, LeaveOpen };
    struct Expectation {
        Box box;
        std::vector<std::pair<int, std::wstring>> fills;
        Action action = Action::Dismiss;
        int button = 0, minimum = 1, maximum = 1, seen = 0;
    };

    void watch();
    void handle(HWND window);
    Expectation* match(const BoxRecord& box);

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    HANDLE recorded_; // set while the log holds boxes waitForBox has not returned
    HANDLE stopped_;
    bool stopping_ = false;
    std::vector<std::unique_ptr<Expectation>> expectations_;
    std::vector<BoxRecord> log_;
    std::vector<std::string> failures_;
    size_t waited_ = 0;
    std::set<HWND> known_; // watcher thread only
    std::thread watcher_;
};

} // namespace cfx::test
