#pragma once

#include <QDir>
#include <QObject>
#include <QSerialPort>

#include "link/link_ports.h"

namespace terval {

class LinkController;

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

  private:
    QDir folder_;
    QSerialPort port_;
    LinkController* controller_ = nullptr;
};

}  // namespace terval
