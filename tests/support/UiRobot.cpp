#include "support/UiRobot.h"

#include "support/TestText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>

namespace cfx::test {

namespace {

// Short enough that a box costs no noticeable time, long enough to leave the
// box's thread the processor.
constexpr std::chrono::milliseconds kPollInterval(10);
// The longest the robot waits for a box's thread to answer. No
// SMTO_ABORTIFHUNG: Wine counts a thread that has not looked at its queue for
// five seconds as hung, which a box's thread is until its loop starts.
constexpr UINT kMessageTimeoutMs = 2000;
// A message box's message is the static with this id.
constexpr int kMessageTextId = 0xFFFF;

std::atomic<int> activeRobots{0};

std::string quoted(const std::wstring& text) {
    std::string result = "\"";
    for (char c : narrow(text))
        result += c == '\n' ? std::string("\\n") : std::string(1, c);
    return result + "\"";
}

std::wstring classOf(HWND window) {
    wchar_t name[64] = L"";
    return std::wstring(name, static_cast<size_t>(std::max(GetClassNameW(window, name, 64), 0)));
}

// WM_GETTEXT with a timeout (the window's thread may be busy); an edit control
// keeps its text to itself, so the message is needed.
std::wstring textOf(HWND window) {
    wchar_t text[1024] = L"";
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_NORMAL,
                             kMessageTimeoutMs, &copied))
        return {};
    return std::wstring(text, std::min<DWORD_PTR>(copied, 1023));
}

bool isStatic(const BoxControl& c) {
    return lstrcmpiW(c.className.c_str(), L"Static") == 0;
}
bool isPicture(const BoxControl& c) {
    const LONG type = c.style & SS_TYPEMASK;
    return isStatic(c) && (type == SS_ICON || type == SS_BITMAP || type == SS_ENHMETAFILE);
}
bool isPushButton(const BoxControl& c) {
    const LONG type = c.style & BS_TYPEMASK;
    return lstrcmpiW(c.className.c_str(), L"Button") == 0 &&
           (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON);
}

// A message box holds one message static (id 0xFFFF), perhaps an icon, and
// command buttons, nothing else; a dialog resource's labels may have that id too.
bool looksLikeMessageBox(const std::vector<BoxControl>& controls) {
    int messages = 0;
    for (const BoxControl& c : controls) {
        if (isStatic(c) && !isPicture(c) && c.id == kMessageTextId)
            ++messages;
        else if (!isPicture(c) && !(isPushButton(c) && c.id >= IDOK && c.id <= IDCONTINUE))
            return false;
    }
    return messages == 1;
}

// MessageBox shows the shared standard icons, which LoadIcon gives too.
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
    for (const auto& [resource, icon] : standard)
        if (reinterpret_cast<DWORD_PTR>(LoadIconW(nullptr, resource)) == shown)
            return icon;
    return Icon::Other;
}

BoxRecord inspect(HWND window) {
    BoxRecord box;
    box.window = window;
    box.owner = GetWindow(window, GW_OWNER);
    box.thread = GetWindowThreadProcessId(window, nullptr);
    box.caption = textOf(window);
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        BoxControl c{child,
                     GetDlgCtrlID(child),
                     classOf(child),
                     {},
                     GetWindowLongW(child, GWL_STYLE),
                     IsWindowVisible(child) != FALSE};
        if (!isPicture(c))
            c.text = textOf(child);
        box.controls.push_back(std::move(c));
    }
    box.messageBox = looksLikeMessageBox(box.controls);
    for (const BoxControl& c : box.controls) {
        if (c.visible && isPushButton(c))
            box.buttons.push_back({c.window, c.id, IsWindowEnabled(c.window) != FALSE});
        if (c.visible && isPicture(c) && box.icon == Icon::None)
            box.icon = iconOf(c.window);
        if (box.messageBox ? c.id == kMessageTextId && isStatic(c)
                           : c.visible && isStatic(c) && !isPicture(c) && !c.text.empty())
            box.text += (box.text.empty() ? L"" : L"\n") + c.text;
    }
    return box;
}

// What a user closing an unwanted box would press; 0 when nothing is enabled.
int dismissButton(const BoxRecord& box) {
    for (int id : {IDCANCEL, IDNO, IDABORT, IDOK, IDCLOSE})
        if (const BoxButton* button = box.button(id); button && button->enabled)
            return id;
    for (const BoxButton& button : box.buttons)
        if (button.enabled)
            return button.id;
    return 0;
}

