#include "devices/short_string.h"

#include <QStringDecoder>
#include <QStringEncoder>
#include <algorithm>
#include <cstring>

namespace terval {

QByteArray toWin1251(const QString& text) {
    QStringEncoder encoder("windows-1251", QStringConverter::Flag::Default);
    return encoder(text);
}

QString fromWin1251(QByteArrayView bytes) {
    QStringDecoder decoder("windows-1251", QStringConverter::Flag::Default);
    return decoder(bytes);
}

QString storedShortString(const QString& text) {
    char field[kShortStringBytes];
    writeShortString(field, text);
    return readShortString(field);
}

void writeShortString(char* field, const QString& text) {
    const QByteArray bytes = toWin1251(text.left(kShortStringCapacity)).left(kShortStringCapacity);
    std::memset(field, 0, kShortStringBytes);
    field[0] = static_cast<char>(bytes.size());
    std::memcpy(field + 1, bytes.constData(), static_cast<size_t>(bytes.size()));
}

QString readShortString(const char* field) {
    const int length = std::min<int>(static_cast<unsigned char>(field[0]), kShortStringCapacity);
    return fromWin1251(QByteArrayView(field + 1, length));
}

}  // namespace terval
