#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace terval {

// An error to show the operator, or nothing when the operation succeeded.
using FileError = std::optional<QString>;

// Replaces the file as a whole: the new content goes to a temporary file in the same folder that is
// renamed over the old one only once it is completely on disk, and the folder is flushed after the
// rename. Whatever fails, the old file stays as it was, so a power cut or a full disk never leaves
// a half-written device list behind.
FileError saveFileAtomically(const QString& path, const QByteArray& bytes);

// Writes bytes in place at `offset`, creating the file when it does not exist; the rest of the file
// is left as it is.
FileError writeFileAt(const QString& path, qint64 offset, const QByteArray& bytes);

// Reads the whole file. nullopt in `bytes` means it could not be read; `error` then says why.
struct FileRead {
    bool exists = false;
    std::optional<QByteArray> bytes;
    QString error;
};
FileRead readWholeFile(const QString& path);

}  // namespace terval
