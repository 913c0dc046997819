#include "journal/journal_check.h"

#include <sqlite3.h>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>
#include <QtDebug>
#include <atomic>

namespace terval {
namespace {

QString checkConnectionName() {
    static std::atomic<int> count{0};
    return QStringLiteral("terval-journal-check-%1").arg(++count);
}

sqlite3* sqliteHandle(const QSqlDatabase& db) {
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0) {
        return nullptr;
    }
    return *static_cast<sqlite3* const*>(handle.constData());
}

JournalCheckResult quickCheck(QSqlDatabase& db) {
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("PRAGMA quick_check"))) {
        const QSqlError error = query.lastError();
        const int code = error.nativeErrorCode().toInt();
        if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB) {
            return {JournalCheckResult::Damaged, error.databaseText()};
        }
        return {JournalCheckResult::NotChecked, error.text()};
    }
    QStringList problems;
    while (query.next()) {
        problems << query.value(0).toString();
    }
    if (const QSqlError error = query.lastError(); error.isValid()) {
        const int code = error.nativeErrorCode().toInt();
        if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB) {
            return {JournalCheckResult::Damaged, error.databaseText()};
        }
        return {JournalCheckResult::NotChecked, error.text()};
    }
    if (problems == QStringList{QStringLiteral("ok")}) {
        return {JournalCheckResult::Sound, {}};
    }
    return {JournalCheckResult::Damaged, problems.value(0)};
}

}  // namespace

JournalCheck::JournalCheck(QString path, std::function<void(const JournalCheckResult&)> done)
    : path_(std::move(path)), done_(std::move(done)), receiver_(std::make_unique<QObject>()) {
    thread_ = std::thread([this] { run(); });
}

JournalCheck::~JournalCheck() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
        if (handle_) {
            sqlite3_interrupt(static_cast<sqlite3*>(handle_));
        }
    }
    thread_.join();
    // A result posted but not yet delivered goes with its receiver.
    receiver_.reset();
}

void JournalCheck::run() {
    const QString name = checkConnectionName();
    JournalCheckResult result;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path_);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        bool stopped = false;
        {
            const std::lock_guard lock(mutex_);
            stopped = stop_;
        }
        if (stopped) {
            result = {JournalCheckResult::NotChecked, QStringLiteral("stopped")};
        } else if (!db.open()) {
            result = {JournalCheckResult::NotChecked, db.lastError().text()};
        } else {
            {
                const std::lock_guard lock(mutex_);
                stopped = stop_;
                handle_ = sqliteHandle(db);
            }
            if (!stopped) {
                result = quickCheck(db);
            }
            const std::lock_guard lock(mutex_);
            handle_ = nullptr;
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);

    const std::lock_guard lock(mutex_);
    if (stop_) {
        return;
    }
    if (result.outcome == JournalCheckResult::NotChecked) {
        qWarning("journal: the check of %s did not run to its end: %s", qPrintable(path_),
                 qPrintable(result.detail));
    }
    QMetaObject::invokeMethod(
        receiver_.get(), [done = done_, result] { done(result); }, Qt::QueuedConnection);
}

}  // namespace terval