// A click (BN_CLICKED to the dialog), or WM_CLOSE without a button; posted,
// so that a busy box's thread cannot hold up the robot.
void pressOrClose(HWND box, HWND button) {
    if (button)
        PostMessageW(GetParent(button), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
                     reinterpret_cast<LPARAM>(button));
    else
        PostMessageW(box, WM_CLOSE, 0, 0);
}

} // namespace

bool waitServingSentMessages(HANDLE object, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const DWORD milliseconds = left.count() <= 0          ? 0
                                   : left.count() >= INFINITE ? INFINITE
                                                              : static_cast<DWORD>(left.count());
        DWORD wait = MsgWaitForMultipleObjectsEx(1, &object, milliseconds, QS_SENDMESSAGE,
                                                 MWMO_INPUTAVAILABLE);
        if (wait != WAIT_OBJECT_0 + 1)
            return wait == WAIT_OBJECT_0;
        MSG message; // peeking runs the sent messages; posted ones stay queued
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

const BoxButton* BoxRecord::button(int id) const {
    for (const BoxButton& b : buttons)
        if (b.id == id)
            return &b;
    return nullptr;
}

const BoxControl* BoxRecord::control(int id) const {
    for (const BoxControl& c : controls)
        if (c.id == id)
            return &c;
    return nullptr;
}

std::string BoxRecord::describe() const {
    std::string result = (messageBox ? "message box " : "dialog ") + quoted(caption) + ": text " +
                         quoted(text) + ", icon " + std::to_string(static_cast<int>(icon)) +
                         ", buttons";
    for (const BoxButton& b : buttons)
        result += " " + std::to_string(b.id);
    return result + ", thread " + std::to_string(thread);
}

Box& Box::caption(const std::wstring& caption) {
    return where([caption](const BoxRecord& b) { return b.caption == caption; },
                 "caption " + quoted(caption));
}
Box& Box::text(const std::wstring& text) {
    return where([text](const BoxRecord& b) { return b.text == text; }, "text " + quoted(text));
}
Box& Box::textContaining(const std::wstring& part) {
    return where([part](const BoxRecord& b) { return b.text.find(part) != std::wstring::npos; },
                 "text containing " + quoted(part));
}
Box& Box::icon(Icon icon) {
    return where([icon](const BoxRecord& b) { return b.icon == icon; },
                 "icon " + std::to_string(static_cast<int>(icon)));
}
Box& Box::buttons(std::vector<int> ids) {
    std::sort(ids.begin(), ids.end());
    std::string described = "buttons";
    for (int id : ids)
        described += " " + std::to_string(id);
    return where(
        [ids](const BoxRecord& b) {
            std::vector<int> present;
            for (const BoxButton& button : b.buttons)
                present.push_back(button.id);
            std::sort(present.begin(), present.end());
            return present == ids;
        },
        described);
}
Box& Box::owner(HWND owner) {
    return where([owner](const BoxRecord& b) { return b.owner == owner; }, "its owner");
}
Box& Box::thread(DWORD thread) {
    return where([thread](const BoxRecord& b) { return b.thread == thread; },
                 "thread " + std::to_string(thread));
}
Box& Box::messageBox(bool isMessageBox) {
    return where([isMessageBox](const BoxRecord& b) { return b.messageBox == isMessageBox; },
                 isMessageBox ? "a message box" : "a dialog");
}
Box& Box::where(std::function<bool(const BoxRecord&)> predicate, std::string description) {
    conditions_.emplace_back(std::move(predicate), std::move(description));
    return *this;
}

bool Box::matches(const BoxRecord& box) const {
    return std::all_of(conditions_.begin(), conditions_.end(),
                       [&box](const auto& condition) { return condition.first(box); });
}

std::string Box::describe() const {
    std::string result = "box with";
    for (const auto& condition : conditions_)
        result += " " + condition.second + ";";
    return result;
}

UiRobot::Script::Script(UiRobot& robot, std::unique_ptr<Expectation> expectation)
    : robot_(&robot), expectation_(std::move(expectation)) {}

UiRobot::Script& UiRobot::Script::fill(int controlId, std::wstring text) {
    expectation_->fills.emplace_back(controlId, std::move(text));
    return *this;
}

UiRobot::Script& UiRobot::Script::times(int count) {
    expectation_->minimum = expectation_->maximum = count;
    return *this;
}

void UiRobot::Script::answer(int buttonId) {
    expectation_->action = Action::Answer;
    expectation_->button = buttonId;
    queue();
}

void UiRobot::Script::dismiss() {
    queue();
}

void UiRobot::Script::leaveOpen() {
    expectation_->action = Action::LeaveOpen;
    queue();
}

void UiRobot::Script::queue() {
    if (expectation_) {
        std::lock_guard<std::mutex> lock(robot_->mutex_);
        robot_->expectations_.push_back(std::move(expectation_));
    }
}

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
    waitServingSentMessages(stopped_,
                            std::chrono::milliseconds(INFINITE)); // it may read our dialog
    watcher_.join();
    for (const BoxRecord& box : log_) {
        if (box.answer == 0 && IsWindow(box.window)) {
            BoxRecord now = inspect(box.window);
            failures_.push_back("Box still open when the robot stopped: " + now.describe());
            const BoxButton* button = now.button(dismissButton(now));
            pressOrClose(box.window, button ? button->window : nullptr);
        }
    }
    verify();
    CloseHandle(stopped_);
    CloseHandle(recorded_);
    activeRobots.fetch_sub(1);
}

