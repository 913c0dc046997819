#include "support/journal_fixture.h"

#include <gtest/gtest.h>

#include <QSqlError>
#include <QSqlQuery>
#include <algorithm>
#include <atomic>

#include "support/fakes.h"

namespace terval::testing {

namespace {
std::atomic<int> connections{0};
}  // namespace

OtherConnection::OtherConnection(const QString& path, int busyTimeoutMs)
    : name_(QStringLiteral("other-%1").arg(++connections)) {
    db_ = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name_);
    db_.setDatabaseName(path);
    EXPECT_TRUE(db_.open()) << db_.lastError().text().toStdString();
    if (busyTimeoutMs > 0) {
        exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(busyTimeoutMs));
    }
}

OtherConnection::~OtherConnection() {
    db_.close();
    db_ = QSqlDatabase();
    QSqlDatabase::removeDatabase(name_);
}

bool OtherConnection::exec(const QString& sql) {
    QSqlQuery q(db_);
    const bool ok = q.exec(sql);
    EXPECT_TRUE(ok) << sql.toStdString() << ": " << q.lastError().text().toStdString();
    return ok;
}

QVariant OtherConnection::value(const QString& sql) {
    QSqlQuery q(db_);
    EXPECT_TRUE(q.exec(sql)) << sql.toStdString() << ": " << q.lastError().text().toStdString();
    return q.next() ? q.value(0) : QVariant();
}

std::vector<JournalEntry> readAllRecords(Journal& journal, const JournalFilter& filter, int page) {
    std::vector<JournalEntry> all;
    std::optional<JournalCursor> after;
    for (int guard = 0; guard < 1'000'000; ++guard) {
        const JournalRows rows = journal.read(filter, page, after);
        EXPECT_EQ(rows.error, QString());
        all.insert(all.end(), rows.entries.begin(), rows.entries.end());
        if (!rows.error.isEmpty() || rows.entries.size() < static_cast<size_t>(page)) {
            break;
        }
        after = cursorAfter(rows.entries.back());
    }
    return all;
}

std::vector<JournalEntry> readAllInOrder(Journal& journal, const JournalFilter& filter, int page) {
    std::vector<JournalEntry> all = readAllRecords(journal, filter, page);
    std::sort(all.begin(), all.end(),
              [](const JournalEntry& a, const JournalEntry& b) { return a.id < b.id; });
    return all;
}

std::vector<JournalEntry> recordsOnFile(const QDir& folder, const Clock& clock) {
    RecordingMessageSink sink;
    Journal reader(folder, clock, sink, JournalOptions{QStringLiteral("journal.db"), 0});
    EXPECT_TRUE(reader.open()) << reader.problem().toStdString();
    std::vector<JournalEntry> all = readAllRecords(reader);
    std::reverse(all.begin(), all.end());
    return all;
}

void appendAll(Journal& journal, const std::vector<JournalEntry>& records) {
    JournalBatch batch(journal);
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_TRUE(journal.append(records[i]))
            << "record " << i << " of kind " << static_cast<int>(records[i].kind);
    }
}

}  // namespace terval::testing
