#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The relays' names and the port name live in the stored records as one length byte followed by up
// to ten Windows-1251 characters (the same form the files have always had, so old files keep
// working).
namespace terval {

inline constexpr int kShortStringCapacity = 10;
inline constexpr int kShortStringBytes = kShortStringCapacity + 1;

QByteArray toWin1251(const QString& text);
QString fromWin1251(QByteArrayView bytes);

// What a name becomes once stored: cut to ten characters and passed through the code page, so that
// a character the code page lacks compares the way it will read back after a restart.
QString storedShortString(const QString& text);

// Writes the length byte and the text into an 11-byte field; the bytes after the text are zero.
void writeShortString(char* field, const QString& text);

// A length byte above 10 is read as 10: the field never holds more, whatever the byte says.
QString readShortString(const char* field);

}  // namespace terval
