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
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace cfx::test {

// The standard icons of a message box (MB_ICONERROR, ...); Other is any other.
enum class Icon { None, Error, Warning, Question, Information, Other };

struct BoxButton {
    HWND window = nullptr;
    int id = 0;
    std::wstring label; // as the button shows it, "&" mnemonic markers included
    bool enabled = true;
};

struct BoxControl {
    HWND window = nullptr;
    int id = 0;
    std::wstring className;
    std::wstring text;
    LONG style = 0;
    bool visible = false;
};

// What the robot saw of one box and what it did with it.
struct BoxRecord {
    HWND window = nullptr; // no longer a window once the box has closed
    HWND owner = nullptr;
    DWORD thread = 0; // the thread that owns the box
    bool messageBox = false;
    std::wstring caption;
    // A message box's message; for another dialog its visible static texts,
    // one per line.
    std::wstring text;
    Icon icon = Icon::None;
    std::vector<BoxButton> buttons;   // visible push buttons in reading order
    std::vector<BoxControl> controls; // every child window

    bool expected = false; // an expectation matched it
    int answer = 0;        // the button the robot pressed; 0 when it left the box open
    std::string complaint; // why this box made the test fail, or empty

    const BoxButton* button(int id) const;
    const BoxControl* control(int id) const;
    // One line naming the box for failure messages (UTF-8).
    std::string describe() const;
};

// Which box an expectation is for. Every condition left unset matches anything.
class Box {
public:
    Box& caption(std::wstring caption);
    Box& text(std::wstring text);
    Box& icon(Icon icon);
    // Exactly these buttons, in any order.
    Box& buttons(std::vector<int> ids);
    Box& owner(HWND owner);
    Box& thread(DWORD thread);
    // A message box (true) or another dialog (false).
    Box& messageBox(bool isMessageBox = true);
    // A condition of the test's own; it runs on the robot's thread and must not
    // call the robot.
    Box& where(std::function<bool(const BoxRecord&)> predicate,
               std::string description = "a condition of the test");

    bool matches(const BoxRecord& box) const;
    std::string describe() const;

private:
    std::optional<std::wstring> caption_;
    std::optional<std::wstring> text_;
    std::optional<Icon> icon_;
    std::optional<std::vector<int>> buttons_;
    std::optional<HWND> owner_;
    std::optional<DWORD> thread_;
    std::optional<bool> messageBox_;
    std::vector<std::pair<std::function<bool(const BoxRecord&)>, std::string>> predicates_;
};

// Waits for a kernel object (an event, a thread) while serving the messages
// other threads send to this thread's windows, without dispatching posted
// ones. A box shown by another thread with an owner window of this thread
// disables and re-enables the owner through sent messages: a test thread that
// blocks without serving them deadlocks with the box. True when the object
// was signalled within the timeout.
bool waitServingSentMessages(HANDLE object, std::chrono::milliseconds timeout);

class UiRobot {
    struct Expectation;

public:
    // Scripts what the robot does with the box of one expectation. Finish it
    // with answer(), dismiss() or leaveOpen(); a script dropped unfinished
    // dismisses the box.
    class [[nodiscard]] Script {
    public:
        Script(Script&& other) noexcept;
        Script(const Script&) = delete;
        Script& operator=(const Script&) = delete;
        Script& operator=(Script&&) = delete;
        ~Script();

        // Sets the text of a control (an edit field) before the button is pressed.
        Script& fill(int controlId, std::wstring text);
        // How many boxes the expectation is for (1 unless told).
        Script& times(int count);

        // Presses this button, which must be there and enabled.
        void answer(int buttonId);
        // Presses Cancel, else No, Abort, OK, Close or the first button.
        void dismiss();
        // Presses nothing: the test closes the box itself (see press()).
        void leaveOpen();

    private:
        friend class UiRobot;
        Script(UiRobot& robot, Box box, int minimum, int maximum);
        void queue();

        UiRobot* robot_;
        std::unique_ptr<Expectation> expectation_;
    };

    UiRobot();
    // Stops watching, closes boxes left open, then verify().
    ~UiRobot();
    UiRobot(const UiRobot&) = delete;
    UiRobot& operator=(const UiRobot&) = delete;

    // The box must appear (once, unless Script::times says otherwise).
    Script expect(Box box);
    // Such boxes may appear any number of times, or not at all.
    Script allow(Box box);

    // The next box not yet returned by this call, once the robot has handled
    // it; nullopt when none came within the timeout. While it waits, the
    // calling thread keeps serving messages sent to its windows (see
    // waitServingSentMessages).
    std::optional<BoxRecord>
    waitForBox(std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Every box seen so far, in order of appearance.
    std::vector<BoxRecord> boxes() const;

    // Reports, as non-fatal failures of the running test, every unexpected or
    // mishandled box and every expectation not met; then forgets them and the
    // remaining expectations. Call it from the test's thread.
    void verify();

    // For boxes left open: presses a button the way the robot does
    // (WM_COMMAND/BN_CLICKED posted to the button's dialog) and records it as
    // the box's answer; sets a control's text (WM_SETTEXT, so an edit field
    // notifies EN_CHANGE). False when the box or the control is missing.
    bool press(HWND box, int buttonId);
    static bool setControlText(HWND box, int controlId, const std::wstring& text);

private:
    enum class Action { Answer, Dismiss, LeaveOpen };

    struct Expectation {
        Box box;
        std::vector<std::pair<int, std::wstring>> fills;
        Action action = Action::Dismiss;
        int button = 0;
        int minimum = 1;
        int maximum = 1;
        int seen = 0;
    };

    void add(std::unique_ptr<Expectation> expectation);
    void watch();
    void scan();
    void handle(HWND window);
    Expectation* match(const BoxRecord& box);
    void closeBoxesLeftOpen();

    mutable std::mutex mutex_;
    std::condition_variable wake_; // stops the watcher early
    HANDLE recorded_;              // set while the log holds boxes waitForBox has not returned
    HANDLE stopped_;               // the watcher has finished
    bool stopping_ = false;
    std::vector<std::unique_ptr<Expectation>> expectations_;
    std::vector<BoxRecord> log_;
    std::vector<std::string> failures_;
    std::size_t waited_ = 0; // log entries already returned by waitForBox

    std::set<HWND> known_; // watcher thread only
    std::thread watcher_;
};

} // namespace cfx::test
