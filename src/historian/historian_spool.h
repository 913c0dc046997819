#pragma once

#include <QByteArray>
#include <QList>
#include <QLockFile>
#include <QString>
#include <functional>
#include <memory>

namespace terval {

// What waits on disk while the database is away: an append-only set of files in one folder,
// "spool-<n>.bin", each a run of records [length u32][CRC-32 u32][bytes], big-endian. A record is
// written with one write and a flush; a crash may tear the last one, which the next open finds by
// its length or checksum and cuts off with a log line instead of reading it as something else.
//
// Records are taken back oldest first. What has been taken and written is remembered in
// "spool-<n>.done" (the byte offset reached), so that a restart does not write it twice; a file is
// removed once everything in it is taken.
class HistorianSpool {
  public:
    using Log = std::function<void(const QString& line)>;

    // `fileBytes`: a file's size beyond which the next record starts a new file.
    HistorianSpool(QString folder, Log log, qint64 fileBytes = kFileBytes);
    // Makes the folder when needed, checks that it can be written and reads what is in it,
    // cutting off torn tails. False with `error` when it cannot be used.
    bool open(QString* error);

    bool empty() const { return bytes_ == 0; }
    // Bytes of records not yet taken.
    qint64 bytes() const { return bytes_; }
    // False when the record could not be written (`error` says why); nothing is half-written
    // then that a later open would read.
    bool append(const QByteArray& record, QString* error);

    // Up to `max` of the oldest records not yet taken; `take()` then marks them done.
    QList<QByteArray> peek(int max);
    void take();

    static constexpr qint64 kFileBytes = 16 << 20;
    static quint32 crc32(const QByteArray& bytes);

  private:
    struct File {
        qint64 number = 0;
        qint64 done = 0;  // bytes taken from its start
        qint64 size = 0;
    };
    QString path(qint64 number, const char* suffix) const;
    bool scan(File& file);
    void saveDone(File& file);

    QString folder_;
    Log log_;
    qint64 fileBytes_;
    // One historian a folder: two appending to the same files would interleave their records.
    std::unique_ptr<QLockFile> lock_;
    QList<File> files_;  // oldest first
    qint64 bytes_ = 0;
    // Where what peek() gave ends in the oldest file.
    qint64 peekedEnd_ = -1;
};

}  // namespace terval
