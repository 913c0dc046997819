#pragma once

#include <QDir>
#include <QObject>
#include <QSerialPort>
#include <QStringList>
#include <functional>

#include "link/link.h"

namespace terval {

// The port names COM1 to COM96 that lead to a serial device here: a link of that name in the
// working folder, or a port the system reports.
QStringList availableComNames(const QDir& workFolder);

// The serial link on QSerialPort: RTU frames out, received bytes reported as they arrive, on
// the user-interface thread.
class QtSerialLink final : public QObject, public Link {
    Q_OBJECT
  public:
    explicit QtSerialLink(QDir workFolder, QObject* parent = nullptr);

    void setEvents(LinkEvents* events) override { events_ = events; }
    // Opens the port with the target's serial settings, RTS on and DTR off, and reports it open.
    bool open(const LinkTarget& target) override;
    void close() override;
    bool isActive() const override { return port_.isOpen(); }
    void send(QByteArrayView frame) override;

  private:
    QDir folder_;
    QSerialPort port_;
    LinkEvents* events_ = nullptr;
    bool closingLost_ = false;
};

}  // namespace terval
