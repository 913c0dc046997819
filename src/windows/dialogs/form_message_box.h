#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QString>

#include "station/message_sink.h"

namespace terval {

// Shows each message in a modal box with one OK button, over whichever station window is active.
// The box is opened from the event loop, not from inside the caller: a message raised while an
// answer is being handled must not run the scheduler and the link again underneath that handler.
// A message that is already waiting to be shown is not queued a second time.
class MessageBoxSink final : public QObject, public MessageSink {
    Q_OBJECT
  public:
    void showMessage(MessageIcon icon, const QString& text, const QString& caption = {}) override;
    void withdrawMessage(const QString& text) override;

  private:
    struct Pending {
        MessageIcon icon;
        QString text;
        QString caption;
    };
    void showNext();

    QQueue<Pending> queue_;
    bool showing_ = false;
    // The box on the screen, while one is.
    QPointer<QMessageBox> box_;
};

}  // namespace terval
