#include "journal/journal.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QUrl>
#include <QVariant>
#include <QtDebug>
#include <algorithm>
#include <atomic>
#include <limits>
#include <map>

#include "devices/device_table.h"
#include "devices/error_text.h"
#include "journal/insulation_trend.h"
#include "journal/journal_check.h"
#include "journal/journal_row.h"
#include "journal/journal_schema.h"
#include "journal/wal_checkpointer.h"

namespace terval {
namespace {

// Attempts to write held records: the first this long after the failure, each next one twice as
// long after the one before, up to the longest.
constexpr qint64 kFirstRetryMs = 1000;
constexpr qint64 kLongestRetryMs = 30000;
// A write-ahead log that has grown in a burst is cut back to this when it starts over.
constexpr int kLogSizeLimit = 4 * 1024 * 1024;

// SQLite's primary result codes, as Qt's driver passes them on in nativeErrorCode().
enum SqliteCode {
    kSqlitePerm = 3,
    kSqliteBusy = 5,
    kSqliteLocked = 6,
    kSqliteNoMem = 7,
    kSqliteReadOnly = 8,
    kSqliteIoErr = 10,
    kSqliteCorrupt = 11,
    kSqliteFull = 13,
    kSqliteCantOpen = 14,
    kSqliteAuth = 23,
    kSqliteNotADb = 26,
};

int sqliteCode(const QSqlError& error) {
    return error.nativeErrorCode().toInt();
}

bool isDamage(const QSqlError& error) {
    const int code = sqliteCode(error);
    return code == kSqliteCorrupt || code == kSqliteNotADb;
}

QString damageReason(const QSqlError& error) {
    return sqliteCode(error) == kSqliteNotADb ? QStringLiteral("это не файл базы данных")
                                              : QStringLiteral("его структура нарушена");
}

// What went wrong, in a phrase that fits after "Не удалось записать в журнал событий X: ".
QString reasonText(const QSqlError& error, const QString& path) {
    const QFileInfo folder(QFileInfo(path).absolutePath());
    switch (sqliteCode(error)) {
        case kSqliteFull:
            return QStringLiteral("на диске нет места");
        case kSqliteReadOnly:
            return QStringLiteral("файл или папка доступны только для чтения");
        case kSqliteCantOpen:
            if (!folder.exists()) {
                return QStringLiteral("папки %1 нет").arg(folder.absoluteFilePath());
            }
            if (!folder.isWritable()) {
                return QStringLiteral("нет права на запись в папку %1")
                    .arg(folder.absoluteFilePath());
            }
            return QStringLiteral("файл не удаётся открыть");
        case kSqliteIoErr:
            return QStringLiteral("ошибка ввода-вывода на диске");
        case kSqliteBusy:
        case kSqliteLocked:
            return QStringLiteral("файл занят другой программой");
        case kSqlitePerm:
        case kSqliteAuth:
            return QStringLiteral("нет права доступа к файлу");
        case kSqliteNoMem:
            return QStringLiteral("не хватает памяти");
        case kSqliteCorrupt:
        case kSqliteNotADb:
            return QStringLiteral("файл журнала повреждён");
        default:
            return error.nativeErrorCode().isEmpty()
                       ? QStringLiteral("ошибка базы данных")
                       : QStringLiteral("ошибка базы данных (код %1)").arg(error.nativeErrorCode());
    }
}

QString withoutJournalText() {
    return QStringLiteral("\nСтанция работает без журнала: события в него не записываются.");
}

QString timeText(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
}

QString connectionName() {
    static std::atomic<int> count{0};
    return QStringLiteral("terval-journal-%1").arg(++count);
}

const QString kColumns = QStringLiteral(
    "id, time_ms, kind, relay, address, generator, breaker, text, details, protocol");

struct Where {
    QString sql;
    QVariantList values;
};

Where whereOf(const JournalFilter& filter, const std::optional<JournalCursor>& after) {
    QStringList terms;
    QVariantList values;
    if (filter.relay) {
        terms << QStringLiteral("relay = ?");
        values << *filter.relay;
    }
    if (filter.kinds) {
        // One statement for every set of kinds, rather than one per length of an IN list.
        terms << QStringLiteral("((? >> kind) & 1) = 1");
        values << static_cast<qint64>(filter.kinds->bits());
    }
    if (filter.from.isValid()) {
        terms << QStringLiteral("time_ms >= ?");
        values << filter.from.toMSecsSinceEpoch();
    }
    if (filter.to.isValid()) {
        terms << QStringLiteral("time_ms < ?");
        values << filter.to.toMSecsSinceEpoch();
    }
    const QString needle = journalSearchFold(filter.text.trimmed());
    if (!needle.isEmpty()) {
        // instr() rather than LIKE: both sides are folded already, and nothing the operator
        // types is taken for a wildcard.
        terms << QStringLiteral("instr(search, ?) > 0");
        values << needle;
    }
    if (after) {
        terms << QStringLiteral("(time_ms, id) < (?, ?)");
        values << after->timeMs << after->id;
    }
    return {terms.isEmpty() ? QString() : QStringLiteral(" WHERE ") + terms.join(" AND "), values};
}

std::optional<QSqlError> trimJournal(QSqlDatabase& db, const QDateTime& now, int keepMonths) {
    if (keepMonths <= 0) {
        return std::nullopt;
    }
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT max(time_ms) FROM entries")) || !query.next()) {
        return query.lastError();
    }
    if (query.value(0).isNull()) {
        return std::nullopt;
    }
    // Counted back from the newest record when the computer's clock is ahead of it: a clock set
    // years ahead by mistake must not empty the journal at one start.
    const qint64 reference = std::min(now.toMSecsSinceEpoch(), query.value(0).toLongLong());
    const qint64 cutoff =
        QDateTime::fromMSecsSinceEpoch(reference).addMonths(-keepMonths).toMSecsSinceEpoch();
    // The newest record of each alarm stays whatever its age: it is how an alarm that has stood
    // unacknowledged for longer than the journal keeps comes back at the next start.
    if (!query.prepare(
            QStringLiteral(
                "DELETE FROM entries WHERE time_ms < ? AND id NOT IN (SELECT max(id) FROM entries "
                "WHERE kind = %1 GROUP BY json_extract(details, '$.id'))")
                .arg(static_cast<int>(JournalKind::AlarmChanged)))) {
        return query.lastError();
    }
    query.addBindValue(cutoff);
    if (!query.exec()) {
        return query.lastError();
    }
    return std::nullopt;
}

// The record on the query's row, selected as kColumns.
JournalEntry entryOfRow(const QSqlQuery& query) {
    JournalEntry entry;
    entry.id = query.value(0).toLongLong();
    entry.timeMs = query.value(1).toLongLong();
    entry.kind = journalKindFromCode(query.value(2).toInt());
    if (!query.value(3).isNull()) {
        entry.relay =
            JournalRelay{query.value(3).toInt(), static_cast<uint16_t>(query.value(4).toUInt()),
                         query.value(5).toString(), query.value(6).toString()};
    }
    entry.text = query.value(7).toString();
    entry.details =
        decodeDetails(entry.kind, query.value(8).toString().toUtf8(), query.value(9).toByteArray());
    return entry;
}

}  // namespace

