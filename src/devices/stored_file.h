#pragma once

#include <QByteArray>
#include <QDir>
#include <QString>
#include <optional>

namespace terval {

// An error to show the operator, or nothing when the operation succeeded.
using FileError = std::optional<QString>;

// The system calls a file replacement is made of, so that a test can make each of them fail. Each
// returns what its POSIX namesake returns and leaves errno set on failure.
class FileSteps {
  public:
    virtual ~FileSteps() = default;
    // A new file of a unique name made from `pattern` (ending in XXXXXX), open for writing.
    virtual int createTemporary(QByteArray& pattern);
    virtual long write(int fd, const char* data, size_t size);
    virtual int flush(int fd);  // fsync
    virtual int setMode(int fd, unsigned mode);
    virtual int close(int fd);
    virtual int rename(const char* from, const char* to);
    virtual int flushFolder(const char* folder);
    virtual int remove(const char* path);
};
FileSteps& systemFileSteps();

// Replaces the file as a whole: the new content goes to a temporary file in the same folder, every
// write checked and the file flushed to the disk, and only then is it renamed over the old one and
// the folder flushed. Whatever fails, the old file stays as it was and the temporary one is
// removed, so a power cut or a full disk never leaves a half-written or empty device list behind.
FileError saveFileAtomically(const QString& path, const QByteArray& bytes,
                             FileSteps& steps = systemFileSteps());

// Removes what replacements cut short by a power cut or a killed process left in the folder: the
// temporary files next to the stored ones. The stored files themselves are whole either way.
void removeLeftoverTemporaries(const QDir& folder);

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
