#include "support/UiRobot.h"

#include "support/TestText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>

namespace cfx::test {

namespace {

// How often the watcher looks for new boxes: short enough that a box costs the
// test no noticeable time, long enough to leave the box's thread the processor.
constexpr std::chrono::milliseconds kPollInterval(10);

// The longest the robot waits for a box's thread to answer a message it sends
// (a box whose thread has stopped pumping must not stop the robot). No
// SMTO_ABORTIFHUNG: Wine counts a thread that has not looked at its queue for
// five seconds as hung, which a box's thread is until its loop starts.
constexpr UINT kMessageTimeoutMs = 2000;

// A message box's message text is the static control with this id.
constexpr int kMessageTextId = 0xFFFF;

constexpr wchar_t kDialogClass[] = L"#32770";

std::atomic<int> activeRobots{0};

// The text in quotes with line breaks escaped, so that a message stays on one line.
std::string quoted(const std::wstring& text) {
    std::string result = "\"";
    for (char c : narrow(text))
        result += c == '\n' ? std::string("\\n") : std::string(1, c);
    return result + "\"";
}

const char* iconName(Icon icon) {
    const char* const names[] = {"none", "error", "warning", "question", "information", "other"};
    return names[static_cast<int>(icon)];
}

std::string buttonName(int id) {
    const char* const names[] = {"", "OK", "Cancel", "Abort", "Retry", "Ignore", "Yes", "No", "Close"};
    return id > 0 && id <= IDCLOSE ? names[id] : "button " + std::to_string(id);
}

std::string hex(const void* pointer) {
    char buffer[32];
    snprintf(buffer, sizeof buffer, "%p", pointer);
    return buffer;
}

std::wstring classOf(HWND window) {
    wchar_t name[256] = L"";
    int length = GetClassNameW(window, name, 256);
    return std::wstring(name, static_cast<std::size_t>(std::max(length, 0)));
}

bool sameText(const std::wstring& a, const wchar_t* b) {
    return lstrcmpiW(a.c_str(), b) == 0;
}

// WM_GETTEXT with a timeout: the window belongs to another thread, which may
// be busy. An edit control keeps its text to itself, so the message is needed.
std::wstring textOf(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, kMessageTimeoutMs,
                             &length))
        return {};
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                             SMTO_NORMAL, kMessageTimeoutMs, &copied))
        return {};
    text.resize(std::min<std::size_t>(copied, length));
    return text;
}

bool isStatic(const BoxControl& control) {
    return sameText(control.className, L"Static");
}

bool isIconStatic(const BoxControl& control) {
    return isStatic(control) && (control.style & SS_TYPEMASK) == SS_ICON;
}

bool isPictureStatic(const BoxControl& control) {
    LONG type = control.style & SS_TYPEMASK;
    return isStatic(control) && (type == SS_ICON || type == SS_BITMAP || type == SS_ENHMETAFILE);
}

bool isPushButton(const BoxControl& control) {
    LONG type = control.style & BS_TYPEMASK;
    return sameText(control.className, L"Button") &&
           (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON);
}

// The ids MessageBox gives its buttons (IDOK to IDCONTINUE).
bool isMessageBoxCommand(int id) {
    return id >= IDOK && id <= IDCONTINUE;
}

// A message box is a dialog of one message static (id 0xFFFF), an optional
// icon and command buttons, nothing else. Wine 8 builds it from a template
// whose unused buttons it destroys, so the same test holds there. The id alone
// would not do: a DIALOG resource's IDC_STATIC labels also have id 0xFFFF.
bool looksLikeMessageBox(const std::vector<BoxControl>& controls) {
    int messages = 0;
    for (const BoxControl& control : controls) {
        if (isStatic(control) && !isPictureStatic(control) && control.id == kMessageTextId)
            ++messages;
        else if (!isIconStatic(control) &&
                 !(isPushButton(control) && isMessageBoxCommand(control.id)))
            return false;
    }
    return messages == 1;
}