struct Journal::Connection {
    explicit Connection(const QString& path) : name(connectionName()) {
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
    }
    ~Connection() {
        // A check still running is stopped where it is.
        check.reset();
        // The copying thread's connection goes first, so that the writer's is the last one and
        // SQLite copies the rest of the log and removes it when it closes.
        checkpointer.reset();
        // Every statement goes before the connection, and the connection before its name.
        insert.reset();
        reads.clear();
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
    }

    // A statement prepared once: a read for each shape of filter, and the trend's reads and writes.
    QSqlQuery* statement(const QString& sql, QSqlError* error) {
        auto found = reads.find(sql);
        if (found == reads.end()) {
            QSqlQuery query(db);
            query.setForwardOnly(true);
            if (!query.prepare(sql)) {
                *error = query.lastError();
                return nullptr;
            }
            found = reads.emplace(sql, std::move(query)).first;
        }
        return &found->second;
    }

    QString name;
    QSqlDatabase db;
    std::optional<QSqlQuery> insert;
    std::map<QString, QSqlQuery> reads;
    std::unique_ptr<WalCheckpointer> checkpointer;
    // The whole file's check, and where the file stood when it began: what is written after that
    // is carried over should the check find the file damaged.
    std::unique_ptr<JournalCheck> check;
    qint64 lastIdAtOpen = 0;
    qint64 openedMs = 0;

    void committed() {
        if (checkpointer) {
            checkpointer->committed();
        }
    }
};

struct Journal::Attempt {
    enum Outcome { Opened, Damaged, Failed };
    Outcome outcome = Failed;
    QString text;    // Damaged: why; Failed: the whole message
    QString detail;  // what SQLite said
};

Journal::Journal(QDir folder, const Clock& clock, MessageSink& messages, JournalOptions options)
    : folder_(std::move(folder)),
      clock_(clock),
      messages_(messages),
      options_(std::move(options)) {}

Journal::~Journal() {
    close();
}

QString Journal::filePath() const {
    return folder_.absoluteFilePath(options_.fileName);
}

bool Journal::open() {
    close();
    problem_.clear();
    lost_ = 0;
    const QString name = options_.fileName;
    const auto openFailure = [&](const QString& reason) {
        return QStringLiteral("Не удалось открыть журнал событий %1: %2.").arg(name, reason) +
               withoutJournalText();
    };
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE"))) {
        return fail(MessageIcon::Error,
                    openFailure(QStringLiteral(
                        "в системе нет драйвера SQLite для Qt (пакет libqt6sql6-sqlite)")));
    }
    if (QFileInfo(filePath()).isDir()) {
        return fail(MessageIcon::Error,
                    openFailure(QStringLiteral("под этим именем в папке находится другая папка")));
    }
    const Attempt first = attempt();
    if (first.outcome == Attempt::Opened) {
        writing_ = true;
        trimTrend();
        return writing_;
    }
    if (first.outcome == Attempt::Failed) {
        return fail(MessageIcon::Error, first.text);
    }
    QString aside;
    if (const auto error = setAside(&aside)) {
        return fail(MessageIcon::Error,
                    QStringLiteral("Журнал событий %1 повреждён (%2), и его не удалось "
                                   "переименовать: %3.")
                            .arg(name, first.text, *error) +
                        withoutJournalText() + systemDetail(first.detail));
    }
    const QString damaged = QStringLiteral("Журнал событий %1 повреждён (%2) и переименован в %3.")
                                .arg(name, first.text, aside);
    const Attempt second = attempt();
    if (second.outcome == Attempt::Failed) {
        return fail(MessageIcon::Error, damaged + QStringLiteral("\n") + second.text);
    }
    if (second.outcome == Attempt::Damaged) {
        return fail(MessageIcon::Error,
                    damaged +
                        QStringLiteral("\nНовый журнал тоже не открывается: %1.").arg(second.text) +
                        withoutJournalText());
    }
    writing_ = true;
    report(MessageIcon::Warning,
           damaged + QStringLiteral("\nНачат новый журнал.") + systemDetail(first.detail));
    trimTrend();
    return writing_;
}

