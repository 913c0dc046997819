#include "historian/historian_spool.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <QtEndian>
#include <array>

namespace terval {
namespace {

constexpr qint64 kHeader = 8;
// Far above any message the broker lets through; a length beyond it is a torn or foreign header.
constexpr quint32 kMaxRecord = 64u << 20;

}  // namespace

quint32 HistorianSpool::crc32(const QByteArray& bytes) {
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> t{};
        for (quint32 i = 0; i < 256; ++i) {
            quint32 c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[i] = c;
        }
        return t;
    }();
    quint32 c = 0xFFFFFFFFu;
    for (const char b : bytes) {
        c = table[(c ^ quint8(b)) & 0xFF] ^ (c >> 8);
    }
    return c ^ 0xFFFFFFFFu;
}

HistorianSpool::HistorianSpool(QString folder, Log log, qint64 fileBytes)
    : folder_(std::move(folder)), log_(std::move(log)), fileBytes_(fileBytes) {}

QString HistorianSpool::path(qint64 number, const char* suffix) const {
    return QDir(folder_).filePath(QStringLiteral("spool-%1.%2")
                                      .arg(number, 10, 10, QLatin1Char('0'))
                                      .arg(QLatin1String(suffix)));
}

bool HistorianSpool::open(QString* error) {
    if (folder_.isEmpty()) {
        *error = QStringLiteral("не задана папка очереди");
        return false;
    }
    QDir dir(folder_);
    if (!dir.mkpath(QStringLiteral("."))) {
        *error = QStringLiteral("папку очереди %1 не удалось создать").arg(folder_);
        return false;
    }
    if (!lock_) {
        auto lock = std::make_unique<QLockFile>(dir.filePath(QStringLiteral("spool.lock")));
        lock->setStaleLockTime(0);  // a lock left by a process that died is taken over
        if (!lock->tryLock(0)) {
            qint64 pid = 0;
            QString host, app;
            lock->getLockInfo(&pid, &host, &app);
            *error =
                lock->error() == QLockFile::LockFailedError
                    ? QStringLiteral("папку очереди %1 занял другой процесс (%2)")
                          .arg(folder_)
                          .arg(pid)
                    : QStringLiteral("в папке очереди %1 нельзя создать spool.lock").arg(folder_);
            return false;
        }
        lock_ = std::move(lock);
    }
    // A folder that only looks writable (read-only mount, another owner) is found now, not when
    // the database has gone and the first message must wait here.
    {
        QFile probe(dir.filePath(QStringLiteral(".probe")));
        if (!probe.open(QIODevice::WriteOnly) || probe.write("x", 1) != 1 || !probe.flush()) {
            *error = QStringLiteral("в папку очереди %1 нельзя писать: %2")
                         .arg(folder_, probe.errorString());
            return false;
        }
        probe.close();
        probe.remove();
    }
    files_.clear();
    bytes_ = 0;
    static const QRegularExpression name(QStringLiteral(R"(^spool-(\d{10})\.bin$)"));
    const QStringList names =
        dir.entryList({QStringLiteral("spool-*.bin")}, QDir::Files, QDir::Name);
    for (const QString& n : names) {
        const auto match = name.match(n);
        if (!match.hasMatch()) {
            continue;
        }
        File f;
        f.number = match.captured(1).toLongLong();
        QFile done(path(f.number, "done"));
        if (done.open(QIODevice::ReadOnly)) {
            f.done = qMax<qint64>(0, done.readAll().trimmed().toLongLong());
        }
        if (!scan(f)) {
            continue;
        }
        if (f.done >= f.size) {
            QFile::remove(path(f.number, "bin"));
            QFile::remove(path(f.number, "done"));
            continue;
        }
        bytes_ += f.size - f.done;
        files_.append(f);
    }
    // Leftover progress files of spool files already gone.
    for (const QString& n : dir.entryList({QStringLiteral("spool-*.done")}, QDir::Files)) {
        if (!QFile::exists(
                dir.filePath(QString(n).replace(QLatin1String(".done"), QLatin1String(".bin"))))) {
            dir.remove(n);
        }
    }
    peekedEnd_ = -1;
    return true;
}