// The standard icons are shared: LoadIcon(nullptr, IDI_...) gives the handle
// that MessageBox puts in its icon static (so it is under Wine 8 too).
Icon iconOf(HWND iconStatic) {
    DWORD_PTR shown = 0;
    if (!SendMessageTimeoutW(iconStatic, STM_GETICON, 0, 0, SMTO_NORMAL, kMessageTimeoutMs,
                             &shown) ||
        !shown)
        return Icon::None;
    const std::pair<LPCWSTR, Icon> standard[] = {{IDI_HAND, Icon::Error},
                                                 {IDI_EXCLAMATION, Icon::Warning},
                                                 {IDI_QUESTION, Icon::Question},
                                                 {IDI_ASTERISK, Icon::Information}};
    for (const auto& [resource, icon] : standard) {
        if (reinterpret_cast<DWORD_PTR>(LoadIconW(nullptr, resource)) == shown)
            return icon;
    }
    return Icon::Other;
}

BoxRecord inspect(HWND window) {
    BoxRecord box;
    box.window = window;
    box.owner = GetWindow(window, GW_OWNER);
    box.thread = GetWindowThreadProcessId(window, nullptr);
    box.caption = textOf(window);

    std::vector<HWND> children;
    EnumChildWindows(
        window,
        [](HWND child, LPARAM found) {
            reinterpret_cast<std::vector<HWND>*>(found)->push_back(child);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&children));
    for (HWND child : children) {
        BoxControl control;
        control.window = child;
        control.id = GetDlgCtrlID(child);
        control.className = classOf(child);
        control.style = GetWindowLongW(child, GWL_STYLE);
        control.visible = IsWindowVisible(child) != FALSE;
        if (!isPictureStatic(control))
            control.text = textOf(child);
        box.controls.push_back(std::move(control));
    }
    box.messageBox = looksLikeMessageBox(box.controls);

    std::vector<std::pair<RECT, BoxButton>> buttons;
    for (const BoxControl& control : box.controls) {
        if (control.visible && isPushButton(control)) {
            RECT place{};
            GetWindowRect(control.window, &place);
            buttons.push_back({place,
                               {control.window, control.id, control.text,
                                IsWindowEnabled(control.window) != FALSE}});
        }
    }
    std::stable_sort(buttons.begin(), buttons.end(), [](const auto& a, const auto& b) {
        return a.first.top != b.first.top ? a.first.top < b.first.top : a.first.left < b.first.left;
    });
    for (auto& entry : buttons)
        box.buttons.push_back(std::move(entry.second));

    for (const BoxControl& control : box.controls) {
        if (control.visible && isIconStatic(control)) {
            box.icon = iconOf(control.window);
            if (box.icon != Icon::None)
                break;
        }
    }

    for (const BoxControl& control : box.controls) {
        if (box.messageBox ? control.id == kMessageTextId && isStatic(control)
                           : control.visible && isStatic(control) && !isPictureStatic(control) &&
                                 !control.text.empty()) {
            if (!box.text.empty())
                box.text += L'\n';
            box.text += control.text;
        }
    }
    return box;
}

// What a user closing an unwanted box would press: Cancel, else No, Abort, OK,
// Close or the first button that is enabled; 0 when there is none.
int dismissButton(const BoxRecord& box) {
    for (int id : {IDCANCEL, IDNO, IDABORT, IDOK, IDCLOSE}) {
        const BoxButton* button = box.button(id);
        if (button && button->enabled)
            return id;
    }
    for (const BoxButton& button : box.buttons) {
        if (button.enabled)
            return button.id;
    }
    return 0;
}

void refreshEnabled(BoxRecord& box) {
    for (BoxButton& button : box.buttons)
        button.enabled = IsWindowEnabled(button.window) != FALSE;
}

// Presses the button as a click would (its dialog gets BN_CLICKED), or closes
// the box when there is no button to press. Posted, so that a busy box's
// thread cannot hold up the robot.
void pressOrClose(HWND box, HWND button) {
    if (button)
        PostMessageW(GetParent(button), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
                     reinterpret_cast<LPARAM>(button));
    else
        PostMessageW(box, WM_CLOSE, 0, 0);
}

HWND buttonWindow(const BoxRecord& box, int buttonId) {
    const BoxButton* button = box.button(buttonId);
    return button ? button->window : nullptr;
}