bool Journal::openForReading() {
    close();
    problem_.clear();
    lost_ = 0;
    const QString name = options_.fileName;
    const QString leftAlone = QStringLiteral("\nФайл оставлен без изменений.");
    const auto refuse = [&](const QString& text) {
        return fail(MessageIcon::Error, text + leftAlone);
    };
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE"))) {
        return refuse(QStringLiteral("Не удалось открыть журнал событий %1: в системе нет драйвера "
                                     "SQLite для Qt (пакет libqt6sql6-sqlite).")
                          .arg(name));
    }
    const QFileInfo file(filePath());
    if (!file.exists()) {
        return fail(MessageIcon::Error,
                    QStringLiteral("В папке %1 нет журнала событий %2.")
                        .arg(QDir::toNativeSeparators(folder_.absolutePath()), name));
    }
    if (!file.isFile()) {
        return refuse(QStringLiteral("Журнал событий %1 — не файл.").arg(name));
    }
    auto c = std::make_unique<Connection>(filePath());
    // Read-only, SQLite writes nothing and reads a running station's write-ahead log through its
    // shared index, or from the log itself where the index cannot be written. Without a log (no
    // station has the file open) it would still make an empty log and index beside the file, so
    // the file is then read as it stands; readUndisturbed() tells whether a station opened it
    // meanwhile.
    readAsItStands_ = !QFileInfo::exists(filePath() + QStringLiteral("-wal"));
    if (readAsItStands_) {
        c->db.setDatabaseName(QUrl::fromLocalFile(filePath()).toString(QUrl::FullyEncoded) +
                              QStringLiteral("?mode=ro&immutable=1"));
        c->db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI"));
    } else {
        c->db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
    }
    const auto failed = [&](const QSqlError& error) {
        if (isDamage(error)) {
            return refuse(QStringLiteral("Журнал событий %1 повреждён (%2): выгрузить его нельзя.")
                              .arg(name, damageReason(error)) +
                          systemDetail(error.databaseText()));
        }
        return refuse(QStringLiteral("Не удалось прочитать журнал событий %1: %2.")
                          .arg(name, reasonText(error, filePath())) +
                      systemDetail(error.databaseText()));
    };
    if (!c->db.open()) {
        return failed(c->db.lastError());
    }
    QSqlQuery query(c->db);
    if (!query.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(options_.busyTimeoutMs)) ||
        !query.exec(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type = 'table'")) ||
        !query.next()) {
        return failed(query.lastError());
    }
    const int tables = query.value(0).toInt();
    if (!query.exec(QStringLiteral("PRAGMA application_id")) || !query.next()) {
        return failed(query.lastError());
    }
    if (tables == 0 || query.value(0).toInt() != kJournalApplicationId) {
        return refuse(QStringLiteral("В файле %1 не журнал станции, а %2: выгрузить его нельзя.")
                          .arg(name, tables == 0 ? QStringLiteral("пустая база данных")
                                                 : QStringLiteral("другая база данных")));
    }
    if (!query.exec(QStringLiteral("PRAGMA quick_check"))) {
        return failed(query.lastError());
    }
    QStringList problems;
    while (query.next()) {
        problems << query.value(0).toString();
    }
    if (problems != QStringList{QStringLiteral("ok")}) {
        return refuse(QStringLiteral("Журнал событий %1 повреждён (проверка целостности нашла "
                                     "ошибки): выгрузить его нельзя.")
                          .arg(name) +
                      systemDetail(problems.value(0)));
    }
    QSqlError versionError;
    const std::optional<int> version = journalSchemaVersion(c->db, &versionError);
    if (!version) {
        return failed(versionError);
    }
    if (*version > kJournalSchemaVersion) {
        return refuse(QStringLiteral("Журнал событий %1 записан более новой версией программы "
                                     "(версия журнала %2, эта программа знает версии до %3): "
                                     "выгрузить его нельзя.")
                          .arg(name)
                          .arg(*version)
                          .arg(kJournalSchemaVersion));
    }
    if (*version < kJournalSchemaVersion) {
        return refuse(
            QStringLiteral("Журнал событий %1 записан более старой версией программы "
                           "(версия журнала %2, эта программа пишет версию %3): выгрузить "
                           "его можно, когда станция, запущенная в этой папке, обновит "
                           "его.")
                .arg(name)
                .arg(*version)
                .arg(kJournalSchemaVersion));
    }
    query.finish();
    connection_ = std::move(c);
    return true;
}

bool Journal::readUndisturbed() const {
    return !readAsItStands_ || !QFileInfo::exists(filePath() + QStringLiteral("-wal"));
}

void Journal::trimTrend() {
    // A trend that cannot be trimmed has reported why through writeFailed().
    if (trend_) {
        trend_->trim();
    }
}

