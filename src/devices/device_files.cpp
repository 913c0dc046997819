#include "devices/device_files.h"

#include "devices/error_text.h"

#include <QFileInfo>
#include <QtEndian>
#include <algorithm>

namespace terval {

QByteArray StationParams::toBytes() const {
    QByteArray bytes(kParamFileSize, '\0');
    const int32_t values[] = {PortNumber, TileColumns, VisibleRows, reserved};
    for (int i = 0; i < 4; ++i) {
        qToLittleEndian<int32_t>(values[i], bytes.data() + 4 * i);
    }
    return bytes;
}

ParamLoad loadParamFile(const QDir& folder) {
    ParamLoad result;
    const QString path = folder.filePath(kParamFileName);
    const FileRead file = readWholeFile(path);
    if (!file.exists) {
        if (FileError error = saveFileAtomically(path, result.params.toBytes())) {
            result.messages.errors << *error;
        }
        return result;
    }
    if (!file.bytes) {
        result.messages.errors << file.error +
                                      QStringLiteral("\nИспользуются значения по умолчанию.");
        return result;
    }
    if (file.bytes->size() < kParamFileSize) {
        result.messages.errors << QStringLiteral(
                                      "Файл %1 повреждён: в нём %2 байт вместо %3.\n"
                                      "Используются значения по умолчанию; файл не изменён.")
                                      .arg(kParamFileName)
                                      .arg(file.bytes->size())
                                      .arg(kParamFileSize);
        return result;
    }
    const char* data = file.bytes->constData();
    StationParams& p = result.params;
    p.PortNumber = qFromLittleEndian<int32_t>(data);
    p.TileColumns = qFromLittleEndian<int32_t>(data + 4);
    p.VisibleRows = qFromLittleEndian<int32_t>(data + 8);
    p.reserved = qFromLittleEndian<int32_t>(data + 12);

    const int32_t columns = std::clamp(p.TileColumns, kMinTileColumns, kMaxTileColumns);
    const int32_t rows = std::clamp(p.VisibleRows, kMinVisibleRows, kMaxVisibleRows);
    if (columns != p.TileColumns || rows != p.VisibleRows) {
        result.messages.warnings << QStringLiteral(
                                        "В файле %1 размер сетки %2 × %3 вне допустимых пределов "
                                        "(столбцов от %4 до %5, строк от %6 до %7).\n"
                                        "Используется %8 × %9.")
                                        .arg(kParamFileName)
                                        .arg(p.TileColumns)
                                        .arg(p.VisibleRows)
                                        .arg(kMinTileColumns)
                                        .arg(kMaxTileColumns)
                                        .arg(kMinVisibleRows)
                                        .arg(kMaxVisibleRows)
                                        .arg(columns)
                                        .arg(rows);
        p.TileColumns = columns;
        p.VisibleRows = rows;
    }
    return result;
}

FileError saveParamFile(const QDir& folder, const StationParams& params) {
    const QString path = folder.filePath(kParamFileName);
    QByteArray bytes = params.toBytes();
    const FileRead old = readWholeFile(path);
    if (old.bytes && old.bytes->size() > kParamFileSize) {
        bytes += old.bytes->mid(kParamFileSize);
    }
    return saveFileAtomically(path, bytes);
}

DeviceLoad loadDeviceFile(const QDir& folder) {
    DeviceLoad result;
    const FileRead file = readWholeFile(folder.filePath(kDeviceFileName));
    if (!file.exists) {
        return result;
    }
    if (!file.bytes) {
        result.readable = false;
        result.messages.errors << file.error +
                                      QStringLiteral(
                                          "\nСписок объектов не загружен. Чтобы не затереть "
                                          "файл, изменения списка в этом сеансе в него не "
                                          "записываются.");
        return result;
    }
    const int records = static_cast<int>(file.bytes->size() / kDeviceRecordSize);
    if (records > kMaxDevices) {
        result.messages.warnings << QStringLiteral(
                                        "В файле %1 %2, а станция ведёт не более %3 "
                                        "объектов.\nЗагружены первые %3; остальные записи "
                                        "не используются и будут удалены из файла при его "
                                        "следующей записи.")
                                        .arg(kDeviceFileName,
                                             russianCount(records, QStringLiteral("запись"),
                                                          QStringLiteral("записи"),
                                                          QStringLiteral("записей")))
                                        .arg(kMaxDevices);
    }
    const int used = std::min(records, kMaxDevices);
    for (int i = 0; i < used; ++i) {
        DeviceEntry e = DeviceEntry::fromRecord(file.bytes->constData() + i * kDeviceRecordSize);
        e.clearCounters();
        e.reserved16a = 0;
        e.reserved16b = 0;
        result.table.append(e);
    }
    return result;
}

FileError saveDeviceFile(const QDir& folder, const DeviceTable& table) {
    return saveFileAtomically(folder.filePath(kDeviceFileName), table.toFileBytes());
}

FileError appendDeviceRecord(const QDir& folder, const DeviceTable& table, int i) {
    const QString path = folder.filePath(kDeviceFileName);
    // In place only onto exactly the records before relay i. A file that holds more (a stale
    // tail) or fewer (an earlier add that failed, which an in-place write would fill with zeros,
    // a relay with no names at address 0 after the next start) is written anew.
    const QFileInfo file(path);
    if (!file.exists() || file.size() != static_cast<qint64>(i - 1) * kDeviceRecordSize) {
        return saveDeviceFile(folder, table);
    }
    return writeFileAt(path, static_cast<qint64>(i - 1) * kDeviceRecordSize,
                       table.entry(i).toRecord());
}

}  // namespace terval