std::string closedWith(int buttonId) {
    return buttonId ? "closed with " + buttonName(buttonId) : "closed with WM_CLOSE";
}

} // namespace

bool waitServingSentMessages(HANDLE object, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        DWORD milliseconds = left.count() <= 0          ? 0
                             : left.count() >= INFINITE ? INFINITE
                                                        : static_cast<DWORD>(left.count());
        DWORD wait = MsgWaitForMultipleObjectsEx(1, &object, milliseconds, QS_SENDMESSAGE,
                                                 MWMO_INPUTAVAILABLE);
        if (wait == WAIT_OBJECT_0)
            return true;
        if (wait != WAIT_OBJECT_0 + 1)
            return false;
        // Peeking runs the pending sent messages; posted ones stay queued.
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

// --- BoxRecord ---

const BoxButton* BoxRecord::button(int id) const {
    for (const BoxButton& b : buttons) {
        if (b.id == id)
            return &b;
    }
    return nullptr;
}

const BoxControl* BoxRecord::control(int id) const {
    for (const BoxControl& c : controls) {
        if (c.id == id)
            return &c;
    }
    return nullptr;
}

std::string BoxRecord::describe() const {
    std::string result = (messageBox ? "message box " : "dialog ") + quoted(caption);
    result += ": text " + quoted(text) + ", icon " + iconName(icon) + ", buttons [";
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        result += (i ? ", " : "") + quoted(buttons[i].label) + " (" +
                  std::to_string(buttons[i].id) + ")";
    }
    result += "], owner " + hex(owner) + ", thread " + std::to_string(thread);
    return result;
}

// --- Box ---

Box& Box::caption(std::wstring caption) {
    caption_ = std::move(caption);
    return *this;
}

Box& Box::text(std::wstring text) {
    text_ = std::move(text);
    return *this;
}

Box& Box::icon(Icon icon) {
    icon_ = icon;
    return *this;
}

Box& Box::buttons(std::vector<int> ids) {
    std::sort(ids.begin(), ids.end());
    buttons_ = std::move(ids);
    return *this;
}

Box& Box::owner(HWND owner) {
    owner_ = owner;
    return *this;
}

Box& Box::thread(DWORD thread) {
    thread_ = thread;
    return *this;
}

Box& Box::messageBox(bool isMessageBox) {
    messageBox_ = isMessageBox;
    return *this;
}

Box& Box::where(std::function<bool(const BoxRecord&)> predicate, std::string description) {
    predicates_.emplace_back(std::move(predicate), std::move(description));
    return *this;
}

bool Box::matches(const BoxRecord& box) const {
    if (caption_ && *caption_ != box.caption)
        return false;
    if (text_ && *text_ != box.text)
        return false;
    if (icon_ && *icon_ != box.icon)
        return false;
    if (buttons_) {
        std::vector<int> present;
        for (const BoxButton& button : box.buttons)
            present.push_back(button.id);
        std::sort(present.begin(), present.end());
        if (present != *buttons_)
            return false;
    }
    if (owner_ && *owner_ != box.owner)
        return false;
    if (thread_ && *thread_ != box.thread)
        return false;
    if (messageBox_ && *messageBox_ != box.messageBox)
        return false;
    for (const auto& predicate : predicates_) {
        if (!predicate.first(box))
            return false;
    }
    return true;
}

std::string Box::describe() const {
    std::vector<std::string> parts;
    if (messageBox_)
        parts.push_back(*messageBox_ ? "a message box" : "a dialog other than a message box");
    if (caption_)
        parts.push_back("caption " + quoted(*caption_));
    if (text_)
        parts.push_back("text " + quoted(*text_));
    if (icon_)
        parts.push_back(std::string("icon ") + iconName(*icon_));
    if (buttons_) {
        std::string list = "buttons [";
        for (std::size_t i = 0; i < buttons_->size(); ++i)
            list += (i ? ", " : "") + buttonName((*buttons_)[i]);
        parts.push_back(list + "]");
    }
    if (owner_)
        parts.push_back("owner " + hex(*owner_));
    if (thread_)
        parts.push_back("thread " + std::to_string(*thread_));
    for (const auto& predicate : predicates_)
        parts.push_back(predicate.second);
    if (parts.empty())
        return "any box";
    std::string result = "box with ";
    for (std::size_t i = 0; i < parts.size(); ++i)
        result += (i ? ", " : "") + parts[i];
    return result;
}