Journal::Attempt Journal::attempt() {
    const QString path = filePath();
    const QString name = options_.fileName;
    auto c = std::make_unique<Connection>(path);
    const auto failed = [&](const QSqlError& error) {
        if (isDamage(error)) {
            return Attempt{Attempt::Damaged, damageReason(error), error.databaseText()};
        }
        return Attempt{Attempt::Failed,
                       QStringLiteral("Не удалось открыть журнал событий %1: %2.")
                               .arg(name, reasonText(error, path)) +
                           withoutJournalText() + systemDetail(error.databaseText()),
                       {}};
    };
    if (!c->db.open()) {
        return failed(c->db.lastError());
    }
    QSqlQuery query(c->db);
    if (!query.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(options_.busyTimeoutMs))) {
        return failed(query.lastError());
    }

    // Reading only, up to the version: a file that is not ours, is damaged, or belongs to a newer
    // program shows itself before anything is written to it.
    if (!query.exec(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type = 'table'")) ||
        !query.next()) {
        return failed(query.lastError());
    }
    const int tables = query.value(0).toInt();
    if (!query.exec(QStringLiteral("PRAGMA application_id")) || !query.next()) {
        return failed(query.lastError());
    }
    if (tables > 0 && query.value(0).toInt() != kJournalApplicationId) {
        return {
            Attempt::Damaged, QStringLiteral("в нём не журнал станции, а другая база данных"), {}};
    }
    QSqlError versionError;
    const std::optional<int> version = journalSchemaVersion(c->db, &versionError);
    if (!version) {
        return failed(versionError);
    }
    if (*version > kJournalSchemaVersion) {
        return {Attempt::Failed,
                QStringLiteral("Журнал событий %1 записан более новой версией программы (версия "
                               "журнала %2, эта программа знает версии до %3).\nФайл оставлен без "
                               "изменений.")
                        .arg(name)
                        .arg(*version)
                        .arg(kJournalSchemaVersion) +
                    withoutJournalText(),
                {}};
    }

    // Writing from here on.
    if (!query.exec(QStringLiteral("PRAGMA journal_mode = WAL")) || !query.next()) {
        return failed(query.lastError());
    }
    if (query.value(0).toString().compare(QStringLiteral("wal"), Qt::CaseInsensitive) != 0) {
        return {Attempt::Failed,
                QStringLiteral("Не удалось открыть журнал событий %1: файл не переводится в режим "
                               "журнала упреждающей записи (WAL).")
                        .arg(name) +
                    withoutJournalText(),
                {}};
    }
    if (!query.exec(QStringLiteral("PRAGMA synchronous = NORMAL"))) {
        return failed(query.lastError());
    }
    query.finish();
    if (const auto error = migrateJournal(c->db, *version)) {
        return failed(*error);
    }
    if (const auto error = trimJournal(c->db, clock_.now(), options_.keepMonths)) {
        // Another program holding the file (a backup) does not cost the whole run its journal:
        // the old records go at the next start, and the first record waits like any other.
        const int code = sqliteCode(*error);
        if (code != kSqliteBusy && code != kSqliteLocked) {
            return failed(*error);
        }
    }
    // From here the log is copied into the file by a thread of its own, unless it cannot have a
    // connection, when SQLite's own copying stays on.
    if (!query.exec(QStringLiteral("PRAGMA wal_autocheckpoint = 0")) ||
        !query.exec(QStringLiteral("PRAGMA journal_size_limit = %1").arg(kLogSizeLimit))) {
        return failed(query.lastError());
    }
    c->checkpointer = std::make_unique<WalCheckpointer>(path);
    if (!c->checkpointer->running()) {
        c->checkpointer.reset();
        query.exec(QStringLiteral("PRAGMA wal_autocheckpoint = 1000"));
    }
    query.finish();
    c->insert.emplace(c->db);
    if (!c->insert->prepare(QStringLiteral(
            "INSERT INTO entries (time_ms, kind, relay, address, generator, breaker, text, "
            "details, protocol, search) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"))) {
        return failed(c->insert->lastError());
    }
    // The whole file is checked in the background (checked()): a start that waited for it would
    // wait the longer, the longer the journal. Damage in what the start itself reads shows above.
    if (!query.exec(QStringLiteral("SELECT max(id) FROM entries")) || !query.next()) {
        return failed(query.lastError());
    }
    c->lastIdAtOpen = query.value(0).toLongLong();
    query.finish();
    c->openedMs = clock_.now().toMSecsSinceEpoch();
    c->check = std::make_unique<JournalCheck>(
        path, [this](const JournalCheckResult& result) { checked(result); });
    connection_ = std::move(c);
    return {Attempt::Opened, {}, {}};
}

std::optional<QString> Journal::setAside(QString* asideName) {
    const QString base = options_.fileName + QStringLiteral(".broken-") +
                         clock_.now().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString name = base;
    for (int n = 2; folder_.exists(name) || folder_.exists(name + QStringLiteral("-wal")); ++n) {
        name = base + QStringLiteral("-%1").arg(n);
    }
    QFile file(filePath());
    if (!file.rename(folder_.absoluteFilePath(name))) {
        return fileErrorText(file.error(), filePath());
    }
    // The write-ahead log goes with its file, which is useless without it; the shared-memory
    // index is rebuilt from the log by whoever opens the file next.
    const QString wal = filePath() + QStringLiteral("-wal");
    if (QFile::exists(wal)) {
        QFile::rename(wal, folder_.absoluteFilePath(name + QStringLiteral("-wal")));
    }
    QFile::remove(filePath() + QStringLiteral("-shm"));
    *asideName = name;
    return std::nullopt;
}

void Journal::close() {
    // Records still waiting get one more attempt, whenever the last one was: the stop record
    // comes just before this.
    if (holding_ && connection_ && !inTransaction_) {
        writeHeld();
    }
    // The trend's samples still in memory go into the file it closes, inside a batch still open.
    if (trend_ && writing_) {
        trend_->flush();
    }
    if (connection_ && inTransaction_) {
        batchDepth_ = 1;
        commitBatch();
    }
    const size_t samples = trend_ ? trend_->pending() : 0;
    if (holding_ && (!held_.empty() || samples > 0)) {
        lost_ += static_cast<qint64>(held_.size());
        report(MessageIcon::Error,
               QStringLiteral("Журнал событий %1 закрыт, а записи, ждавшие в памяти, так и не "
                              "удалось записать (%2). Потеряно записей: %3, показаний изоляции: "
                              "%4.")
                   .arg(options_.fileName, holdReason_)
                   .arg(held_.size())
                   .arg(samples));
    }
    connection_.reset();
    writing_ = false;
    batchDepth_ = 0;
    inTransaction_ = false;
    pending_ = 0;
    transaction_.clear();
    resetHolding();
}

void Journal::resetHolding() {
    holding_ = false;
    held_.clear();
    holdReason_.clear();
    lastAttempt_ = {};
    nextAttempt_ = {};
    backoffMs_ = 0;
    droppedRecords_ = 0;
    droppedFromMs_ = 0;
    droppedToMs_ = 0;
    droppedSamples_ = 0;
    recordsOverflowTold_ = false;
    samplesOverflowTold_ = false;
}

bool Journal::fail(MessageIcon icon, const QString& text) {
    connection_.reset();
    writing_ = false;
    report(icon, text);
    return false;
}

void Journal::report(MessageIcon icon, const QString& text) {
    problem_ = text;
    messages_.showMessage(icon, text);
}

void Journal::stopWriting(const QString& reason, const QString& system) {
    if (inTransaction_) {
        connection_->insert->finish();
        // SQLite may have rolled back already; a second rollback is refused harmlessly.
        QSqlQuery(connection_->db).exec(QStringLiteral("ROLLBACK"));
        inTransaction_ = false;
        lost_ += pending_;
        pending_ = 0;
    }
    transaction_.clear();
    lost_ += static_cast<qint64>(held_.size());
    writing_ = false;
    resetHolding();
    report(MessageIcon::Error,
           QStringLiteral("Не удалось записать в журнал событий %1: %2.")
                   .arg(options_.fileName, reason) +
               QStringLiteral("\nДальше станция работает без журнала: события не записываются до "
                              "следующего запуска.") +
               systemDetail(system));
}