UiRobot::Script UiRobot::expect(Box box) {
    return Script(*this, std::make_unique<Expectation>(Expectation{std::move(box)}));
}

UiRobot::Script UiRobot::allow(Box box) {
    auto expectation = std::make_unique<Expectation>(Expectation{std::move(box)});
    expectation->minimum = 0;
    expectation->maximum = INT_MAX;
    return Script(*this, std::move(expectation));
}

std::optional<BoxRecord> UiRobot::waitForBox(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (waited_ < log_.size())
                return log_[waited_++];
            ResetEvent(recorded_);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
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
        for (const auto& e : expectations_)
            if (e->seen < e->minimum)
                messages.push_back("Expected box never came: " + e->box.describe() + " (seen " +
                                   std::to_string(e->seen) + " of " + std::to_string(e->minimum) +
                                   ")");
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
        for (BoxRecord& record : log_)
            if (record.window == box)
                record.answer = buttonId;
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

// Takes each visible dialog of this process the first time it shows.
void UiRobot::watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        std::vector<HWND> dialogs;
        EnumWindows(
            [](HWND window, LPARAM found) {
                DWORD process = 0;
                GetWindowThreadProcessId(window, &process);
                if (process == GetCurrentProcessId() && IsWindowVisible(window) &&
                    classOf(window) == L"#32770")
                    reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&dialogs));
        for (auto it = known_.begin(); it != known_.end();)
            it = IsWindow(*it) ? std::next(it) : known_.erase(it);
        for (HWND dialog : dialogs)
            if (known_.insert(dialog).second)
                handle(dialog);
        lock.lock();
        wake_.wait_for(lock, kPollInterval, [this] { return stopping_; });
    }
    SetEvent(stopped_);
}

// Expectations still owed a box come first, so that a broad allow() does not
// take the box of a later expect().
UiRobot::Expectation* UiRobot::match(const BoxRecord& box) {
    for (bool owed : {true, false})
        for (const auto& e : expectations_)
            if (e->seen < (owed ? e->minimum : e->maximum) && e->box.matches(box))
                return e.get();
    return nullptr;
}

// Records the box, then acts on it. Nothing is sent to the box's thread while
// the lock is held: that thread may be the test's, waiting for the lock.
void UiRobot::handle(HWND window) {
    BoxRecord box = inspect(window);
    if (!IsWindow(window))
        return;
    Expectation scripted;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (Expectation* expectation = match(box)) {
            ++expectation->seen;
            box.expected = true;
            scripted = *expectation;
        }
    }
    std::string complaint = box.expected ? "" : "Unexpected box; ";
    for (const auto& [id, text] : scripted.fills)
        if (!setControlText(window, id, text))
            complaint += "no control " + std::to_string(id) + " to fill; ";
    for (BoxButton& button : box.buttons)
        button.enabled = IsWindowEnabled(button.window) != FALSE;
    int pressed = 0;
    if (scripted.action == Action::Answer) {
        const BoxButton* button = box.button(scripted.button);
        if (button && button->enabled)
            pressed = scripted.button;
        else
            complaint += "button " + std::to_string(scripted.button) + " missing or disabled; ";
    }
    if (scripted.action != Action::LeaveOpen && !pressed)
        pressed = dismissButton(box);
    box.answer = scripted.action == Action::LeaveOpen ? 0 : pressed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!complaint.empty())
            failures_.push_back(complaint + box.describe() + "; closed with " +
                                std::to_string(pressed));
        log_.push_back(box);
        SetEvent(recorded_);
    }
    if (scripted.action != Action::LeaveOpen) {
        const BoxButton* button = box.button(pressed);
        pressOrClose(window, button ? button->window : nullptr);
    }
}

} // namespace cfx::test
