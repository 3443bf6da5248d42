// A robot that plays the user: it records each dialog of the process, answers
// it as scripted, and fails the test for every box nobody expected and every
// expected box that never came. One robot at a time.
#pragma once

#include "support/TestText.h"

#include <windows.h>

#include <algorithm>
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

enum class Icon { None, Error, Warning, Question, Information, Other };

struct BoxControl {
    HWND window = nullptr;
    int id = 0;
    std::wstring className, text;
    LONG style = 0;
    bool visible = false;
};

struct BoxButton {
    HWND window = nullptr;
    int id = 0;
    bool enabled = true;
};

template <class T> const T* withId(const std::vector<T>& items, int id) {
    auto found = std::find_if(items.begin(), items.end(), [id](const T& i) { return i.id == id; });
    return found == items.end() ? nullptr : &*found;
}

struct BoxRecord {
    HWND window = nullptr, owner = nullptr; // window: gone once the box has closed
    DWORD thread = 0;
    bool messageBox = false;
    std::wstring caption, text; // text: a message box's message, else its statics
    Icon icon = Icon::None;
    std::vector<BoxButton> buttons;   // visible push buttons
    std::vector<BoxControl> controls; // every child window
    int answer = 0;                   // the button the robot pressed; 0 when it left the box open

    const BoxButton* button(int id) const { return withId(buttons, id); }
    const BoxControl* control(int id) const { return withId(controls, id); }
    std::string describe() const;
};

// Which box an expectation is for: every condition set must hold.
class Box {
    using Text = std::wstring;

public:
    Box& caption(const Text& s) { return is(&BoxRecord::caption, s, "caption " + quoted(s)); }
    Box& text(const Text& s) { return is(&BoxRecord::text, s, "text " + quoted(s)); }
    Box& textContaining(const std::wstring& part);
    Box& icon(Icon i) { return is(&BoxRecord::icon, i, "icon " + std::to_string(int(i))); }
    Box& buttons(std::vector<int> ids); // exactly these, in any order
    Box& owner(HWND w) { return is(&BoxRecord::owner, w, "its owner"); }
    Box& thread(DWORD t) { return is(&BoxRecord::thread, t, "thread " + std::to_string(t)); }
    Box& messageBox(bool m = true) { return is(&BoxRecord::messageBox, m, m ? "box" : "dialog"); }
    // Runs on the robot's thread after the conditions before it.
    Box& where(std::function<bool(const BoxRecord&)> predicate,
               std::string description = "a condition of the test") {
        return conditions_.emplace_back(std::move(predicate), std::move(description)), *this;
    }

    bool matches(const BoxRecord& box) const;
    std::string describe() const;
    static std::string quoted(const std::wstring& text) { return '"' + narrow(text) + '"'; }

private:
    template <class T> Box& is(T BoxRecord::*field, T value, std::string description) {
        return where([=](const BoxRecord& b) { return b.*field == value; }, description);
    }
    std::vector<std::pair<std::function<bool(const BoxRecord&)>, std::string>> conditions_;
};

class UiRobot {
    enum class Action { Answer, Dismiss, LeaveOpen };
    struct Expectation {
        Box box;
        std::vector<std::pair<int, std::wstring>> fills;
        Action action = Action::Dismiss;
        int button = 0, minimum = 1, maximum = 1, seen = 0;
    };

public:
    // What the robot does with the box of one expectation; finish it with
    // answer(), dismiss() or leaveOpen() (dropped unfinished, it dismisses).
    class [[nodiscard]] Script {
    public:
        Script(Script&& other) noexcept = default;
        ~Script() { queue(); }

        // Fills a control before the button is pressed; answer() must find the
        // button enabled, dismiss() takes Cancel, No, Abort, OK, Close or any.
        Script& fill(int controlId, std::wstring text) {
            return expectation_->fills.emplace_back(controlId, std::move(text)), *this;
        }
        void answer(int button) { expectation_->button = button, finish(Action::Answer); }
        void dismiss() { finish(Action::Dismiss); }
        void leaveOpen() { finish(Action::LeaveOpen); } // the test closes it (press())

    private:
        friend class UiRobot;
        Script(UiRobot& robot, std::unique_ptr<Expectation> expectation)
            : robot_(&robot), expectation_(std::move(expectation)) {}
        void finish(Action action) { expectation_->action = action, queue(); }
        void queue();

        UiRobot* robot_;
        std::unique_ptr<Expectation> expectation_;
    };

    UiRobot();
    ~UiRobot(); // stops watching, closes boxes left open, then verify()

    Script expect(Box box); // must appear
    Script allow(Box box);  // may appear any number of times

    // The next box not yet returned here, once handled; nullopt after the
    // timeout. Serves sent messages while it waits.
    std::optional<BoxRecord>
    waitForBox(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    std::vector<BoxRecord> boxes() const;
    // Fails the running test for every unexpected or mishandled box and every
    // expectation not met, then forgets them.
    void verify();
    // A click on a button of a box left open, recorded as the answer; false
    // when the window is missing.
    bool press(HWND box, int buttonId);

private:
    void watch();
    void handle(HWND window);
    Expectation* match(const BoxRecord& box);

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false, stopped_ = false;
    std::vector<std::unique_ptr<Expectation>> expectations_;
    std::vector<BoxRecord> log_;
    std::vector<std::string> failures_;
    size_t waited_ = 0;
    std::set<HWND> known_; // watcher thread only
    std::thread watcher_;
};

} // namespace cfx::test