void Journal::failed(const QSqlError& error) {
    if (isDamage(error)) {
        stopWriting(reasonText(error, filePath()), error.databaseText());
    } else {
        startHolding(error);
    }
}

void Journal::startHolding(const QSqlError& error) {
    // What the failed transaction held waits first: it is older than anything to come.
    std::vector<JournalEntry> unwritten;
    if (inTransaction_) {
        connection_->insert->finish();
        QSqlQuery(connection_->db).exec(QStringLiteral("ROLLBACK"));
        inTransaction_ = false;
        pending_ = 0;
        unwritten.swap(transaction_);
    }
    transaction_.clear();
    const QDateTime now = clock_.now();
    lastAttempt_ = now;
    if (!holding_) {
        holding_ = true;
        backoffMs_ = kFirstRetryMs;
        holdReason_ = reasonText(error, filePath());
        report(MessageIcon::Error,
               QStringLiteral("Не удалось записать в журнал событий %1: %2.")
                       .arg(options_.fileName, holdReason_) +
                   QStringLiteral("\nЗаписи ждут в памяти (не больше %1) и будут записаны в "
                                  "журнал, как только он снова примет их: станция пробует "
                                  "через 1 с, потом всё реже, до раза в 30 с.")
                       .arg(options_.heldLimit) +
                   systemDetail(error.databaseText()));
    } else {
        backoffMs_ = std::min(backoffMs_ * 2, kLongestRetryMs);
    }
    nextAttempt_ = now.addMSecs(backoffMs_);
    for (const JournalEntry& entry : unwritten) {
        hold(entry);
    }
}

void Journal::hold(const JournalEntry& entry) {
    if (held_.size() < static_cast<size_t>(std::max(options_.heldLimit, 0))) {
        held_.push_back(entry);
        return;
    }
    if (droppedRecords_ == 0) {
        droppedFromMs_ = entry.timeMs;
    }
    ++droppedRecords_;
    droppedToMs_ = entry.timeMs;
    ++lost_;
    if (!recordsOverflowTold_) {
        recordsOverflowTold_ = true;
        report(MessageIcon::Error,
               QStringLiteral("Записей, ждущих записи в журнал событий %1 (%2), уже %3: больше "
                              "память станции не вмещает, и новые записи теряются, пока журнал не "
                              "примет ждущие. Сколько потеряно, будет записано в журнал.")
                   .arg(options_.fileName, holdReason_)
                   .arg(held_.size()));
    }
}

void Journal::samplesDropped(qint64 count, int limit) {
    if (!holding_ || count <= 0) {
        return;
    }
    droppedSamples_ += count;
    if (!samplesOverflowTold_) {
        samplesOverflowTold_ = true;
        report(MessageIcon::Error,
               QStringLiteral("Показаний изоляции, ждущих записи в журнал событий %1 (%2), уже "
                              "%3: больше память станции не вмещает, и новые показания теряются, "
                              "пока журнал не примет ждущие. Сколько потеряно, будет записано в "
                              "журнал.")
                   .arg(options_.fileName, holdReason_)
                   .arg(limit));
    }
}

JournalEntry Journal::lossRecord() const {
    QStringList parts;
    if (droppedRecords_ > 0) {
        parts << QStringLiteral("записей журнала — %1 (с %2 по %3)")
                     .arg(droppedRecords_)
                     .arg(timeText(droppedFromMs_), timeText(droppedToMs_));
    }
    if (droppedSamples_ > 0) {
        parts << QStringLiteral("показаний изоляции — %1").arg(droppedSamples_);
    }
    return JournalEntry{0,
                        clock_.now().toMSecsSinceEpoch(),
                        JournalKind::RecordsLost,
                        std::nullopt,
                        QStringLiteral("Потеряно, пока журнал не записывался (%1) и память "
                                       "ожидания была заполнена: %2")
                            .arg(holdReason_, parts.join(QStringLiteral(", "))),
                        {}};
}

bool Journal::retry(bool now) {
    if (!holding_) {
        return writing_;
    }
    if (!connection_ || inTransaction_) {
        return false;
    }
    const QDateTime time = clock_.now();
    // A clock set back since the last attempt does not put the next one off by as much.
    if (!now && time < nextAttempt_ && time >= lastAttempt_) {
        return false;
    }
    return writeHeld();
}

bool Journal::writeHeld() {
    const size_t count = held_.size();
    QSqlQuery begin(connection_->db);
    if (!begin.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        failed(begin.lastError());
        return false;
    }
    inTransaction_ = true;
    pending_ = 0;
    for (const JournalEntry& entry : held_) {
        if (!insertRow(entry)) {
            failed(connection_->insert->lastError());
            return false;
        }
    }
    if ((droppedRecords_ > 0 || droppedSamples_ > 0) && !insertRow(lossRecord())) {
        failed(connection_->insert->lastError());
        return false;
    }
    QSqlQuery commit(connection_->db);
    if (!commit.exec(QStringLiteral("COMMIT"))) {
        failed(commit.lastError());
        return false;
    }
    inTransaction_ = false;
    pending_ = 0;
    transaction_.clear();
    connection_->committed();
    const qint64 dropped = droppedRecords_;
    const qint64 droppedSamples = droppedSamples_;
    resetHolding();
    QString text = QStringLiteral(
                       "Журнал событий %1 снова записывается. Записано записей, ждавших "
                       "в памяти: %2.")
                       .arg(options_.fileName)
                       .arg(count);
    if (dropped > 0 || droppedSamples > 0) {
        text += QStringLiteral(
                    "\nПотеряно, пока память ожидания была заполнена: записей — %1, "
                    "показаний изоляции — %2.")
                    .arg(dropped)
                    .arg(droppedSamples);
    }
    report(MessageIcon::Information, text);
    return true;
}

