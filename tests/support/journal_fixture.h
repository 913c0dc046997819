#pragma once

// What the journal's tests share: a connection of their own to journal.db, as another program
// would hold one, filling a journal with records and reading every record back.

#include <QDir>
#include <QSqlDatabase>
#include <QString>
#include <QVariant>
#include <vector>

#include "journal/journal.h"

namespace terval {
class Clock;
}

namespace terval::testing {

// Another program's connection to a journal's file (sqlite3, a backup), each under a name of its
// own so that several may be open at once, on any thread.
class OtherConnection {
  public:
    // `busyTimeoutMs` is how long its statements wait for the station's lock.
    explicit OtherConnection(const QString& path, int busyTimeoutMs = 0);
    ~OtherConnection();
    OtherConnection(const OtherConnection&) = delete;
    OtherConnection& operator=(const OtherConnection&) = delete;

    QSqlDatabase& db() { return db_; }
    // Runs the statement; a failure fails the test, with the statement and SQLite's words.
    bool exec(const QString& sql);
    // The first column of the first row; invalid when there is none.
    QVariant value(const QString& sql);
    // Holds the write lock until unlock(), as "BEGIN EXCLUSIVE" in sqlite3 does.
    bool lock() { return exec(QStringLiteral("BEGIN EXCLUSIVE")); }
    bool unlock() { return exec(QStringLiteral("ROLLBACK")); }

  private:
    QString name_;
    QSqlDatabase db_;
};

// Every record of the filter, newest first as the journal gives them, read `page` at a time.
std::vector<JournalEntry> readAllRecords(Journal& journal, const JournalFilter& filter = {},
                                         int page = 1000);
// The same, in the order they were written.
std::vector<JournalEntry> readAllInOrder(Journal& journal, const JournalFilter& filter = {},
                                         int page = 1000);
// Every record of the journal.db in `folder`, oldest first, read by a journal of the test's own
// as another program would read it.
std::vector<JournalEntry> recordsOnFile(const QDir& folder, const Clock& clock);
// Every record into the journal in one batch; a refused one fails the test, naming it.
void appendAll(Journal& journal, const std::vector<JournalEntry>& records);

}  // namespace terval::testing
