#pragma once

#include <QPointer>
#include <QWidget>

#include "app/message_sink.h"

namespace terval {

// Shows each message in a modal box with one OK button, over whichever station window is active.
class MessageBoxSink final : public MessageSink {
  public:
    void showMessage(MessageIcon icon, const QString& text, const QString& caption = {}) override;
};

}  // namespace terval
