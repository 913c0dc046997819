#include "io/serial_link.h"

#include <QFileInfo>
#include <QSerialPortInfo>

#include "devices/connection_config.h"
#include "devices/error_text.h"
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

// What went wrong with the port, in the operator's words.
QString serialErrorText(QSerialPort::SerialPortError error) {
    switch (error) {
        case QSerialPort::DeviceNotFoundError:
            return QStringLiteral("Порт не найден.");
        case QSerialPort::PermissionError:
            return QStringLiteral("Порт занят другой программой, или нет права на доступ к нему.");
        case QSerialPort::OpenError:
            return QStringLiteral("Порт уже открыт.");
        case QSerialPort::WriteError:
            return QStringLiteral("Ошибка записи в порт.");
        case QSerialPort::ReadError:
            return QStringLiteral("Ошибка чтения из порта.");
        case QSerialPort::ResourceError:
            return QStringLiteral("Устройство порта больше недоступно (отключено от компьютера?).");
        case QSerialPort::TimeoutError:
            return QStringLiteral("Порт не ответил вовремя.");
        default:
            return QStringLiteral("Ошибка порта.");
    }
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
    for (int n = 1; n <= kComPortLimit; ++n) {
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
        // Closing a port whose device has gone raises errors of its own.
        if (!failure || !port_.isOpen() || closingLost_) {
            return;
        }
        const QString text = serialErrorText(error) + systemDetail(port_.errorString());
        // A device that has gone is closed at once: nothing queued is tried again, and no more
        // errors come from it. A port that is still there keeps going.
        const bool gone =
            error == QSerialPort::ResourceError || !QFileInfo::exists(port_.portName());
        if (gone) {
            closingLost_ = true;
            port_.close();  // drops whatever was still to be written
            closingLost_ = false;
        }
        if (events_) {
            if (gone) {
                events_->linkLost(text);
            } else {
                events_->linkError(text);
            }
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