bool Journal::insertRow(const JournalEntry& entry) {
    QSqlQuery& insert = *connection_->insert;
    insert.bindValue(0, entry.timeMs);
    insert.bindValue(1, static_cast<int>(entry.kind));
    if (entry.relay) {
        insert.bindValue(2, entry.relay->number);
        insert.bindValue(3, static_cast<int>(entry.relay->address));
        insert.bindValue(4, entry.relay->generator);
        insert.bindValue(5, entry.relay->breaker);
    } else {
        for (int i = 2; i <= 5; ++i) {
            insert.bindValue(i, QVariant());
        }
    }
    insert.bindValue(6, entry.text);
    const QByteArray details = encodeDetails(entry.details);
    insert.bindValue(7, details.isEmpty() ? QVariant() : QVariant(QString::fromUtf8(details)));
    const auto* event = std::get_if<ProtectionEventDetails>(&entry.details);
    insert.bindValue(
        8, event && event->record ? QVariant(encodeTripRecord(*event->record)) : QVariant());
    insert.bindValue(9, searchColumn(entry));
    return insert.exec();
}

bool Journal::append(const JournalEntry& entry) {
    lastAppendedId_.reset();
    if (!writing_) {
        ++lost_;
        return false;
    }
    if (!detailsFit(entry.kind, entry.details) ||
        (entry.relay && (entry.relay->number < 1 || entry.relay->number > kMaxDevices))) {
        qWarning("journal: a record of kind %d whose details or relay do not fit it was refused",
                 static_cast<int>(entry.kind));
        ++lost_;
        return false;
    }
    if (holding_ && !retry()) {
        if (!writing_) {  // the file turned out damaged
            ++lost_;
            return false;
        }
        const qint64 lostBefore = lost_;
        hold(entry);
        return lost_ == lostBefore;
    }
    if (!insertRow(entry)) {
        failed(connection_->insert->lastError());
        if (!writing_) {
            ++lost_;
            return false;
        }
        const qint64 lostBefore = lost_;
        hold(entry);
        return lost_ == lostBefore;
    }
    lastAppendedId_ = connection_->insert->lastInsertId().toLongLong();
    if (inTransaction_) {
        ++pending_;
        transaction_.push_back(entry);
    } else {
        connection_->committed();
    }
    return true;
}

bool Journal::append(JournalKind kind, const std::optional<JournalRelay>& relay,
                     const QString& text, const JournalDetails& details) {
    return append(JournalEntry{0, clock_.now().toMSecsSinceEpoch(), kind, relay, text, details});
}

void Journal::beginBatch() {
    if (batchDepth_++ > 0 || !writing_) {
        return;
    }
    // While records wait, the batch's records wait behind them, unless they can be written now.
    if (holding_ && !retry()) {
        return;
    }
    if (!writing_) {
        return;
    }
    QSqlQuery begin(connection_->db);
    if (!begin.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        failed(begin.lastError());
        return;
    }
    inTransaction_ = true;
    pending_ = 0;
    transaction_.clear();
}

void Journal::commitBatch() {
    if (batchDepth_ == 0 || --batchDepth_ > 0 || !inTransaction_) {
        return;
    }
    // Through a statement of its own rather than QSqlDatabase::commit(), whose error carries no
    // SQLite code to tell a full disk from anything else.
    QSqlQuery commit(connection_->db);
    if (!commit.exec(QStringLiteral("COMMIT"))) {
        failed(commit.lastError());
        return;
    }
    inTransaction_ = false;
    pending_ = 0;
    transaction_.clear();
    connection_->committed();
}

JournalRows Journal::read(const JournalFilter& filter, int limit,
                          std::optional<JournalCursor> after) {
    JournalRows rows;
    if (!connection_) {
        rows.error = readFailure();
        return rows;
    }
    if (limit <= 0) {
        return rows;
    }
    const Where where = whereOf(filter, after);
    QSqlError error;
    QSqlQuery* query = connection_->statement(
        QStringLiteral("SELECT ") + kColumns + QStringLiteral(" FROM entries") + where.sql +
            QStringLiteral(" ORDER BY time_ms DESC, id DESC LIMIT ?"),
        &error);
    int i = 0;
    if (query) {
        for (const QVariant& value : where.values) {
            query->bindValue(i++, value);
        }
        query->bindValue(i, limit);
    }
    if (!executed(query, error, rows.error)) {
        return rows;
    }
    rows.entries.reserve(static_cast<size_t>(limit));
    while (query->next()) {
        rows.entries.push_back(entryOfRow(*query));
    }
    // A statement left open would hold its read snapshot, and the log could not be checkpointed
    // past it.
    query->finish();
    return rows;
}

JournalCount Journal::count(const JournalFilter& filter) {
    JournalCount result;
    if (!connection_) {
        result.error = readFailure();
        return result;
    }
    const Where where = whereOf(filter, std::nullopt);
    QSqlError error;
    QSqlQuery* query =
        connection_->statement(QStringLiteral("SELECT count(*) FROM entries") + where.sql, &error);
    if (query) {
        int i = 0;
        for (const QVariant& value : where.values) {
            query->bindValue(i++, value);
        }
    }
    if (!query || !query->exec() || !query->next()) {
        if (query) {
            error = query->lastError();
        }
        result.error = readFailure(&error);
        return result;
    }
    result.rows = query->value(0).toLongLong();
    query->finish();
    return result;
}

JournalRows Journal::alarmRecordsBefore(qint64 beforeMs) {
    JournalRows rows;
    if (!connection_) {
        rows.error = readFailure();
        return rows;
    }
    QSqlError error;
    QSqlQuery* query = connection_->statement(
        QStringLiteral("SELECT ") + kColumns +
            QStringLiteral(" FROM entries WHERE id IN (SELECT max(id) FROM entries WHERE kind = ? "
                           "AND time_ms < ? GROUP BY json_extract(details, '$.id')) ORDER BY id"),
        &error);
    if (query) {
        query->bindValue(0, static_cast<int>(JournalKind::AlarmChanged));
        query->bindValue(1, beforeMs);
    }
    if (!executed(query, error, rows.error)) {
        return rows;
    }
    while (query->next()) {
        rows.entries.push_back(entryOfRow(*query));
    }
    query->finish();
    return rows;
}

