#include "devices/connection_config.h"

#include <QtEndian>
#include <cstring>

#include "devices/short_string.h"

namespace terval {
namespace {

constexpr int kLinkTypeOffset = 0;
constexpr int kReservedTextOffset = 2;
constexpr int kIpOffset = 13;
constexpr int kTcpPortOffset = 18;
constexpr int kPortNameOffset = 20;
constexpr int kBaudOffset = 31;
constexpr int kDataBitsOffset = 32;
constexpr int kStopBitsOffset = 33;
constexpr int kParityOffset = 34;
constexpr int kFlowOffset = 35;

}  // namespace

QByteArray ConnectionConfig::defaultReservedText() {
    QByteArray field(kShortStringBytes, '\0');
    writeShortString(field.data(), QStringLiteral("vuzkal"));
    return field;
}

QString ConnectionConfig::ipText() const {
    return QStringLiteral("%1.%2.%3.%4")
        .arg(ipAddress[0])
        .arg(ipAddress[1])
        .arg(ipAddress[2])
        .arg(ipAddress[3]);
}

QByteArray ConnectionConfig::toRecord() const {
    QByteArray record(kConfigRecordSize, '\0');
    char* r = record.data();
    qToLittleEndian<uint16_t>(LinkType, r + kLinkTypeOffset);
    std::memcpy(r + kReservedTextOffset, reservedText.constData(),
                static_cast<size_t>(std::min<qsizetype>(reservedText.size(), kShortStringBytes)));
    for (int i = 0; i < 4; ++i) {
        r[kIpOffset + i] = static_cast<char>(ipAddress[static_cast<size_t>(i)]);
    }
    qToLittleEndian<uint16_t>(tcpPort, r + kTcpPortOffset);
    writeShortString(r + kPortNameOffset, portName);
    r[kBaudOffset] = static_cast<char>(baudIndex);
    r[kDataBitsOffset] = static_cast<char>(dataBitsIndex);
    r[kStopBitsOffset] = static_cast<char>(stopBitsIndex);
    r[kParityOffset] = static_cast<char>(parityIndex);
    r[kFlowOffset] = static_cast<char>(flowControlIndex);
    return record;
}

ConfigDecode decodeConnectionConfig(const QByteArray& record) {
    ConfigDecode result;
    ConnectionConfig& c = result.config;
    const ConnectionConfig defaults;
    const char* r = record.constData();
    auto byteAt = [r](int offset) { return static_cast<uint8_t>(r[offset]); };
    auto outOfRange = [&result](const QString& field, int value, const QString& used) {
        result.warnings << QStringLiteral("%1: недопустимое значение %2, используется %3.")
                               .arg(field)
                               .arg(value)
                               .arg(used);
    };

    c.LinkType = qFromLittleEndian<uint16_t>(r + kLinkTypeOffset);
    if (c.LinkType > kLinkTcp) {
        outOfRange(QStringLiteral("Тип связи"), c.LinkType, QStringLiteral("RS-232"));
        c.LinkType = defaults.LinkType;
    }
    c.reservedText = record.mid(kReservedTextOffset, kShortStringBytes);
    for (int i = 0; i < 4; ++i) {
        c.ipAddress[static_cast<size_t>(i)] = byteAt(kIpOffset + i);
    }
    c.tcpPort = qFromLittleEndian<uint16_t>(r + kTcpPortOffset);

    if (byteAt(kPortNameOffset) > kShortStringCapacity) {
        outOfRange(QStringLiteral("Длина имени порта"), byteAt(kPortNameOffset), defaults.portName);
    } else {
        c.portName = normalizePortName(readShortString(r + kPortNameOffset));
    }

    struct IndexField {
        const char* name;
        int offset;
        int count;
        uint8_t ConnectionConfig::*field;
    };
    const IndexField fields[] = {
        {"Скорость порта", kBaudOffset, static_cast<int>(kBaudRates.size()),
         &ConnectionConfig::baudIndex},
        {"Биты данных", kDataBitsOffset, kDataBitsIndexCount, &ConnectionConfig::dataBitsIndex},
        {"Стоповые биты", kStopBitsOffset, kStopBitsIndexCount, &ConnectionConfig::stopBitsIndex},
        {"Чётность", kParityOffset, kParityIndexCount, &ConnectionConfig::parityIndex},
        {"Управление потоком", kFlowOffset, kFlowControlIndexCount,
         &ConnectionConfig::flowControlIndex},
    };
    for (const IndexField& f : fields) {
        const uint8_t value = byteAt(f.offset);
        if (value >= f.count) {
            outOfRange(QString::fromUtf8(f.name), value,
                       QStringLiteral("значение по умолчанию (%1)").arg(defaults.*(f.field)));
        } else {
            c.*(f.field) = value;
        }
    }
    return result;
}

ConfigLoad loadConfigFile(const QString& path) {
    ConfigLoad result;
    const FileRead file = readWholeFile(path);
    if (!file.exists) {
        if (FileError error = saveConfigFile(path, result.config)) {
            result.errors << *error;
        }
        return result;
    }
    if (!file.bytes) {
        result.errors << file.error +
                             QStringLiteral("\nИспользуются настройки связи по умолчанию.");
        return result;
    }
    if (file.bytes->size() < kConfigRecordSize) {
        result.errors << QStringLiteral(
                             "Файл %1 повреждён: в нём %2 байт вместо %3.\n"
                             "Используются настройки связи по умолчанию; файл не изменён.")
                             .arg(kConfigFileName)
                             .arg(file.bytes->size())
                             .arg(kConfigRecordSize);
        return result;
    }
    ConfigDecode decoded = decodeConnectionConfig(*file.bytes);
    result.config = decoded.config;
    if (!decoded.warnings.isEmpty()) {
        result.warnings << QStringLiteral("Файл %1 содержит недопустимые значения:\n%2")
                               .arg(kConfigFileName, decoded.warnings.join(QLatin1Char('\n')));
    }
    return result;
}

FileError saveConfigFile(const QString& path, const ConnectionConfig& config) {
    return saveFileAtomically(path, config.toRecord());
}

int portNumberOf(const QString& name) {
    QString digits = name.trimmed();
    if (digits.startsWith(QLatin1String("COM"), Qt::CaseInsensitive)) {
        digits = digits.mid(3);
    }
    bool ok = false;
    const int number = digits.toInt(&ok, 10);
    return ok && number >= 1 && number <= kComPortLimit ? number : 1;
}

QString normalizePortName(const QString& name) {
    return QStringLiteral("COM%1").arg(portNumberOf(name));
}

}  // namespace terval