// --- UiRobot::Script ---

UiRobot::Script::Script(UiRobot& robot, Box box, int minimum, int maximum)
    : robot_(&robot), expectation_(std::make_unique<Expectation>()) {
    expectation_->box = std::move(box);
    expectation_->minimum = minimum;
    expectation_->maximum = maximum;
}

UiRobot::Script::Script(Script&& other) noexcept
    : robot_(other.robot_), expectation_(std::move(other.expectation_)) {}

UiRobot::Script::~Script() {
    queue();
}

UiRobot::Script& UiRobot::Script::fill(int controlId, std::wstring text) {
    if (expectation_)
        expectation_->fills.emplace_back(controlId, std::move(text));
    return *this;
}

UiRobot::Script& UiRobot::Script::times(int count) {
    if (expectation_) {
        expectation_->minimum = count;
        expectation_->maximum = count;
    }
    return *this;
}

void UiRobot::Script::answer(int buttonId) {
    if (expectation_) {
        expectation_->action = Action::Answer;
        expectation_->button = buttonId;
    }
    queue();
}

void UiRobot::Script::dismiss() {
    if (expectation_)
        expectation_->action = Action::Dismiss;
    queue();
}

void UiRobot::Script::leaveOpen() {
    if (expectation_)
        expectation_->action = Action::LeaveOpen;
    queue();
}

void UiRobot::Script::queue() {
    if (expectation_)
        robot_->add(std::move(expectation_));
}

// --- UiRobot ---

UiRobot::UiRobot()
    : recorded_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      stopped_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (activeRobots.fetch_add(1) != 0)
        ADD_FAILURE() << "Only one UiRobot may watch the process at a time";
    watcher_ = std::thread([this] { watch(); });
}

UiRobot::~UiRobot() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    // The watcher may be reading a dialog of this thread.
    waitServingSentMessages(stopped_, std::chrono::milliseconds(INFINITE));
    watcher_.join();
    closeBoxesLeftOpen();
    verify();
    CloseHandle(stopped_);
    CloseHandle(recorded_);
    activeRobots.fetch_sub(1);
}

UiRobot::Script UiRobot::expect(Box box) {
    return Script(*this, std::move(box), 1, 1);
}

UiRobot::Script UiRobot::allow(Box box) {
    return Script(*this, std::move(box), 0, INT_MAX);
}

void UiRobot::add(std::unique_ptr<Expectation> expectation) {
    std::lock_guard<std::mutex> lock(mutex_);
    expectations_.push_back(std::move(expectation));
}

std::optional<BoxRecord> UiRobot::waitForBox(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (waited_ < log_.size())
                return log_[waited_++];
            ResetEvent(recorded_);
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() < 0 || !waitServingSentMessages(recorded_, left))
            return std::nullopt;
    }
}

std::vector<BoxRecord> UiRobot::boxes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

void UiRobot::verify() {
    std::vector<std::string> messages;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        messages.swap(failures_);
        for (const auto& expectation : expectations_) {
            if (expectation->seen < expectation->minimum) {
                messages.push_back("Expected box never came: " + expectation->box.describe() +
                                   " (seen " + std::to_string(expectation->seen) + " of " +
                                   std::to_string(expectation->minimum) + ")");
            }
        }
        expectations_.clear();
    }
    for (const std::string& message : messages)
        ADD_FAILURE() << message;
}

bool UiRobot::press(HWND box, int buttonId) {
    HWND button = IsWindow(box) ? GetDlgItem(box, buttonId) : nullptr;
    if (!button)
        return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (BoxRecord& record : log_) {
            if (record.window == box)
                record.answer = buttonId;
        }
    }
    pressOrClose(box, button);
    return true;
}