JournalRows Journal::alarmRecords(std::optional<qint64> fromMs, qint64 toMs) {
    JournalRows rows;
    if (!connection_) {
        rows.error = readFailure();
        return rows;
    }
    // SQLite takes the few fields out of each record's JSON itself: parsing every record whole
    // would take most of the time of a year's report.
    QSqlError error;
    QSqlQuery* query = connection_->statement(
        QStringLiteral(
            "SELECT id, time_ms, relay, address, generator, breaker, json_extract(details, "
            "'$.kind'), json_extract(details, '$.address'), json_extract(details, '$.state'), "
            "json_extract(details, '$.change'), json_extract(details, '$.suppressed'), "
            "json_extract(details, '$.raisedAtMs') FROM entries WHERE kind = ? AND time_ms >= ? "
            "AND time_ms < ? ORDER BY time_ms, id"),
        &error);
    if (query) {
        query->bindValue(0, static_cast<int>(JournalKind::AlarmChanged));
        query->bindValue(1, fromMs.value_or(std::numeric_limits<qint64>::min()));
        query->bindValue(2, toMs);
    }
    if (!executed(query, error, rows.error)) {
        return rows;
    }
    while (query->next()) {
        JournalEntry entry;
        entry.id = query->value(0).toLongLong();
        entry.timeMs = query->value(1).toLongLong();
        entry.kind = JournalKind::AlarmChanged;
        if (!query->value(2).isNull()) {
            entry.relay = JournalRelay{query->value(2).toInt(),
                                       static_cast<uint16_t>(query->value(3).toUInt()),
                                       query->value(4).toString(), query->value(5).toString()};
        }
        // Read as a whole record is: a kind or state of a newer program leaves the link's alarm
        // in its normal state, an unknown change counts as restored.
        AlarmDetails d;
        const auto kind = alarmKindFromName(query->value(6).toString());
        const auto state = alarmStateFromName(query->value(8).toString());
        if (kind && state) {
            d.alarm.kind = *kind;
            d.alarm.state = *state;
        }
        d.alarm.address =
            static_cast<uint16_t>(std::clamp<qint64>(query->value(7).toLongLong(), 0, 0xFFFF));
        d.change = alarmChangeFromName(query->value(9).toString()).value_or(AlarmChange::Restored);
        d.alarm.suppressed = query->value(10).toInt() != 0;
        if (!query->value(11).isNull()) {
            d.alarm.raisedAtMs = query->value(11).toLongLong();
        }
        entry.details = std::move(d);
        rows.entries.push_back(std::move(entry));
    }
    query->finish();
    return rows;
}

std::vector<Alarm> Journal::standingAlarms() {
    std::vector<Alarm> standing;
    for (const JournalEntry& e : alarmRecordsBefore(std::numeric_limits<qint64>::max()).entries) {
        if (const auto* d = std::get_if<AlarmDetails>(&e.details);
            d != nullptr && (d->alarm.state != AlarmState::Normal || d->alarm.shelved())) {
            standing.push_back(d->alarm);
        }
    }
    return standing;
}

bool Journal::executed(QSqlQuery* query, QSqlError& error, QString& failure) const {
    if (query && query->exec()) {
        return true;
    }
    if (query) {
        error = query->lastError();
    }
    failure = readFailure(&error);
    return false;
}

NumberedEvents Journal::protectionEventsAfter(qint64 afterId, int limit) {
    NumberedEvents rows;
    if (!connection_) {
        rows.error = readFailure();
        return rows;
    }
    if (limit <= 0) {
        return rows;
    }
    // Both walk the rowid from a known record, so that neither reads more than the records
    // between two events, however long the journal.
    QSqlError error;
    QSqlQuery* query = connection_->statement(
        QStringLiteral("SELECT ") + kColumns +
            QStringLiteral(
                ", (SELECT p.id FROM entries p WHERE p.kind = ? AND p.id < e.id ORDER BY "
                "p.id DESC LIMIT 1) FROM entries e WHERE e.kind = ? AND e.id > ? ORDER "
                "BY e.id LIMIT ?"),
        &error);
    if (query) {
        query->bindValue(0, static_cast<int>(JournalKind::ProtectionEvent));
        query->bindValue(1, static_cast<int>(JournalKind::ProtectionEvent));
        query->bindValue(2, afterId);
        query->bindValue(3, limit);
    }
    if (!executed(query, error, rows.error)) {
        return rows;
    }
    while (query->next()) {
        rows.entries.push_back(entryOfRow(*query));
        rows.previous.push_back(query->value(10).toLongLong());
    }
    query->finish();
    return rows;
}

std::optional<qint64> Journal::newestProtectionEvent() {
    QSqlError error;
    QSqlQuery* query = statement(
        QStringLiteral("SELECT id FROM entries WHERE kind = ? ORDER BY id DESC LIMIT 1"), &error);
    if (!query) {
        return std::nullopt;
    }
    query->bindValue(0, static_cast<int>(JournalKind::ProtectionEvent));
    if (!query->exec()) {
        return std::nullopt;
    }
    const qint64 id = query->next() ? query->value(0).toLongLong() : 0;
    query->finish();
    return id;
}

std::optional<qint64> Journal::mark(const QString& name) {
    QSqlError error;
    QSqlQuery* query = statement(QStringLiteral("SELECT value FROM marks WHERE name = ?"), &error);
    if (!query) {
        return std::nullopt;
    }
    query->bindValue(0, name);
    if (!query->exec() || !query->next()) {
        return std::nullopt;
    }
    const qint64 value = query->value(0).toLongLong();
    query->finish();
    return value;
}

