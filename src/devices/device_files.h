#pragma once

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QStringList>
#include <cstdint>

#include "devices/device_table.h"
#include "devices/stored_file.h"

namespace terval {

inline const QString kDeviceFileName = QStringLiteral("gen.dat");
inline const QString kParamFileName = QStringLiteral("param.dat");
inline constexpr int kParamFileSize = 16;

inline constexpr int kMinTileColumns = 3;
inline constexpr int kMaxTileColumns = 15;
inline constexpr int kMinVisibleRows = 1;
inline constexpr int kMaxVisibleRows = 10;

// The station-wide values of param.dat: four 32-bit little-endian integers.
struct StationParams {
    int32_t PortNumber = 1;
    int32_t TileColumns = 7;
    int32_t VisibleRows = 3;
    int32_t reserved = 0;

    QByteArray toBytes() const;
    bool operator==(const StationParams&) const = default;
};

// What loading a file has to tell the operator. Errors and warnings are shown in that order.
struct LoadMessages {
    QStringList errors;
    QStringList warnings;
};

struct ParamLoad {
    StationParams params;
    LoadMessages messages;
};

// Reads param.dat, creating it with the defaults when it is missing. A broken file leaves the
// defaults in memory and is not rewritten; values outside the grid limits are brought to the
// nearest limit in memory only.
ParamLoad loadParamFile(const QDir& folder);

// Writes the four values from offset 0. Bytes that an older file holds beyond them are kept.
FileError saveParamFile(const QDir& folder, const StationParams& params);

struct DeviceLoad {
    DeviceTable table;
    // False when gen.dat exists but could not be read: writing it then would destroy the list
    // it still holds.
    bool readable = true;
    LoadMessages messages;
};

// Reads gen.dat: whole records, at most the table's 32; a trailing part shorter than one record is
// not read. The link counters start from 0 in every run.
DeviceLoad loadDeviceFile(const QDir& folder);

// gen.dat anew from entries 1 to DeviceCount.
FileError saveDeviceFile(const QDir& folder, const DeviceTable& table);

// Writes entry i in place as record i of gen.dat (relay i has just been added at the end).
FileError appendDeviceRecord(const QDir& folder, const DeviceTable& table, int i);

}  // namespace terval
