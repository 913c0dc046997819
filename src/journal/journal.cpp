#include "journal/journal.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>
#include <QtDebug>
#include <algorithm>
#include <atomic>
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

// Another writer of the same file (a second station started in the same folder) holds the UI
// thread no longer than this before the record is given up.
constexpr int kBusyTimeoutMs = 200;
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
    if (!query.prepare(QStringLiteral("DELETE FROM entries WHERE time_ms < ?"))) {
        return query.lastError();
    }
    query.addBindValue(cutoff);
    if (!query.exec()) {
        return query.lastError();
    }
    return std::nullopt;
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
    if (!query.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(kBusyTimeoutMs))) {
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
        return failed(*error);
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
    // The trend's samples still in memory go into the file it closes, inside a batch still open.
    if (trend_ && writing_) {
        trend_->flush();
    }
    if (connection_ && inTransaction_) {
        batchDepth_ = 1;
        commitBatch();
    }
    connection_.reset();
    writing_ = false;
    batchDepth_ = 0;
    inTransaction_ = false;
    pending_ = 0;
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
    writing_ = false;
    report(MessageIcon::Error,
           QStringLiteral("Не удалось записать в журнал событий %1: %2.")
                   .arg(options_.fileName, reason) +
               QStringLiteral("\nДальше станция работает без журнала: события не записываются до "
                              "следующего запуска.") +
               systemDetail(system));
}

bool Journal::append(const JournalEntry& entry) {
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
    if (!insert.exec()) {
        const QSqlError error = insert.lastError();
        ++lost_;
        stopWriting(reasonText(error, filePath()), error.databaseText());
        return false;
    }
    if (inTransaction_) {
        ++pending_;
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
    QSqlQuery begin(connection_->db);
    if (!begin.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        stopWriting(reasonText(begin.lastError(), filePath()), begin.lastError().databaseText());
        return;
    }
    inTransaction_ = true;
    pending_ = 0;
}

void Journal::commitBatch() {
    if (batchDepth_ == 0 || --batchDepth_ > 0 || !inTransaction_) {
        return;
    }
    // Through a statement of its own rather than QSqlDatabase::commit(), whose error carries no
    // SQLite code to tell a full disk from anything else.
    QSqlQuery commit(connection_->db);
    if (!commit.exec(QStringLiteral("COMMIT"))) {
        stopWriting(reasonText(commit.lastError(), filePath()), commit.lastError().databaseText());
        return;
    }
    inTransaction_ = false;
    pending_ = 0;
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
    if (!query || !query->exec()) {
        if (query) {
            error = query->lastError();
        }
        rows.error = readFailure(&error);
        return rows;
    }
    rows.entries.reserve(static_cast<size_t>(limit));
    while (query->next()) {
        JournalEntry entry;
        entry.id = query->value(0).toLongLong();
        entry.timeMs = query->value(1).toLongLong();
        entry.kind = journalKindFromCode(query->value(2).toInt());
        if (!query->value(3).isNull()) {
            entry.relay = JournalRelay{query->value(3).toInt(),
                                       static_cast<uint16_t>(query->value(4).toUInt()),
                                       query->value(5).toString(), query->value(6).toString()};
        }
        entry.text = query->value(7).toString();
        entry.details = decodeDetails(entry.kind, query->value(8).toString().toUtf8(),
                                      query->value(9).toByteArray());
        rows.entries.push_back(std::move(entry));
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
    stopWriting(reasonText(error, filePath()), error.databaseText());
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