bool Journal::storeMark(const QString& name, qint64 value) {
    // While records wait for a file another program holds, this would wait its busy timeout on
    // the UI thread as well.
    if (!writing_ || holding_) {
        return false;
    }
    QSqlError error;
    QSqlQuery* query = statement(
        QStringLiteral("INSERT INTO marks (name, value) VALUES (?, ?) ON CONFLICT (name) DO "
                       "UPDATE SET value = excluded.value"),
        &error);
    if (!query) {
        return false;
    }
    query->bindValue(0, name);
    query->bindValue(1, value);
    const bool stored = query->exec();
    query->finish();
    if (stored && !inTransaction_) {
        connection_->committed();
    }
    return stored;
}

QSqlQuery* Journal::statement(const QString& sql, QSqlError* error) {
    if (!connection_) {
        return nullptr;
    }
    QSqlError failure;
    QSqlQuery* query = connection_->statement(sql, &failure);
    if (!query && error) {
        *error = failure;
    }
    return query;
}

bool Journal::checkpoint() {
    if (!connection_ || inTransaction_) {
        return false;
    }
    QSqlQuery query(connection_->db);
    // The first column is 1 when another connection kept the log from being copied whole.
    return query.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)")) && query.next() &&
           query.value(0).toInt() == 0;
}

void Journal::writeFailed(const QSqlError& error) {
    if (!writing_) {
        return;
    }
    failed(error);
}

QString Journal::readFailure(const QSqlError* error) const {
    if (!error || !connection_) {
        return problem_.isEmpty() ? QStringLiteral("Журнал событий не открыт.") : problem_;
    }
    return QStringLiteral("Не удалось прочитать журнал событий %1: %2.")
               .arg(options_.fileName, reasonText(*error, filePath())) +
           systemDetail(error->databaseText());
}

void Journal::checked(const JournalCheckResult& result) {
    // A batch is never open across a turn of the event loop; should one be, the file is set
    // aside at the next start instead, where the check runs again.
    if (result.outcome != JournalCheckResult::Damaged || !connection_ || batchDepth_ > 0) {
        return;
    }
    const QString name = options_.fileName;
    const qint64 lastId = connection_->lastIdAtOpen;
    const qint64 openedMs = connection_->openedMs;

    // What was written since the file was opened goes on in the new one: the records, and the
    // trend's samples and levels (the samples still in memory go there anyway). What cannot be
    // read any more stays in the file set aside.
    std::vector<JournalEntry> records;
    JournalFilter since;
    // Counted back an hour, for a clock set back a little meanwhile; the ids decide.
    since.from = QDateTime::fromMSecsSinceEpoch(openedMs - kHourMs);
    bool carriedAll = true;
    std::optional<JournalCursor> after;
    for (;;) {
        constexpr int kPage = 1000;
        JournalRows rows = read(since, kPage, after);
        carriedAll = carriedAll && rows.error.isEmpty();
        for (JournalEntry& entry : rows.entries) {
            after = cursorAfter(entry);
            if (entry.id > lastId) {
                records.push_back(std::move(entry));
            }
        }
        if (rows.entries.size() < size_t(kPage)) {
            break;
        }
    }
    std::reverse(records.begin(), records.end());
    std::vector<InsulationSample> samples;
    std::vector<std::pair<uint16_t, AlarmLevels>> levels;
    if (trend_) {
        QSqlError error;
        QSqlQuery* sampleQuery =
            statement(QStringLiteral("SELECT time_ms, insulation, control FROM trend_samples WHERE "
                                     "address = ? AND time_ms >= ? ORDER BY time_ms"),
                      &error);
        QSqlQuery* levelQuery = statement(
            QStringLiteral("SELECT read_ms, signal, trip FROM alarm_levels WHERE address = ? AND "
                           "read_ms >= ? ORDER BY read_ms"),
            &error);
        if (!sampleQuery || !levelQuery) {
            carriedAll = false;
        }
        for (uint16_t address = 1; sampleQuery && levelQuery && address <= 247; ++address) {
            for (QSqlQuery* query : {sampleQuery, levelQuery}) {
                query->bindValue(0, address);
                query->bindValue(1, openedMs);
                if (!query->exec()) {
                    carriedAll = false;
                    continue;
                }
                while (query->next()) {
                    const qint64 timeMs = query->value(0).toLongLong();
                    const auto first = static_cast<uint16_t>(query->value(1).toUInt());
                    const auto second = static_cast<uint16_t>(query->value(2).toUInt());
                    if (query == sampleQuery) {
                        samples.push_back({address, timeMs, first, second});
                    } else {
                        levels.push_back({address, AlarmLevels{timeMs, first, second}});
                    }
                }
                carriedAll = carriedAll && !query->lastError().isValid();
                query->finish();
            }
        }
    }

    connection_.reset();
    QString aside;
    if (const auto error = setAside(&aside)) {
        fail(MessageIcon::Error,
             QStringLiteral("Журнал событий %1 повреждён (проверка целостности нашла ошибки), и "
                            "его не удалось переименовать: %2.")
                     .arg(name, *error) +
                 withoutJournalText() + systemDetail(result.detail));
        return;
    }
    const QString damaged = QStringLiteral(
                                "Журнал событий %1 повреждён (проверка целостности нашла ошибки) "
                                "и переименован в %2.")
                                .arg(name, aside);
    const Attempt next = attempt();
    if (next.outcome != Attempt::Opened) {
        fail(MessageIcon::Error,
             damaged + QStringLiteral("\nНовый журнал не открывается: %1").arg(next.text) +
                 (next.outcome == Attempt::Damaged ? withoutJournalText() : QString()));
        return;
    }
    writing_ = true;
    for (const JournalEntry& entry : records) {
        append(entry);
    }
    for (const InsulationSample& sample : samples) {
        trend_->add(sample);
    }
    for (const auto& [address, level] : levels) {
        trend_->storeLevels(address, level);
    }
    report(MessageIcon::Warning,
           damaged + QStringLiteral("\nНачат новый журнал") +
               (carriedAll ? QStringLiteral("; записи, сделанные с запуска станции, перенесены в "
                                            "него.")
                           : QStringLiteral("; не все записи, сделанные с запуска станции, удалось "
                                            "перенести в него: остальные остались в %1.")
                                 .arg(aside)) +
               systemDetail(result.detail));
}

}  // namespace terval
