#pragma once

#include <QDateTime>
#include <QDir>
#include <QString>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "station/clock.h"
#include "station/event_archive.h"
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
    // Records kept in memory while the file cannot be written (another program holds it, the
    // disk is full): two hours of every one of 32 relays falling silent and answering again each
    // minute, a few megabytes at most.
    int heldLimit = 10000;
    // How long a write waits for another program's lock on the file before it counts as failed.
    // The UI thread waits that long at most, once per attempt.
    int busyTimeoutMs = 500;
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
// A journal that cannot be opened does not stop the station: the reason goes to the message sink
// once, and from then on records are counted as lost instead of written. Errors of what the
// operator asks for directly (reading, counting, exporting) are returned for the caller to show
// where the operator is looking.
//
// A write that fails once the file is open (another program holding its lock longer than
// busyTimeoutMs, a full disk, an I/O error) does not end the journal: the records are held in
// memory, oldest first, up to heldLimit, and written in their order with their own times as soon
// as the file takes them again. Attempts come 1 s after the failure, the wait doubling up to 30 s,
// on the next record, batch or retry() after that moment, so that the UI thread never waits on the
// file more than one busy timeout per attempt. The operator is told once when the records start
// to wait, once when the memory is full (the newest are dropped from then on: the start of a
// disturbance, which explains the rest, is worth more than its end), and once when they are
// written; the file then gets a record of how many were dropped. Only a damaged file ends the
// writing until the next start.
//
// Each record is its own transaction unless a batch is open. With the write-ahead log and
// synchronous=NORMAL a commit is an append to the log without waiting for the disk, a few tens of
// microseconds, so the records of one moment are on file at once and a crash of the program loses
// none of them; a power cut may lose the last instants but never tears the file. A burst (every
// relay falling silent when the line goes) is one batch, JournalBatch, so that its records arrive
// together. Batching behind a timer instead would keep records in memory that a crash loses, and
// would need an event loop below the windows.
class Journal final : public JournalSink, public EventArchive {
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
    // Opens the file for reading only, as another program would read it beside a running station
    // (whose write-ahead log it sees) or in a folder it may not write: nothing is created,
    // brought up to date, trimmed, renamed or written. A file that is not a journal of exactly
    // this program's layout (damaged, another program's, older or newer) is refused, with why.
    // Whether records can be read.
    bool openForReading();
    // After openForReading(): nothing can have changed the file while it was read. A file without
    // a write-ahead log is read as it stands, since SQLite would otherwise make the log and its
    // index beside it; should a station open it meanwhile (its log appears), what was read may be
    // half old and half new and is to be read again.
    bool readUndisturbed() const;
    void close();

    QString filePath() const;
    // Records reach the file now.
    bool isWriting() const { return writing_ && !holding_; }
    // Records are taken: written, or held in memory until the file can be written again.
    bool takesRecords() const override { return writing_; }
    // The last write failed for a reason that may pass; records wait in memory.
    bool isHolding() const { return writing_ && holding_; }
    size_t heldRecords() const { return held_.size(); }
    // Records can be read: the file is open, even when writing to it has failed since.
    bool isReadable() const override { return connection_ != nullptr; }
    // Records that did not reach the file since it was opened, and will not.
    qint64 lostRecords() const { return lost_; }
    // The message reported last, empty while there was none.
    const QString& problem() const { return problem_; }

    // Stores the record (its id is ignored), or holds it while the file cannot be written. A
    // record whose details do not fit its kind is refused and counted as lost, as is every record
    // while the journal does not take records and every one the full memory has no room for.
    bool append(const JournalEntry& entry);
    // The same, stamped with the computer's time now.
    bool append(JournalKind kind, const std::optional<JournalRelay>& relay, const QString& text,
                const JournalDetails& details = {}) override;

    // The record number the last append() gave its record in the file; nothing when that record
    // was held in memory, refused or lost.
    std::optional<qint64> lastAppendedId() const override { return lastAppendedId_; }