// Walks the records from `done` on; a tail that is not a whole record with its checksum is cut off.
bool HistorianSpool::scan(File& f) {
    QFile file(path(f.number, "bin"));
    if (!file.open(QIODevice::ReadWrite)) {
        log_(QStringLiteral("Очередь на диске: файл %1 не открыт: %2")
                 .arg(file.fileName(), file.errorString()));
        return false;
    }
    const qint64 size = file.size();
    if (f.done > size) {
        f.done = size;
    }
    qint64 at = f.done;
    file.seek(at);
    while (at < size) {
        const QByteArray header = file.read(kHeader);
        if (header.size() < kHeader) {
            break;
        }
        const quint32 length = qFromBigEndian<quint32>(header.constData());
        const quint32 crc = qFromBigEndian<quint32>(header.constData() + 4);
        if (length > kMaxRecord || at + kHeader + length > size) {
            break;
        }
        const QByteArray body = file.read(length);
        if (body.size() != qsizetype(length) || crc32(body) != crc) {
            break;
        }
        at += kHeader + length;
    }
    if (at < size) {
        log_(QStringLiteral("Очередь на диске: в %1 после %2 байт неполная или испорченная запись, "
                            "отброшено %3 байт")
                 .arg(file.fileName())
                 .arg(at)
                 .arg(size - at));
        file.resize(at);
    }
    f.size = at;
    return true;
}

bool HistorianSpool::append(const QByteArray& record, QString* error) {
    if (files_.isEmpty() || files_.last().size >= fileBytes_) {
        File f;
        f.number = files_.isEmpty() ? 1 : files_.last().number + 1;
        // Numbers keep growing across restarts as long as a file is left; an empty spool starts
        // again from 1, and a stale progress file of that number must not be believed.
        QFile::remove(path(f.number, "done"));
        files_.append(f);
    }
    File& f = files_.last();
    QFile file(path(f.number, "bin"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        *error = file.errorString();
        if (f.size == 0) {
            files_.removeLast();
        }
        return false;
    }
    QByteArray bytes(kHeader, Qt::Uninitialized);
    qToBigEndian<quint32>(quint32(record.size()), bytes.data());
    qToBigEndian<quint32>(crc32(record), bytes.data() + 4);
    bytes += record;
    const qint64 written = file.write(bytes);
    if (written != bytes.size() || !file.flush()) {
        *error = file.errorString();
        // A partial record would be cut at the next open anyway; cut it now so that the next one
        // is not written behind it.
        file.resize(f.size);
        if (f.size == 0) {
            file.close();
            file.remove();
            files_.removeLast();
        }
        return false;
    }
    f.size += bytes.size();
    bytes_ += bytes.size();
    return true;
}

QList<QByteArray> HistorianSpool::peek(int max) {
    QList<QByteArray> out;
    peekedEnd_ = -1;
    while (!files_.isEmpty() && files_.first().done >= files_.first().size) {
        saveDone(files_.first());  // all taken: removed
    }
    if (files_.isEmpty()) {
        return out;
    }
    File& f = files_.first();
    QFile file(path(f.number, "bin"));
    if (!file.open(QIODevice::ReadOnly) || !file.seek(f.done)) {
        // Gone or unreadable under us: what it held cannot be had any more, and keeping it would
        // stop everything behind it.
        log_(QStringLiteral("Очередь на диске: файл %1 не прочитан (%2), его %3 байт потеряны")
                 .arg(file.fileName(), file.errorString())
                 .arg(f.size - f.done));
        bytes_ -= f.size - f.done;
        f.done = f.size;
        saveDone(f);
        return out;
    }
    qint64 at = f.done;
    while (out.size() < max && at < f.size) {
        const QByteArray header = file.read(kHeader);
        if (header.size() < kHeader) {
            break;
        }
        const quint32 length = qFromBigEndian<quint32>(header.constData());
        const quint32 crc = qFromBigEndian<quint32>(header.constData() + 4);
        const QByteArray body = length <= kMaxRecord ? file.read(length) : QByteArray();
        if (body.size() != qsizetype(length) || crc32(body) != crc) {
            // Changed under us since it was written: the rest of this file cannot be trusted.
            log_(QStringLiteral("Очередь на диске: в %1 после %2 байт испорченная запись, "
                                "остаток файла (%3 байт) отброшен")
                     .arg(file.fileName())
                     .arg(at)
                     .arg(f.size - at));
            bytes_ -= f.size - at;
            f.size = at;
            break;
        }
        out.append(body);
        at += kHeader + length;
    }
    peekedEnd_ = at;
    return out;
}

void HistorianSpool::take() {
    if (files_.isEmpty() || peekedEnd_ < 0) {
        return;
    }
    File& f = files_.first();
    bytes_ -= peekedEnd_ - f.done;
    f.done = peekedEnd_;
    peekedEnd_ = -1;
    saveDone(f);
}

// Removes the oldest file once it is all taken (when it is the newest too, the next append starts
// a new one); otherwise remembers how far it was taken.
void HistorianSpool::saveDone(File& f) {
    if (f.done >= f.size) {
        QFile::remove(path(f.number, "bin"));
        QFile::remove(path(f.number, "done"));
        files_.removeFirst();
        return;
    }
    QSaveFile done(path(f.number, "done"));
    if (done.open(QIODevice::WriteOnly)) {
        done.write(QByteArray::number(f.done));
        done.commit();
    }
}

}  // namespace terval
