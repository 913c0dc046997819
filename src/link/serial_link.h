#pragma once

#include <QDir>
#include <QObject>
#include <QSerialPort>
#include <QStringList>
#include <functional>

#include "link/link_ports.h"

namespace terval {

class LinkController;

// The port names COM1 to COM96 that lead to a serial device here: a link of that name in the
// working folder, or a port the system reports.
QStringList availableComNames(const QDir& workFolder);

// The serial port on QSerialPort; received bytes reach the LinkController on the UI thread.
class QtSerialPortDevice final : public QObject, public SerialPortDevice {
    Q_OBJECT
  public:
    explicit QtSerialPortDevice(QDir workFolder, QObject* parent = nullptr);

    void setController(LinkController* controller) { controller_ = controller; }

    bool open(const SerialSettings& settings) override;
    void close() override;
    bool isOpen() const override { return port_.isOpen(); }
    void write(const QByteArray& bytes) override;
    void setRts(bool on) override;
    void setDtr(bool on) override;

    QString lastError() const { return port_.errorString(); }
    // A failure of an open port (a write error, a device pulled out) with the serial layer's text.
    void setErrorHandler(std::function<void(const QString&)> handler) {
        onError_ = std::move(handler);
    }

  private:
    QDir folder_;
    QSerialPort port_;
    LinkController* controller_ = nullptr;
    std::function<void(const QString&)> onError_;
};

}  // namespace terval
