#pragma once

#include <QString>

namespace terval {

enum class MessageIcon {
    Error,        // a refusal or a failure
    Warning,      // a notice, such as "parameters saved"
    Information,  // a confirmation
};

// Every message box of the station goes through here: the application shows a modal box with one
// OK button, the tests record the message instead of blocking on it.
class MessageSink {
  public:
    virtual ~MessageSink() = default;
    // An empty caption means the usual caption for the icon.
    virtual void showMessage(MessageIcon icon, const QString& text,
                             const QString& caption = {}) = 0;
    // A message that is no longer true, such as a lost link that is back: its box closes if it is
    // open, and it is not shown if it still waits. A sink that keeps no boxes has nothing to do.
    virtual void withdrawMessage(const QString& /*text*/) {}
};

}  // namespace terval
