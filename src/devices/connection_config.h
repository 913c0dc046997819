#pragma once

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <optional>

#include "devices/stored_file.h"

namespace terval {

inline const QString kConfigFileName = QStringLiteral("config.cfg");
inline constexpr int kConfigRecordSize = 36;

enum LinkKind : uint16_t { kLinkRs232 = 0, kLinkRs485 = 1, kLinkTcp = 2 };

// The index tables of the record's serial fields.
inline constexpr std::array<int32_t, 16> kBaudRates = {0,     110,    300,    600,   1200,  2400,
                                                       4800,  9600,   14400,  19200, 38400, 56000,
                                                       57600, 115200, 128000, 256000};
inline constexpr int kDefaultBaudIndex = 10;      // 38400
inline constexpr int kDataBitsIndexCount = 4;     // 5, 6, 7, 8
inline constexpr int kStopBitsIndexCount = 3;     // 1, 1.5, 2
inline constexpr int kParityIndexCount = 5;       // none, odd, even, mark, space
inline constexpr int kFlowControlIndexCount = 4;  // hardware, software, none, custom

// The link the station uses and its parameters: the 36-byte record of config.cfg (little-endian).
struct ConnectionConfig {
    uint16_t LinkType = kLinkRs232;
    // Never read by the station; kept byte for byte so that a rewritten file keeps it.
    QByteArray reservedText = defaultReservedText();
    std::array<uint8_t, 4> ipAddress{0, 0, 0, 0};
    uint16_t tcpPort = 0;
    QString portName = QStringLiteral("COM1");
    uint8_t baudIndex = kDefaultBaudIndex;
    uint8_t dataBitsIndex = 3;
    uint8_t stopBitsIndex = 0;
    uint8_t parityIndex = 0;
    uint8_t flowControlIndex = 2;

    QByteArray toRecord() const;
    bool isSerial() const { return LinkType == kLinkRs232 || LinkType == kLinkRs485; }
    QString ipText() const;
    bool operator==(const ConnectionConfig&) const = default;

    static QByteArray defaultReservedText();
};

struct ConfigDecode {
    ConnectionConfig config;
    QStringList warnings;  // fields that were out of range and were read as their defaults
};
// `record` must hold at least kConfigRecordSize bytes.
ConfigDecode decodeConnectionConfig(const QByteArray& record);

struct ConfigLoad {
    ConnectionConfig config;
    QStringList errors;
    QStringList warnings;
};
// Reads config.cfg, creating it with the defaults when it is missing. A file too short to hold the
// record leaves the defaults in memory and is not rewritten.
ConfigLoad loadConfigFile(const QString& path);
FileError saveConfigFile(const QString& path, const ConnectionConfig& config);

// The serial ports the station can name: COM1 to COM96.
inline constexpr int kComPortLimit = 96;

// "COM" in any letter case is dropped and the rest read as a number; anything that is not a
// number from 1 to 96 becomes port 1.
int portNumberOf(const QString& name);
QString normalizePortName(const QString& name);

}  // namespace terval
