#include "support/UiRobot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>

namespace cfx::test {

namespace {

constexpr std::chrono::milliseconds kPollInterval(10);
// The longest the robot waits for a box's thread. No SMTO_ABORTIFHUNG: Wine
// counts a box's thread as hung until its loop has run for five seconds.
constexpr UINT kMessageTimeoutMs = 2000;
constexpr int kMessageTextId = 0xFFFF; // a message box's message

// Sent with a timeout: the window's thread may be busy.
std::wstring textOf(HWND window) {
    wchar_t text[1024] = L"";
    DWORD_PTR copied = 0;
    const bool answered = SendMessageTimeoutW(window, WM_GETTEXT, 1024, LPARAM(text), SMTO_NORMAL,
                                              kMessageTimeoutMs, &copied);
    return std::wstring(text, answered ? std::min<DWORD_PTR>(copied, 1023) : 0);
}

bool setControlText(HWND box, int controlId, const std::wstring& text) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(GetDlgItem(box, controlId), WM_SETTEXT, 0, LPARAM(text.c_str()),
                               SMTO_NORMAL, kMessageTimeoutMs, &result) &&
           result;
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

// One message static, perhaps an icon, command buttons and nothing else (a
// dialog resource's labels may have the message's id too).
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
    SendMessageTimeoutW(iconStatic, STM_GETICON, 0, 0, SMTO_NORMAL, kMessageTimeoutMs, &shown);
    const LPCWSTR standard[] = {IDI_HAND, IDI_EXCLAMATION, IDI_QUESTION, IDI_ASTERISK};
    for (int i = 0; i < 4; ++i)
        if (shown && DWORD_PTR(LoadIconW(nullptr, standard[i])) == shown)
            return Icon(int(Icon::Error) + i);
    return shown ? Icon::Other : Icon::None;
}

BoxRecord inspect(HWND window) {
    BoxRecord box{window, GetWindow(window, GW_OWNER), GetWindowThreadProcessId(window, nullptr)};
    box.caption = textOf(window);
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t name[64] = L"";
        GetClassNameW(child, name, 64);
        BoxControl c{child, GetDlgCtrlID(child), name};
        c.style = GetWindowLongW(child, GWL_STYLE);
        c.visible = IsWindowVisible(child);
        c.text = isPicture(c) ? L"" : textOf(child);
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
    auto any =
        std::find_if(box.buttons.begin(), box.buttons.end(), [](auto& b) { return b.enabled; });
    return any == box.buttons.end() ? 0 : any->id;
}

// A click (BN_CLICKED to the dialog), or WM_CLOSE without a button; posted,
// so that a busy box's thread cannot hold up the robot.
void pressOrClose(HWND box, HWND button) {
    if (button)
        PostMessageW(GetParent(button), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
                     LPARAM(button));
    else
        PostMessageW(box, WM_CLOSE, 0, 0);
}

// Serves the messages other threads send to this thread's windows (a box
// owned by one disables it that way), but dispatches no posted ones.
void serveSentMessages() {
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

} // namespace

std::string BoxRecord::describe() const {
    return (messageBox ? "message box " : "dialog ") + Box::quoted(caption) + ": text " +
           Box::quoted(text) + ", icon " + std::to_string(int(icon));
}

Box& Box::textContaining(const std::wstring& part) {
    return where([part](const BoxRecord& b) { return b.text.find(part) != std::wstring::npos; },
                 "text containing " + quoted(part));
}

Box& Box::buttons(std::vector<int> ids) {
    std::sort(ids.begin(), ids.end());
    return where(
        [ids](const BoxRecord& b) {
            std::vector<int> present;
            for (const BoxButton& button : b.buttons)
                present.push_back(button.id);
            std::sort(present.begin(), present.end());
            return present == ids;
        },
        std::to_string(ids.size()) + " buttons");
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

void UiRobot::Script::queue() {
    if (expectation_) {
        std::lock_guard<std::mutex> lock(robot_->mutex_);
        robot_->expectations_.push_back(std::move(expectation_));
    }
}

UiRobot::UiRobot() : watcher_([this] { watch(); }) {}

UiRobot::~UiRobot() {
    for (std::unique_lock<std::mutex> lock(mutex_); !stopped_; lock.lock()) {
        stopping_ = true;
        lock.unlock();
        wake_.notify_all();
        serveSentMessages(); // the watcher may be reading a dialog of this thread
        Sleep(1);
    }
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
}

UiRobot::Script UiRobot::expect(Box box) {
    return Script(*this, std::make_unique<Expectation>(Expectation{std::move(box)}));
}

UiRobot::Script UiRobot::allow(Box box) {
    return Script(*this, std::make_unique<Expectation>(
                             Expectation{std::move(box), {}, Action::Dismiss, 0, 0, INT_MAX}));
}

std::optional<BoxRecord> UiRobot::waitForBox(std::chrono::milliseconds timeout) {
    for (const ULONGLONG deadline = GetTickCount64() + timeout.count();; Sleep(5)) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (waited_ < log_.size())
                return log_[waited_++];
        }
        if (GetTickCount64() > deadline)
            return std::nullopt;
        serveSentMessages();
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
                messages.push_back("Expected box never came: " + e->box.describe());
        expectations_.clear();
    }
    for (const std::string& message : messages)
        ADD_FAILURE() << message;
}

bool UiRobot::press(HWND box, int buttonId) {
    HWND button = IsWindow(box) ? GetDlgItem(box, buttonId) : nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    for (BoxRecord& record : log_)
        if (button && record.window == box)
            record.answer = buttonId;
    if (button)
        pressOrClose(box, button); // posted: safe under the lock
    return button;
}

// Takes each visible dialog of this process the first time it shows.
void UiRobot::watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        for (auto it = known_.begin(); it != known_.end();)
            it = IsWindow(*it) ? std::next(it) : known_.erase(it);
        for (HWND dialog = nullptr;
             (dialog = FindWindowExW(nullptr, dialog, L"#32770", nullptr));) {
            DWORD process = 0;
            GetWindowThreadProcessId(dialog, &process);
            if (process == GetCurrentProcessId() && IsWindowVisible(dialog) &&
                known_.insert(dialog).second)
                handle(dialog);
        }
        lock.lock();
        wake_.wait_for(lock, kPollInterval, [this] { return stopping_; });
    }
    stopped_ = true;
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
    std::string complaint = "Unexpected box; ";
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (Expectation* expectation = match(box)) {
            ++expectation->seen;
            scripted = *expectation;
            complaint.clear();
        }
    }
    for (const auto& [id, text] : scripted.fills)
        if (!setControlText(window, id, text))
            complaint += "no control " + std::to_string(id) + " to fill; ";
    for (BoxButton& button : box.buttons)
        button.enabled = IsWindowEnabled(button.window) != FALSE;
    const BoxButton* wanted = box.button(scripted.button);
    int pressed = wanted && wanted->enabled ? scripted.button : 0;
    if (scripted.action == Action::Answer && !pressed)
        complaint += "button " + std::to_string(scripted.button) + " missing or disabled; ";
    if (scripted.action != Action::LeaveOpen && !pressed)
        pressed = dismissButton(box);
    box.answer = scripted.action == Action::LeaveOpen ? 0 : pressed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!complaint.empty())
            failures_.push_back(complaint + box.describe() + "; closed with " +
                                std::to_string(pressed));
        log_.push_back(box);
    }
    if (scripted.action != Action::LeaveOpen) {
        const BoxButton* button = box.button(pressed);
        pressOrClose(window, button ? button->window : nullptr);
    }
}

} // namespace cfx::test