bool UiRobot::setControlText(HWND box, int controlId, const std::wstring& text) {
    HWND control = IsWindow(box) ? GetDlgItem(box, controlId) : nullptr;
    DWORD_PTR result = 0;
    return control &&
           SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                               SMTO_NORMAL, kMessageTimeoutMs, &result) &&
           result;
}

void UiRobot::watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        scan();
        lock.lock();
        wake_.wait_for(lock, kPollInterval, [this] { return stopping_; });
    }
    SetEvent(stopped_);
}

// Takes each visible dialog of this process the first time it shows. The
// dialog manager shows a dialog only after WM_INITDIALOG, so its texts are in
// place by then.
void UiRobot::scan() {
    std::vector<HWND> dialogs;
    EnumWindows(
        [](HWND window, LPARAM found) {
            DWORD process = 0;
            GetWindowThreadProcessId(window, &process);
            if (process == GetCurrentProcessId() && IsWindowVisible(window) &&
                classOf(window) == kDialogClass)
                reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&dialogs));

    for (auto it = known_.begin(); it != known_.end();)
        it = IsWindow(*it) ? std::next(it) : known_.erase(it);
    for (HWND dialog : dialogs) {
        if (known_.insert(dialog).second)
            handle(dialog);
    }
}

UiRobot::Expectation* UiRobot::match(const BoxRecord& box) {
    // Expectations still owed a box come first, so that a broad allow() does
    // not take the box of a later expect().
    for (const auto& expectation : expectations_) {
        if (expectation->seen < expectation->minimum && expectation->box.matches(box))
            return expectation.get();
    }
    for (const auto& expectation : expectations_) {
        if (expectation->seen < expectation->maximum && expectation->box.matches(box))
            return expectation.get();
    }
    return nullptr;
}

// Records the box, then acts on it. Nothing is sent to the box's thread while
// the lock is held: that thread may be the test's, waiting for the lock.
void UiRobot::handle(HWND window) {
    BoxRecord box = inspect(window);
    if (!IsWindow(window))
        return;

    Action action = Action::Dismiss;
    int button = 0;
    std::vector<std::pair<int, std::wstring>> fills;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (Expectation* expectation = match(box)) {
            ++expectation->seen;
            box.expected = true;
            action = expectation->action;
            button = expectation->button;
            fills = expectation->fills;
        }
    }

    std::vector<std::string> problems;
    if (!box.expected)
        problems.push_back("Unexpected box");
    for (const auto& [id, text] : fills) {
        if (!setControlText(window, id, text))
            problems.push_back("No control " + std::to_string(id) + " to fill in box");
    }
    refreshEnabled(box);
    if (action == Action::Answer) {
        const BoxButton* scripted = box.button(button);
        if (!scripted) {
            problems.push_back("No " + buttonName(button) + " button to press in box");
            action = Action::Dismiss;
        } else if (!scripted->enabled) {
            problems.push_back(buttonName(button) + " button disabled in box");
            action = Action::Dismiss;
        }
    }
    if (action == Action::Dismiss)
        button = dismissButton(box);
    box.answer = action == Action::LeaveOpen ? 0 : button;

    for (const std::string& problem : problems) {
        if (!box.complaint.empty())
            box.complaint += "; ";
        box.complaint += problem;
    }
    if (!box.complaint.empty())
        box.complaint += ": " + box.describe() + "; " + closedWith(button);

    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!box.complaint.empty())
            failures_.push_back(box.complaint);
        log_.push_back(box);
        SetEvent(recorded_);
    }

    if (action != Action::LeaveOpen)
        pressOrClose(window, buttonWindow(box, button));
}

void UiRobot::closeBoxesLeftOpen() {
    std::vector<BoxRecord> open;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const BoxRecord& box : log_) {
            if (box.answer == 0 && IsWindow(box.window))
                open.push_back(box);
        }
    }
    for (BoxRecord& box : open) {
        refreshEnabled(box);
        int button = dismissButton(box);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            failures_.push_back("Box still open when the robot stopped: " + box.describe() + "; " +
                                closedWith(button));
        }
        pressOrClose(box.window, buttonWindow(box, button));
    }
}

} // namespace cfx::test
