#include "link/serial_link.h"

#include <QFileInfo>
#include <QSerialPortInfo>

#include "link/connection_config.h"
#include "link/port_names.h"

namespace terval {
namespace {

QSerialPort::DataBits dataBits(uint8_t index) {
    static const QSerialPort::DataBits bits[] = {QSerialPort::Data5, QSerialPort::Data6,
                                                 QSerialPort::Data7, QSerialPort::Data8};
    return index < 4 ? bits[index] : QSerialPort::Data8;
}

QSerialPort::StopBits stopBits(uint8_t index) {
    static const QSerialPort::StopBits bits[] = {QSerialPort::OneStop, QSerialPort::OneAndHalfStop,
                                                 QSerialPort::TwoStop};
    return index < 3 ? bits[index] : QSerialPort::OneStop;
}

QSerialPort::Parity parity(uint8_t index) {
    static const QSerialPort::Parity parities[] = {QSerialPort::NoParity, QSerialPort::OddParity,
                                                   QSerialPort::EvenParity, QSerialPort::MarkParity,
                                                   QSerialPort::SpaceParity};
    return index < 5 ? parities[index] : QSerialPort::NoParity;
}

QSerialPort::FlowControl flowControl(uint8_t index) {
    switch (index) {
        case 0:
            return QSerialPort::HardwareControl;
        case 1:
            return QSerialPort::SoftwareControl;
        default:
            return QSerialPort::NoFlowControl;
    }
}

}  // namespace

QStringList availableComNames(const QDir& workFolder) {
    QStringList systemPorts;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        systemPorts << QFileInfo(info.systemLocation()).canonicalFilePath();
    }
    QStringList names;
    for (int n = 1; n <= 96; ++n) {
        const QString name = QStringLiteral("COM%1").arg(n);
        const QString path = serialDevicePath(name, workFolder);
        const QFileInfo target(path);
        if (!target.exists()) {
            continue;
        }
        // A link in the working folder was put there on purpose; a system name must be a port
        // the system knows, not just a device node.
        const bool local = target.absolutePath() == workFolder.absolutePath();
        if (local || systemPorts.contains(target.canonicalFilePath())) {
            names << name;
        }
    }
    return names;
}

QtSerialLink::QtSerialLink(QDir workFolder, QObject* parent)
    : QObject(parent), folder_(std::move(workFolder)), port_(this) {
    connect(&port_, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        const bool failure = error == QSerialPort::WriteError || error == QSerialPort::ReadError ||
                             error == QSerialPort::ResourceError;
        if (failure && port_.isOpen() && events_) {
            events_->linkError(port_.errorString());
        }
    });
    connect(&port_, &QSerialPort::readyRead, this, [this] {
        const QByteArray bytes = port_.readAll();
        if (events_ && !bytes.isEmpty()) {
            events_->bytesReceived(bytes);
        }
    });
}

bool QtSerialLink::open(const LinkTarget& target) {
    const SerialSettings& settings = target.serial;
    if (port_.isOpen()) {
        port_.close();
    }
    port_.setPortName(serialDevicePath(settings.portName, folder_));
    if (!port_.open(QIODevice::ReadWrite)) {
        return false;
    }
    // Settings are applied to the open port; a pty refuses some of them, which is no reason to
    // refuse the port.
    port_.setBaudRate(settings.baudRate);
    port_.setDataBits(dataBits(settings.dataBitsIndex));
    port_.setStopBits(stopBits(settings.stopBitsIndex));
    port_.setParity(parity(settings.parityIndex));
    port_.setFlowControl(flowControl(settings.flowControlIndex));
    port_.clear();
    // RTS drives the transmitter of many RS-485 converters; it is ours unless the flow control
    // has it.
    if (port_.flowControl() != QSerialPort::HardwareControl) {
        port_.setRequestToSend(true);
    }
    port_.setDataTerminalReady(false);
    if (events_) {
        events_->linkOpened();
    }
    return true;
}

void QtSerialLink::close() {
    if (port_.isOpen()) {
        port_.close();
    }
}

void QtSerialLink::send(QByteArrayView frame) {
    if (port_.isOpen()) {
        port_.write(frame.data(), frame.size());
    }
}

}  // namespace terval
