#pragma once

#include <QFileDevice>
#include <QString>

namespace terval {

// What went wrong with a file, as a Russian phrase that fits after "Не удалось записать файл X: ".
// The folder and the file are looked at, since Qt's codes alone do not tell a missing right from
// a full disk.
QString fileErrorText(QFileDevice::FileError error, const QString& path);

// What a failed system call on the file at `path` means, from its errno, in the same kind of
// phrase.
QString errnoText(int code, const QString& path);

// The system's own words, on a line of their own under the Russian sentence; nothing when it said
// nothing.
QString systemDetail(const QString& systemText);

// A count with its noun in the Russian form that follows it: 1 запись, 33 записи, 35 записей,
// 111 записей.
QString russianCount(long long n, const QString& one, const QString& few, const QString& many);

}  // namespace terval
