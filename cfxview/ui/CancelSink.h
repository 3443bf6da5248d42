// Told when the user cancels a progress dialog; the operation that opened the
// dialog supplies it.
#pragma once

namespace cfx::ui {

class CancelSink {
public:
    // Runs on the progress dialog's own thread.
    virtual void OnCancel() = 0;

protected:
    ~CancelSink() = default;
};

} // namespace cfx::ui