    // Up to `limit` protection events recorded after record `afterId`, oldest first.
    NumberedEvents protectionEventsAfter(qint64 afterId, int limit) override;
    // The record number of the newest protection event; 0 when there is none, nothing when the
    // file cannot be read.
    std::optional<qint64> newestProtectionEvent() override;
    // A number the station keeps beside its records under `name` (how far the plant's broker
    // has confirmed them): nothing when it was never stored or cannot be read. Storing it never
    // waits on a file another program holds: it fails instead, to be tried again.
    std::optional<qint64> mark(const QString& name) override;
    bool storeMark(const QString& name, qint64 value) override;

    // Records between these two are written in one transaction. Batches nest; the outermost one
    // commits.
    void beginBatch();
    void commitBatch();

    // Up to `limit` records of the filter, newest first (by the computer's time, then by the order
    // they were written), starting after `after`.
    JournalRows read(const JournalFilter& filter, int limit,
                     std::optional<JournalCursor> after = std::nullopt);
    JournalCount count(const JournalFilter& filter);
    // The alarm records from `fromMs` (nothing: from the first) to before `toMs`, oldest first,
    // each with its time, relay and no more of its details than the alarm's kind, address, state,
    // raise time and suppression and the change: what a report of a year of them needs, read in
    // two thirds of the time whole records take.
    JournalRows alarmRecords(std::optional<qint64> fromMs, qint64 toMs);
    // The newest alarm record of each alarm made before this moment: how the alarms stood then,
    // for a report that begins there. Oldest first.
    JournalRows alarmRecordsBefore(qint64 beforeMs);
    // The alarms as they stood when the station last stopped: the newest record of each alarm,
    // for those not back to normal (or still on a shelf). Read once at start-up; nothing when the
    // file cannot be read.
    std::vector<Alarm> standingAlarms();

    // For the insulation trend, whose tables live in the same file and go through the same
    // connection, so that one writer serves the UI thread and one log is copied.
    int keepMonths() const { return options_.keepMonths; }
    const Clock& clock() const { return clock_; }
    // A statement on the journal's connection, prepared once and kept until the file is closed;
    // nothing while no file is open, or when it does not prepare (with SQLite's reason in
    // `error`).
    QSqlQuery* statement(const QString& sql, QSqlError* error);
    // A write that went wrong, as when an append fails: the journal holds records from then on,
    // or, for a damaged file, stops writing. Reported once.
    void writeFailed(const QSqlError& error);
    // While records are held: writes them when the next attempt is due (or at once with `now`).
    // Whether the file takes records again. Cheap when nothing is held.
    bool retry(bool now = false);
    // Insulation samples the trend had no room for while the file could not be written: told once
    // and counted in the record of what was lost.
    void samplesDropped(qint64 count, int limit);
    // What to tell of a read that failed with `error`, in the words of read(); without an error,
    // why there is no file to read.
    QString readFailure(const QSqlError* error = nullptr) const;
    // Runs a statement made by statement(); false with the reading failure in `failure` when it
    // could not be made or run.
    bool executed(QSqlQuery* query, QSqlError& error, QString& failure) const;
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
    // A write failed with `error`: the open transaction is rolled back and its records held, or
    // for a damaged file the journal stops writing.
    void failed(const QSqlError& error);
    void startHolding(const QSqlError& error);
    void hold(const JournalEntry& entry);
    bool insertRow(const JournalEntry& entry);
    bool writeHeld();
    JournalEntry lossRecord() const;
    void resetHolding();
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
    bool readAsItStands_ = false;
    std::optional<qint64> lastAppendedId_;
    // While records are carried into a new file: they are written under their own numbers.
    bool keepNumbers_ = false;

    // Records of the open transaction, to be held should it not commit.
    std::vector<JournalEntry> transaction_;
    bool holding_ = false;
    std::deque<JournalEntry> held_;
    QString holdReason_;
    QDateTime lastAttempt_;
    QDateTime nextAttempt_;
    qint64 backoffMs_ = 0;
    // Dropped for want of room since the records started to wait, and when the first and the last
    // of the records were made.
    qint64 droppedRecords_ = 0;
    qint64 droppedFromMs_ = 0;
    qint64 droppedToMs_ = 0;
    qint64 droppedSamples_ = 0;
    bool recordsOverflowTold_ = false;
    bool samplesOverflowTold_ = false;
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
