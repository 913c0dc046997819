#pragma once

#include <QDateTime>
#include <QDir>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "station/clock.h"
#include "station/journal_entry.h"
#include "station/journal_sink.h"
#include "station/message_sink.h"

class QSqlError;
class QSqlQuery;

namespace terval {

class InsulationTrend;
struct JournalCheckResult;

struct JournalOptions {
    QString fileName = QStringLiteral("journal.db");
    // Records older than this many months are removed when the journal is opened; 0 keeps all.
    int keepMonths = 60;
};

// Which records to read. Every part that is left empty lets everything through.
struct JournalFilter {
    std::optional<int> relay;           // records of this relay only (not the station's own)
    std::optional<JournalKinds> kinds;  // records of these kinds only
    QDateTime from;                     // at or after this moment
    QDateTime to;                       // before this moment
    QString text;  // found in the text or the names, whatever the case of either
};

// Where the previous page ended: the next page starts with the record just older than this one.
struct JournalCursor {
    qint64 timeMs = 0;
    qint64 id = 0;
};
inline JournalCursor cursorAfter(const JournalEntry& entry) {
    return {entry.timeMs, entry.id};
}

struct JournalRows {
    std::vector<JournalEntry> entries;
    QString error;  // why nothing could be read; empty when the read went well
};

struct JournalCount {
    qint64 rows = 0;
    QString error;
};

// The station's journal: every record kept in the SQLite file journal.db in the working folder.
//
// A journal that cannot be opened or written does not stop the station: the reason goes to the
// message sink once, and from then on records are counted as lost instead of written. Errors of
// what the operator asks for directly (reading, counting, exporting) are returned for the caller
// to show where the operator is looking.
//
// Each record is its own transaction unless a batch is open. With the write-ahead log and
// synchronous=NORMAL a commit is an append to the log without waiting for the disk, a few tens of
// microseconds, so the records of one moment are on file at once and a crash of the program loses
// none of them; a power cut may lose the last instants but never tears the file. A burst (every
// relay falling silent when the line goes) is one batch, JournalBatch, so that its records arrive
// together. Batching behind a timer instead would keep records in memory that a crash loses, and
// would need an event loop below the windows.
class Journal final : public JournalSink {
  public:
    Journal(QDir folder, const Clock& clock, MessageSink& messages, JournalOptions options = {});
    ~Journal() override;
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Opens the file, creating it or bringing an older layout up to date, removes records past
    // their age, and reports what went wrong. A damaged file is renamed aside to
    // journal.db.broken-<yyyyMMdd-HHmmss> and a new journal started. A file of a newer program is
    // left alone. Whether records are now being written. Opening again starts afresh.
    bool open();
    void close();

    QString filePath() const;
    bool isWriting() const { return writing_; }
    // Records can be read: the file is open, even when writing to it has failed since.
    bool isReadable() const { return connection_ != nullptr; }
    // Records that did not reach the file since it was opened.
    qint64 lostRecords() const { return lost_; }
    // The message reported last, empty while there was none.
    const QString& problem() const { return problem_; }

    // Stores the record (its id is ignored). A record whose details do not fit its kind is refused
    // and counted as lost, as is every record while the journal is not writing.
    bool append(const JournalEntry& entry);
    // The same, stamped with the computer's time now.
    bool append(JournalKind kind, const std::optional<JournalRelay>& relay, const QString& text,
                const JournalDetails& details = {}) override;

    // Records between these two are written in one transaction. Batches nest; the outermost one
    // commits.
    void beginBatch();
    void commitBatch();

    // Up to `limit` records of the filter, newest first (by the computer's time, then by the order
    // they were written), starting after `after`.
    JournalRows read(const JournalFilter& filter, int limit,
                     std::optional<JournalCursor> after = std::nullopt);
    JournalCount count(const JournalFilter& filter);

    // For the insulation trend, whose tables live in the same file and go through the same
    // connection, so that one writer serves the UI thread and one log is copied.
    int keepMonths() const { return options_.keepMonths; }
    const Clock& clock() const { return clock_; }
    // A statement on the journal's connection, prepared once and kept until the file is closed;
    // nothing while no file is open, or when it does not prepare (with SQLite's reason in
    // `error`).
    QSqlQuery* statement(const QString& sql, QSqlError* error);
    // A write that went wrong: reported in the words of a failed append, once, and nothing is
    // written from then on, as when an append fails.
    void writeFailed(const QSqlError& error);
    // What to tell of a read that failed with `error`, in the words of read(); without an error,
    // why there is no file to read.
    QString readFailure(const QSqlError* error = nullptr) const;
    // The trend whose old samples are removed each time the journal opens, with the records past
    // their age, and whose samples still in memory are written before the file closes. The trend
    // attaches itself for as long as it lives.
    void attachTrend(InsulationTrend* trend) { trend_ = trend; }
    InsulationTrend* trend() const { return trend_; }

    // Copies the whole write-ahead log into the file now, waiting for it, and empties the log.
    // For a program that writes a long history without a pause: the copying thread only catches
    // up in a pause, and without one the log would grow by every page written. The station never
    // needs it. False when nothing was copied (no file open, a batch open, another reader).
    bool checkpoint();

  private:
    struct Connection;
    struct Attempt;

    Attempt attempt();
    bool fail(MessageIcon icon, const QString& text);
    void report(MessageIcon icon, const QString& text);
    std::optional<QString> setAside(QString* asideName);
    void stopWriting(const QString& reason, const QString& system);
    void trimTrend();
    bool trim();
    // The background check of the whole file is done: a damaged file is set aside and a new one
    // started, with what was written since the start carried over.
    void checked(const JournalCheckResult& result);

    QDir folder_;
    const Clock& clock_;
    MessageSink& messages_;
    JournalOptions options_;
    std::unique_ptr<Connection> connection_;
    bool writing_ = false;
    int batchDepth_ = 0;
    bool inTransaction_ = false;
    qint64 pending_ = 0;  // records of the open transaction
    qint64 lost_ = 0;
    QString problem_;
    InsulationTrend* trend_ = nullptr;
};

// A batch for the length of a scope.
class JournalBatch {
  public:
    explicit JournalBatch(Journal& journal) : journal_(journal) { journal_.beginBatch(); }
    ~JournalBatch() { journal_.commitBatch(); }
    JournalBatch(const JournalBatch&) = delete;
    JournalBatch& operator=(const JournalBatch&) = delete;

  private:
    Journal& journal_;
};

}  // namespace terval
